// The main dialog's window: shows what CVessickDlg decides and passes the user's actions to it.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/MainDialog.h"
#include "app/win32/AlphaBitmap.h"
#include "app/win32/DialogBase.h"

class CMainDialogWindow final : public CDialogBase, private IMainDialogView {
public:
    // The main dialog of `installation`, which outlives it.
    CMainDialogWindow(const MainDialogServices& services, CInstallation& installation,
                      HINSTANCE instance = ::GetModuleHandleW(nullptr));
    // Stops a search still under way and waits for it.
    ~CMainDialogWindow() override;

    // The dialog's logic, for the values handed to it before it runs.
    CVessickDlg& Logic() { return m_logic; }

private:
    BOOL OnInitDialog() override;
    bool OnCommand(int id, int code, HWND control) override;
    bool HandleCommand(int id, int code, HWND control);
    class HandlerAtWork;
    bool OnNotify(NMHDR& header) override;
    bool OnSysCommand(WPARAM id) override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;
    const CWaitCursor* WaitCursor() const override { return &m_wait; }
    // Before update mode an unexpected failure is one of start-up; after it, a failed installation.
    INT_PTR FailureResult() const override {
        return m_logic.UpdateModeEntered() ? VessickExitCode::INSTALL_FAILED : VessickExitCode::INIT_FAILED;
    }

    // IMainDialogView
    MessageAnswer ShowMessage(const std::wstring& text, MessageIcon icon, MessageButtons buttons) override;
    void BeginWaitCursor() override { m_wait.Begin(); }
    void EndWaitCursor() override { m_wait.End(); }
    void AddAboutMenuItem(const std::wstring& text) override;
    void SetLargeIcon() override;
    void EnableToolTips() override;
    void ApplySystemFont() override;
    void ShowBanner() override;
    bool HasControl(int id) override { return GetDlgItem(id) != nullptr; }
    void SetText(int id, const std::wstring& text) override;
    void Enable(int id, bool enable) override;
    void Focus(int id) override;
    void ClearRows() override;
    int AppendRow(const std::wstring& text) override;
    void SetRowData(int row, const CPrinterInfo* printer) override;
    const CPrinterInfo* RowData(int row) override;
    std::wstring RowText(int row) override;
    int RowCount() override;
    int SelectedRow() override;
    void SelectRow(int row) override;
    void WidenDropDown() override;
    std::uint32_t Address() override;
    void SetAddress(std::uint32_t address) override;
    void EndDialog(int code) override { CDialogBase::EndDialog(code); }
    void ReportOutOfMemory() override { ShowOutOfMemory(GetSafeHwnd()); }
    void ShowAbout(const std::wstring& text) override;
    void Pause(std::uint32_t ms) override { ::Sleep(ms); }
    int RunProgressDialog(ProgressDialog dialog, std::uint32_t parts, std::uint32_t address) override;
    bool RunResponsive(const std::function<bool()>& work) override;
    bool SearchInBackground(std::function<std::unique_ptr<CPrinterInfoList>()> search,
                            std::function<void()> stop) override;

    LRESULT SendToList(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    // What the search found, to the dialog's logic; later when one of its handlers is at work.
    void DeliverFoundPrinters();
    void EndSearch();

    // Posted by the search's thread when it has ended.
    static constexpr UINT kPrintersFound = WM_APP + 0x46;

    const IStringTable& m_strings;
    CInstallation& m_installation;
    CVessickDlg m_logic;
    HICON m_hIcon;
    CAlphaBitmap m_banner;
    CWaitCursor m_wait;

    // The search for printers: its thread, how to stop it, and what it found.
    std::thread m_search;
    std::function<void()> m_stopSearch;
    std::mutex m_foundMutex;
    std::unique_ptr<CPrinterInfoList> m_found;
    bool m_searchEnded = false;  // under m_foundMutex
    // Handlers of the user's actions at work (a box or a dialog of theirs may be open): the
    // search's end waits until none is.
    int m_handlersAtWork = 0;
    bool m_foundWaiting = false;
};
