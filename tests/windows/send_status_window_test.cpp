// The progress dialogs' window under Wine: the template with its caption, icon, texts and bar as
// the firmware dialog starts; Escape and the abort gesture ending it; and the helper that keeps a
// window answering while a transfer blocks on another thread.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "app/SendStatusDlg.h"
#include "app/resource.h"
#include "app/win32/SendStatusWindow.h"
#include "common/ProcessInstance.h"
#include "update/FirmUpdater.h"
#include "update/PanelUpdater.h"
#include "update/UpdateModel.h"

namespace {

// A window of this thread that answers WM_APP with 42 and counts its timer ticks.
class CountingWindow {
public:
    CountingWindow() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = &Proc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = L"CountingWindow";
        ::RegisterClassW(&wc);
        m_window = ::CreateWindowW(L"CountingWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
        s_ticks = 0;
    }
    ~CountingWindow() { ::DestroyWindow(m_window); }
    HWND Handle() const { return m_window; }
    static int Ticks() { return s_ticks; }

private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_APP) return 42;
        if (message == WM_TIMER) {
            ++s_ticks;
            return 0;
        }
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
    HWND m_window = nullptr;
    static inline int s_ticks = 0;
};

TEST(RunWhileDispatching, TheCallingThreadKeepsAnsweringWhileTheWorkRuns) {
    CountingWindow window;
    ASSERT_NE(window.Handle(), nullptr);
    ::SetTimer(window.Handle(), 1, 10, nullptr);
    // The work needs an answer from the window: a thread that waited without dispatching would
    // never give it.
    DWORD_PTR answer = 0;
    const bool result = RunWhileDispatching(nullptr, [&] {
        const bool answered = ::SendMessageTimeoutW(window.Handle(), WM_APP, 0, 0, SMTO_NORMAL, 5000, &answer) != 0;
        ::Sleep(300);
        return answered;
    });
    ::KillTimer(window.Handle(), 1);
    EXPECT_TRUE(result);
    EXPECT_EQ(answer, 42u);
    EXPECT_GT(CountingWindow::Ticks(), 3);

    EXPECT_FALSE(RunWhileDispatching(nullptr, [] { return false; }));
    EXPECT_FALSE(RunWhileDispatching(nullptr, []() -> bool { throw std::runtime_error("lost"); }));
}

TEST(RunWhileDispatching, AQuitMessageIsKeptForTheLoopThatOwnsIt) {
    EXPECT_TRUE(RunWhileDispatching(nullptr, [] {
        ::Sleep(100);
        return true;
    }));
    ::PostQuitMessage(7);
    EXPECT_TRUE(RunWhileDispatching(nullptr, [] {
        ::Sleep(100);
        return true;
    }));
    MSG msg;
    ASSERT_TRUE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 7u);
}

// Runs `act` on the dialog (and on message boxes it opens) from a timer of this thread, which
// every modal loop of the thread dispatches.
class DialogProbe {
public:
    using Act = std::function<bool(HWND)>;  // true: done with this window

    explicit DialogProbe(Act act) : m_act(std::move(act)) {
        s_probe = this;
        m_timer = ::SetTimer(nullptr, 0, 100, &Tick);
    }
    ~DialogProbe() {
        ::KillTimer(nullptr, m_timer);
        s_probe = nullptr;
    }

private:
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
        if (!s_probe) return;
        ::EnumThreadWindows(::GetCurrentThreadId(), &Visit, 0);
    }
    static BOOL CALLBACK Visit(HWND window, LPARAM) {
        if (::IsWindowVisible(window) && s_probe->m_act) s_probe->m_act(window);
        return TRUE;
    }
    Act m_act;
    UINT_PTR m_timer = 0;
    static inline DialogProbe* s_probe = nullptr;
};

std::wstring Text(HWND dialog, int id) {
    wchar_t text[256] = L"";
    ::GetDlgItemTextW(dialog, id, text, 256);
    return text;
}

std::wstring Caption(HWND window) {
    wchar_t text[256] = L"";
    ::GetWindowTextW(window, text, 256);
    return text;
}

