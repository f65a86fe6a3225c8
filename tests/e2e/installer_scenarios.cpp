// The installer itself under Wine, driven from outside on the namespace harness: the printers it
// lists, identification on Next with its messages, Back and Cancel, the command line, a second
// instance, a corrupted build and the Japanese interface. The simulator runs these printers (see
// tests/e2e/CMakeLists.txt): @1 a Zentil-640 needing firmware and panel application, @2 a model
// the installer does not support, @3 an up-to-date Zentil-540 that DeviceInfo.xml registered
// (fixtures/RegisteredPrinters.xml); nothing answers at @9.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/resource.h"
#include "tests/e2e/ScenarioSupport.h"
#include "tests/windows/LargeDeviceInfo.h"

namespace {

using e2e::App;
using e2e::GetSettings;
using e2e::Widen;

const std::wstring kTitle = L"Corvane Firmware Installer";
constexpr DWORD kExitTimeoutMs = 15000;

// The English and Japanese texts the scenarios look for.
struct Texts {
    std::wstring next, install, inputAddress, upToDate, notFound, alreadyRunning, corrupted, confirmExit, searching;
};

const Texts& Expected() {
    static const Texts english{L"&Next",
                               L"Install",
                               L"Input IP Address",
                               L"Current version is 3.40. \nInstallation is not necessary.",
                               L"Cannot find a printer.\nFill in IP address again or turn on main power.",
                               L"Execution Error.\nThe previous installer is still executing.",
                               L"This installer is corrupted.\nDownload another installer.",
                               L"Are you sure to exit without installation?",
                               L"Searching for printers..."};
    static const Texts japanese{L"次へ(&N)",
                                L"インストール",
                                L"IP アドレスを入力",
                                L"現在のバージョンは 3.40 です。\nインストールの必要はありません。",
                                L"プリンターが見つかりません。\nIP アドレスを入力し直すか、主電源を入れてください。",
                                L"実行エラー\n前に起動したインストーラーがまだ実行中です。",
                                L"このインストーラーは破損しています。\n別のインストーラーをダウンロードしてください。",
                                L"インストールせずに終了しますか?",
                                L"プリンターを検索しています..."};
    return GetSettings().Japanese() ? japanese : english;
}

std::wstring PrinterAddress(int n) { return Widen(GetSettings().Printer(n)); }

class Installer : public e2e::Scenario {
protected:
    void SetUp() override {
        if (GetSettings().installer.empty() || !GetSettings().OnHarness()) {
            GTEST_SKIP() << "needs E2E_INSTALLER and the namespace harness (run-scenario.sh)";
        }
    }

    App* Start(const std::vector<std::wstring>& arguments = {}) {
        return Launch(GetSettings().installer, arguments, kTitle);
    }

    // The message box the installer shows next: its text, whether it has an icon; answered with
    // `button`.
    std::wstring Answer(App& app, int button = IDOK, bool* hasIcon = nullptr) {
        const auto box = ui::FindMessageBox(app.Id(), ui::kDefaultTimeoutMs, kTitle);
        if (!box) {
            ADD_FAILURE() << ui::LastErrorUtf8();
            return {};
        }
        if (hasIcon) *hasIcon = box->hasIcon;
        e2e::Screenshot(L"message");
        EXPECT_UI(ui::AnswerMessageBox(box->window, button));
        return box->text;
    }

    std::wstring Text(App& app, int id) { return ui::ControlText(app.dialog, id).value_or(L"<missing>"); }

    void ExpectSelectionStep(App& app) {
        EXPECT_UI(ui::WaitForText(app.dialog, IDOK, Expected().next));
        EXPECT_EQ(Text(app, IDC_MODEL_NAME), L"Veyra Zentil Series");
        EXPECT_EQ(Text(app, IDC_FIRM_VERSION), L"From -.--  To 3.40");
        EXPECT_EQ(Text(app, IDC_PANEL_VERSION), L"From -.--  To 3.0.1");
        EXPECT_FALSE(ui::IsEnabled(app.dialog, IDC_BACK));
        EXPECT_TRUE(ui::IsEnabled(app.dialog, IDC_PRINTER_LIST));
    }

    // Cancel in the selection step ends the run with exit code 1.
    void CancelAndExpectExit(App& app) {
        ASSERT_UI(ui::Click(app.dialog, IDCANCEL));
        EXPECT_EQ(app.process.WaitForExit(kExitTimeoutMs), std::optional<DWORD>(1));
    }

