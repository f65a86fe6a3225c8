// Version texts of any content: panel and firmware versions parsed and formatted back.
#include <cstddef>
#include <cstdint>
#include <string>

#include "images/Version.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::wstring text;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    }
    const PanelVersion panel = ParsePanelVersion(text.c_str());
    const std::wstring shown = FormatPanelVersion(panel);
    if (shown.empty()) __builtin_trap();
    if (!panel.IsUnknown() && ParsePanelVersion(std::wstring_view(shown)) != panel && shown.size() <= 15) __builtin_trap();
    FormatVersion(VersionTextToInt(text));
    return 0;
}
