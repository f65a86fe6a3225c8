// What every end-to-end scenario needs beside the UI driver: the run's settings (target programs,
// screenshot folder, simulator, language) from the environment or the command line, screenshots
// named after the running test, a fixture base that photographs the screen when a test fails and
// ends every program it started, and gtest checks that print the driver's reason.
//
// Settings (an argument wins over the environment variable):
//   --installer=PATH    E2E_INSTALLER    the installer under test
//   --standin=PATH      E2E_STANDIN      the stand-in dialog (default: standin_dialog.exe beside this exe)
//   --screenshots=DIR   E2E_SCREENSHOTS  where screenshots go (none taken when unset)
//                       SIM_NET, SIM_CONTROL  the simulator (set by with-netns.sh)
//                       E2E_LANG         "ja" for a Japanese run, else "en"
//                       E2E_DEVICE_INFO  the DeviceInfo.xml fixture placed in the prefix, if any
// Linux paths ("/tmp/x") are taken as Wine's drive Z:.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/e2e/UiDriver.h"

// A driver call that must succeed; the failure message carries ui::LastError().
#define EXPECT_UI(condition) EXPECT_TRUE(condition) << ui::LastErrorUtf8()
#define ASSERT_UI(condition) ASSERT_TRUE(condition) << ui::LastErrorUtf8()

namespace e2e {

// How long the installer's search for printers may take before its list is filled: the 2 s
// listening phase and the registered printers, with room for a loaded machine.
constexpr DWORD kSearchBoundMs = 20000;

struct Settings {
    std::wstring installer;
    std::wstring standin;
    std::wstring screenshots;
    std::string simNet;
    std::string simControl;
    std::string language = "en";
    std::wstring deviceInfo;

    bool Japanese() const { return language == "ja"; }
    bool OnHarness() const { return !simNet.empty() && !simControl.empty(); }
    // "10.N.1.n", the address with-netns.sh gave @n, 1 to 32 (empty off the harness; another n
    // adds a test failure and gives an empty string).
    std::string Printer(int n) const;
};

// Reads the environment, then takes (and removes) the arguments above from argv.
void InitSettings(int& argc, wchar_t** argv);
const Settings& GetSettings();

std::wstring Widen(std::string_view utf8);
// Saves a screenshot as <screenshots>/<Suite>.<Test>-<name>.png; gives the path, or an empty
// string when no folder is set. A failure to capture or write fails the test.
std::wstring Screenshot(std::wstring_view name);
// The path such a screenshot would get, for files written beside it.
std::wstring ScreenshotPath(std::wstring_view name, std::wstring_view extension = L".png");

// A started program and its main dialog.
struct App {
    ui::Process process;
    HWND dialog = nullptr;
    DWORD Id() const { return process.Id(); }
};

// Base of the scenarios: Launch() starts a program and waits for its dialog; on a failed test the
// screen is saved (<test>-failure.png) before the programs are killed.
class Scenario : public testing::Test {
protected:
    void TearDown() override;

    // Starts `exe` with `arguments` (each quoted) and waits for its top-level window titled
    // `title` (class "#32770"). Fails the test (fatally) when it does not appear; check HasFatalFailure().
    // When the window is the installer's main dialog, which shows while it searches for printers,
    // it also waits for the search to end (Next enabled) unless `untilListed` is false.
    App* Launch(const std::wstring& exe, const std::vector<std::wstring>& arguments, const std::wstring& title,
                const ui::Process::Options& options = {}, bool untilListed = true);

    std::deque<App> m_apps;  // a deque: the pointers Launch gave stay valid
};

}  // namespace e2e
