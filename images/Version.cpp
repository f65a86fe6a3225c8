// Parsing and formatting of version numbers.
#include "images/Version.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "common/ConfigurationIds.h"
#include "common/Text.h"

namespace {

constexpr std::size_t kMaxVersionText = 10;
constexpr std::size_t kMaxPanelVersionText = 15;
constexpr std::size_t kMaxModelCodeText = 10;

}  // namespace

std::int32_t VersionTextToInt(std::wstring_view text) {
    if (text.size() > kMaxVersionText) return -1;
    double hundredths = text::ReadDouble(text) * 100.0;
    // The half-hundredth only absorbs representation error (4.35 * 100 is a little under 435).
    hundredths += hundredths < 0 ? -0.005 : 0.005;
    const double truncated = std::trunc(hundredths);
    if (!(truncated >= static_cast<double>(std::numeric_limits<std::int32_t>::min()) &&
          truncated <= static_cast<double>(std::numeric_limits<std::int32_t>::max()))) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(truncated);
}

std::wstring FormatVersion(std::int32_t version) {
    if (version < 0) return L"---";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%d.%02d", version / 100, version % 100);
    return text::WidenBytes(buffer);
}

PanelVersion ParsePanelVersion(const wchar_t* text) {
    if (text == nullptr) return {};
    return ParsePanelVersion(std::wstring_view(text));
}

PanelVersion ParsePanelVersion(std::wstring_view text) {
    if (text.size() > kMaxPanelVersionText) return {};
    // The text was converted to a single-byte code page before it was cut at the points. Only
    // digits, signs, spaces and points matter to the reading, and no other character of any
    // code page becomes one of them, so characters outside ASCII stand in as '?'; a zero
    // character ends the text as it would end the converted buffer.
    const std::size_t end = std::min(text.find(L'\0'), text.size());
    std::wstring ascii;
    for (std::size_t i = 0; i < end; ++i) ascii.push_back(text[i] < 0x80 ? text[i] : L'?');

    const std::size_t first = ascii.find(L'.');
    if (first == std::wstring::npos) return {};
    const std::size_t second = ascii.find(L'.', first + 1);
    if (second == std::wstring::npos) return {};

    const std::wstring_view all(ascii);
    PanelVersion version;
    version.nMajor = text::ReadLong(all.substr(0, first), 10);
    version.nMinor = text::ReadLong(all.substr(first + 1, second - first - 1), 10);
    version.nBuild = text::ReadLong(all.substr(second + 1), 10);
    return version;
}

std::wstring FormatPanelVersion(const PanelVersion& version) {
    if (version.IsUnknown()) return L"---";
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%01d.%01d.%01d", version.nMajor, version.nMinor, version.nBuild);
    return text::WidenBytes(buffer);
}

std::int32_t GetProductModelCode(const IStringTable& strings) {
    std::wstring code;
    if (!strings.Load(IDS_CFG_MODEL_CODE, code) || code.size() > kMaxModelCodeText) return -1;
    return text::ReadLong(code, 10);
}
