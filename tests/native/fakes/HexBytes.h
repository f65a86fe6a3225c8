// Bytes written the way protocol documents show them ("30 2E 02 ..."), and back as hex text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

// `size` bytes as lower-case hex digits without separators: "302e02".
inline std::string LowerHexText(const std::uint8_t* data, std::size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 15];
    }
    return text;
}

inline std::vector<std::uint8_t> HexBytes(const std::string& text) {
    std::vector<std::uint8_t> out;
    std::istringstream in(text);
    unsigned value;
    while (in >> std::hex >> value) out.push_back(static_cast<std::uint8_t>(value));
    return out;
}
