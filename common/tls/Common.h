// What the TLS socket and the certificate check share: their diagnostic lines and sending a whole
// buffer on a socket.
//
// Diagnostics are for whoever runs the installer from a console or collects its standard error;
// the user never sees them. Tests take the lines with SetLineSink.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

namespace Tls {

enum class LineChannel {
    kError,       // a TLS diagnostic: narrow text in the system's ANSI code page, standard error
    kWideError,   // a certificate diagnostic: the wide standard error stream
    kWideOutput,  // the certificate's success line: the wide standard output stream
};

// Receives every line, without its line end. An empty sink restores the standard streams.
// Returns the sink it replaces. Not thread-safe: set it before the sockets are used.
using LineSink = std::function<void(LineChannel channel, const std::wstring& line)>;
LineSink SetLineSink(LineSink sink);

// One diagnostic line: file name (without directories), " : ", function, " : ", line, " : ",
// detail. The calling thread's Winsock and system error numbers survive the call, so a caller can
// report first and read the error afterwards.
void Report(const char* file, const char* function, int line, std::wstring_view detail);

// A line of the certificate check, on the wide channels.
void WriteLine(LineChannel channel, std::wstring_view text);

// Detail texts: "text" + the error number in decimal, or + "0x" and the status in lower-case
// hexadecimal.
std::wstring Decimal(std::wstring_view text, long value);
std::wstring Hex(std::wstring_view text, long status);

// A status or error code in lower-case hexadecimal, without prefix.
std::wstring LowerHex(unsigned long code);

// Calls `send` until all `length` bytes are accepted. The length, or -1 at the first failed
// `send` (reported). A length of 0 or less is returned at once.
int SendAll(SOCKET socket, const void* data, int length);

}  // namespace Tls

// A diagnostic line from the current source line.
#define TLS_REPORT(function, detail) ::Tls::Report(__FILE__, function, __LINE__, detail)
