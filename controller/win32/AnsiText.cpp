// UTF-8 to the ANSI code page, one character at a time: converting the whole text and cutting it
// afterwards could leave the lead byte of a double-byte character without its trail byte.
#include "controller/win32/AnsiText.h"

#include <climits>
#include <cstring>
#include <string>

#include "common/win32/CodePage.h"

namespace {

// No best-fit look-alikes: a full-width semicolon must not turn into the reply's separator. The
// UTF-8 code page refuses the flag, and needs none.
int ToCodePage(UINT codePage, const wchar_t* text, int length, char* out, int size) {
    const int n = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text, length, out, size, nullptr, nullptr);
    if (n == 0 && GetLastError() == ERROR_INVALID_FLAGS) {
        return WideCharToMultiByte(codePage, 0, text, length, out, size, nullptr, nullptr);
    }
    return n;
}

}  // namespace

int CopyAsAnsi(std::string_view text, char* buffer, int size, UINT codePage) {
    if (!buffer || size < 1) return 0;
    buffer[0] = '\0';
    if (text.empty() || text.size() > INT_MAX) return 0;

    const std::wstring wide = CodePageToWide(CP_UTF8, text);

    const int room = size - 1;
    int written = 0;
    for (std::size_t i = 0; i < wide.size();) {
        // A character outside the basic plane is a surrogate pair: it converts as one.
        const std::size_t units =
            (IS_HIGH_SURROGATE(wide[i]) && i + 1 < wide.size() && IS_LOW_SURROGATE(wide[i + 1])) ? 2 : 1;
        char bytes[8];
        const int n = ToCodePage(codePage, wide.data() + i, static_cast<int>(units), bytes, sizeof bytes);
        if (n <= 0 || n > room - written) break;
        std::memcpy(buffer + written, bytes, static_cast<std::size_t>(n));
        written += n;
        i += units;
    }
    buffer[written] = '\0';
    return written;
}
