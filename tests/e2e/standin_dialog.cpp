// A stand-in for the installer's main dialog, to prove the UI driver and the scenario harness
// before the installer exists. Same title, dialog class and control ids as the installer; its
// behaviour is small and fixed:
//   choosing a row      the row's text in 1002, Back and Next enabled, 1004 shown
//   editing the address the address as the program reads it (IPM_GETADDRESS) in 1003
//   Next                a Yes/No question box; Yes: an information box, then the dialog ends with
//                       --exit-code; No: "Not installed." in 1001
//   Back                a box without an icon, then everything back to the start
//   Cancel (or Esc)     a warning box with OK/Cancel; OK ends with --cancel-code
// Options: --title TEXT, --rows "A|B|C", --exit-code N, --cancel-code N, --error TEXT (only an
// error box, no dialog, then exit with --exit-code). STANDIN_LABEL from the environment appears in
// 1004 with the user interface language ("lang=0409").
#include <windows.h>
#include <commctrl.h>

#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "tests/e2e/standin_dialog.h"

namespace {

struct Options {
    std::wstring title = L"Corvane Firmware Installer";
    std::vector<std::wstring> rows = {L"Zentil-640 (ZT640-000001)", L"Zentil-1640 (ZT1640-000002)"};
    int exitCode = 0;
    int cancelCode = 2;
    std::wstring error;
};

Options g_options;
HBRUSH g_marker;

std::vector<std::wstring> Split(const std::wstring& s, wchar_t separator) {
    std::vector<std::wstring> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = s.find(separator, start);
        parts.push_back(s.substr(start, end - start));
        if (end == std::wstring::npos) return parts;
        start = end + 1;
    }
}

Options Parse(int argc, wchar_t** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring key = argv[i], value = argv[i + 1];
        if (key == L"--title") o.title = value;
        else if (key == L"--rows") o.rows = value.empty() ? std::vector<std::wstring>{} : Split(value, L'|');
        else if (key == L"--exit-code") o.exitCode = _wtoi(value.c_str());
        else if (key == L"--cancel-code") o.cancelCode = _wtoi(value.c_str());
        else if (key == L"--error") o.error = value;
    }
    return o;
}

std::wstring Text(HWND dialog, int id) {
    wchar_t buffer[512] = {};
    ::GetDlgItemTextW(dialog, id, buffer, 512);
    return buffer;
}

std::wstring Address(HWND dialog) {
    const HWND ip = ::GetDlgItem(dialog, IDC_STANDIN_IP);
    if (::SendMessageW(ip, IPM_ISBLANK, 0, 0)) return L"";
    DWORD a = 0;
    ::SendMessageW(ip, IPM_GETADDRESS, 0, reinterpret_cast<LPARAM>(&a));
    wchar_t buffer[32];
    std::swprintf(buffer, 32, L"%u.%u.%u.%u", FIRST_IPADDRESS(a), SECOND_IPADDRESS(a), THIRD_IPADDRESS(a),
                  FOURTH_IPADDRESS(a));
    return buffer;
}

