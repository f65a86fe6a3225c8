// The key with which the firmware resource was scrambled.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kFirmKeyLength = 500;
// The key is walked as a cycle of its characters followed by its terminating zero byte.
constexpr std::size_t kFirmKeyCycle = kFirmKeyLength + 1;

// The kFirmKeyCycle bytes of the key: 500 characters from ' ' to '_', then a zero byte.
const std::uint8_t* FirmKeyCycle();
