// The modal dialog base, the application's message boxes and the wait cursor.
#include "app/win32/DialogBase.h"

#include <new>

#include "app/resource.h"
#include "common/win32/ModuleResources.h"

namespace {

constexpr wchar_t kDefaultTitle[] = L"Corvane Firmware Installer";

}  // namespace

INT_PTR CDialogBase::DoModal(HWND parent) {
    return ::DialogBoxParamW(m_instance, MAKEINTRESOURCEW(m_templateId), parent, &CDialogBase::DialogProc,
                             reinterpret_cast<LPARAM>(this));
}

void CDialogBase::EndDialog(INT_PTR result) {
    if (m_hWnd) ::EndDialog(m_hWnd, result);
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
    } else {
        dialog = reinterpret_cast<CDialogBase*>(::GetWindowLongPtrW(window, DWLP_USER));
    }
    if (!dialog) return FALSE;  // messages before WM_INITDIALOG

    try {
        const INT_PTR result = dialog->Dispatch(message, wParam, lParam);
        if (message == WM_NCDESTROY) dialog->m_hWnd = nullptr;
        return result;
    } catch (const std::bad_alloc&) {
        ShowOutOfMemory(window);
    } catch (...) {
    }
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

void CWaitCursor::End() {
    if (m_depth > 0 && --m_depth == 0) ::SetCursor(m_previous ? m_previous : ::LoadCursorW(nullptr, IDC_ARROW));
}
