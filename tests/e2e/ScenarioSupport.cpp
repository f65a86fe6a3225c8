// Settings, screenshots and the scenario base; see ScenarioSupport.h.
#include "tests/e2e/ScenarioSupport.h"

#include <algorithm>
#include <cstdlib>
#include <cwchar>

#include "app/resource.h"
#include "tests/windows/SimControl.h"

namespace e2e {
namespace {

Settings g_settings;

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::wstring ThisExeFolder() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p = path;
    const std::size_t slash = p.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : p.substr(0, slash);
}

std::wstring SafeName(std::string_view text) {
    std::wstring out = Widen(text);
    for (wchar_t& c : out)
        if (c == L'/' || c == L'\\' || c == L':' || c == L'*' || c == L'?' || c == L'"' || c == L'<' || c == L'>' || c == L'|')
            c = L'_';
    return out;
}

}  // namespace

std::wstring Widen(std::string_view utf8) {
    if (utf8.empty()) return {};
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

void InitSettings(int& argc, wchar_t** argv) {
    Settings s;
    s.installer = ui::WindowsPath(Widen(Environment("E2E_INSTALLER")));
    s.standin = ui::WindowsPath(Widen(Environment("E2E_STANDIN")));
    s.screenshots = ui::WindowsPath(Widen(Environment("E2E_SCREENSHOTS")));
    s.deviceInfo = ui::WindowsPath(Widen(Environment("E2E_DEVICE_INFO")));
    s.simNet = Environment("SIM_NET");
    s.simControl = Environment("SIM_CONTROL");
    if (Environment("E2E_LANG") == "ja") s.language = "ja";
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        auto take = [&](const wchar_t* prefix, std::wstring& into) {
            const std::size_t n = std::wcslen(prefix);
            if (a.compare(0, n, prefix) != 0) return false;
            into = ui::WindowsPath(a.substr(n));
            return true;
        };
        if (take(L"--installer=", s.installer) || take(L"--standin=", s.standin) || take(L"--screenshots=", s.screenshots))
            continue;
        argv[kept++] = argv[i];
    }
    argc = kept;
    argv[argc] = nullptr;
    if (s.standin.empty()) s.standin = ThisExeFolder() + L"\\standin_dialog.exe";
    if (!s.screenshots.empty()) ::CreateDirectoryW(s.screenshots.c_str(), nullptr);
    g_settings = std::move(s);
}

const Settings& GetSettings() { return g_settings; }

std::string Settings::Printer(int n) const {
    if (n < 1 || n > SimControl::kMaxPrinters) {
        ADD_FAILURE() << "no printer @" << n << ": the harness has @1 to @" << SimControl::kMaxPrinters;
        return {};
    }
    return simNet.empty() ? "" : simNet + "." + std::to_string(n);
}

std::wstring ScreenshotPath(std::wstring_view name, std::wstring_view extension) {
    if (g_settings.screenshots.empty()) return L"";
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    std::wstring file = test ? SafeName(test->test_suite_name()) + L"." + SafeName(test->name()) + L"-" : L"";
    file.append(name).append(extension);
    return g_settings.screenshots + L"\\" + file;
}

std::wstring Screenshot(std::wstring_view name) {
    const std::wstring path = ScreenshotPath(name);
    if (path.empty()) return path;
    EXPECT_UI(ui::SaveScreenshot(path)) << " (screenshot " << ui::Utf8(path) << ")";
    return path;
}

void Scenario::TearDown() {
    if (HasFailure()) Screenshot(L"failure");
    // Programs still running are killed by ~Process when m_apps goes.
}

App* Scenario::Launch(const std::wstring& exe, const std::vector<std::wstring>& arguments, const std::wstring& title,
                      const ui::Process::Options& options, bool untilListed) {
    std::wstring line = ui::Process::Quote(exe);
    for (const std::wstring& a : arguments) line += L" " + ui::Process::Quote(a);
    std::optional<ui::Process> process = ui::Process::Start(line, options);
    EXPECT_TRUE(process.has_value()) << ui::LastErrorUtf8();
    if (!process) return nullptr;
    App app{std::move(*process), nullptr};
    app.dialog = ui::FindTopLevel(title, L"#32770", app.Id());
    EXPECT_NE(app.dialog, nullptr) << ui::LastErrorUtf8();
    if (app.dialog && untilListed && ::GetDlgItem(app.dialog, IDC_PRINTER_LIST)) {
        EXPECT_TRUE(ui::WaitForEnabled(app.dialog, IDOK, true, kSearchBoundMs)) << "the search for printers did not end";
    }
    m_apps.push_back(std::move(app));
    return m_apps.back().dialog ? &m_apps.back() : nullptr;
}

}  // namespace e2e
