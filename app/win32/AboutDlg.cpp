// The about box.
#include "app/win32/AboutDlg.h"

#include <utility>

#include "app/resource.h"
#include "app/win32/DialogFont.h"

CAboutDlg::CAboutDlg(std::wstring text, HINSTANCE instance)
    : CDialogBase(IDD_ABOUTBOX, instance), m_strText(std::move(text)) {}

BOOL CAboutDlg::OnInitDialog() {
    ApplyFontToDialog(GetSystemUIFont(), GetSafeHwnd());
    ::SetDlgItemTextW(GetSafeHwnd(), IDC_ABOUT_TEXT, m_strText.c_str());
    return TRUE;
}
