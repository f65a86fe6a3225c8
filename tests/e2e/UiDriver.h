// Drives a Win32 program from outside, as a user would, for the end-to-end scenarios: finds its
// windows, reads and sets its controls, presses its buttons, answers its message boxes, takes
// screenshots, and starts, waits for and ends processes. Runs in a second process of the same Wine
// prefix (or on Windows) and touches the target only through window messages and process handles.
//
// Rules every function keeps:
//  - Nothing waits without a bound. Waits poll every kPollMs up to their time-out; each message
//    sent to the target goes through SendMessageTimeout (kMessageTimeoutMs) and gives up on a
//    hung target.
//  - Buttons are pressed with PostMessage(BM_CLICK), never SendMessage: SendMessage would block
//    for as long as the target shows the message box that the click opens.
//  - Failures are return values (false, nullopt, null HWND, -1); LastError() says why in words,
//    for a test's failure message. No function throws or fails a test by itself.
//  - Controls are addressed as (dialog, control id), with the ids of the program's resources.
#pragma once

#include <winsock2.h>  // before windows.h, as common/win32/UniqueHandle.h has it
#include <windows.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/win32/UniqueHandle.h"

namespace ui {

constexpr DWORD kDefaultTimeoutMs = 10000;  // finding a window, a message box, a process's exit
constexpr DWORD kMessageTimeoutMs = 3000;   // one message sent to the target
constexpr DWORD kPollMs = 20;

// Why the last failing call of this thread failed ("no window 'X' of class '#32770' within 10000 ms").
const std::wstring& LastError();
// The same in UTF-8, for gtest messages.
std::string LastErrorUtf8();
std::string Utf8(std::wstring_view text);
// A Linux path ("/tmp/x") as Wine's drive Z: sees it ("Z:\tmp\x"); any other text unchanged.
std::wstring WindowsPath(std::wstring path);

// Polls `condition` until it holds or `timeoutMs` has passed; true when it held. The condition is
// tried once more at the deadline.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD pollMs = kPollMs);

// ---- Top-level windows -----------------------------------------------------------------------

// The first visible top-level window with this exact title and class (an empty view matches any),
// of process `processId` when it is not 0. Waits up to `timeoutMs`; null when none appeared.
HWND FindTopLevel(std::wstring_view title, std::wstring_view className = L"#32770", DWORD processId = 0,
                  DWORD timeoutMs = kDefaultTimeoutMs);
// All visible top-level windows (of one process when `processId` is not 0), in Z order.
std::vector<HWND> TopLevelWindows(DWORD processId = 0);
// Waits until `window` is destroyed or hidden; true when it was within `timeoutMs`.
bool WaitGone(HWND window, DWORD timeoutMs = kDefaultTimeoutMs);

DWORD ProcessOf(HWND window);
std::wstring ClassOf(HWND window);
// WM_GETTEXT through SendMessageTimeout; nullopt when the window is gone or does not answer.
std::optional<std::wstring> TextOf(HWND window);
// The window's rectangle in screen coordinates (empty when it is gone).
RECT ScreenRect(HWND window);

// ---- Controls of a dialog --------------------------------------------------------------------

HWND Control(HWND dialog, int id);  // null (and LastError) when the dialog has no such control
std::optional<std::wstring> ControlText(HWND dialog, int id);
bool IsEnabled(HWND dialog, int id);  // false also when the control is missing
bool IsVisible(HWND dialog, int id);  // the control and every parent visible
// Wait until the control's text is `expected`, or contains it; the last text read goes to `last`.
bool WaitForText(HWND dialog, int id, std::wstring_view expected, DWORD timeoutMs = kDefaultTimeoutMs,
                 std::wstring* last = nullptr);
bool WaitForTextContaining(HWND dialog, int id, std::wstring_view part, DWORD timeoutMs = kDefaultTimeoutMs,
                           std::wstring* last = nullptr);
bool WaitForEnabled(HWND dialog, int id, bool enabled, DWORD timeoutMs = kDefaultTimeoutMs);
bool WaitForVisible(HWND dialog, int id, bool visible, DWORD timeoutMs = kDefaultTimeoutMs);

// ---- Combo boxes (drop-down lists) -----------------------------------------------------------

// The rows' texts (CB_GETCOUNT, CB_GETLBTEXTLEN, CB_GETLBTEXT); nullopt on failure.
std::optional<std::vector<std::wstring>> ComboRows(HWND dialog, int id);
// The selected row (CB_GETCURSEL): -1 when none is selected or on failure.
int ComboSelection(HWND dialog, int id);
// Selects a row as a user would: CB_SETCURSEL, then WM_COMMAND(id, CBN_SELCHANGE) to the combo's
// parent so that the program reacts. The notification is sent, so a quick handler has run when
// this returns; a handler that opens a message box is left running (that is not a failure).
// Fails on a disabled or hidden combo box, or a row out of range.
bool SelectComboRow(HWND dialog, int id, int row);
// The same for the first row whose text is exactly `text`.
bool SelectComboRow(HWND dialog, int id, std::wstring_view text);

// ---- IPv4 address control (SysIPAddress32) ---------------------------------------------------

struct Ipv4 {
    DWORD address = 0;       // as IPM_GETADDRESS gives it: first field in the high byte
    int filledFields = 0;    // fields that are not blank (0 to 4)
    std::wstring Text() const;  // "a.b.c.d"; empty when every field is blank
};
// IPM_GETADDRESS; its DWORD is read through a buffer in the target process.
std::optional<Ipv4> GetIpAddress(HWND dialog, int id);
// IPM_SETADDRESS (IPM_CLEARADDRESS for an empty text). Wine's control then tells its parent
// itself: each field's edit changes and the control sends WM_COMMAND(id, EN_CHANGE), as typing
// does. Windows' control does not; there pass `notify` to send that WM_COMMAND afterwards.
// `dotted` must be "a.b.c.d" with fields 0-255.
bool SetIpAddress(HWND dialog, int id, std::wstring_view dotted, bool notify = false);
bool SetIpAddress(HWND dialog, int id, DWORD address, bool notify = false);

// ---- Buttons ---------------------------------------------------------------------------------

// PostMessage(BM_CLICK) to the button; fails when it is missing, disabled or hidden (a user could
// not press it). Returns at once: wait for what the click does.
bool Click(HWND dialog, int id);
// Reads a progress bar (PBM_GETPOS); -1 on failure.
int ProgressPosition(HWND dialog, int id);

// ---- Message boxes ---------------------------------------------------------------------------

struct MessageBoxInfo {
    HWND window = nullptr;
    std::wstring title;
    std::wstring text;           // the static text with id 0xFFFF
    bool hasIcon = false;        // an icon static that is visible and holds an icon
    std::vector<int> buttons;    // ids of the visible buttons (IDOK, IDCANCEL, IDYES, ...) in child order
    std::vector<std::wstring> buttonTexts;
};

// A message box: class "#32770", a static with id 0xFFFF, and besides it only statics and
// buttons with ids IDOK..IDCONTINUE or IDHELP (which tells it from a dialog whose unnamed statics
// also have id 0xFFFF).
bool IsMessageBox(HWND window);
std::optional<MessageBoxInfo> ReadMessageBox(HWND box);
// Waits up to `timeoutMs` for a visible message box of `processId` (any process when 0), with this
// exact title unless `title` is empty.
std::optional<MessageBoxInfo> FindMessageBox(DWORD processId, DWORD timeoutMs = kDefaultTimeoutMs,
                                             std::wstring_view title = {});
// Presses the button `buttonId` (IDOK, IDYES, IDNO, ...) of the box and waits until the box is
// gone. Falls back to posting WM_COMMAND(buttonId) to the box when the click did not close it
// within a second. Fails when the box has no such visible button or stays open.
bool AnswerMessageBox(HWND box, int buttonId, DWORD timeoutMs = kDefaultTimeoutMs);
// True when no message box of `processId` appears during `durationMs` (a negative check).
bool NoMessageBoxFor(DWORD processId, DWORD durationMs);

// ---- Screenshots -----------------------------------------------------------------------------

struct Screenshot {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;  // top-down rows of width * 3 bytes, red first
    std::array<std::uint8_t, 3> Pixel(int x, int y) const;  // {0,0,0} outside
};
// The whole screen (the virtual screen under Wine's X11 driver: the X display), copied with
// BitBlt from the screen DC into a 24-bit DIB section.
std::optional<Screenshot> CaptureScreen();
// Captures until two captures `intervalMs` apart are equal, so that windows just shown or changed
// have painted; nullopt when the screen kept changing for `timeoutMs`.
std::optional<Screenshot> CaptureSettledScreen(DWORD timeoutMs = 3000, DWORD intervalMs = 100);
// Writes the picture as a PNG file (PngWriter.h). Folders in `path` must exist.
bool SavePng(const Screenshot& shot, const std::wstring& path);
// CaptureSettledScreen (1.5 s at most, else the screen as it is) and SavePng.
bool SaveScreenshot(const std::wstring& path);

// ---- Processes -------------------------------------------------------------------------------

class Process {
public:
    struct Options {
        // Variables to set (a value) or remove (nullopt) in a copy of this process's environment.
        std::vector<std::pair<std::wstring, std::optional<std::wstring>>> environment;
        std::wstring workingDirectory;  // empty: this process's
    };

