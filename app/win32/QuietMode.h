// Quiet mode on Windows: the result lines on standard output or in the file option o names, each
// also appended to the history, and, when the installer was started from a console and its
// output is that console, one line per printer with its stage and percentage, kept up to date in
// place while the run goes on.
#pragma once

#include <string>

#include "app/CommandLine.h"
#include "app/InstallRecord.h"

// Runs the quiet command line `values` (values.quiet set) and returns the process exit code.
// `socketReady`: whether Winsock started. Shows no window and no message box.
int RunQuietMode(const CommandLineValues& values, bool socketReady);

// Writes what a quiet run refuses to start for (a bad command line, `exitCode` 3; another
// installer running, 2) as the run's only line, where the results would have gone.
void WriteQuietRefusal(const CommandLineValues& values, const std::wstring& error, int exitCode);
