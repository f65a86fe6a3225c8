// Scenarios against the stand-in dialog (standin_dialog.cpp): every function of the UI driver on a
// real Win32 program under Wine, and the harness around it (the simulator's control port, the
// DeviceInfo.xml fixture, the language of the run). Run them through run-scenario.sh.
#include <winsock2.h>
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "tests/e2e/ScenarioSupport.h"
#include "tests/e2e/standin_dialog.h"
#include "tests/windows/SimControl.h"

namespace {

using e2e::App;
using e2e::GetSettings;

const std::wstring kTitle = L"Corvane Firmware Installer";
const std::vector<std::wstring> kRows = {L"Zentil-640 (ZT640-000001)", L"Zentil-1640 (ZT1640-000002)"};

class Standin : public e2e::Scenario {
protected:
    App* Start(const std::vector<std::wstring>& arguments = {}, const ui::Process::Options& options = {},
               const std::wstring& title = kTitle) {
        return Launch(GetSettings().standin, arguments, title, options, false);
    }
};

ULONGLONG Elapsed(ULONGLONG since) { return ::GetTickCount64() - since; }

TEST_F(Standin, FindsItsDialogAndReadsItsControls) {
    App* app = Start();
    ASSERT_NE(app, nullptr);
    EXPECT_UI(app->process.WaitForInputIdle());
    EXPECT_EQ(ui::ProcessOf(app->dialog), app->Id());
    EXPECT_EQ(ui::ClassOf(app->dialog), L"#32770");
    EXPECT_EQ(ui::TextOf(app->dialog).value_or(L"?"), kTitle);

    EXPECT_EQ(ui::ControlText(app->dialog, IDC_STANDIN_STATUS).value_or(L"?"), L"Firmware 3.40");
    EXPECT_EQ(ui::ControlText(app->dialog, IDC_STANDIN_CHOICE).value_or(L"?"), L"");
    EXPECT_EQ(ui::ControlText(app->dialog, IDCANCEL).value_or(L"?"), L"Cancel");
    EXPECT_TRUE(ui::IsEnabled(app->dialog, IDCANCEL));
    EXPECT_FALSE(ui::IsEnabled(app->dialog, IDC_STANDIN_BACK));
    EXPECT_FALSE(ui::IsEnabled(app->dialog, IDOK));
    EXPECT_TRUE(ui::IsVisible(app->dialog, IDC_STANDIN_ROWS));
    EXPECT_FALSE(ui::IsVisible(app->dialog, IDC_STANDIN_LABEL));

    const auto rows = ui::ComboRows(app->dialog, IDC_STANDIN_ROWS);
    ASSERT_UI(rows.has_value());
    EXPECT_EQ(*rows, kRows);
    EXPECT_EQ(ui::ComboSelection(app->dialog, IDC_STANDIN_ROWS), -1);

    // A control the dialog does not have.
    EXPECT_EQ(ui::Control(app->dialog, 4242), nullptr);
    EXPECT_NE(ui::LastError().find(L"4242"), std::wstring::npos);
    EXPECT_FALSE(ui::ControlText(app->dialog, 4242).has_value());
}

TEST_F(Standin, ChoosingARowIsSeenByTheProgram) {
    App* app = Start({L"--rows", L"Zentil-640 @1|Zentil-1640 @2|倉庫のプロッタ"});
    ASSERT_NE(app, nullptr);
    const auto rows = ui::ComboRows(app->dialog, IDC_STANDIN_ROWS);
    ASSERT_UI(rows.has_value());
    ASSERT_EQ(rows->size(), 3u);
    EXPECT_EQ((*rows)[2], L"倉庫のプロッタ");

    ASSERT_UI(ui::SelectComboRow(app->dialog, IDC_STANDIN_ROWS, 1));
    EXPECT_EQ(ui::ComboSelection(app->dialog, IDC_STANDIN_ROWS), 1);
    EXPECT_UI(ui::WaitForText(app->dialog, IDC_STANDIN_CHOICE, L"Zentil-1640 @2"));
    EXPECT_UI(ui::WaitForEnabled(app->dialog, IDC_STANDIN_BACK, true));
    EXPECT_UI(ui::WaitForVisible(app->dialog, IDC_STANDIN_LABEL, true));

    ASSERT_UI(ui::SelectComboRow(app->dialog, IDC_STANDIN_ROWS, L"倉庫のプロッタ"));
    EXPECT_EQ(ui::ComboSelection(app->dialog, IDC_STANDIN_ROWS), 2);
    EXPECT_UI(ui::WaitForText(app->dialog, IDC_STANDIN_CHOICE, L"倉庫のプロッタ"));

    EXPECT_FALSE(ui::SelectComboRow(app->dialog, IDC_STANDIN_ROWS, 3));
    EXPECT_FALSE(ui::SelectComboRow(app->dialog, IDC_STANDIN_ROWS, L"no such printer"));
    EXPECT_EQ(ui::ComboSelection(app->dialog, IDC_STANDIN_ROWS), 2);
}

TEST_F(Standin, ReadsAndSetsTheIpAddress) {
    App* app = Start();
    ASSERT_NE(app, nullptr);
    auto ip = ui::GetIpAddress(app->dialog, IDC_STANDIN_IP);
    ASSERT_UI(ip.has_value());
    EXPECT_EQ(ip->filledFields, 0);
    EXPECT_EQ(ip->Text(), L"");

    // The simulator's printer when the harness runs us, any address otherwise.
    const std::wstring printer = GetSettings().OnHarness() ? e2e::Widen(GetSettings().Printer(1)) : L"10.100.1.1";
    ASSERT_UI(ui::SetIpAddress(app->dialog, IDC_STANDIN_IP, printer));
    ip = ui::GetIpAddress(app->dialog, IDC_STANDIN_IP);
    ASSERT_UI(ip.has_value());
    EXPECT_EQ(ip->filledFields, 4);
    EXPECT_EQ(ip->Text(), printer);
    // The program read it back itself, on the control's own change notification.
    EXPECT_UI(ui::WaitForText(app->dialog, IDC_STANDIN_ADDRESS, printer));
    // With a notification of the driver's as well (needed on Windows), the same.
    ASSERT_UI(ui::SetIpAddress(app->dialog, IDC_STANDIN_IP, L"10.0.0.9", true));
    EXPECT_UI(ui::WaitForText(app->dialog, IDC_STANDIN_ADDRESS, L"10.0.0.9"));

    ASSERT_UI(ui::SetIpAddress(app->dialog, IDC_STANDIN_IP, MAKEIPADDRESS(192, 168, 0, 254)));
    EXPECT_EQ(ui::GetIpAddress(app->dialog, IDC_STANDIN_IP).value_or(ui::Ipv4{}).Text(), L"192.168.0.254");
    EXPECT_UI(ui::WaitForText(app->dialog, IDC_STANDIN_ADDRESS, L"192.168.0.254"));

    ASSERT_UI(ui::SetIpAddress(app->dialog, IDC_STANDIN_IP, L""));
    EXPECT_EQ(ui::GetIpAddress(app->dialog, IDC_STANDIN_IP).value_or(ui::Ipv4{4, 4}).filledFields, 0);
    EXPECT_UI(ui::WaitForText(app->dialog, IDC_STANDIN_ADDRESS, L""));

    for (const wchar_t* bad : {L"1.2.3", L"1.2.3.256", L"1..2.3", L"a.b.c.d", L"1.2.3.4.5"})
        EXPECT_FALSE(ui::SetIpAddress(app->dialog, IDC_STANDIN_IP, bad)) << ui::Utf8(bad);
}

TEST_F(Standin, AnswersQuestionAndInformationBoxes) {
    App* app = Start({L"--exit-code", L"17"});
    ASSERT_NE(app, nullptr);
    EXPECT_FALSE(ui::Click(app->dialog, IDOK)) << "Next is disabled until a row is chosen";
    ASSERT_UI(ui::SelectComboRow(app->dialog, IDC_STANDIN_ROWS, 0));
    ASSERT_UI(ui::SetIpAddress(app->dialog, IDC_STANDIN_IP, L"10.0.0.7"));
    ASSERT_UI(ui::WaitForEnabled(app->dialog, IDOK, true));

    // Next: a question; No keeps the dialog.
    ASSERT_UI(ui::Click(app->dialog, IDOK));
    auto box = ui::FindMessageBox(app->Id(), ui::kDefaultTimeoutMs, kTitle);
    ASSERT_UI(box.has_value());
    EXPECT_EQ(box->text, L"Install the firmware on Zentil-640 (ZT640-000001) at 10.0.0.7?");
    EXPECT_EQ(box->title, kTitle);
    EXPECT_TRUE(box->hasIcon);
    EXPECT_EQ(box->buttons, (std::vector<int>{IDYES, IDNO}));
    // The buttons speak the run's language (the text changes, the ids do not).
    ASSERT_EQ(box->buttonTexts.size(), 2u);
    EXPECT_EQ(box->buttonTexts[0], GetSettings().Japanese() ? L"はい(&Y)" : L"&Yes");
    EXPECT_NE(box->window, app->dialog);
    // The dialog itself is not a message box, though it has unnamed statics too.
    EXPECT_FALSE(ui::IsMessageBox(app->dialog));
    // The main dialog still answers while the box is open (sent messages are handled by the box's loop).
    EXPECT_EQ(ui::ControlText(app->dialog, IDC_STANDIN_STATUS).value_or(L"?"), L"Firmware 3.40");
    e2e::Screenshot(L"question");
    EXPECT_FALSE(ui::AnswerMessageBox(box->window, IDOK)) << "a Yes/No box has no OK";
    ASSERT_UI(ui::AnswerMessageBox(box->window, IDNO));
    EXPECT_UI(ui::WaitForText(app->dialog, IDC_STANDIN_STATUS, L"Not installed."));
    EXPECT_TRUE(app->process.Running());

    // Next again, Yes: an information box, then the program ends with its code.
    ASSERT_UI(ui::Click(app->dialog, IDOK));
    box = ui::FindMessageBox(app->Id());
    ASSERT_UI(box.has_value());
    ASSERT_UI(ui::AnswerMessageBox(box->window, IDYES));
    box = ui::FindMessageBox(app->Id());
    ASSERT_UI(box.has_value());
    EXPECT_EQ(box->text, L"The firmware was installed.");
    EXPECT_TRUE(box->hasIcon);
    EXPECT_EQ(box->buttons, std::vector<int>{IDOK});
    EXPECT_UI(ui::WaitForText(app->dialog, IDC_STANDIN_STATUS, L"Installing."));
    ASSERT_UI(ui::AnswerMessageBox(box->window, IDOK));
    EXPECT_UI(ui::WaitGone(app->dialog));
    const auto code = app->process.WaitForExit();
    ASSERT_UI(code.has_value());
    EXPECT_EQ(*code, 17u);
}

TEST_F(Standin, BoxWithoutIconAndBackToTheStart) {
    App* app = Start();
    ASSERT_NE(app, nullptr);
    ASSERT_UI(ui::SelectComboRow(app->dialog, IDC_STANDIN_ROWS, 1));
    ASSERT_UI(ui::WaitForEnabled(app->dialog, IDC_STANDIN_BACK, true));
    ASSERT_UI(ui::Click(app->dialog, IDC_STANDIN_BACK));
    const auto box = ui::FindMessageBox(app->Id());
    ASSERT_UI(box.has_value());
    EXPECT_EQ(box->text, L"Back to the start.");
    EXPECT_FALSE(box->hasIcon);
    EXPECT_EQ(box->buttons, std::vector<int>{IDOK});
    ASSERT_UI(ui::AnswerMessageBox(box->window, IDOK));
    EXPECT_UI(ui::WaitForEnabled(app->dialog, IDC_STANDIN_BACK, false));
    EXPECT_UI(ui::WaitForVisible(app->dialog, IDC_STANDIN_LABEL, false));
    EXPECT_EQ(ui::ComboSelection(app->dialog, IDC_STANDIN_ROWS), -1);
    EXPECT_UI(ui::NoMessageBoxFor(app->Id(), 200));
}

TEST_F(Standin, CancelAskedTwiceEndsWithItsCode) {
    App* app = Start({L"--cancel-code", L"5"});
    ASSERT_NE(app, nullptr);
    ASSERT_UI(ui::Click(app->dialog, IDCANCEL));
    auto box = ui::FindMessageBox(app->Id());
    ASSERT_UI(box.has_value());
    EXPECT_EQ(box->buttons, (std::vector<int>{IDOK, IDCANCEL}));
    EXPECT_TRUE(box->hasIcon);
    ASSERT_UI(ui::AnswerMessageBox(box->window, IDCANCEL));
    EXPECT_FALSE(app->process.WaitForExit(300).has_value());

    ASSERT_UI(ui::Click(app->dialog, IDCANCEL));
    box = ui::FindMessageBox(app->Id());
    ASSERT_UI(box.has_value());
    ASSERT_UI(ui::AnswerMessageBox(box->window, IDOK));
    const auto code = app->process.WaitForExit();
    ASSERT_UI(code.has_value());
    EXPECT_EQ(*code, 5u);
}

TEST_F(Standin, ErrorBoxOfAProgramWithoutDialog) {
    auto process = ui::Process::Start(ui::Process::Quote(GetSettings().standin) +
                                      L" --error \"Winsock could not start.\" --exit-code 3");
    ASSERT_UI(process.has_value());
    const auto box = ui::FindMessageBox(process->Id(), ui::kDefaultTimeoutMs, kTitle);
    ASSERT_UI(box.has_value());
    EXPECT_EQ(box->text, L"Winsock could not start.");
    EXPECT_TRUE(box->hasIcon);
    EXPECT_EQ(ui::ProcessOf(box->window), process->Id());
    ASSERT_UI(ui::AnswerMessageBox(box->window, IDOK));
    EXPECT_EQ(process->WaitForExit().value_or(0xFFFF), 3u);
}

TEST_F(Standin, TwoProgramsEachFoundByItsProcess) {
    App* first = Start();
    App* second = Start();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first->dialog, second->dialog);
    EXPECT_EQ(ui::ProcessOf(first->dialog), first->Id());
    EXPECT_EQ(ui::ProcessOf(second->dialog), second->Id());
    // The first one's box is not the second one's.
    ASSERT_UI(ui::Click(first->dialog, IDCANCEL));
    ASSERT_UI(ui::FindMessageBox(first->Id()).has_value());
    EXPECT_FALSE(ui::FindMessageBox(second->Id(), 300).has_value());
}

