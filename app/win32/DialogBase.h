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

// The wait cursor while the user-interface thread is busy; nesting is allowed.
class CWaitCursor {
public:
    void Begin();
    void End();

private:
    int m_depth = 0;
    HCURSOR m_previous = nullptr;
};
