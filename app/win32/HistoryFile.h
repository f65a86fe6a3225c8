// The history of installations: every installation, interactive or quiet, appends its result line
// (RecordJsonLine) to %LOCALAPPDATA%\Corvane\Firmware Installer\history.jsonl, one JSON object a line.
#pragma once

#include <string>

// The user's history file; empty when the folder cannot be found.
std::wstring UserHistoryFilePath();

// Appends `jsonLine` and a line break to the file at `path` in one write, making the file and its
// folders when missing. Safe from any number of threads: the lines of one process never interleave
// and none is lost. A last line that an earlier writer left without its line break (a crash, a full
// disk) is ended first, so that it does not swallow this one. Tries an open that another program
// blocks a few times within 100 ms.
//
// False when nothing or not all of it was written: no path, an empty line or one that holds a line
// break, a read-only or locked file, a folder that cannot be made. The history is a record, not
// part of the installation: a caller that gets false writes a diagnostic line naming the file to
// standard error and carries on with the same outcome and exit code.
bool AppendHistoryLine(const std::wstring& path, const std::string& jsonLine);

// To the user's history file.
bool AppendHistoryLine(const std::string& jsonLine);

// Appends to the user's history file; when that fails, says so on standard error, naming the file,
// and nothing else changes.
void KeepInHistory(const std::string& jsonLine);