class SendStatusWindowTest : public testing::Test {
protected:
    void SetUp() override {
        // No printer: the firmware dialog waits for it, which leaves time to look and to act.
        ProcessInstance<CUpdateDeviceInfo>::Replace(std::make_shared<CUpdateDeviceInfo>());
        ProcessInstance<CUpdater>::Replace(std::make_shared<CUpdater>());
        ProcessInstance<CFirmUpdater>::Replace(std::make_shared<CFirmUpdater>());
        ProcessInstance<CPanelUpdater>::Replace(std::make_shared<CPanelUpdater>(nullptr, SystemClock()));
        CSendStatusDlg::ResetProcessCounters();
    }

    MapStringTable m_strings{
        {IDS_APP_TITLE, L"Corvane Firmware Installer"},
        {IDS_INSTALLING_FIRMWARE, L"Installing and checking firmware..."},
        {IDS_CONFIRM_EXIT, L"Are you sure to exit without installation?"},
    };
};

TEST_F(SendStatusWindowTest, TheFirmwareDialogShowsItselfAndEscapeEndsIt) {
    CSendStatusWindow window(ProgressDialog::kFirmware, m_strings, true, 0);
    std::wstring caption, status, label, percent;
    HICON frame = nullptr;
    int high = 0;
    DialogProbe probe([&](HWND dialog) {
        if (!::GetDlgItem(dialog, IDC_PROGRESS) || !caption.empty()) return true;
        caption = Caption(dialog);
        status = Text(dialog, IDC_STATUS_TEXT);
        label = Text(dialog, IDC_STEP_LABEL);
        percent = Text(dialog, IDC_PERCENT);
        frame = reinterpret_cast<HICON>(::SendDlgItemMessageW(dialog, IDC_ANIMATION, STM_GETICON, 0, 0));
        high = static_cast<int>(::SendDlgItemMessageW(dialog, IDC_PROGRESS, PBM_GETRANGE, FALSE, 0));
        // Enter does nothing; Escape ends the dialog at once.
        ::PostMessageW(dialog, WM_KEYDOWN, VK_RETURN, 0x001C0001);
        ::PostMessageW(dialog, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        return true;
    });
    EXPECT_EQ(window.Run(nullptr), END_ABORTED);
    EXPECT_EQ(caption, L"Corvane Firmware Installer");
    EXPECT_EQ(status, L"Installing and checking firmware...");
    EXPECT_EQ(label, L"1/2");
    EXPECT_EQ(percent, L"0%");
    EXPECT_NE(frame, nullptr);
    EXPECT_EQ(high, 3);
}

TEST_F(SendStatusWindowTest, TheGestureAsksAndYesEndsTheDialog) {
    CSendStatusWindow window(ProgressDialog::kFirmware, m_strings, false, 0);
    int gestures = 0;
    std::wstring question;
    DialogProbe probe([&](HWND window) {
        if (::GetDlgItem(window, IDC_PROGRESS)) {
            if (gestures == 0) {
                // Ctrl and Shift without the left button: nothing.
                ::PostMessageW(window, WM_RBUTTONDBLCLK, MK_SHIFT | MK_CONTROL | MK_RBUTTON, MAKELPARAM(10, 10));
            } else if (gestures == 1) {
                ::PostMessageW(window, WM_RBUTTONDBLCLK, MK_LBUTTON | MK_SHIFT | MK_CONTROL | MK_RBUTTON,
                               MAKELPARAM(10, 10));
            }
            ++gestures;
            return true;
        }
        if (const HWND text = ::GetDlgItem(window, 0xFFFF); text && question.empty()) {
            question = Text(window, 0xFFFF);
            ::PostMessageW(window, WM_COMMAND, IDYES, 0);
        }
        return true;
    });
    EXPECT_EQ(window.Run(nullptr), END_ABORTED);
    EXPECT_EQ(question, L"Are you sure to exit without installation?");
    EXPECT_GE(gestures, 2);
}

}  // namespace
