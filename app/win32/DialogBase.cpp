// The modal dialog base, the application's message boxes and the wait cursor.
#include "app/win32/DialogBase.h"

#include <new>
#include <vector>

#include "app/resource.h"
#include "common/win32/ModuleResources.h"

namespace {

constexpr wchar_t kDefaultTitle[] = L"Corvane Firmware Installer";

// The dialogs open on this thread, in the order they were opened (modal dialogs nest).
thread_local std::vector<HWND> t_openDialogs;

void Forget(HWND window) { std::erase(t_openDialogs, window); }

}  // namespace

HWND CDialogBase::ActiveDialog() { return t_openDialogs.empty() ? nullptr : t_openDialogs.back(); }

INT_PTR CDialogBase::DoModal(HWND parent) {
    return ::DialogBoxParamW(m_instance, MAKEINTRESOURCEW(m_templateId), parent, &CDialogBase::DialogProc,
                             reinterpret_cast<LPARAM>(this));
}

void CDialogBase::EndDialog(INT_PTR result) {
    if (!m_hWnd) return;
    // An ending dialog is no longer where the user works, even before its window goes.
    Forget(m_hWnd);
    ::EndDialog(m_hWnd, result);
}

bool CDialogBase::OnCommand(int id, int code, HWND /*control*/) {
    if (code != BN_CLICKED) return false;
    if (id == IDOK) {
        OnOK();
        return true;
    }
    if (id == IDCANCEL) {
        OnCancel();
        return true;
    }
    return false;
}

INT_PTR CALLBACK CDialogBase::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    CDialogBase* dialog = nullptr;
    if (message == WM_INITDIALOG) {
        dialog = reinterpret_cast<CDialogBase*>(lParam);
        dialog->m_hWnd = window;
        ::SetWindowLongPtrW(window, DWLP_USER, lParam);
        try {
            t_openDialogs.push_back(window);
        } catch (const std::bad_alloc&) {
            // Not known as open: messages shown meanwhile are owned by the dialog beneath.
        }
    } else {
        dialog = reinterpret_cast<CDialogBase*>(::GetWindowLongPtrW(window, DWLP_USER));
    }
    if (!dialog) return FALSE;  // messages before WM_INITDIALOG

    if (message == WM_NCDESTROY) Forget(window);
    try {
        const INT_PTR result = dialog->Dispatch(message, wParam, lParam);
        if (message == WM_NCDESTROY) dialog->m_hWnd = nullptr;
        return result;
    } catch (const std::bad_alloc&) {
        ShowOutOfMemory(window);
    } catch (...) {
    }
    Forget(window);
    ::EndDialog(window, dialog->FailureResult());
    return TRUE;
}

INT_PTR CDialogBase::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            return OnInitDialog();
        case WM_COMMAND:
            return OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam)) ? TRUE : FALSE;
        case WM_NOTIFY:
            return OnNotify(*reinterpret_cast<NMHDR*>(lParam)) ? TRUE : FALSE;
        case WM_SYSCOMMAND:
            return OnSysCommand(wParam) ? TRUE : FALSE;
        case WM_TIMER:
            OnTimer(wParam);
            return TRUE;
        case WM_SETCURSOR:
            // A click on the dialog while a window over it has the input keeps the system's
            // answer (a beep, the window over it flashing).
            if (LOWORD(lParam) == static_cast<WORD>(HTERROR)) return FALSE;
            if (const CWaitCursor* wait = WaitCursor(); wait && wait->Active()) {
                wait->Show();
                ::SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, TRUE);
                return TRUE;
            }
            return FALSE;
        default: {
            INT_PTR result = FALSE;
            return OnMessage(message, wParam, lParam, result) ? result : FALSE;
        }
    }
}

std::wstring ApplicationTitle() {
    std::wstring title;
    if (!ModuleResources().Load(IDS_APP_TITLE, title)) title = kDefaultTitle;
    return title;
}

MessageAnswer ShowAppMessage(HWND owner, const std::wstring& text, MessageIcon icon, MessageButtons buttons) {
    UINT style = 0;
    switch (icon) {
        case MessageIcon::kNone: break;
        case MessageIcon::kStop: style |= MB_ICONHAND; break;
        case MessageIcon::kExclamation: style |= MB_ICONEXCLAMATION; break;
        case MessageIcon::kInformation: style |= MB_ICONINFORMATION; break;
    }
    switch (buttons) {
        case MessageButtons::kOk: style |= MB_OK; break;
        case MessageButtons::kYesNo: style |= MB_YESNO; break;
        case MessageButtons::kYesNoDefaultNo: style |= MB_YESNO | MB_DEFBUTTON2; break;
    }
    const std::wstring title = ApplicationTitle();
    switch (::MessageBoxW(owner, text.c_str(), title.c_str(), style)) {
        case IDYES: return MessageAnswer::kYes;
        case IDNO: return MessageAnswer::kNo;
        default: return buttons == MessageButtons::kOk ? MessageAnswer::kOk : MessageAnswer::kNo;
    }
}

void ShowOutOfMemory(HWND owner) {
    // No allocation of our own here: the system formats its text into a fixed buffer.
    wchar_t text[256] = L"Out of memory.";
    ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_NOT_ENOUGH_MEMORY, 0,
                     text, static_cast<DWORD>(std::size(text)), nullptr);
    ::MessageBoxW(owner, text, kDefaultTitle, MB_OK | MB_ICONHAND);
}

void CWaitCursor::Begin() {
    if (m_depth++ == 0) m_previous = ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
}

void CWaitCursor::Show() const { ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT)); }

void CWaitCursor::End() {
    if (m_depth > 0 && --m_depth == 0) ::SetCursor(m_previous ? m_previous : ::LoadCursorW(nullptr, IDC_ARROW));
}
