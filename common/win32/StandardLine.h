// One line of text to standard output or standard error, as the user can read it: wide as it is
// on a console, otherwise in a code page.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

// Writes `line` and a line end to `stream` (stdout or stderr, which `handleId` names:
// STD_OUTPUT_HANDLE or STD_ERROR_HANDLE). On a console and with `wideOnConsole` the wide text is
// written as it is; anywhere else it goes out in `codePage`.
void WriteStandardLine(FILE* stream, DWORD handleId, const std::wstring& line, bool wideOnConsole, UINT codePage);
