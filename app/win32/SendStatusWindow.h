// The progress dialogs' window (template 136): shows what the firmware, panel and final dialogs'
// logic decides, drives it with the dialog's timer, and keeps painting while the firmware goes
// out.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/MainDialog.h"
#include "app/SendStatusDlg.h"
#include "app/win32/DialogBase.h"
#include "app/win32/GdiObject.h"
#include "common/StringTable.h"

class CSendStatusWindow final : public CDialogBase, private ISendStatusView {
public:
    // A progress dialog of `installation`. `parts`: those of the installation (kPartFirmware,
    // kPartPanel). `address`: the printer's address in network byte order, for the final dialog.
    CSendStatusWindow(ProgressDialog dialog, const IStringTable& strings, CInstallation& installation,
                      std::uint32_t parts, std::uint32_t address, HINSTANCE instance = ::GetModuleHandleW(nullptr));
    ~CSendStatusWindow() override;

    // Runs the dialog modally over `owner`; its end code.
    int Run(HWND owner);

private:
    BOOL OnInitDialog() override;
    void OnTimer(UINT_PTR id) override;
    void OnOK() override { m_logic->OnOK(); }
    void OnCancel() override { m_logic->OnCancel(); }
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;
    INT_PTR FailureResult() const override { return END_SEND_FAILED; }
    const CWaitCursor* WaitCursor() const override { return &m_wait; }

    // ISendStatusView
    MessageAnswer ShowMessage(const std::wstring& text, MessageIcon icon, MessageButtons buttons) override;
    void BeginWaitCursor() override { m_wait.Begin(); }
    void EndWaitCursor() override { m_wait.End(); }
    void SetText(int id, const std::wstring& text) override;
    void ShowFrame(int frame) override;
    void SetRange(int low, int high) override;
    void GetRange(int& low, int& high) override;
    int Position() override;
    void SetPosition(int position) override;
    void OffsetPosition(int delta) override;
    void SetStep(int step) override;
    unsigned StartTimer(unsigned periodMs) override;
    void StopTimer(unsigned id) override;
    void EndDialog(int code) override { CDialogBase::EndDialog(code); }
    void Pause(unsigned ms) override { ::Sleep(ms); }
    bool RunResponsive(const std::function<bool()>& work) override;

    LRESULT SendToBar(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

    const IStringTable& m_strings;
    std::unique_ptr<CSendStatusDlg> m_logic;
    std::array<UniqueIcon, kAnimationFrames> m_hFrames;
    CWaitCursor m_wait;
};

// Runs `work` on a worker thread while the calling thread keeps dispatching the messages of its
// windows (those for `dialog` through its keyboard handling); the work's result, false when it
// threw or no thread could be started (then nothing ran).
bool RunWhileDispatching(HWND dialog, const std::function<bool()>& work);
