// The UI driver; see UiDriver.h.
#include "tests/e2e/UiDriver.h"

#include <commctrl.h>

#include <algorithm>
#include <cwchar>

#include "tests/e2e/PngWriter.h"

namespace ui {
namespace {

thread_local std::wstring t_lastError;

// Sets LastError from the pieces and gives `result` back, so a failing branch is one line.
template <typename T>
T Fail(T result, std::wstring_view a, std::wstring_view b = {}, std::wstring_view c = {}, std::wstring_view d = {},
       std::wstring_view e = {}) {
    t_lastError.assign(a).append(b).append(c).append(d).append(e);
    return result;
}

std::wstring Num(long long v) { return std::to_wstring(v); }
std::wstring ControlName(HWND dialog, int id) {
    return L"control " + Num(id) + L" of window " + Num(reinterpret_cast<std::intptr_t>(dialog));
}

// SendMessageTimeout that gives up on a hung target; the result when the message was handled in time.
std::optional<LRESULT> Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD timeoutMs = kMessageTimeoutMs) {
    DWORD_PTR result = 0;
    if (!::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG | SMTO_ERRORONEXIT, timeoutMs, &result))
        return std::nullopt;
    return static_cast<LRESULT>(result);
}

ULONGLONG Now() { return ::GetTickCount64(); }

// A buffer in another process, for messages whose parameter points at memory the system does not
// copy across processes (IPM_GETADDRESS).
class RemoteBuffer {
public:
    RemoteBuffer(HWND window, std::size_t size) : m_size(size) {
        DWORD pid = 0;
        ::GetWindowThreadProcessId(window, &pid);
        m_process.reset(::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE | PROCESS_QUERY_INFORMATION,
                                      FALSE, pid));
        if (m_process) m_address = ::VirtualAllocEx(m_process.get(), nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }
    ~RemoteBuffer() {
        if (m_address) ::VirtualFreeEx(m_process.get(), m_address, 0, MEM_RELEASE);
    }
    RemoteBuffer(const RemoteBuffer&) = delete;
    RemoteBuffer& operator=(const RemoteBuffer&) = delete;

    explicit operator bool() const { return m_address != nullptr; }
    LPARAM Address() const { return reinterpret_cast<LPARAM>(m_address); }
    bool Read(void* to, std::size_t size) const {
        SIZE_T done = 0;
        return size <= m_size && ::ReadProcessMemory(m_process.get(), m_address, to, size, &done) && done == size;
    }
    bool Write(const void* from, std::size_t size) const {
        SIZE_T done = 0;
        return size <= m_size && ::WriteProcessMemory(m_process.get(), m_address, from, size, &done) && done == size;
    }

private:
    UniqueKernelObject m_process;
    void* m_address = nullptr;
    std::size_t m_size;
};

struct EnumState {
    DWORD processId;
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM param) {
    auto* state = reinterpret_cast<EnumState*>(param);
    if (!::IsWindowVisible(window)) return TRUE;
    if (state->processId != 0 && ProcessOf(window) != state->processId) return TRUE;
    state->windows.push_back(window);
    return TRUE;
}

// The window's own caption without sending it a message (safe on a busy target).
std::wstring Caption(HWND window) {
    wchar_t buffer[512] = {};
    ::GetWindowTextW(window, buffer, 512);
    return buffer;
}

std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> children;
    for (HWND child = ::GetWindow(parent, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
        children.push_back(child);
    return children;
}

bool SameText(std::wstring_view a, std::wstring_view b) { return a == b; }

bool IsMessageBoxButton(int id) { return (id >= IDOK && id <= IDCONTINUE) || id == IDHELP; }

std::optional<DWORD> ParseDotted(std::wstring_view dotted) {
    unsigned fields[4] = {};
    int field = 0;
    bool digit = false;
    for (wchar_t c : dotted) {
        if (c >= L'0' && c <= L'9') {
            fields[field] = fields[field] * 10 + (c - L'0');
            if (fields[field] > 255) return std::nullopt;
            digit = true;
        } else if (c == L'.' && digit && field < 3) {
            ++field;
            digit = false;
        } else {
            return std::nullopt;
        }
    }
    if (field != 3 || !digit) return std::nullopt;
    return MAKEIPADDRESS(fields[0], fields[1], fields[2], fields[3]);
}

}  // namespace