void Reset(HWND dialog) {
    ::SendDlgItemMessageW(dialog, IDC_STANDIN_ROWS, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    ::SetDlgItemTextW(dialog, IDC_STANDIN_CHOICE, L"");
    ::EnableWindow(::GetDlgItem(dialog, IDC_STANDIN_BACK), FALSE);
    ::EnableWindow(::GetDlgItem(dialog, IDOK), FALSE);
    ::ShowWindow(::GetDlgItem(dialog, IDC_STANDIN_LABEL), SW_HIDE);
}

void OnInit(HWND dialog) {
    ::SetWindowTextW(dialog, g_options.title.c_str());
    for (const std::wstring& row : g_options.rows)
        ::SendDlgItemMessageW(dialog, IDC_STANDIN_ROWS, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(row.c_str()));
    ::SetDlgItemTextW(dialog, IDC_STANDIN_STATUS, L"Firmware 3.40");
    const wchar_t* label = _wgetenv(L"STANDIN_LABEL");
    wchar_t text[256];
    std::swprintf(text, 256, L"%ls lang=%04x", label ? label : L"(no label)",
                  static_cast<unsigned>(::GetUserDefaultUILanguage()));
    ::SetDlgItemTextW(dialog, IDC_STANDIN_LABEL, text);
    Reset(dialog);
}

void OnNext(HWND dialog) {
    const std::wstring question = L"Install the firmware on " + Text(dialog, IDC_STANDIN_CHOICE) + L" at " +
                                  Address(dialog) + L"?";
    if (::MessageBoxW(dialog, question.c_str(), g_options.title.c_str(), MB_YESNO | MB_ICONQUESTION) == IDYES) {
        ::SetDlgItemTextW(dialog, IDC_STANDIN_STATUS, L"Installing.");
        ::MessageBoxW(dialog, L"The firmware was installed.", g_options.title.c_str(), MB_OK | MB_ICONINFORMATION);
        ::EndDialog(dialog, g_options.exitCode);
    } else {
        ::SetDlgItemTextW(dialog, IDC_STANDIN_STATUS, L"Not installed.");
    }
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        OnInit(dialog);
        return TRUE;
    case WM_CTLCOLORSTATIC:
        if (::GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) == IDC_STANDIN_MARKER) {
            ::SetBkColor(reinterpret_cast<HDC>(wParam), STANDIN_MARKER_RGB);
            return reinterpret_cast<INT_PTR>(g_marker);
        }
        return FALSE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_STANDIN_ROWS:
            if (HIWORD(wParam) == CBN_SELCHANGE) {
                const LRESULT row = ::SendDlgItemMessageW(dialog, IDC_STANDIN_ROWS, CB_GETCURSEL, 0, 0);
                wchar_t text[256] = {};
                if (row >= 0) ::SendDlgItemMessageW(dialog, IDC_STANDIN_ROWS, CB_GETLBTEXT, row, reinterpret_cast<LPARAM>(text));
                ::SetDlgItemTextW(dialog, IDC_STANDIN_CHOICE, text);
                ::EnableWindow(::GetDlgItem(dialog, IDC_STANDIN_BACK), row >= 0);
                ::EnableWindow(::GetDlgItem(dialog, IDOK), row >= 0);
                ::ShowWindow(::GetDlgItem(dialog, IDC_STANDIN_LABEL), row >= 0 ? SW_SHOW : SW_HIDE);
            }
            return TRUE;
        case IDC_STANDIN_IP:
            if (HIWORD(wParam) == EN_CHANGE) ::SetDlgItemTextW(dialog, IDC_STANDIN_ADDRESS, Address(dialog).c_str());
            return TRUE;
        case IDOK:
            OnNext(dialog);
            return TRUE;
        case IDC_STANDIN_BACK:
            ::MessageBoxW(dialog, L"Back to the start.", g_options.title.c_str(), MB_OK);
            Reset(dialog);
            return TRUE;
        case IDCANCEL:
            if (::MessageBoxW(dialog, L"Cancel the installation?", g_options.title.c_str(),
                              MB_OKCANCEL | MB_ICONWARNING) == IDOK)
                ::EndDialog(dialog, g_options.cancelCode);
            return TRUE;
        }
        return FALSE;
    }
    return FALSE;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    g_options = Parse(__argc, __wargv);
    if (!g_options.error.empty()) {
        ::MessageBoxW(nullptr, g_options.error.c_str(), g_options.title.c_str(), MB_OK | MB_ICONERROR);
        return g_options.exitCode;
    }
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_INTERNET_CLASSES | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);
    g_marker = ::CreateSolidBrush(STANDIN_MARKER_RGB);
    const INT_PTR result = ::DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_STANDIN), nullptr, DialogProc, 0);
    ::DeleteObject(g_marker);
    return static_cast<int>(result);
}
