// Owners of GDI objects (bitmaps, fonts) and of memory device contexts, on UniqueHandle.
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

using UniqueBitmap = UniqueHandle<GdiObjectTraits<HBITMAP>>;
using UniqueFont = UniqueHandle<GdiObjectTraits<HFONT>>;
using UniqueMemoryDc = UniqueHandle<MemoryDcTraits>;
