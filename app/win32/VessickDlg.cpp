// The main dialog's window over the dialog template 102.
#include "app/win32/VessickDlg.h"

#include <commctrl.h>

#include <vector>

#include "app/resource.h"
#include "app/win32/AboutDlg.h"
#include "app/win32/DialogFont.h"
#include "app/win32/SendStatusWindow.h"

CMainDialogWindow::CMainDialogWindow(const MainDialogServices& services, CInstallation& installation,
                                     HINSTANCE instance)
    : CDialogBase(IDD_VESSICK_DIALOG, instance),
      m_strings(services.strings),
      m_installation(installation),
      m_logic(*this, services, installation),
      m_hIcon(static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, 0, 0,
                                              LR_DEFAULTSIZE | LR_SHARED))),
      m_banner(instance) {}

CMainDialogWindow::~CMainDialogWindow() { EndSearch(); }

BOOL CMainDialogWindow::OnInitDialog() { return m_logic.OnInitDialog() ? TRUE : FALSE; }

bool CMainDialogWindow::SearchInBackground(std::function<std::unique_ptr<CPrinterInfoList>()> search,
                                           std::function<void()> stop) {
    EndSearch();
    {
        const std::lock_guard<std::mutex> lock(m_foundMutex);
        m_found.reset();
        m_searchEnded = false;
    }
    m_stopSearch = std::move(stop);
    const HWND window = GetSafeHwnd();
    try {
        m_search = std::thread([this, window, search = std::move(search)] {
            std::unique_ptr<CPrinterInfoList> found = search();
            {
                const std::lock_guard<std::mutex> lock(m_foundMutex);
                m_found = std::move(found);
                m_searchEnded = true;
            }
            ::PostMessageW(window, kPrintersFound, 0, 0);
        });
    } catch (const std::system_error&) {
        m_stopSearch = nullptr;
        return false;
    }
    return true;
}

void CMainDialogWindow::EndSearch() {
    if (!m_search.joinable()) return;
    bool ended;
    {
        const std::lock_guard<std::mutex> lock(m_foundMutex);
        ended = m_searchEnded;
    }
    if (!ended && m_stopSearch) m_stopSearch();
    m_search.join();
    m_stopSearch = nullptr;
}

bool CMainDialogWindow::OnMessage(UINT message, WPARAM, LPARAM, INT_PTR& result) {
    if (message != kPrintersFound) return false;
    result = 0;
    if (m_handlersAtWork > 0) {
        m_foundWaiting = true;
    } else {
        DeliverFoundPrinters();
    }
    return true;
}

void CMainDialogWindow::DeliverFoundPrinters() {
    m_foundWaiting = false;
    std::unique_ptr<CPrinterInfoList> found;
    {
        const std::lock_guard<std::mutex> lock(m_foundMutex);
        if (!m_searchEnded) return;
        found = std::move(m_found);
    }
    EndSearch();  // the thread has nothing left to do but end
    m_logic.OnPrintersFound(std::move(found));
}

// Counts one of the dialog's handlers at work for as long as it lives; when the last one has
// ended, the search's end that waited for it comes again.
class CMainDialogWindow::HandlerAtWork {
public:
    explicit HandlerAtWork(CMainDialogWindow& window) : m_window(window) { ++m_window.m_handlersAtWork; }
    ~HandlerAtWork() {
        if (--m_window.m_handlersAtWork == 0 && m_window.m_foundWaiting) {
            ::PostMessageW(m_window.GetSafeHwnd(), kPrintersFound, 0, 0);
        }
    }
    HandlerAtWork(const HandlerAtWork&) = delete;
    HandlerAtWork& operator=(const HandlerAtWork&) = delete;

private:
    CMainDialogWindow& m_window;
};

bool CMainDialogWindow::OnCommand(int id, int code, HWND control) {
    const HandlerAtWork atWork(*this);
    return HandleCommand(id, code, control);
}

