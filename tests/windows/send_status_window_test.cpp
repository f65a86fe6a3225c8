// The progress dialogs' window under Wine: the template with its caption, icon, texts and bar as
// the firmware dialog starts; Escape and the abort gesture ending it; and the helper that keeps a
// window answering while a transfer blocks on another thread.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <memory>
#include <stdexcept>
#include <string>

#include "app/SendStatusDlg.h"
#include "app/resource.h"
#include "app/win32/DialogBase.h"
#include "app/win32/SendStatusWindow.h"
#include "app/win32/UiThreadMessages.h"
#include "common/win32/UserMessage.h"
#include "update/Installation.h"

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
        m_installation = std::make_unique<CInstallation>(std::make_shared<CPanelUpdater>(nullptr, SystemClock()));
    }

    std::unique_ptr<CInstallation> m_installation;

    MapStringTable m_strings{
        {IDS_APP_TITLE, L"Corvane Firmware Installer"},
        {IDS_INSTALLING_FIRMWARE, L"Installing and checking firmware..."},
        {IDS_CONFIRM_EXIT, L"Are you sure to exit without installation?"},
    };
};

TEST_F(SendStatusWindowTest, TheFirmwareDialogShowsItselfAndEscapeEndsIt) {
    CSendStatusWindow window(ProgressDialog::kFirmware, m_strings, *m_installation, kPartsBoth, 0);
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
    CSendStatusWindow window(ProgressDialog::kFirmware, m_strings, *m_installation, kPartFirmware, 0);
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

// A dialog over template 136 that is at work (its wait cursor on) from the start, and runs
// `work` on a worker while it keeps dispatching, the way the firmware send does.
class BusyDialog final : public CDialogBase {
public:
    static constexpr UINT kCursorQuery = WM_APP + 1;

    explicit BusyDialog(std::function<void(HWND)> work) : CDialogBase(IDD_SEND_STATUS), m_work(std::move(work)) {}
    const CWaitCursor* WaitCursor() const override { return &m_wait; }

private:
    BOOL OnInitDialog() override {
        m_wait.Begin();
        ::PostMessageW(GetSafeHwnd(), WM_APP, 0, 0);
        return TRUE;
    }
    bool OnMessage(UINT message, WPARAM, LPARAM, INT_PTR& result) override {
        if (message == kCursorQuery) {
            // The cursor this thread shows now.
            ::SetWindowLongPtrW(GetSafeHwnd(), DWLP_MSGRESULT, reinterpret_cast<LONG_PTR>(::GetCursor()));
            result = TRUE;
            return true;
        }
        if (message != WM_APP) return false;
        const HWND self = GetSafeHwnd();
        RunWhileDispatching(self, [this, self] {
            m_work(self);
            return true;
        });
        m_wait.End();
        EndDialog(IDOK);
        result = 0;
        return true;
    }
    std::function<void(HWND)> m_work;
    CWaitCursor m_wait;
};

TEST(UiThreadMessages, AWorkersMessageIsShownOnTheInterfaceThreadOwnedByTheActiveDialog) {
    ASSERT_TRUE(CUiThreadMessages::Install());
    const DWORD uiThread = ::GetCurrentThreadId();
    std::atomic<DWORD> boxThread{0};
    std::atomic<bool> ownerDisabled{false};
    std::atomic<HWND> owner{nullptr};
    std::wstring text;
    DialogProbe probe([&](HWND window) {
        if (::GetDlgItem(window, IDC_PROGRESS)) return true;
        if (::GetDlgItem(window, 0xFFFF) && text.empty()) {
            text = Text(window, 0xFFFF);
            boxThread = ::GetWindowThreadProcessId(window, nullptr);
            owner = ::GetWindow(window, GW_OWNER);
            ownerDisabled = owner.load() && !::IsWindowEnabled(owner.load());
            ::PostMessageW(window, WM_COMMAND, IDOK, 0);
        }
        return true;
    });
    HWND dialogWindow = nullptr;
    int answer = 0;
    BusyDialog dialog([&](HWND self) {
        dialogWindow = self;
        answer = ShowUserMessage(L"The library cannot be written.", L"Corvane Firmware Installer", MB_OK);
    });
    EXPECT_EQ(dialog.DoModal(nullptr), IDOK);
    EXPECT_EQ(text, L"The library cannot be written.");
    EXPECT_EQ(answer, IDOK);
    EXPECT_EQ(boxThread, uiThread) << "the box came up on the worker's thread";
    EXPECT_EQ(owner, dialogWindow);
    EXPECT_TRUE(ownerDisabled) << "the dialog under the box stayed enabled";
    SetUserMessagePresenter(nullptr);
}

TEST(UiThreadMessages, ADialogAtWorkKeepsTheWaitCursorWhenTheMouseMoves) {
    HCURSOR shown = nullptr;
    BusyDialog dialog([&](HWND self) {
        // As the system asks at every mouse move over the dialog and its controls (from this
        // worker: the dialog's thread answers while it dispatches).
        const HWND control = ::GetDlgItem(self, IDC_STATUS_TEXT);
        ::SendMessageW(self, WM_SETCURSOR, reinterpret_cast<WPARAM>(self), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
        ::SendMessageW(control, WM_SETCURSOR, reinterpret_cast<WPARAM>(control), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
        shown = reinterpret_cast<HCURSOR>(::SendMessageW(self, BusyDialog::kCursorQuery, 0, 0));
    });
    EXPECT_EQ(dialog.DoModal(nullptr), IDOK);
    EXPECT_EQ(shown, ::LoadCursorW(nullptr, IDC_WAIT)) << "the system put the arrow back";
}

}  // namespace
