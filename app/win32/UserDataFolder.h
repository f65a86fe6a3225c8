// The installer's folder of the user's own files, in the local application data:
// %LOCALAPPDATA%\Corvane\Firmware Installer (the trusted printer certificates, the history).
#pragma once

#include <string>

// The folder's path; empty when the local application data folder cannot be found.
std::wstring UserDataFolder();

// Makes `folder` (a path with a drive, "C:\...") and each folder above it that does not exist yet.
bool MakeFolders(const std::wstring& folder);
