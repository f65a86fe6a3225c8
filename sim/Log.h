// One line per event, prefixed with the printer's address (or "sim" for the simulator itself),
// written to standard error or to the log file chosen at start.
#pragma once

#include <string>

namespace sim {

// Sends every later line to `path` (appending); false when it cannot be opened, and the lines
// keep going to standard error.
bool OpenLogFile(const std::string& path);

// Writes "<time> <who> <printf text>" as one line; safe from any thread.
void Log(const std::string& who, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace sim