TEST_F(Standin, EnvironmentOfTheStartedProgram) {
    ::SetEnvironmentVariableW(L"STANDIN_LABEL", L"inherited");
    ui::Process::Options changed;
    changed.environment = {{L"STANDIN_LABEL", L"changed ラベル"}};
    ui::Process::Options removed;
    removed.environment = {{L"standin_label", std::nullopt}};  // names compare without case
    App* a = Start();
    App* b = Start({}, changed);
    App* c = Start({}, removed);
    ::SetEnvironmentVariableW(L"STANDIN_LABEL", nullptr);
    ASSERT_TRUE(a && b && c);
    const std::wstring lang = GetSettings().Japanese() ? L" lang=0411" : L" lang=0409";
    EXPECT_EQ(ui::ControlText(a->dialog, IDC_STANDIN_LABEL).value_or(L"?"), L"inherited" + lang);
    EXPECT_EQ(ui::ControlText(b->dialog, IDC_STANDIN_LABEL).value_or(L"?"), L"changed ラベル" + lang);
    EXPECT_EQ(ui::ControlText(c->dialog, IDC_STANDIN_LABEL).value_or(L"?"), L"(no label)" + lang);
}

TEST_F(Standin, KillsAProgramThatDoesNotEnd) {
    App* app = Start();
    ASSERT_NE(app, nullptr);
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_FALSE(app->process.WaitForExitOrKill(300).has_value());
    EXPECT_GE(Elapsed(start), 290u);
    EXPECT_NE(ui::LastError().find(L"killed"), std::wstring::npos);
    EXPECT_FALSE(app->process.Running());
    EXPECT_EQ(app->process.WaitForExit(0).value_or(0), 0xDEADu);
    EXPECT_UI(ui::WaitGone(app->dialog, 2000));
}

