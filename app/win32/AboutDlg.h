// The about box (template 100): the product's name, version line and legal notice, with the
// versions this installer carries in control 1009.
#pragma once

#include <string>

#include "app/win32/DialogBase.h"

class CAboutDlg final : public CDialogBase {
public:
    CAboutDlg(std::wstring text, HINSTANCE instance = ::GetModuleHandleW(nullptr));

private:
    BOOL OnInitDialog() override;

    std::wstring m_strText;
};
