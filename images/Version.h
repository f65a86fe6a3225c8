// Firmware versions (an integer in hundredths, negative for unknown), panel application versions
// (three integers, all zero for unknown) and the product model code.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/StringTable.h"

struct PanelVersion {
    std::int32_t nMajor = 0;
    std::int32_t nMinor = 0;
    std::int32_t nBuild = 0;

    // Part by part in the order major, minor, build: the first differing part decides.
    auto operator<=>(const PanelVersion&) const = default;

    bool IsUnknown() const { return nMajor == 0 && nMinor == 0 && nBuild == 0; }
};

// Text such as "3.40" to hundredths (340). Longer than 10 characters: -1. Read like atof,
// so text without a number gives 0; a value beyond the 32-bit range gives INT32_MIN.
std::int32_t VersionTextToInt(std::wstring_view text);

// "%d.%02d" of hundredths, or "---" for a negative (unknown) version.
std::wstring FormatVersion(std::int32_t version);

// Text such as "3.0.1" to its three parts. Null, longer than 15 characters, or without two
// points: all zero.
PanelVersion ParsePanelVersion(const wchar_t* text);
PanelVersion ParsePanelVersion(std::wstring_view text);

// "%d.%d.%d", or "---" when all three parts are zero.
std::wstring FormatPanelVersion(const PanelVersion& version);

// The product model code, string 204 read like atol; -1 when the string is missing or
// longer than 10 characters.
std::int32_t GetProductModelCode(const IStringTable& strings);