TEST_F(Standin, EveryWaitEndsAtItsTimeOut) {
    App* app = Start();
    ASSERT_NE(app, nullptr);
    ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(ui::FindTopLevel(L"No such window", L"#32770", 0, 300), nullptr);
    EXPECT_GE(Elapsed(start), 290u);
    EXPECT_LT(Elapsed(start), 2000u);
    EXPECT_NE(ui::LastError().find(L"No such window"), std::wstring::npos);

    start = ::GetTickCount64();
    EXPECT_EQ(ui::FindTopLevel(kTitle, L"#32770", app->Id() + 1, 300), nullptr);  // no such process
    EXPECT_FALSE(ui::FindMessageBox(app->Id(), 300).has_value());
    EXPECT_FALSE(ui::WaitGone(app->dialog, 300));
    std::wstring last;
    EXPECT_FALSE(ui::WaitForText(app->dialog, IDC_STANDIN_STATUS, L"never", 300, &last));
    EXPECT_EQ(last, L"Firmware 3.40");
    EXPECT_FALSE(ui::WaitForEnabled(app->dialog, IDOK, true, 300));
    EXPECT_LT(Elapsed(start), 5000u);
}

TEST_F(Standin, ScreenshotShowsTheDialog) {
    App* app = Start();
    ASSERT_NE(app, nullptr);
    const RECT marker = ui::ScreenRect(ui::Control(app->dialog, IDC_STANDIN_MARKER));
    const RECT dialog = ui::ScreenRect(app->dialog);
    ASSERT_LT(marker.left, marker.right);
    const int x = (marker.left + marker.right) / 2, y = (marker.top + marker.bottom) / 2;
    const std::array<std::uint8_t, 3> magenta = {255, 0, 255};

    // The dialog may not have painted yet when its window is found.
    std::optional<ui::Screenshot> shot;
    const bool seen = ui::WaitUntil([&] { return (shot = ui::CaptureScreen()) && shot->Pixel(x, y) == magenta; }, 5000, 100);
    ASSERT_TRUE(shot.has_value()) << ui::LastErrorUtf8();
    EXPECT_EQ(shot->width, ::GetSystemMetrics(SM_CXSCREEN));
    EXPECT_EQ(shot->height, ::GetSystemMetrics(SM_CYSCREEN));
    const auto p = shot->Pixel(x, y);
    ASSERT_TRUE(seen) << "marker at " << x << "," << y << " is " << int(p[0]) << "," << int(p[1]) << "," << int(p[2]);
    // The marker paints first; the rest of the dialog a moment later.
    shot = ui::CaptureSettledScreen();
    ASSERT_UI(shot.has_value());
    EXPECT_EQ(shot->Pixel(x, y), magenta);

    const std::wstring png = e2e::ScreenshotPath(L"dialog");
    if (png.empty()) GTEST_SKIP() << "no screenshot folder (E2E_SCREENSHOTS)";
    ASSERT_UI(ui::SavePng(*shot, png));
    // Points the harness checks in the PNG file (run-scenario's caller, with ImageMagick): the
    // marker, and a few others with whatever colour the capture has there.
    FILE* probe = _wfopen(e2e::ScreenshotPath(L"dialog", L".probe").c_str(), L"wb");
    ASSERT_NE(probe, nullptr);
    const POINT points[] = {{x, y}, {dialog.left + 3, dialog.top + 3}, {dialog.right - 4, dialog.bottom - 4},
                            {(dialog.left + dialog.right) / 2, dialog.bottom - 8}, {0, 0}, {shot->width - 1, shot->height - 1}};
    for (const POINT& pt : points) {
        const auto c = shot->Pixel(pt.x, pt.y);
        std::fprintf(probe, "%ld %ld %02X%02X%02X\n", pt.x, pt.y, c[0], c[1], c[2]);
    }
    std::fclose(probe);
}

