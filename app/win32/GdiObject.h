// Owners of GDI objects (bitmaps, fonts), of memory device contexts and of icons, on UniqueHandle.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "common/win32/UniqueHandle.h"

template <typename T>
struct GdiObjectTraits {
    using Handle = T;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle object) noexcept { ::DeleteObject(object); }
};

struct MemoryDcTraits {
    using Handle = HDC;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle dc) noexcept { ::DeleteDC(dc); }
};

struct IconTraits {  // icons loaded without LR_SHARED
    using Handle = HICON;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle icon) noexcept { ::DestroyIcon(icon); }
};

using UniqueBitmap = UniqueHandle<GdiObjectTraits<HBITMAP>>;
using UniqueFont = UniqueHandle<GdiObjectTraits<HFONT>>;
using UniqueMemoryDc = UniqueHandle<MemoryDcTraits>;
using UniqueIcon = UniqueHandle<IconTraits>;
