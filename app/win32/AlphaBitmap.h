// The main dialog's banner: a 256-colour picture (bitmap 138) blended over the dialog's
// background colour through a separate opacity picture (bitmap 139) into a 24-bit bitmap.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "app/win32/GdiObject.h"

class CAlphaBitmap {
public:
    // `module` holds bitmaps 138 and 139.
    explicit CAlphaBitmap(HMODULE module = ::GetModuleHandleW(nullptr)) : m_module(module) {}
    CAlphaBitmap(const CAlphaBitmap&) = delete;
    CAlphaBitmap& operator=(const CAlphaBitmap&) = delete;

    // Loads the colour (138) and the opacity (139) bitmaps as DIB sections, replacing any held.
    // On failure nothing is held, not even an earlier composed picture.
    BOOL LoadSources();

    // Makes the composed picture: each pixel's colour-table entry blended over `background`
    // with the pixel's opacity. Without an opacity bitmap the colour bitmap itself becomes the
    // picture. FALSE when a source cannot be read, the two sources differ in size or are not
    // 8 bits per pixel, or the picture cannot be made; an earlier picture is then kept.
    BOOL Compose(COLORREF background);

    // The composed picture (null before a successful Compose); the object keeps owning it.
    HBITMAP GetSafeHandle() const { return m_composed.get(); }

private:
    HMODULE m_module;
    UniqueBitmap m_composed;
    UniqueBitmap m_colour;
    UniqueBitmap m_alpha;
};