const std::wstring& LastError() { return t_lastError; }

std::string Utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring WindowsPath(std::wstring path) {
    if (path.empty() || path[0] != L'/') return path;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return L"Z:" + path;
}

std::string LastErrorUtf8() { return Utf8(t_lastError); }

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD pollMs) {
    const ULONGLONG deadline = Now() + timeoutMs;
    for (;;) {
        if (condition()) return true;
        const ULONGLONG now = Now();
        if (now >= deadline) return false;
        ::Sleep(static_cast<DWORD>(std::min<ULONGLONG>(pollMs, deadline - now)));
    }
}

// ---- Top-level windows -----------------------------------------------------------------------

std::vector<HWND> TopLevelWindows(DWORD processId) {
    EnumState state{processId, {}};
    ::EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&state));
    return state.windows;
}

HWND FindTopLevel(std::wstring_view title, std::wstring_view className, DWORD processId, DWORD timeoutMs) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            for (HWND w : TopLevelWindows(processId)) {
                if (!className.empty() && ClassOf(w) != className) continue;
                if (!title.empty() && Caption(w) != title) continue;
                found = w;
                return true;
            }
            return false;
        },
        timeoutMs);
    if (!found)
        return Fail<HWND>(nullptr, L"no window '", title, L"' of class '", className,
                          L"'" + (processId ? L" of process " + Num(processId) : L"") + L" within " + Num(timeoutMs) + L" ms");
    return found;
}

bool WaitGone(HWND window, DWORD timeoutMs) {
    if (WaitUntil([&] { return !::IsWindow(window) || !::IsWindowVisible(window); }, timeoutMs)) return true;
    return Fail(false, L"window '", Caption(window), L"' still there after ", Num(timeoutMs), L" ms");
}

DWORD ProcessOf(HWND window) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    return pid;
}

std::wstring ClassOf(HWND window) {
    wchar_t buffer[256] = {};
    ::GetClassNameW(window, buffer, 256);
    return buffer;
}

