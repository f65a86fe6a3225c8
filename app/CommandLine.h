// The installer's command line: option i names the printer's IPv4 address, option u its USB
// port; exactly one of them must be given when any argument is. Option f, alone, names a printer
// (by serial number or address) whose remembered certificate the installer forgets.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/ExitCode.h"

struct CommandLineValues {
    std::wstring address;  // the text of option i
    std::wstring usbPort;  // the text of option u
    std::wstring forget;   // the text of option f
};

// Reads the arguments after the program's own name. An argument starting with '-' or '/' is an
// option, selected by its second character in either case; others, and options with other letters,
// are skipped. The value is the rest of the argument, or else the next argument (consumed whatever
// it holds). Throws VessickExitCode::ILLEGAL_PARAMETER when an option is given twice, when its
// value is missing at the end, or when not exactly one of i and u was given; with f, when i or u
// was given too. No arguments: every value empty, nothing thrown.
CommandLineValues ReadCommandLine(const std::vector<std::wstring>& arguments);

// The address of option i in host byte order: four decimal octets 0 to 255 separated by dots,
// nothing else. 0 when the text does not parse, is longer than 15 characters, or is
// 255.255.255.255 (which the sockets API cannot tell from an error).
std::uint32_t ParseCommandLineAddress(std::wstring_view text);