// The harness around the scenarios: reached only through run-scenario.sh.
class Harness : public e2e::Scenario {
protected:
    void SetUp() override {
        if (!GetSettings().OnHarness()) GTEST_SKIP() << "not on the namespace harness (SIM_NET, SIM_CONTROL)";
    }
};

TEST_F(Harness, SimulatorAnswersOnItsControlPort) {
    SimControl sim;
    ASSERT_TRUE(sim.Connected());
    const std::vector<std::string> printers = sim.Command("list");
    ASSERT_FALSE(printers.empty());
    EXPECT_EQ(printers[0].rfind(GetSettings().Printer(1) + " ", 0), 0u) << printers[0];
    EXPECT_EQ(sim.Show(GetSettings().Printer(1), "model"), "Zentil-640");
}

TEST_F(Harness, DeviceInfoFixtureIsWhereTheInstallerLooks) {
    if (GetSettings().deviceInfo.empty()) GTEST_SKIP() << "no DeviceInfo.xml fixture given";
    wchar_t shared[MAX_PATH] = {};
    ASSERT_TRUE(::SHGetSpecialFolderPathW(nullptr, shared, CSIDL_COMMON_APPDATA, FALSE));
    const std::wstring path = std::wstring(shared) + L"\\Corvane Quillmark\\Quillmark\\Device\\DeviceInfo.xml";
    auto read = [](const std::wstring& file) {
        std::ifstream in(std::filesystem::path(file), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string placed = read(path);
    EXPECT_FALSE(placed.empty()) << ui::Utf8(path);
    EXPECT_EQ(placed, read(GetSettings().deviceInfo));
}

}  // namespace