std::optional<std::wstring> TextOf(HWND window) {
    if (!::IsWindow(window)) return Fail<std::optional<std::wstring>>(std::nullopt, L"no such window");
    const std::optional<LRESULT> length = Send(window, WM_GETTEXTLENGTH, 0, 0);
    if (!length) return Fail<std::optional<std::wstring>>(std::nullopt, L"WM_GETTEXTLENGTH not answered");
    // The text may grow between the two messages: room for more, and the answer says how much came.
    std::wstring text(static_cast<std::size_t>(*length) + 256, L'\0');
    const std::optional<LRESULT> copied =
        Send(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    if (!copied) return Fail<std::optional<std::wstring>>(std::nullopt, L"WM_GETTEXT not answered");
    text.resize(std::min<std::size_t>(static_cast<std::size_t>(*copied), text.size()));
    text.resize(std::wcslen(text.c_str()));
    return text;
}

RECT ScreenRect(HWND window) {
    RECT r{};
    if (!::GetWindowRect(window, &r)) r = RECT{};
    return r;
}

// ---- Controls --------------------------------------------------------------------------------

HWND Control(HWND dialog, int id) {
    if (!::IsWindow(dialog)) return Fail<HWND>(nullptr, L"the dialog is gone (looking for control ", Num(id), L")");
    const HWND control = ::GetDlgItem(dialog, id);
    if (!control) return Fail<HWND>(nullptr, L"no ", ControlName(dialog, id));
    return control;
}

std::optional<std::wstring> ControlText(HWND dialog, int id) {
    const HWND control = Control(dialog, id);
    if (!control) return std::nullopt;
    std::optional<std::wstring> text = TextOf(control);
    if (!text) return Fail<std::optional<std::wstring>>(std::nullopt, L"cannot read the text of ", ControlName(dialog, id));
    return text;
}

bool IsEnabled(HWND dialog, int id) {
    const HWND control = Control(dialog, id);
    return control && ::IsWindowEnabled(control);
}

bool IsVisible(HWND dialog, int id) {
    const HWND control = Control(dialog, id);
    return control && ::IsWindowVisible(control);
}

bool WaitForText(HWND dialog, int id, std::wstring_view expected, DWORD timeoutMs, std::wstring* last) {
    std::wstring seen;
    const bool ok = WaitUntil(
        [&] {
            const std::optional<std::wstring> text = ControlText(dialog, id);
            if (text) seen = *text;
            return text && SameText(*text, expected);
        },
        timeoutMs);
    if (last) *last = seen;
    if (!ok) return Fail(false, ControlName(dialog, id), L" says '", seen, L"', not '" + std::wstring(expected) + L"'");
    return true;
}

bool WaitForTextContaining(HWND dialog, int id, std::wstring_view part, DWORD timeoutMs, std::wstring* last) {
    std::wstring seen;
    const bool ok = WaitUntil(
        [&] {
            const std::optional<std::wstring> text = ControlText(dialog, id);
            if (text) seen = *text;
            return text && text->find(part) != std::wstring::npos;
        },
        timeoutMs);
    if (last) *last = seen;
    if (!ok) return Fail(false, ControlName(dialog, id), L" says '", seen, L"', without '" + std::wstring(part) + L"'");
    return true;
}

bool WaitForEnabled(HWND dialog, int id, bool enabled, DWORD timeoutMs) {
    if (WaitUntil([&] { return IsEnabled(dialog, id) == enabled; }, timeoutMs)) return true;
    return Fail(false, ControlName(dialog, id), enabled ? L" stays disabled" : L" stays enabled");
}

bool WaitForVisible(HWND dialog, int id, bool visible, DWORD timeoutMs) {
    if (WaitUntil([&] { return IsVisible(dialog, id) == visible; }, timeoutMs)) return true;
    return Fail(false, ControlName(dialog, id), visible ? L" stays hidden" : L" stays visible");
}

// ---- Combo boxes -----------------------------------------------------------------------------

std::optional<std::vector<std::wstring>> ComboRows(HWND dialog, int id) {
    using Result = std::optional<std::vector<std::wstring>>;
    const HWND combo = Control(dialog, id);
    if (!combo) return std::nullopt;
    const std::optional<LRESULT> count = Send(combo, CB_GETCOUNT, 0, 0);
    if (!count || *count < 0) return Fail<Result>(std::nullopt, L"CB_GETCOUNT failed on ", ControlName(dialog, id));
    std::vector<std::wstring> rows;
    for (LRESULT i = 0; i < *count; ++i) {
        const std::optional<LRESULT> length = Send(combo, CB_GETLBTEXTLEN, i, 0);
        if (!length || *length < 0) return Fail<Result>(std::nullopt, L"CB_GETLBTEXTLEN failed for row ", Num(i));
        // CB_GETLBTEXT of a combo box with strings is copied across processes by the system.
        std::wstring text(static_cast<std::size_t>(*length) + 1, L'\0');
        const std::optional<LRESULT> copied = Send(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text.data()));
        if (!copied || *copied < 0) return Fail<Result>(std::nullopt, L"CB_GETLBTEXT failed for row ", Num(i));
        text.resize(std::wcslen(text.c_str()));
        rows.push_back(std::move(text));
    }
    return rows;
}

int ComboSelection(HWND dialog, int id) {
    const HWND combo = Control(dialog, id);
    if (!combo) return -1;
    const std::optional<LRESULT> row = Send(combo, CB_GETCURSEL, 0, 0);
    if (!row) return Fail(-1, L"CB_GETCURSEL not answered by ", ControlName(dialog, id));
    return *row < 0 ? -1 : static_cast<int>(*row);
}

