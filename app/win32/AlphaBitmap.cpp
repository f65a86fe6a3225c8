// The banner's sources are loaded as DIB sections, so that their pixels and colour tables can be
// read directly; the composition itself is the portable ComposeOverBackground.
#include "app/win32/AlphaBitmap.h"

#include "app/AlphaBlend.h"
#include "app/resource.h"

namespace {

HBITMAP LoadSection(HMODULE module, unsigned id) {
    return static_cast<HBITMAP>(::LoadImageW(module, MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
}

bool ReadSection(HBITMAP bitmap, DIBSECTION& section) {
    return ::GetObjectW(bitmap, sizeof section, &section) == static_cast<int>(sizeof section) && section.dsBm.bmBits;
}

}  // namespace

BOOL CAlphaBitmap::LoadSources() {
    m_colour.reset(LoadSection(m_module, IDB_BANNER_COLOR));
    if (!m_colour) {
        m_composed.reset();
        return FALSE;
    }
    m_alpha.reset(LoadSection(m_module, IDB_BANNER_ALPHA));
    if (!m_alpha) {
        m_colour.reset();
        m_composed.reset();
        return FALSE;
    }
    return TRUE;
}

BOOL CAlphaBitmap::Compose(COLORREF background) {
    if (!m_alpha) {
        // Nothing to blend: the colour picture is shown as it is.
        if (!m_colour) return FALSE;
        m_composed.reset(m_colour.release());
        return TRUE;
    }

    DIBSECTION colour{}, alpha{};
    if (!m_colour || !ReadSection(m_colour.get(), colour) || !ReadSection(m_alpha.get(), alpha)) return FALSE;
    const LONG width = colour.dsBm.bmWidth, height = colour.dsBm.bmHeight;
    const bool topDown = colour.dsBmih.biHeight < 0;
    if (colour.dsBm.bmBitsPixel != 8 || alpha.dsBm.bmBitsPixel != 8 || alpha.dsBm.bmWidth != width ||
        alpha.dsBm.bmHeight != height || (alpha.dsBmih.biHeight < 0) != topDown || width <= 0 || height <= 0) {
        return FALSE;
    }

    // 24 bits per pixel, rows in the sources' order (bottom-up for bitmap resources).
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = topDown ? -height : height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* pixels = nullptr;
    HDC screen = ::GetDC(nullptr);
    UniqueBitmap composed(::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &pixels, nullptr, 0));
    if (screen) ::ReleaseDC(nullptr, screen);
    if (!composed || !pixels) return FALSE;

    RGBQUAD quads[256] = {};
    {
        UniqueMemoryDc dc(::CreateCompatibleDC(nullptr));
        if (!dc) return FALSE;
        HGDIOBJ previous = ::SelectObject(dc.get(), m_colour.get());
        const UINT entries = ::GetDIBColorTable(dc.get(), 0, 256, quads);
        ::SelectObject(dc.get(), previous);
        if (entries == 0) return FALSE;
    }
    ColourTable table{};
    for (std::size_t i = 0; i < table.size(); ++i) table[i] = BgrColour{quads[i].rgbBlue, quads[i].rgbGreen, quads[i].rgbRed};

    ::GdiFlush();
    const auto w = static_cast<std::size_t>(width), h = static_cast<std::size_t>(height);
    ComposeOverBackground(static_cast<const std::uint8_t*>(colour.dsBm.bmBits), PaddedRowBytes(w, 8),
                          static_cast<const std::uint8_t*>(alpha.dsBm.bmBits), PaddedRowBytes(w, 8), w, h, table,
                          BgrColour{GetBValue(background), GetGValue(background), GetRValue(background)},
                          static_cast<std::uint8_t*>(pixels), PaddedRowBytes(w, 24));
    m_composed = std::move(composed);
    return TRUE;
}
