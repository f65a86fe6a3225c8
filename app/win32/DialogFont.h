// The one font every dialog of the installer uses: the system's icon-title font.
#pragma once

#include <winsock2.h>
#include <windows.h>

// The process-wide font made from the system's icon-title font description, created on first
// use (once, also when threads ask at the same time) and deleted when the process ends. Null when
// the system does not give the description or the font cannot be made.
HFONT GetSystemUIFont();

// Sets `font` (with redraw) on `dialog` and on each of its direct children; the children's own
// children keep their fonts. Does nothing when either is null.
void ApplyFontToDialog(HFONT font, HWND dialog);