bool SelectComboRow(HWND dialog, int id, int row) {
    const HWND combo = Control(dialog, id);
    if (!combo) return false;
    if (!::IsWindowEnabled(combo) || !::IsWindowVisible(combo))
        return Fail(false, ControlName(dialog, id), L" is disabled or hidden");
    const std::optional<LRESULT> count = Send(combo, CB_GETCOUNT, 0, 0);
    if (!count) return Fail(false, L"CB_GETCOUNT not answered by ", ControlName(dialog, id));
    if (row < 0 || row >= *count) return Fail(false, L"row ", Num(row), L" out of range: ", Num(*count), L" rows");
    const std::optional<LRESULT> set = Send(combo, CB_SETCURSEL, static_cast<WPARAM>(row), 0);
    if (!set || *set != row) return Fail(false, L"CB_SETCURSEL ", Num(row), L" refused by ", ControlName(dialog, id));
    // The parent's handler may open a message box and not return for a while: a time-out here
    // still delivered the notification.
    Send(::GetParent(combo), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
    return true;
}

bool SelectComboRow(HWND dialog, int id, std::wstring_view text) {
    const std::optional<std::vector<std::wstring>> rows = ComboRows(dialog, id);
    if (!rows) return false;
    const auto it = std::find(rows->begin(), rows->end(), text);
    if (it == rows->end()) return Fail(false, L"no row '", text, L"' in ", ControlName(dialog, id));
    return SelectComboRow(dialog, id, static_cast<int>(it - rows->begin()));
}

// ---- IPv4 address control --------------------------------------------------------------------

std::wstring Ipv4::Text() const {
    if (filledFields == 0) return L"";
    wchar_t buffer[32];
    std::swprintf(buffer, 32, L"%u.%u.%u.%u", FIRST_IPADDRESS(address), SECOND_IPADDRESS(address),
                  THIRD_IPADDRESS(address), FOURTH_IPADDRESS(address));
    return buffer;
}

std::optional<Ipv4> GetIpAddress(HWND dialog, int id) {
    const HWND control = Control(dialog, id);
    if (!control) return std::nullopt;
    const RemoteBuffer buffer(control, sizeof(DWORD));
    if (!buffer) return Fail<std::optional<Ipv4>>(std::nullopt, L"no buffer in the target process (error ", Num(::GetLastError()), L")");
    const DWORD zero = 0;
    buffer.Write(&zero, sizeof zero);
    const std::optional<LRESULT> filled = Send(control, IPM_GETADDRESS, 0, buffer.Address());
    Ipv4 result;
    if (!filled || !buffer.Read(&result.address, sizeof result.address))
        return Fail<std::optional<Ipv4>>(std::nullopt, L"IPM_GETADDRESS failed on ", ControlName(dialog, id));
    result.filledFields = static_cast<int>(*filled);
    return result;
}

bool SetIpAddress(HWND dialog, int id, DWORD address, bool notify) {
    const HWND control = Control(dialog, id);
    if (!control) return false;
    if (!::IsWindowEnabled(control) || !::IsWindowVisible(control))
        return Fail(false, ControlName(dialog, id), L" is disabled or hidden");
    if (!Send(control, IPM_SETADDRESS, 0, static_cast<LPARAM>(address)))
        return Fail(false, L"IPM_SETADDRESS not answered by ", ControlName(dialog, id));
    if (notify) Send(::GetParent(control), WM_COMMAND, MAKEWPARAM(id, EN_CHANGE), reinterpret_cast<LPARAM>(control));
    return true;
}

bool SetIpAddress(HWND dialog, int id, std::wstring_view dotted, bool notify) {
    if (!dotted.empty()) {
        const std::optional<DWORD> address = ParseDotted(dotted);
        if (!address) return Fail(false, L"not an IPv4 address: '", dotted, L"'");
        return SetIpAddress(dialog, id, *address, notify);
    }
    const HWND control = Control(dialog, id);
    if (!control) return false;
    if (!Send(control, IPM_CLEARADDRESS, 0, 0)) return Fail(false, L"IPM_CLEARADDRESS not answered by ", ControlName(dialog, id));
    if (notify) Send(::GetParent(control), WM_COMMAND, MAKEWPARAM(id, EN_CHANGE), reinterpret_cast<LPARAM>(control));
    return true;
}

// ---- Buttons ---------------------------------------------------------------------------------

bool Click(HWND dialog, int id) {
    const HWND button = Control(dialog, id);
    if (!button) return false;
    if (!::IsWindowVisible(button)) return Fail(false, ControlName(dialog, id), L" is hidden");
    if (!::IsWindowEnabled(button)) return Fail(false, ControlName(dialog, id), L" is disabled");
    if (!::PostMessageW(button, BM_CLICK, 0, 0)) return Fail(false, L"cannot post BM_CLICK to ", ControlName(dialog, id));
    return true;
}

int ProgressPosition(HWND dialog, int id) {
    const HWND bar = Control(dialog, id);
    if (!bar) return -1;
    const std::optional<LRESULT> pos = Send(bar, PBM_GETPOS, 0, 0);
    if (!pos) return Fail(-1, L"PBM_GETPOS not answered by ", ControlName(dialog, id));
    return static_cast<int>(*pos);
}

// ---- Message boxes ---------------------------------------------------------------------------

bool IsMessageBox(HWND window) {
    if (!::IsWindow(window) || ClassOf(window) != L"#32770") return false;
    bool text = false;
    for (HWND child : Children(window)) {
        const int id = ::GetDlgCtrlID(child);
        const std::wstring cls = ClassOf(child);
        if (_wcsicmp(cls.c_str(), L"Static") == 0) {
            if (id == 0xFFFF) text = true;
        } else if (_wcsicmp(cls.c_str(), L"Button") == 0) {
            if (!IsMessageBoxButton(id)) return false;
        } else {
            return false;
        }
    }
    return text;
}

std::optional<MessageBoxInfo> ReadMessageBox(HWND box) {
    if (!IsMessageBox(box)) return Fail<std::optional<MessageBoxInfo>>(std::nullopt, L"not a message box");
    MessageBoxInfo info;
    info.window = box;
    info.title = Caption(box);
    for (HWND child : Children(box)) {
        const int id = ::GetDlgCtrlID(child);
        const bool visible = ::IsWindowVisible(child);
        if (_wcsicmp(ClassOf(child).c_str(), L"Button") == 0) {
            if (!visible) continue;
            info.buttons.push_back(id);
            info.buttonTexts.push_back(TextOf(child).value_or(L""));
        } else if (id == 0xFFFF) {
            std::optional<std::wstring> text = TextOf(child);
            if (!text) return Fail<std::optional<MessageBoxInfo>>(std::nullopt, L"cannot read the message box's text");
            info.text = *text;
        } else if (visible && (::GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
            // Windows gives the icon static id 20, Wine 0x440; either way an SS_ICON static.
            const std::optional<LRESULT> icon = Send(child, STM_GETICON, 0, 0);
            if (icon && *icon) info.hasIcon = true;
        }
    }
    return info;
}

std::optional<MessageBoxInfo> FindMessageBox(DWORD processId, DWORD timeoutMs, std::wstring_view title) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            for (HWND w : TopLevelWindows(processId)) {
                if (!title.empty() && Caption(w) != title) continue;
                if (IsMessageBox(w)) {
                    found = w;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    if (!found)
        return Fail<std::optional<MessageBoxInfo>>(std::nullopt, L"no message box",
                                                   processId ? L" of process " + Num(processId) : L"",
                                                   title.empty() ? L"" : L" titled '" + std::wstring(title) + L"'",
                                                   L" within " + Num(timeoutMs) + L" ms");
    return ReadMessageBox(found);
}

bool AnswerMessageBox(HWND box, int buttonId, DWORD timeoutMs) {
    if (!IsMessageBox(box)) return Fail(false, L"not a message box (gone already?)");
    const HWND button = ::GetDlgItem(box, buttonId);
    if (!button || !::IsWindowVisible(button))
        return Fail(false, L"the message box has no button ", Num(buttonId));
    const ULONGLONG start = Now();
    ::PostMessageW(button, BM_CLICK, 0, 0);
    if (WaitUntil([&] { return !::IsWindow(box) || !::IsWindowVisible(box); }, std::min<DWORD>(1000, timeoutMs)))
        return true;
    // The click did not reach the box (a button that never got the focus, say): the command itself.
    ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    const ULONGLONG spent = Now() - start;
    const DWORD rest = spent >= timeoutMs ? 0 : static_cast<DWORD>(timeoutMs - spent);
    if (WaitGone(box, rest)) return true;
    return Fail(false, L"the message box stays open after pressing button ", Num(buttonId));
}

bool NoMessageBoxFor(DWORD processId, DWORD durationMs) {
    const ULONGLONG deadline = Now() + durationMs;
    do {
        for (HWND w : TopLevelWindows(processId))
            if (IsMessageBox(w)) return Fail(false, L"a message box appeared: '", TextOf(::GetDlgItem(w, 0xFFFF)).value_or(L"?"), L"'");
        ::Sleep(kPollMs);
    } while (Now() < deadline);
    return true;
}

// ---- Screenshots -----------------------------------------------------------------------------

std::array<std::uint8_t, 3> Screenshot::Pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height) return {0, 0, 0};
    const std::size_t at = (static_cast<std::size_t>(y) * width + x) * 3;
    return {rgb[at], rgb[at + 1], rgb[at + 2]};
}

std::optional<Screenshot> CaptureScreen() {
    using Result = std::optional<Screenshot>;
    const int left = ::GetSystemMetrics(SM_XVIRTUALSCREEN), top = ::GetSystemMetrics(SM_YVIRTUALSCREEN);
    const int width = ::GetSystemMetrics(SM_CXVIRTUALSCREEN), height = ::GetSystemMetrics(SM_CYVIRTUALSCREEN);
    if (width <= 0 || height <= 0) return Fail<Result>(std::nullopt, L"no screen (is there a display?)");
    const HDC screen = ::GetDC(nullptr);
    if (!screen) return Fail<Result>(std::nullopt, L"GetDC(NULL) failed");
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const HBITMAP dib = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    const HDC memory = ::CreateCompatibleDC(screen);
    bool copied = false;
    if (dib && memory && bits) {
        const HGDIOBJ old = ::SelectObject(memory, dib);
        copied = ::BitBlt(memory, 0, 0, width, height, screen, left, top, SRCCOPY | CAPTUREBLT) != 0;
        ::GdiFlush();
        ::SelectObject(memory, old);
    }
    Result result;
    if (copied) {
        Screenshot shot;
        shot.width = width;
        shot.height = height;
        shot.rgb.resize(static_cast<std::size_t>(width) * height * 3);
        const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3};
        const auto* source = static_cast<const std::uint8_t*>(bits);
        for (int y = 0; y < height; ++y) {
            const std::uint8_t* row = source + y * stride;
            std::uint8_t* out = shot.rgb.data() + static_cast<std::size_t>(y) * width * 3;
            for (int x = 0; x < width; ++x) {
                out[3 * x] = row[3 * x + 2];
                out[3 * x + 1] = row[3 * x + 1];
                out[3 * x + 2] = row[3 * x];
            }
        }
        result = std::move(shot);
    } else {
        Fail(0, L"BitBlt from the screen failed (error ", Num(::GetLastError()), L")");
    }
    if (memory) ::DeleteDC(memory);
    if (dib) ::DeleteObject(dib);
    ::ReleaseDC(nullptr, screen);
    return result;
}

