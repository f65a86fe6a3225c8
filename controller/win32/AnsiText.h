// The information text as the installer reads it: the protocol carries UTF-8, the installer
// expects the thread's ANSI code page in a buffer of its own size.
#pragma once

#include <windows.h>

#include <string_view>

// Writes `text` (UTF-8) into `buffer` as zero-terminated text in `codePage`, using at most `size`
// bytes with the terminator. A character that does not fit whole is left out together with
// everything after it, so a double-byte character is never cut in half. Malformed UTF-8 becomes
// U+FFFD first; characters the code page lacks become its default character (no look-alikes). Returns the bytes
// written before the terminator; writes nothing at all when `size` is below 1.
int CopyAsAnsi(std::string_view text, char* buffer, int size, UINT codePage = CP_THREAD_ACP);
