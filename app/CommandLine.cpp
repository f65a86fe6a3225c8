// Reading the installer's command line.
#include "app/CommandLine.h"

#include <cstddef>
#include <unordered_set>

#include "common/Encoding.h"
#include "common/Text.h"

namespace {

bool IsOption(const std::wstring& argument) {
    return argument.size() >= 2 && (argument[0] == L'-' || argument[0] == L'/');
}

wchar_t OptionLetter(const std::wstring& argument) {
    const wchar_t c = argument[1];
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

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

// The line as it has always been read.
CommandLineValues ReadInteractive(const std::vector<std::wstring>& arguments) {
    CommandLineValues values;
    if (arguments.empty()) return values;

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        if (!IsOption(argument)) continue;
        switch (OptionLetter(argument)) {
            case L'i':
                i = ReadOption(arguments, i, values.address);
                break;
            case L'u':
                i = ReadOption(arguments, i, values.usbPort);
                break;
            case L'f':
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

// The index of the first argument that the interactive reading takes as option q, or npos. The
// letters with values consume them as there; nothing is checked.
std::size_t FindQuietOption(const std::vector<std::wstring>& arguments) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        if (!IsOption(argument)) continue;
        const wchar_t letter = OptionLetter(argument);
        if (letter == L'q') return i;
        if ((letter == L'i' || letter == L'u' || letter == L'f') && argument.size() == 2) ++i;
    }
    return std::wstring::npos;
}

// Text from outside shown in an error: quoted, and cut short when longer than any sound value (a
// fingerprint with separators has 95 characters) could be: a line of a binary file, say.
std::wstring Quoted(std::wstring_view value) {
    constexpr std::size_t kLongestShown = 100;
    std::wstring out = L"\"";
    if (value.size() > kLongestShown) {
        out.append(value.substr(0, kLongestShown));
        out += L"...";
    } else {
        out.append(value);
    }
    out += L'"';
    return out;
}

std::wstring OptionName(wchar_t letter) { return std::wstring(L"option ") + letter; }

class QuietReader {
public:
    QuietReader(const std::vector<std::wstring>& arguments, const CommandLineFileReader& readFile)
        : m_arguments(arguments), m_readFile(readFile) {}

    // Fills `options`; what is wrong, or empty.
    std::wstring Read(std::size_t quietIndex, QuietOptions& options) {
        std::vector<wchar_t> takenBy(m_arguments.size(), 0);  // the option whose value an argument is
        bool quietSeen = false;
        bool seen[128] = {};
        for (std::size_t i = 0; i < m_arguments.size(); ++i) {
            const std::wstring& argument = m_arguments[i];
            if (!IsOption(argument)) {
                return Quoted(argument) + L" is not an option (each printer needs its own option i)";
            }
            const wchar_t letter = OptionLetter(argument);
            if (letter == L'q') {
                quietSeen = true;
                continue;
            }
            if (letter == L'a') {
                options.acceptNew = true;
                continue;
            }
            if (letter == L'u' || letter == L'f') return OptionName(letter) + L" cannot be used with option q";
            if (letter != L'i' && letter != L'l' && letter != L'p' && letter != L'o' && letter != L't' &&
                letter != L'w' && letter != L's') {
                return Quoted(argument) + L" is not an option of quiet mode";
            }
            const bool once = letter == L'p' || letter == L'o' || letter == L'w' || letter == L's';
            if (once && seen[letter]) return OptionName(letter) + L" is given twice";
            seen[letter] = true;

            std::wstring value;
            if (argument.size() > 2) {
                value = argument.substr(2);
            } else if (i + 1 < m_arguments.size()) {
                value = m_arguments[++i];
                takenBy[i] = letter;
            } else {
                return OptionName(letter) + L" needs a value";
            }
            if (value.empty()) return OptionName(letter) + L" has an empty value";
            std::wstring error = ReadValue(letter, value, options);
            if (!error.empty()) return error;
        }
        if (!quietSeen) {
            // Only the first reading saw it: here it is the value of another option.
            return OptionName(takenBy[quietIndex]) + L" takes " + Quoted(m_arguments[quietIndex]) +
                   L" as its value; give it a value of its own";
        }
        if (options.printers.empty()) {
            return L"no printer is given: name one with option i, or a file of them with option l";
        }
        return {};
    }

private:
    std::wstring ReadValue(wchar_t letter, const std::wstring& value, QuietOptions& options) {
        switch (letter) {
            case L'i':
                if (!AddPrinter(value, options)) return OptionName(letter) + L": " + NotAnAddress(value);
                return TooMany(options);
            case L'l':
                options.printerFiles.push_back(value);
                return ReadPrinterFile(value, options);
            case L'p':
                return ReadNumber(letter, value, kMostParallelInstalls, options.parallel);
            case L'o':
                options.resultFile = value;
                return {};
            case L't':
                return AddFingerprint(value, options);
            case L'w':
            case L's': {
                std::size_t seconds = 0;
                std::wstring error = ReadNumber(letter, value, kLongestQuietWaitSeconds, seconds);
                if (!error.empty()) return error;
                std::uint32_t& target = letter == L'w' ? options.restartWaitMs : options.stallMs;
                target = static_cast<std::uint32_t>(seconds * 1000);
                return {};
            }
            default:
                return {};
        }
    }

    // An address one printer can have: not "this network" (0/8), loopback (127/8), a multicast
    // group or a reserved or broadcast address (224 and above), which would carry an unattended
    // run's requests to no printer or to many.
    static bool CanBeAPrinter(std::uint32_t hostOrder) {
        const std::uint32_t first = hostOrder >> 24;
        return first != 0 && first != 127 && first < 224;
    }

    static std::wstring NotAnAddress(std::wstring_view text) {
        return Quoted(text) + L" is not a printer's IPv4 address";
    }

    static std::wstring TooMany(const QuietOptions& options) {
        if (options.printers.size() <= kMostQuietPrinters) return {};
        return L"more than " + std::to_wstring(kMostQuietPrinters) + L" printers are given";
    }

    // False when the text is not an address; a printer given before is kept where it was.
    bool AddPrinter(std::wstring_view text, QuietOptions& options) {
        const std::uint32_t address = ParseCommandLineAddress(text);
        if (address == 0 || !CanBeAPrinter(address)) return false;
        if (m_printers.insert(address).second) {
            options.printers.push_back(address);
            options.printerTexts.emplace_back(text);
        }
        return true;
    }

    std::wstring ReadPrinterFile(const std::wstring& path, QuietOptions& options) {
        const std::wstring name = L"the file " + Quoted(path);
        if (!m_readFile) return name + L" cannot be read";
        const CommandLineFile file = m_readFile(path, kLargestPrinterFile);
        switch (file.status) {
            case CommandLineFile::Status::kRead:
                break;
            case CommandLineFile::Status::kNotFound:
                return name + L" does not exist";
            case CommandLineFile::Status::kTooLarge:
                return name + L" is larger than " + std::to_wstring(kLargestPrinterFile) + L" bytes";
            case CommandLineFile::Status::kUnreadable:
                return name + L" cannot be read";
        }
        if (file.bytes.size() > kLargestPrinterFile) {
            return name + L" is larger than " + std::to_wstring(kLargestPrinterFile) + L" bytes";
        }

        std::string_view bytes = file.bytes;
        if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
        if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
            return name + L" is in UTF-16: save it as UTF-8";
        }
        std::size_t listed = 0;
        std::size_t lineNumber = 0;
        while (!bytes.empty()) {
            ++lineNumber;
            const std::size_t end = bytes.find('\n');
            std::string_view line = bytes.substr(0, end);
            bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
            if (const std::size_t comment = line.find('#'); comment != std::string_view::npos) {
                line = line.substr(0, comment);
            }
            const std::wstring wide = text::FromUtf8(line);
            std::size_t first = 0;
            std::size_t last = wide.size();
            while (first < last && text::IsSpace(wide[first])) ++first;
            while (last > first && text::IsSpace(wide[last - 1])) --last;
            if (first == last) continue;
            const std::wstring_view address = std::wstring_view(wide).substr(first, last - first);
            if (!AddPrinter(address, options)) {
                return L"line " + std::to_wstring(lineNumber) + L" of " + Quoted(path) + L": " + NotAnAddress(address);
            }
            ++listed;
            if (std::wstring error = TooMany(options); !error.empty()) return error;
        }
        if (listed == 0) return name + L" lists no printer";
        return {};
    }

    std::wstring AddFingerprint(const std::wstring& value, QuietOptions& options) {
        std::string digits;
        bool separated = false;  // the character before was a separator
        for (const wchar_t c : value) {
            const bool hex = (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
            if (hex) {
                digits += static_cast<char>(c >= L'A' && c <= L'F' ? c - L'A' + L'a' : c);
                separated = false;
            } else if ((c == L':' || c == L' ') && !separated && !digits.empty() && digits.size() % 2 == 0) {
                separated = true;
            } else {
                digits.clear();
                break;
            }
        }
        if (separated || digits.size() != 64) {
            return L"option t: " + Quoted(value) + L" is not a SHA-256 fingerprint (64 hexadecimal digits)";
        }
        if (m_fingerprints.insert(digits).second) options.trustedSha256.push_back(digits);
        return {};
    }

    // A whole decimal number from 1 to `most`.
    static std::wstring ReadNumber(wchar_t letter, const std::wstring& value, std::size_t most, std::size_t& number) {
        std::size_t parsed = 0;
        for (const wchar_t c : value) {
            if (!text::IsDigit(c)) return OptionName(letter) + L": " + Quoted(value) + L" is not a whole number";
            if (parsed <= most) parsed = parsed * 10 + static_cast<std::size_t>(c - L'0');
        }
        if (parsed < 1 || parsed > most) {
            const std::wstring shown = Quoted(value);
            return OptionName(letter) + L": " + shown.substr(1, shown.size() - 2) + L" is not between 1 and " +
                   std::to_wstring(most);
        }
        number = parsed;
        return {};
    }

    const std::vector<std::wstring>& m_arguments;
    const CommandLineFileReader& m_readFile;
    std::unordered_set<std::uint32_t> m_printers;
    std::unordered_set<std::string> m_fingerprints;
};

// The file option o names on a quiet line, read the way the quiet reading reads it but past any
// fault, so that a refused run still says why where its results were asked for. Empty: none.
std::wstring FindResultFile(const std::vector<std::wstring>& arguments) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        if (!IsOption(argument)) continue;
        const wchar_t letter = OptionLetter(argument);
        if (std::wstring_view(L"ilpotws").find(letter) == std::wstring_view::npos) continue;
        std::wstring value;
        if (argument.size() > 2) {
            value = argument.substr(2);
        } else if (i + 1 < arguments.size()) {
            value = arguments[++i];
        }
        if (letter == L'o') return value;
    }
    return {};
}

}  // namespace

CommandLineValues ReadCommandLine(const std::vector<std::wstring>& arguments, const CommandLineFileReader& readFile) {
    const std::size_t quietIndex = FindQuietOption(arguments);
    if (quietIndex == std::wstring::npos) return ReadInteractive(arguments);

    CommandLineValues values;
    values.quiet = true;
    values.quietError = QuietReader(arguments, readFile).Read(quietIndex, values.quietOptions);
    if (!values.quietError.empty()) {
        values.quietOptions = QuietOptions{};
        values.quietOptions.resultFile = FindResultFile(arguments);
    }
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