std::optional<Screenshot> CaptureSettledScreen(DWORD timeoutMs, DWORD intervalMs) {
    std::optional<Screenshot> previous = CaptureScreen();
    if (!previous) return std::nullopt;
    const ULONGLONG deadline = Now() + timeoutMs;
    while (Now() < deadline) {
        ::Sleep(intervalMs);
        std::optional<Screenshot> next = CaptureScreen();
        if (!next) return std::nullopt;
        if (next->width == previous->width && next->height == previous->height && next->rgb == previous->rgb) return next;
        previous = std::move(next);
    }
    return Fail<std::optional<Screenshot>>(std::nullopt, L"the screen kept changing for ", Num(timeoutMs), L" ms");
}

bool SavePng(const Screenshot& shot, const std::wstring& path) {
    const std::vector<std::uint8_t> file =
        png::EncodeRgb8(shot.rgb.data(), static_cast<std::uint32_t>(shot.width), static_cast<std::uint32_t>(shot.height),
                        static_cast<std::ptrdiff_t>(shot.width) * 3);
    if (file.empty()) return Fail(false, L"nothing to encode");
    UniqueFile out(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) return Fail(false, L"cannot create ", path, L" (error ", Num(::GetLastError()) + L")");
    std::size_t at = 0;
    while (at < file.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(file.size() - at, 1u << 20));
        DWORD written = 0;
        if (!::WriteFile(out.get(), file.data() + at, chunk, &written, nullptr) || written == 0)
            return Fail(false, L"cannot write ", path, L" (error ", Num(::GetLastError()) + L")");
        at += written;
    }
    return true;
}

