// The shared dialog font and its application to a dialog's controls.
#include "app/win32/DialogFont.h"

#include "app/win32/GdiObject.h"

namespace {

UniqueFont CreateIconTitleFont() {
    LOGFONTW description{};
    static_assert(sizeof description == 92);
    if (!::SystemParametersInfoW(SPI_GETICONTITLELOGFONT, sizeof description, &description, 0)) return UniqueFont();
    return UniqueFont(::CreateFontIndirectW(&description));
}

}  // namespace

HFONT GetSystemUIFont() {
    // A function-local static: made once under the language's initialisation guard, deleted at exit.
    static const UniqueFont font = CreateIconTitleFont();
    return font.get();
}

void ApplyFontToDialog(HFONT font, HWND dialog) {
    if (!font || !dialog) return;
    const auto wParam = reinterpret_cast<WPARAM>(font);
    ::SendMessageW(dialog, WM_SETFONT, wParam, TRUE);
    for (HWND child = ::GetWindow(dialog, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
        ::SendMessageW(child, WM_SETFONT, wParam, TRUE);
    }
}