    // CreateProcessW with the whole command line (quote with Quote()). nullopt when it fails.
    static std::optional<Process> Start(const std::wstring& commandLine, const Options& options);
    static std::optional<Process> Start(const std::wstring& commandLine) { return Start(commandLine, Options{}); }
    // One argument quoted as CommandLineToArgvW and the C runtime read it back.
    static std::wstring Quote(std::wstring_view argument);

    Process(Process&&) noexcept = default;
    Process& operator=(Process&&) noexcept;
    ~Process();  // a process still running is killed (exit code 0xDEAD), so no scenario leaves one behind

    DWORD Id() const { return m_id; }
    HANDLE Handle() const { return m_process.get(); }
    bool Running() const;
    // WaitForInputIdle: true when the program waits for input (its first window is up) in time.
    bool WaitForInputIdle(DWORD timeoutMs = kDefaultTimeoutMs);
    // Waits for the exit; the exit code, or nullopt when it still runs after `timeoutMs`.
    std::optional<DWORD> WaitForExit(DWORD timeoutMs = kDefaultTimeoutMs);
    // TerminateProcess and a wait (bounded) for the end; true when the process has ended.
    bool Kill(UINT exitCode = 0xDEAD);
    // WaitForExit, and on time-out Kill: the exit code when it ended by itself, nullopt when killed.
    std::optional<DWORD> WaitForExitOrKill(DWORD timeoutMs, UINT exitCode = 0xDEAD);

private:
    Process(UniqueKernelObject process, DWORD id) : m_process(std::move(process)), m_id(id) {}
    UniqueKernelObject m_process;
    DWORD m_id = 0;
};

}  // namespace ui
