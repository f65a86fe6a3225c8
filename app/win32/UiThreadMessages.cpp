// The user-interface thread's presenter of the lower layers' messages.
#include "app/win32/UiThreadMessages.h"

#include <atomic>
#include <cstdio>

#include "app/win32/DialogBase.h"
#include "common/win32/UserMessage.h"

namespace {

constexpr wchar_t kWindowClass[] = L"CorvaneUiThreadMessages";
constexpr UINT kShowMessage = WM_APP + 0x31;

struct Request {
    const std::wstring& text;
    const std::wstring& title;
    unsigned style;
    int answer = IDCANCEL;
};

std::atomic<DWORD> g_uiThread{0};
std::atomic<HWND> g_window{nullptr};

int ShowOwned(const std::wstring& text, const std::wstring& title, unsigned style) {
    // Owned by the dialog the user works in: the system disables it while the box is open, so
    // none of its handlers runs inside the box's loop.
    HWND owner = CDialogBase::ActiveDialog();
    if (!owner) owner = ::GetActiveWindow();
    return ::MessageBoxW(owner, text.c_str(), title.empty() ? nullptr : title.c_str(), style);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kShowMessage) {
        auto& request = *reinterpret_cast<Request*>(lParam);
        request.answer = ShowOwned(request.text, request.title, request.style);
        return TRUE;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

bool CUiThreadMessages::Install(HINSTANCE instance) {
    g_uiThread = ::GetCurrentThreadId();
    if (g_window.load()) {
        SetUserMessagePresenter(&CUiThreadMessages::Show);
        return true;
    }

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    ::RegisterClassExW(&windowClass);  // a class left from an earlier call is used as it is
    // Message-only: it is never shown and needs no display. It lives as long as the thread.
    const HWND window = ::CreateWindowExW(0, kWindowClass, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance,
                                          nullptr);
    g_window = window;
    if (!window) return false;
    SetUserMessagePresenter(&CUiThreadMessages::Show);
    return true;
}

int CUiThreadMessages::Show(const std::wstring& text, const std::wstring& title, unsigned style) {
    if (::GetCurrentThreadId() == g_uiThread.load()) return ShowOwned(text, title, style);
    const HWND window = g_window.load();
    Request request{text, title, style};
    // Answered once the user-interface thread has handled it: that thread dispatches while a
    // worker runs (the firmware send) and in every dialog's message loop.
    if (!window || !::SendMessageW(window, kShowMessage, 0, reinterpret_cast<LPARAM>(&request))) {
        std::fwprintf(stderr, L"message not shown (the user-interface thread cannot be reached): %ls\n", text.c_str());
        return IDCANCEL;
    }
    return request.answer;
}
