// MultiByteToWideChar and WideCharToMultiByte in their measure-then-convert form.
#include "common/win32/CodePage.h"

#include <algorithm>

namespace {

int Clamp(std::size_t size) { return static_cast<int>(std::min<std::size_t>(size, 0x7FFFFFFF)); }

}  // namespace

std::wstring CodePageToWide(UINT codePage, std::string_view text) {
    if (text.empty()) return {};
    const int size = Clamp(text.size());
    const int needed = ::MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    if (needed <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    const int written = ::MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), needed);
    wide.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return wide;
}

std::string WideToCodePage(UINT codePage, std::wstring_view text) {
    if (text.empty()) return {};
    const int size = Clamp(text.size());
    const int needed = ::WideCharToMultiByte(codePage, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string out(static_cast<std::size_t>(needed), '\0');
    const int written = ::WideCharToMultiByte(codePage, 0, text.data(), size, out.data(), needed, nullptr, nullptr);
    out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return out;
}