bool SaveScreenshot(const std::wstring& path) {
    std::optional<Screenshot> shot = CaptureSettledScreen(1500);
    if (!shot) shot = CaptureScreen();
    return shot && SavePng(*shot, path);
}

// ---- Processes -------------------------------------------------------------------------------

std::wstring Process::Quote(std::wstring_view argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring_view::npos) return std::wstring(argument);
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, L'\\');  // before the closing quote
    out.push_back(L'"');
    return out;
}

std::optional<Process> Process::Start(const std::wstring& commandLine, const Options& options) {
    // The environment: this process's with the changes, sorted by name as Windows keeps it.
    std::wstring block;
    if (!options.environment.empty()) {
        std::vector<std::wstring> entries;
        if (wchar_t* strings = ::GetEnvironmentStringsW()) {
            for (const wchar_t* p = strings; *p; p += std::wcslen(p) + 1) entries.emplace_back(p);
            ::FreeEnvironmentStringsW(strings);
        }
        auto nameOf = [](const std::wstring& entry) {
            const std::size_t eq = entry.find(L'=', 1);  // "=C:=C:\dir" entries start with '='
            return entry.substr(0, eq);
        };
        for (const auto& [name, value] : options.environment) {
            std::erase_if(entries, [&](const std::wstring& e) {
                const std::wstring n = nameOf(e);
                return ::CompareStringOrdinal(n.c_str(), static_cast<int>(n.size()), name.c_str(),
                                              static_cast<int>(name.size()), TRUE) == CSTR_EQUAL;
            });
            if (value) entries.push_back(name + L"=" + *value);
        }
        std::stable_sort(entries.begin(), entries.end(), [&](const std::wstring& a, const std::wstring& b) {
            const std::wstring na = nameOf(a), nb = nameOf(b);
            return ::CompareStringOrdinal(na.c_str(), static_cast<int>(na.size()), nb.c_str(), static_cast<int>(nb.size()),
                                          TRUE) == CSTR_LESS_THAN;
        });
        for (const std::wstring& e : entries) block.append(e).push_back(L'\0');
        block.push_back(L'\0');
    }
    std::wstring line = commandLine;  // CreateProcessW may write into it
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                          block.empty() ? nullptr : block.data(),
                          options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str(), &startup, &created))
        return Fail<std::optional<Process>>(std::nullopt, L"cannot start ", commandLine, L" (error ", Num(::GetLastError()) + L")");
    ::CloseHandle(created.hThread);
    return Process(UniqueKernelObject(created.hProcess), created.dwProcessId);
}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        if (Running()) Kill();
        m_process = std::move(other.m_process);
        m_id = other.m_id;
    }
    return *this;
}

