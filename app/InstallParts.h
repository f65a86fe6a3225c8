// What an installation installs: the firmware, the panel application, or both.
#pragma once

#include <cstdint>

constexpr std::uint32_t kPartFirmware = 0x01;
constexpr std::uint32_t kPartPanel = 0x10;
constexpr std::uint32_t kPartsBoth = kPartFirmware | kPartPanel;