bool CMainDialogWindow::HandleCommand(int id, int code, HWND /*control*/) {
    switch (id) {
        case IDOK:
            if (code == BN_CLICKED) m_logic.OnBnClickedOk();
            return true;
        case IDCANCEL:
            if (code == BN_CLICKED) m_logic.OnCancel();
            return true;
        case IDC_BACK:
            if (code == BN_CLICKED) m_logic.OnBnClickedBack();
            return true;
        case IDC_PRINTER_LIST:
            if (code == CBN_SELCHANGE) m_logic.OnSelectionChanged();
            return true;
        default:
            return false;
    }
}

bool CMainDialogWindow::OnNotify(NMHDR& header) {
    if (header.code != TTN_NEEDTEXTW) return false;
    auto& request = reinterpret_cast<NMTTDISPINFOW&>(header);
    const HWND list = GetDlgItem(IDC_PRINTER_LIST);
    if (!(request.uFlags & TTF_IDISHWND) || !list || reinterpret_cast<HWND>(header.idFrom) != list) return false;
    const std::wstring text = m_logic.SelectedRowToolTip();
    if (text.empty()) return false;
    lstrcpynW(request.szText, text.c_str(), static_cast<int>(std::size(request.szText)));
    request.lpszText = request.szText;
    return true;
}

bool CMainDialogWindow::OnSysCommand(WPARAM id) {
    const HandlerAtWork atWork(*this);
    return m_logic.OnSysCommand(static_cast<unsigned>(id));
}

int CMainDialogWindow::RunProgressDialog(ProgressDialog dialog, std::uint32_t parts, std::uint32_t address) {
    CSendStatusWindow window(dialog, m_strings, m_installation, parts, address, Instance());
    return window.Run(GetSafeHwnd());
}

bool CMainDialogWindow::RunResponsive(const std::function<bool()>& work) {
    return RunWhileDispatching(GetSafeHwnd(), work);
}

MessageAnswer CMainDialogWindow::ShowMessage(const std::wstring& text, MessageIcon icon, MessageButtons buttons) {
    return ShowAppMessage(GetSafeHwnd(), text, icon, buttons);
}

void CMainDialogWindow::AddAboutMenuItem(const std::wstring& text) {
    const HMENU menu = ::GetSystemMenu(GetSafeHwnd(), FALSE);
    if (!menu) return;
    ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, text.c_str());
}

