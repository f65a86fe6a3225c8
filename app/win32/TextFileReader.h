// Reading a file named on the command line (quiet mode's file of printers) for the portable
// command-line reader.
#pragma once

#include <cstddef>
#include <string>

#include "app/CommandLine.h"

// The file at `path` whole when it is a file on disk of at most `limit` bytes. A device, a pipe or
// a console is refused unread, since reading one could wait without end; so is a folder.
CommandLineFile ReadTextFile(const std::wstring& path, std::size_t limit);
