// Bytes written the way protocol documents show them: "30 2E 02 ...".
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

inline std::vector<std::uint8_t> HexBytes(const std::string& text) {
    std::vector<std::uint8_t> out;
    std::istringstream in(text);
    unsigned value;
    while (in >> std::hex >> value) out.push_back(static_cast<std::uint8_t>(value));
    return out;
}