void CMainDialogWindow::SetLargeIcon() {
    ::SendMessageW(GetSafeHwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
}

void CMainDialogWindow::EnableToolTips() {
    const HWND list = GetDlgItem(IDC_PRINTER_LIST);
    if (!list) return;
    // Owned by the dialog, so it goes when the dialog does.
    const HWND tip = ::CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                                       CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, GetSafeHwnd(), nullptr,
                                       Instance(), nullptr);
    if (!tip) return;
    TOOLINFOW tool{};
    tool.cbSize = sizeof(tool);
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = GetSafeHwnd();
    tool.uId = reinterpret_cast<UINT_PTR>(list);
    tool.lpszText = LPSTR_TEXTCALLBACKW;
    ::SendMessageW(tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

void CMainDialogWindow::ApplySystemFont() { ApplyFontToDialog(GetSystemUIFont(), GetSafeHwnd()); }

void CMainDialogWindow::ShowBanner() {
    const HWND picture = GetDlgItem(IDC_BANNER);
    if (!picture) return;
    if (!m_banner.LoadSources() || !m_banner.Compose(::GetSysColor(COLOR_BTNFACE))) return;
    ::SendMessageW(picture, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(m_banner.GetSafeHandle()));
}

void CMainDialogWindow::SetText(int id, const std::wstring& text) { ::SetDlgItemTextW(GetSafeHwnd(), id, text.c_str()); }

void CMainDialogWindow::Enable(int id, bool enable) {
    if (const HWND control = GetDlgItem(id)) ::EnableWindow(control, enable ? TRUE : FALSE);
}

void CMainDialogWindow::Focus(int id) {
    // Through the dialog manager, so that the default button follows the focus.
    if (const HWND control = GetDlgItem(id)) {
        ::SendMessageW(GetSafeHwnd(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
    }
}

LRESULT CMainDialogWindow::SendToList(UINT message, WPARAM wParam, LPARAM lParam) {
    return ::SendDlgItemMessageW(GetSafeHwnd(), IDC_PRINTER_LIST, message, wParam, lParam);
}

void CMainDialogWindow::ClearRows() { SendToList(CB_RESETCONTENT); }

int CMainDialogWindow::AppendRow(const std::wstring& text) {
    // Inserted at the end, not added, so that the rows keep the list's order whatever the style.
    const LRESULT row = SendToList(CB_INSERTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(text.c_str()));
    return row < 0 ? -1 : static_cast<int>(row);
}

void CMainDialogWindow::SetRowData(int row, const CPrinterInfo* printer) {
    SendToList(CB_SETITEMDATA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(printer));
}

const CPrinterInfo* CMainDialogWindow::RowData(int row) {
    const LRESULT data = SendToList(CB_GETITEMDATA, static_cast<WPARAM>(row));
    return data == CB_ERR ? nullptr : reinterpret_cast<const CPrinterInfo*>(data);
}

std::wstring CMainDialogWindow::RowText(int row) {
    const LRESULT length = SendToList(CB_GETLBTEXTLEN, static_cast<WPARAM>(row));
    if (length <= 0) return {};
    std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 1);
    const LRESULT copied = SendToList(CB_GETLBTEXT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(buffer.data()));
    return copied <= 0 ? std::wstring() : std::wstring(buffer.data(), static_cast<std::size_t>(copied));
}

int CMainDialogWindow::RowCount() {
    const LRESULT count = SendToList(CB_GETCOUNT);
    return count < 0 ? 0 : static_cast<int>(count);
}

int CMainDialogWindow::SelectedRow() {
    const LRESULT row = SendToList(CB_GETCURSEL);
    return row < 0 ? -1 : static_cast<int>(row);
}

void CMainDialogWindow::SelectRow(int row) { SendToList(CB_SETCURSEL, static_cast<WPARAM>(row)); }

void CMainDialogWindow::WidenDropDown() {
    const HWND list = GetDlgItem(IDC_PRINTER_LIST);
    if (!list) return;
    const HDC dc = ::GetDC(list);
    if (!dc) return;
    LRESULT width = SendToList(CB_GETDROPPEDWIDTH);
    const HFONT font = reinterpret_cast<HFONT>(::SendMessageW(list, WM_GETFONT, 0, 0));
    const HGDIOBJ previous = font ? ::SelectObject(dc, font) : nullptr;
    for (int row = 0, rows = RowCount(); row < rows; ++row) {
        const std::wstring text = RowText(row);
        SIZE size{};
        if (::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size) && size.cx > width) {
            width = size.cx;
        }
    }
    if (previous) ::SelectObject(dc, previous);
    ::ReleaseDC(list, dc);
    SendToList(CB_SETDROPPEDWIDTH, static_cast<WPARAM>(width));
}

std::uint32_t CMainDialogWindow::Address() {
    const HWND field = GetDlgItem(IDC_IP_ADDRESS);
    if (!field || ::SendMessageW(field, IPM_ISBLANK, 0, 0)) return 0;
    DWORD address = 0;
    ::SendMessageW(field, IPM_GETADDRESS, 0, reinterpret_cast<LPARAM>(&address));
    return address;
}

void CMainDialogWindow::SetAddress(std::uint32_t address) {
    ::SendDlgItemMessageW(GetSafeHwnd(), IDC_IP_ADDRESS, IPM_SETADDRESS, 0, static_cast<LPARAM>(address));
}

void CMainDialogWindow::ShowAbout(const std::wstring& text) {
    CAboutDlg about(text, Instance());
    about.DoModal(GetSafeHwnd());
}