    void Identify(App& app, int row) {
        ASSERT_UI(ui::SelectComboRow(app.dialog, IDC_PRINTER_LIST, row));
        ASSERT_UI(ui::Click(app.dialog, IDOK));
    }
};

TEST_F(Installer, TheWindowShowsAtOnceWhileItSearchesAndFillsItsListAfterwards) {
    App* app = Launch(GetSettings().installer, {}, kTitle, {}, false);
    ASSERT_NE(app, nullptr);
    // Seen while the list still says so, the window was not held back by the search.
    EXPECT_EQ(ui::ComboRows(app->dialog, IDC_PRINTER_LIST), std::vector<std::wstring>{Expected().searching});
    EXPECT_FALSE(ui::IsEnabled(app->dialog, IDOK));
    EXPECT_FALSE(ui::IsEnabled(app->dialog, IDC_IP_ADDRESS));
    EXPECT_TRUE(ui::IsEnabled(app->dialog, IDCANCEL));
    e2e::Screenshot(L"searching");
    // Enter (meant for Next, which waits for the search) does not end the installer.
    GUITHREADINFO thread{};
    thread.cbSize = sizeof thread;
    ASSERT_TRUE(::GetGUIThreadInfo(::GetWindowThreadProcessId(app->dialog, nullptr), &thread));
    const HWND focused = thread.hwndFocus ? thread.hwndFocus : app->dialog;
    EXPECT_NE(::GetDlgCtrlID(focused), IDCANCEL) << "Cancel has the focus";
    ::PostMessageW(focused, WM_KEYDOWN, VK_RETURN, 0x001C0001);
    ::PostMessageW(focused, WM_KEYUP, VK_RETURN, 0xC01C0001);
    EXPECT_EQ(app->process.WaitForExit(300), std::nullopt) << "Enter ended the installer";

    ASSERT_UI(ui::WaitForEnabled(app->dialog, IDOK, true, e2e::kSearchBoundMs));
    const auto rows = ui::ComboRows(app->dialog, IDC_PRINTER_LIST);
    ASSERT_UI(rows.has_value());
    EXPECT_EQ(rows->size(), 6u);
    EXPECT_EQ(rows->back(), Expected().inputAddress);
    ExpectSelectionStep(*app);
    CancelAndExpectExit(*app);
}

// The registered list replaced by one of 64 MB for the length of a scenario: the fixture is put
// back afterwards.
class LargeRegisteredList {
public:
    LargeRegisteredList()
        : m_path(device_info::SharedDeviceInfoPath() + L"\\DeviceInfo.xml"), m_kept(m_path + L".kept") {
        m_moved = ::MoveFileExW(m_path.c_str(), m_kept.c_str(), MOVEFILE_REPLACE_EXISTING);
        device_info::GeneratedFile file(m_path);
        if (!file.Open()) return;
        m_blocks = device_info::WriteLargeRegisteredList(file, m_served);
        m_size = file.Size();
        m_written = file.Close();
        file.Keep();
    }
    ~LargeRegisteredList() {
        ::DeleteFileW(m_path.c_str());
        if (m_moved) ::MoveFileExW(m_kept.c_str(), m_path.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    LargeRegisteredList(const LargeRegisteredList&) = delete;
    LargeRegisteredList& operator=(const LargeRegisteredList&) = delete;

    bool Written() const { return m_written; }
    std::uint64_t Size() const { return m_size; }
    const std::vector<device_info::Listed>& Served() const { return m_served; }

private:
    std::wstring m_path, m_kept;
    bool m_moved = false, m_written = false;
    int m_blocks = 0;
    std::uint64_t m_size = 0;
    std::vector<device_info::Listed> m_served;
};

TEST_F(Installer, ARegisteredListOf64MegabytesNeitherHoldsTheWindowBackNorFloodsTheList) {
    const LargeRegisteredList registered;
    ASSERT_TRUE(registered.Written());
    App* app = Launch(GetSettings().installer, {}, kTitle, {}, false);
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(ui::ComboRows(app->dialog, IDC_PRINTER_LIST), std::vector<std::wstring>{Expected().searching});
    ASSERT_UI(ui::WaitForEnabled(app->dialog, IDOK, true, e2e::kSearchBoundMs));
    const auto rows = ui::ComboRows(app->dialog, IDC_PRINTER_LIST);
    ASSERT_UI(rows.has_value());
    // The served printers of the file, in its order, then what the search found, then the extra row.
    ASSERT_GE(rows->size(), registered.Served().size() + 1);
    for (std::size_t i = 0; i < registered.Served().size(); ++i) {
        EXPECT_EQ((*rows)[i].rfind(registered.Served()[i].nickName + L" [ ", 0), 0u) << ui::Utf8((*rows)[i]);
    }
    EXPECT_EQ(rows->back(), Expected().inputAddress);
    const std::uint64_t peak = device_info::PeakWorkingSet(app->process.Handle());
    std::printf("DeviceInfo.xml of %.1f MB: %zu rows; the installer's peak working set %.1f MB\n",
                registered.Size() / 1048576.0, rows->size(), peak / 1048576.0);
    EXPECT_GT(peak, 0u);
    EXPECT_LT(peak, 4 * registered.Size());
    CancelAndExpectExit(*app);
}

TEST_F(Installer, CancelAndTheCloseBoxEndTheSearchAtOnce) {
    for (const bool closeBox : {false, true}) {
        SCOPED_TRACE(closeBox ? "the close box" : "Cancel");
        App* app = Launch(GetSettings().installer, closeBox ? std::vector<std::wstring>{L"-i", PrinterAddress(1)}
                                                            : std::vector<std::wstring>{},
                          kTitle, {}, false);
        ASSERT_NE(app, nullptr);
        ASSERT_FALSE(ui::IsEnabled(app->dialog, IDOK)) << "the search had already ended";
        const DWORD start = ::GetTickCount();
        if (closeBox) {
            ASSERT_TRUE(::PostMessageW(app->dialog, WM_SYSCOMMAND, SC_CLOSE, 0));
        } else {
            ASSERT_UI(ui::Click(app->dialog, IDCANCEL));
        }
        EXPECT_EQ(app->process.WaitForExit(kExitTimeoutMs), std::optional<DWORD>(1));
        const DWORD took = ::GetTickCount() - start;
        std::printf("ended %lu ms after %s\n", static_cast<unsigned long>(took), closeBox ? "the close box" : "Cancel");
        EXPECT_LT(took, 1000u) << "the installer took " << took << " ms to end";
        EXPECT_TRUE(ui::NoMessageBoxFor(app->Id(), 0));
    }
}

const int kRowLine2 = 0, kRowUsb = 1, kRowLongName = 3, kRowDiscovered = 4, kRowInput = 5;
const std::wstring kLongName =
    L"Large-format printer on the second floor, in the design studio next to the plotter room";

TEST_F(Installer, ListsTheRegisteredAndTheDiscoveredPrinters) {
    App* app = Start();
    ASSERT_NE(app, nullptr);
    const auto rows = ui::ComboRows(app->dialog, IDC_PRINTER_LIST);
    ASSERT_UI(rows.has_value());
    // Registered first, in the file's order, then the new finds; the unsupported models are gone.
    const std::vector<std::wstring> expected{L"Line 2 [ ZT540-000003 ] ", L"受付 [ ZS0002 ] ", L"Morvik-300 [  ] ",
                                             kLongName + L" [ ZT640-000099 ] ", L"Zentil-640 [ ZT640-000001 ] ",
                                             Expected().inputAddress};
    EXPECT_EQ(*rows, expected);
    EXPECT_EQ(ui::ComboSelection(app->dialog, IDC_PRINTER_LIST), kRowLine2);
    EXPECT_EQ(Text(*app, IDC_PORT_NAME), L"Ethernet");
    ExpectSelectionStep(*app);
    // The registered printer moved; the search found its new address by its serial number.
    const auto address = ui::GetIpAddress(app->dialog, IDC_IP_ADDRESS);
    ASSERT_UI(address.has_value());
    EXPECT_EQ(address->Text(), PrinterAddress(3));
    EXPECT_FALSE(ui::IsEnabled(app->dialog, IDC_IP_ADDRESS));
    e2e::Screenshot(L"main");

    // A USB printer in a network installer has no address to offer.
    ASSERT_UI(ui::SelectComboRow(app->dialog, IDC_PRINTER_LIST, kRowUsb));
    EXPECT_EQ(ui::GetIpAddress(app->dialog, IDC_IP_ADDRESS).value_or(ui::Ipv4{}).Text(), L"0.0.0.0");
    EXPECT_FALSE(ui::IsEnabled(app->dialog, IDC_IP_ADDRESS));
    // The last row is for typing the address.
    ASSERT_UI(ui::SelectComboRow(app->dialog, IDC_PRINTER_LIST, kRowInput));
    EXPECT_UI(ui::WaitForEnabled(app->dialog, IDC_IP_ADDRESS, true));

    CancelAndExpectExit(*app);
}

TEST_F(Installer, NextShowsWhatThePrinterNeedsAndBackGoesBack) {
    App* app = Start();
    ASSERT_NE(app, nullptr);
    Identify(*app, kRowDiscovered);
    ASSERT_UI(ui::WaitForText(app->dialog, IDOK, Expected().install));
    EXPECT_EQ(Text(*app, IDC_MODEL_NAME), L"Zentil-640");
    EXPECT_EQ(Text(*app, IDC_FIRM_VERSION), L"From 3.30  To 3.40");
    EXPECT_EQ(Text(*app, IDC_PANEL_VERSION), L"From 3.0.0  To 3.0.1");
    EXPECT_TRUE(ui::IsEnabled(app->dialog, IDC_BACK));
    EXPECT_FALSE(ui::IsEnabled(app->dialog, IDC_PRINTER_LIST));
    EXPECT_FALSE(ui::IsEnabled(app->dialog, IDC_IP_ADDRESS));
    e2e::Screenshot(L"confirmation");

    // Cancel now asks first; No keeps the printer.
    ASSERT_UI(ui::Click(app->dialog, IDCANCEL));
    EXPECT_EQ(Answer(*app, IDNO), Expected().confirmExit);
    EXPECT_EQ(Text(*app, IDOK), Expected().install);

    ASSERT_UI(ui::Click(app->dialog, IDC_BACK));
    ExpectSelectionStep(*app);
    EXPECT_EQ(ui::ComboSelection(app->dialog, IDC_PRINTER_LIST), kRowDiscovered);
    CancelAndExpectExit(*app);
}

TEST_F(Installer, AnUpToDatePrinterNeedsNothing) {
    App* app = Start();
    ASSERT_NE(app, nullptr);
    Identify(*app, kRowLine2);
    bool icon = false;
    EXPECT_EQ(Answer(*app, IDOK, &icon), Expected().upToDate);
    EXPECT_TRUE(icon);
    ExpectSelectionStep(*app);
    CancelAndExpectExit(*app);
}

TEST_F(Installer, NothingAnswersAtATypedAddress) {
    App* app = Start();
    ASSERT_NE(app, nullptr);
    ASSERT_UI(ui::SelectComboRow(app->dialog, IDC_PRINTER_LIST, kRowInput));
    ASSERT_UI(ui::SetIpAddress(app->dialog, IDC_IP_ADDRESS, PrinterAddress(9), true));
    ASSERT_UI(ui::Click(app->dialog, IDOK));
    bool icon = false;
    EXPECT_EQ(Answer(*app, IDOK, &icon), Expected().notFound);
    EXPECT_TRUE(icon);
    // The dialog takes another address at once.
    ExpectSelectionStep(*app);
    EXPECT_TRUE(ui::IsEnabled(app->dialog, IDC_IP_ADDRESS));
    CancelAndExpectExit(*app);
}

TEST_F(Installer, TheSystemMenuOpensTheAboutBox) {
    App* app = Start();
    ASSERT_NE(app, nullptr);
    // The system menu's item sends this command, as a click on it would.
    ASSERT_TRUE(::PostMessageW(app->dialog, WM_SYSCOMMAND, IDM_ABOUTBOX, 0));
    const HWND about = ui::FindTopLevel(L"About Firmware Installer", L"#32770", app->Id());
    ASSERT_UI(about != nullptr);
    EXPECT_EQ(ui::ControlText(about, IDC_ABOUT_TEXT).value_or(L"?"),
              L"Veyra Zentil Series  Firm Version 3.40 Panel Version 3.0.1");
    e2e::Screenshot(L"about");
    ASSERT_UI(ui::Click(about, IDOK));
    EXPECT_UI(ui::WaitGone(about));
    CancelAndExpectExit(*app);
}

TEST_F(Installer, TheCommandLineAddressChoosesItsPrinter) {
    App* app = Start({L"-i", PrinterAddress(1)});
    ASSERT_NE(app, nullptr);
    const auto rows = ui::ComboRows(app->dialog, IDC_PRINTER_LIST);
    ASSERT_UI(rows.has_value());
    EXPECT_EQ(rows->size(), 5u);  // no row for typing an address
    EXPECT_EQ(ui::ComboSelection(app->dialog, IDC_PRINTER_LIST), kRowDiscovered);
    EXPECT_EQ(ui::GetIpAddress(app->dialog, IDC_IP_ADDRESS).value_or(ui::Ipv4{}).Text(), PrinterAddress(1));
    CancelAndExpectExit(*app);
}

TEST_F(Installer, AnIllegalCommandLineEndsWithCodeThreeAndNoWindow) {
    for (const std::vector<std::wstring>& arguments :
         {std::vector<std::wstring>{L"-i"}, {L"-i", L"1.2.3.4", L"-u", L"USB001"}, {L"-x"}}) {
        std::wstring commandLine = ui::Process::Quote(GetSettings().installer);
        for (const std::wstring& argument : arguments) commandLine += L" " + ui::Process::Quote(argument);
        auto process = ui::Process::Start(commandLine);
        ASSERT_UI(process.has_value());
        EXPECT_EQ(process->WaitForExit(kExitTimeoutMs), std::optional<DWORD>(3));
        EXPECT_TRUE(ui::TopLevelWindows(process->Id()).empty());
    }
}

TEST_F(Installer, ASecondInstanceRefusesToRun) {
    App* first = Start();
    ASSERT_NE(first, nullptr);
    auto second = ui::Process::Start(ui::Process::Quote(GetSettings().installer));
    ASSERT_UI(second.has_value());
    e2e::App secondApp{std::move(*second), nullptr};
    bool icon = false;
    EXPECT_EQ(Answer(secondApp, IDOK, &icon), Expected().alreadyRunning);
    EXPECT_TRUE(icon);
    EXPECT_EQ(secondApp.process.WaitForExit(kExitTimeoutMs), std::optional<DWORD>(2));
    CancelAndExpectExit(*first);
}

TEST_F(Installer, ACorruptedBuildSaysSoAndEndsWithCodeFive) {
    const std::wstring mismatched = ui::WindowsPath(Widen(E2E_MISMATCHED_INSTALLER));
    auto process = ui::Process::Start(ui::Process::Quote(mismatched));
    ASSERT_UI(process.has_value());
    e2e::App app{std::move(*process), nullptr};
    bool icon = false;
    EXPECT_EQ(Answer(app, IDOK, &icon), Expected().corrupted);
    EXPECT_TRUE(icon);
    EXPECT_EQ(app.process.WaitForExit(kExitTimeoutMs), std::optional<DWORD>(5));
}

}  // namespace

namespace {

TEST_F(Installer, ALongNameWidensTheDropDownAndShowsInTheToolTip) {
    App* app = Start();
    ASSERT_NE(app, nullptr);
    const HWND list = ui::Control(app->dialog, IDC_PRINTER_LIST);
    ASSERT_UI(list != nullptr);
    // The drop-down part is as wide as the longest row; the closed list keeps its width.
    const RECT closed = ui::ScreenRect(list);
    DWORD_PTR dropped = 0;
    ASSERT_TRUE(::SendMessageTimeoutW(list, CB_GETDROPPEDWIDTH, 0, 0, SMTO_ABORTIFHUNG, ui::kMessageTimeoutMs, &dropped));
    EXPECT_GT(static_cast<LONG>(dropped), closed.right - closed.left);

    // Resting the pointer on the list shows the chosen row in a tooltip.
    ASSERT_UI(ui::SelectComboRow(app->dialog, IDC_PRINTER_LIST, kRowLongName));
    const int x = (closed.left + closed.right) / 2, y = (closed.top + closed.bottom) / 2;
    ::SetCursorPos(x - 10, y);
    ::Sleep(100);
    ::SetCursorPos(x, y);  // then it rests there
    HWND tip = nullptr;
    const bool shown = ui::WaitUntil(
        [&] {
            for (HWND window : ui::TopLevelWindows(app->Id())) {
                if (ui::ClassOf(window) == L"tooltips_class32") tip = window;
            }
            return tip != nullptr;
        },
        5000, 100);
    EXPECT_TRUE(shown) << "no tooltip over the printer list";
    e2e::Screenshot(L"tooltip");
    ::SetCursorPos(0, 0);
    CancelAndExpectExit(*app);
}

}  // namespace
