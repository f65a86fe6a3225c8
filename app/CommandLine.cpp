// Reading the installer's command line.
#include "app/CommandLine.h"

#include <cstddef>

namespace {

// Fills `target` with the option's value: the rest of `argument` after the letter, or the next
// argument. Returns the index of the last argument used.
std::size_t ReadOption(const std::vector<std::wstring>& arguments, std::size_t index, std::wstring& target) {
    if (!target.empty()) throw VessickExitCode::ILLEGAL_PARAMETER;
    const std::wstring& argument = arguments[index];
    if (argument.size() > 2) {
        target = argument.substr(2);
        return index;
    }
    if (index + 1 >= arguments.size()) throw VessickExitCode::ILLEGAL_PARAMETER;
    target = arguments[index + 1];
    return index + 1;
}

}  // namespace

CommandLineValues ReadCommandLine(const std::vector<std::wstring>& arguments) {
    CommandLineValues values;
    if (arguments.empty()) return values;

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        if (argument.size() < 2 || (argument[0] != L'-' && argument[0] != L'/')) continue;
        switch (argument[1]) {
            case L'i':
            case L'I':
                i = ReadOption(arguments, i, values.address);
                break;
            case L'u':
            case L'U':
                i = ReadOption(arguments, i, values.usbPort);
                break;
            case L'f':
            case L'F':
                i = ReadOption(arguments, i, values.forget);
                break;
            default:
                break;
        }
    }
    if (!values.forget.empty()) {
        if (!values.address.empty() || !values.usbPort.empty()) throw VessickExitCode::ILLEGAL_PARAMETER;
        return values;
    }
    if (values.address.empty() == values.usbPort.empty()) throw VessickExitCode::ILLEGAL_PARAMETER;
    return values;
}

std::uint32_t ParseCommandLineAddress(std::wstring_view text) {
    constexpr std::size_t kLongestAddress = 15;  // "255.255.255.255"
    if (text.empty() || text.size() > kLongestAddress) return 0;

    std::uint32_t address = 0;
    std::size_t pos = 0;
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0) {
            if (pos >= text.size() || text[pos] != L'.') return 0;
            ++pos;
        }
        const std::size_t first = pos;
        std::uint32_t value = 0;
        while (pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9' && pos - first < 3) {
            value = value * 10 + static_cast<std::uint32_t>(text[pos] - L'0');
            ++pos;
        }
        if (pos == first || value > 255) return 0;
        address = (address << 8) | value;
    }
    if (pos != text.size()) return 0;
    return address == 0xFFFFFFFFu ? 0 : address;
}
