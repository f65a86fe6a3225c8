// A thin modal dialog over DialogBoxParamW: the object travels in the creation parameter, is kept
// in the window's user data from WM_INITDIALOG on, and the messages the dialogs use are switched
// to virtual handlers. No exception crosses the dialog procedure: running out of memory in a
// handler is reported and ends the dialog with its failure result.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "app/DialogView.h"

class CWaitCursor;

class CDialogBase {
public:
    explicit CDialogBase(unsigned templateId, HINSTANCE instance = ::GetModuleHandleW(nullptr))
        : m_templateId(templateId), m_instance(instance) {}
    virtual ~CDialogBase() = default;
    CDialogBase(const CDialogBase&) = delete;
    CDialogBase& operator=(const CDialogBase&) = delete;

    // Runs the dialog until it ends; its result, or -1 when it could not be created.
    INT_PTR DoModal(HWND parent = nullptr);

    HWND GetSafeHwnd() const { return m_hWnd; }
    // The dialog of the calling thread opened last and still open (the one the user works in
    // now); null when none is open.
    static HWND ActiveDialog();
    HWND GetDlgItem(int id) const { return m_hWnd ? ::GetDlgItem(m_hWnd, id) : nullptr; }
    void EndDialog(INT_PTR result);

protected:
    HINSTANCE Instance() const { return m_instance; }

    virtual BOOL OnInitDialog() { return TRUE; }
    // A command from a control or a menu; true when handled. By default OK and Cancel.
    virtual bool OnCommand(int id, int code, HWND control);
    virtual bool OnNotify(NMHDR& /*header*/) { return false; }
    // True when handled; otherwise the system's own handling follows.
    virtual bool OnSysCommand(WPARAM /*id*/) { return false; }
    virtual void OnTimer(UINT_PTR /*id*/) {}
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    // Any other message; true when handled, with `result` the dialog procedure's answer.
    virtual bool OnMessage(UINT /*message*/, WPARAM, LPARAM, INT_PTR& /*result*/) { return false; }
    // The result the dialog ends with when a handler fails unexpectedly.
    virtual INT_PTR FailureResult() const { return -1; }
    // The dialog's wait cursor, if it has one: while it is active the dialog and its controls
    // keep showing it whenever the system asks for the cursor (at every mouse move).
    virtual const CWaitCursor* WaitCursor() const { return nullptr; }

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

    unsigned m_templateId;
    HINSTANCE m_instance;
    HWND m_hWnd = nullptr;
};

// The application title (string 57344), with the English title when the table lacks it.
std::wstring ApplicationTitle();

// A message box with the application title, owned by `owner` (may be null).
MessageAnswer ShowAppMessage(HWND owner, const std::wstring& text, MessageIcon icon, MessageButtons buttons);

// The system's text for running out of memory, in a message box with an OK button.
void ShowOutOfMemory(HWND owner);

// The wait cursor while the user-interface thread is busy; nesting is allowed. The window that
// owns it keeps showing it when the system asks for the cursor (WM_SETCURSOR) while Active.
class CWaitCursor {
public:
    void Begin();
    void End();
    bool Active() const { return m_depth > 0; }
    // Shows the wait cursor now.
    void Show() const;

private:
    int m_depth = 0;
    HCURSOR m_previous = nullptr;
};
