// The installer's command line: option i names the printer's IPv4 address, option u its USB
// port; exactly one of them must be given when any argument is. Option f, alone, names a printer
// (by serial number or address) whose remembered certificate the installer forgets. Option q asks
// for quiet mode: installations onto many printers at once, with nothing shown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/ExitCode.h"

// Quiet mode's bounds and defaults.
// A fleet of up to 32 printers goes in one turn; each installation is mostly waiting on its printer.
inline constexpr std::size_t kDefaultParallelInstalls = 32;
inline constexpr std::size_t kMostParallelInstalls = 32;
inline constexpr std::size_t kMostQuietPrinters = 4096;         // after duplicates are dropped
inline constexpr std::size_t kLargestPrinterFile = 1024 * 1024;  // bytes of one file of option l
inline constexpr std::uint32_t kLongestQuietWaitSeconds = 3600;  // options w and s
// The interactive installer's bounds: a printer must be back within five minutes of taking the
// restart request, and a transfer fails after a minute without progress.
inline constexpr std::uint32_t kDefaultRestartWaitSeconds = 300;
inline constexpr std::uint32_t kDefaultStallSeconds = 60;

struct QuietOptions {
    std::vector<std::uint32_t> printers;     // host byte order, each once, in the order first given
    std::vector<std::wstring> printerTexts;  // the text each printer was first given as
    std::size_t parallel = kDefaultParallelInstalls;  // option p: installations at once
    std::wstring resultFile;                 // option o; empty: standard output
    std::vector<std::wstring> printerFiles;  // options l, as given
    std::vector<std::string> trustedSha256;  // options t: 64 lower-case hex digits each, each once
    bool acceptNew = false;                  // option a: trust a certificate seen for the first time
    std::uint32_t restartWaitMs = kDefaultRestartWaitSeconds * 1000;  // option w
    std::uint32_t stallMs = kDefaultStallSeconds * 1000;              // option s
};

struct CommandLineValues {
    std::wstring address;  // the text of option i
    std::wstring usbPort;  // the text of option u
    std::wstring forget;   // the text of option f

    bool quiet = false;         // option q; the fields above stay empty then
    QuietOptions quietOptions;  // valid when quiet and quietError is empty; with an error only
                                // resultFile is kept (where the refusal is to be written)
    std::wstring quietError;    // what is wrong with a quiet command line, in English, for the result
};

// What a reader of a file named on the command line found.
struct CommandLineFile {
    enum class Status {
        kRead,        // bytes holds the whole file
        kNotFound,    // no file (or folder) of that name
        kTooLarge,    // larger than the limit asked for
        kUnreadable,  // there, but not read: access denied, a folder, a device, a read that failed
    };
    Status status = Status::kUnreadable;
    std::string bytes;
};

// Reads the file at `path` (as given: relative to the current folder) whole when it holds at most
// `limit` bytes. Must return within a bounded time whatever the path names.
using CommandLineFileReader = std::function<CommandLineFile(const std::wstring& path, std::size_t limit)>;

// Reads the arguments after the program's own name. An argument starting with '-' or '/' is an
// option, selected by its second character in either case. The value is the rest of the argument,
// or else the next argument (consumed whatever it holds).
//
// Without option q: others, and options with other letters, are skipped. Throws
// VessickExitCode::ILLEGAL_PARAMETER when an option is given twice, when its value is missing at
// the end, or when not exactly one of i and u was given; with f, when i or u was given too. No
// arguments: every value empty, nothing thrown.
//
// Option q is found by reading the line that way, with q as a letter that takes no value (the rest
// of its argument ignored: "/quiet"). With it, the line is read again as a quiet one, and nothing
// is thrown: what is wrong goes to quietError. In quiet mode i may repeat, l FILE names a file of
// printers (one address per line; '#' starts a comment; blank lines, surrounding spaces, a UTF-8
// byte-order mark and CR before LF ignored) and may repeat, p N (1 to kMostParallelInstalls), o
// FILE, t SHA256 (64 hex digits in either case, a colon or space allowed between pairs; may
// repeat), a (a flag, like q), w SECONDS and s SECONDS (1 to kLongestQuietWaitSeconds). p, o, w
// and s may be given once each. An argument that is not an option, a letter not listed, u and f
// are errors: a quiet run must not leave out what the user meant. At least one printer is needed;
// a printer given twice is kept once. Files are read through `readFile` (none: an l option is an
// error).
CommandLineValues ReadCommandLine(const std::vector<std::wstring>& arguments,
                                  const CommandLineFileReader& readFile = {});

// The address of option i in host byte order: four decimal octets 0 to 255 separated by dots,
// nothing else. 0 when the text does not parse, is longer than 15 characters, or is
// 255.255.255.255 (which the sockets API cannot tell from an error).
std::uint32_t ParseCommandLineAddress(std::wstring_view text);
