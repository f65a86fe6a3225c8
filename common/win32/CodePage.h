// Conversions between wide text and the multi-byte code pages the system and its peers use.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// `text` in `codePage` (CP_ACP, CP_THREAD_ACP, CP_UTF8, ...) as wide text; empty when nothing
// converts.
std::wstring CodePageToWide(UINT codePage, std::string_view text);

// Wide `text` in `codePage`; empty when nothing converts.
std::string WideToCodePage(UINT codePage, std::wstring_view text);
