// Lines to the standard streams.
#include "common/win32/StandardLine.h"

#include "common/win32/CodePage.h"

void WriteStandardLine(FILE* stream, DWORD handleId, const std::wstring& line, bool wideOnConsole, UINT codePage) {
    if (wideOnConsole) {
        const HANDLE handle = ::GetStdHandle(handleId);
        DWORD mode = 0;
        if (handle && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode)) {
            std::fflush(stream);
            const std::wstring text = line + L"\r\n";
            DWORD written = 0;
            ::WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
            return;
        }
    }
    const std::string bytes = WideToCodePage(codePage, line) + "\n";
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::fflush(stream);
}