Process::~Process() {
    if (Running()) Kill();
}

bool Process::Running() const { return m_process && ::WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT; }

bool Process::WaitForInputIdle(DWORD timeoutMs) {
    if (!m_process) return Fail(false, L"no process");
    if (::WaitForInputIdle(m_process.get(), timeoutMs) == 0) return true;
    return Fail(false, L"process ", Num(m_id), L" not idle after ", Num(timeoutMs), L" ms");
}

std::optional<DWORD> Process::WaitForExit(DWORD timeoutMs) {
    if (!m_process) return Fail<std::optional<DWORD>>(std::nullopt, L"no process");
    if (::WaitForSingleObject(m_process.get(), timeoutMs) != WAIT_OBJECT_0)
        return Fail<std::optional<DWORD>>(std::nullopt, L"process ", Num(m_id), L" still runs after ", Num(timeoutMs) + L" ms");
    DWORD code = 0;
    ::GetExitCodeProcess(m_process.get(), &code);
    return code;
}

bool Process::Kill(UINT exitCode) {
    if (!m_process) return true;
    ::TerminateProcess(m_process.get(), exitCode);
    if (::WaitForSingleObject(m_process.get(), 5000) == WAIT_OBJECT_0) return true;
    return Fail(false, L"process ", Num(m_id), L" did not end after TerminateProcess");
}

std::optional<DWORD> Process::WaitForExitOrKill(DWORD timeoutMs, UINT exitCode) {
    if (std::optional<DWORD> code = WaitForExit(timeoutMs)) return code;
    const std::wstring why = LastError();
    Kill(exitCode);
    return Fail<std::optional<DWORD>>(std::nullopt, why, L"; killed");
}

}  // namespace ui
