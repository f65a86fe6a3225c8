// Diagnostic lines, SendAll and name resolution for the TLS socket and the certificate check.
#include "common/tls/Common.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "common/win32/CodePage.h"
#include "common/win32/StandardLine.h"

namespace Tls {
namespace {

// Keeps the thread's error numbers across a diagnostic, which itself calls the system.
class ErrorKeeper {
public:
    ErrorKeeper() : m_socketError(::WSAGetLastError()), m_systemError(::GetLastError()) {}
    ~ErrorKeeper() {
        ::SetLastError(m_systemError);
        ::WSASetLastError(m_socketError);
    }
    ErrorKeeper(const ErrorKeeper&) = delete;
    ErrorKeeper& operator=(const ErrorKeeper&) = delete;

private:
    int m_socketError;
    DWORD m_systemError;
};

LineSink& Sink() {
    static LineSink* const sink = new LineSink;  // lines may be written while the process ends
    return *sink;
}

void WriteToStream(LineChannel channel, const std::wstring& line) {
    // The wide channels show on a console as they are; anywhere else, and always for the TLS
    // lines, the text goes out in the ANSI code page.
    const bool output = channel == LineChannel::kWideOutput;
    WriteStandardLine(output ? stdout : stderr, output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE, line,
                      channel != LineChannel::kError, CP_ACP);
}

void Emit(LineChannel channel, const std::wstring& line) {
    if (Sink()) {
        Sink()(channel, line);
    } else {
        WriteToStream(channel, line);
    }
}

std::wstring BaseName(const char* file) {
    const char* name = file;
    for (const char* p = file; *p; ++p) {
        if (*p == '/' || *p == '\\') name = p + 1;
    }
    return CodePageToWide(CP_ACP, name);
}

}  // namespace

LineSink SetLineSink(LineSink sink) {
    LineSink previous = std::move(Sink());
    Sink() = std::move(sink);
    return previous;
}

void Report(const char* file, const char* function, int line, std::wstring_view detail) {
    const ErrorKeeper keeper;
    std::wstring text = BaseName(file);
    text += L" : ";
    text += CodePageToWide(CP_ACP, function);
    text += L" : ";
    text += std::to_wstring(line);
    text += L" : ";
    text += detail;
    Emit(LineChannel::kError, text);
}

void WriteLine(LineChannel channel, std::wstring_view text) {
    const ErrorKeeper keeper;
    Emit(channel, std::wstring(text));
}

std::wstring Decimal(std::wstring_view text, long value) { return std::wstring(text) + std::to_wstring(value); }

std::wstring LowerHex(unsigned long code) {
    wchar_t digits[16] = {};
    std::swprintf(digits, 16, L"%lx", code);
    return digits;
}

std::wstring Hex(std::wstring_view text, long status) {
    return std::wstring(text) + L"0x" + LowerHex(static_cast<unsigned long>(status));
}

int SendAll(SOCKET socket, const void* data, int length) {
    if (length <= 0) return length;
    const char* const bytes = static_cast<const char*>(data);
    int sent = 0;
    while (sent < length) {
        const int n = ::send(socket, bytes + sent, length - sent, 0);
        if (n == SOCKET_ERROR) {
            TLS_REPORT("Tls::SendAll", Decimal(L"send : ", ::WSAGetLastError()));
            return -1;
        }
        sent += n;
    }
    return length;
}

}  // namespace Tls
