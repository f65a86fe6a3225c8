// What ties this build to its product: the configuration strings and the port-type table.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/resource.h"
#include "common/StringTable.h"

// Connection families in the high nibble of a port-type flags word; the low nibble is a port number.
constexpr std::uint32_t kPortFamilyEthernet    = 0x10;
constexpr std::uint32_t kPortFamilyUsb         = 0x20;
constexpr std::uint32_t kPortFamilyDllUsb      = 0x40;
constexpr std::uint32_t kPortFamilyDllEthernet = 0x80;

// The two USB families: the printer list offers automatic detection instead of an address.
constexpr std::uint32_t kPortUsbMask = 0x60;
// The only port type for which a printer port is created.
constexpr std::uint32_t kPortTypeDllEthernet1 = 0x81;

struct PortTypeEntry {
    const wchar_t* name;
    std::uint32_t flags;
};

extern const std::array<PortTypeEntry, 7> kPortTypeTable;

// Flags of the first entry whose name equals `name` without regard to (ASCII) letter case;
// 0 when no entry matches.
std::uint32_t LookupPortType(std::wstring_view name);

// Port type of this build: string 205 looked up in the table; 0 when the string is missing.
std::uint32_t LoadPortType(const IStringTable& strings);
