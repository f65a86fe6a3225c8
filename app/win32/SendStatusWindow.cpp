// The progress dialogs' window over the dialog template 136.
#include "app/win32/SendStatusWindow.h"

#include <commctrl.h>

#include <exception>
#include <thread>

#include "app/resource.h"
#include "app/win32/DialogFont.h"
#include "common/win32/UniqueHandle.h"

namespace {

constexpr UINT_PTR kTimerId = 1;
constexpr DWORD kDispatchCheckMs = 100;
constexpr int kFrameSize = 48;
constexpr int kFrameIds[kAnimationFrames] = {IDI_ANIMATION_1, IDI_ANIMATION_2, IDI_ANIMATION_3, IDI_ANIMATION_4};

}  // namespace

CSendStatusWindow::CSendStatusWindow(ProgressDialog dialog, const IStringTable& strings, CInstallation& installation,
                                     std::uint32_t parts, std::uint32_t address, HINSTANCE instance)
    : CDialogBase(IDD_SEND_STATUS, instance),
      m_strings(strings),
      m_logic(MakeProgressDialog(dialog, *this, strings, installation, parts, address)) {}

CSendStatusWindow::~CSendStatusWindow() = default;

int CSendStatusWindow::Run(HWND owner) { return static_cast<int>(DoModal(owner)); }

BOOL CSendStatusWindow::OnInitDialog() {
    ApplyFontToDialog(GetSystemUIFont(), GetSafeHwnd());
    std::wstring caption;
    if (m_strings.Load(IDS_APP_TITLE, caption)) ::SetWindowTextW(GetSafeHwnd(), caption.c_str());
    for (int i = 0; i < kAnimationFrames; ++i) {
        m_hFrames[i].reset(static_cast<HICON>(
            ::LoadImageW(Instance(), MAKEINTRESOURCEW(kFrameIds[i]), IMAGE_ICON, kFrameSize, kFrameSize, 0)));
    }
    m_logic->OnInitDialog();
    return TRUE;
}

void CSendStatusWindow::OnTimer(UINT_PTR id) {
    if (!m_logic->OnTimerMessage(static_cast<unsigned>(id))) ::DefWindowProcW(GetSafeHwnd(), WM_TIMER, id, 0);
}

bool CSendStatusWindow::OnMessage(UINT message, WPARAM wParam, LPARAM /*lParam*/, INT_PTR& result) {
    switch (message) {
        case WM_RBUTTONDBLCLK:
            m_logic->OnRButtonDblClk(static_cast<unsigned>(LOWORD(wParam)));
            result = 0;
            return true;
        case WM_DESTROY:
            m_logic->OnDestroy();
            return false;
        default:
            return false;
    }
}

MessageAnswer CSendStatusWindow::ShowMessage(const std::wstring& text, MessageIcon icon, MessageButtons buttons) {
    return ShowAppMessage(GetSafeHwnd(), text, icon, buttons);
}

void CSendStatusWindow::SetText(int id, const std::wstring& text) { ::SetDlgItemTextW(GetSafeHwnd(), id, text.c_str()); }

void CSendStatusWindow::ShowFrame(int frame) {
    if (frame < 0 || frame >= kAnimationFrames || !m_hFrames[frame]) return;
    ::SendDlgItemMessageW(GetSafeHwnd(), IDC_ANIMATION, STM_SETICON, reinterpret_cast<WPARAM>(m_hFrames[frame].get()),
                          0);
}

LRESULT CSendStatusWindow::SendToBar(UINT message, WPARAM wParam, LPARAM lParam) {
    return ::SendDlgItemMessageW(GetSafeHwnd(), IDC_PROGRESS, message, wParam, lParam);
}

void CSendStatusWindow::SetRange(int low, int high) { SendToBar(PBM_SETRANGE32, low, high); }

void CSendStatusWindow::GetRange(int& low, int& high) {
    PBRANGE range{};
    SendToBar(PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range));
    low = range.iLow;
    high = range.iHigh;
}

int CSendStatusWindow::Position() { return static_cast<int>(SendToBar(PBM_GETPOS)); }
void CSendStatusWindow::SetPosition(int position) { SendToBar(PBM_SETPOS, static_cast<WPARAM>(position)); }
void CSendStatusWindow::OffsetPosition(int delta) { SendToBar(PBM_DELTAPOS, static_cast<WPARAM>(delta)); }
void CSendStatusWindow::SetStep(int step) { SendToBar(PBM_SETSTEP, static_cast<WPARAM>(step)); }

unsigned CSendStatusWindow::StartTimer(unsigned periodMs) {
    return static_cast<unsigned>(::SetTimer(GetSafeHwnd(), kTimerId, periodMs, nullptr));
}

void CSendStatusWindow::StopTimer(unsigned id) { ::KillTimer(GetSafeHwnd(), id); }

bool CSendStatusWindow::RunResponsive(const std::function<bool()>& work) {
    return RunWhileDispatching(GetSafeHwnd(), work);
}

bool RunWhileDispatching(HWND dialog, const std::function<bool()>& work) {
    const UniqueKernelObject done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!done) return false;
    bool result = false;
    std::thread worker;
    try {
        worker = std::thread([&] {
            try {
                result = work();
            } catch (...) {
                result = false;
            }
            ::SetEvent(done.get());
        });
    } catch (const std::exception&) {
        return false;
    }

    HANDLE wait = done.get();
    int quitCode = 0;
    bool quit = false;
    for (;;) {
        // Woken by the work's end or by a message; should the wait itself fail, the messages are
        // still looked at every so often: the work may be waiting for this thread to answer one.
        const DWORD woken = ::MsgWaitForMultipleObjectsEx(1, &wait, kDispatchCheckMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woken == WAIT_OBJECT_0) break;
        if (woken == WAIT_FAILED) ::Sleep(kDispatchCheckMs);
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                // Kept for the loop that owns it, once the work is done.
                quit = true;
                quitCode = static_cast<int>(msg.wParam);
                continue;
            }
            if (dialog && ::IsDialogMessageW(dialog, &msg)) continue;
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    worker.join();
    if (quit) ::PostQuitMessage(quitCode);
    return result;
}
