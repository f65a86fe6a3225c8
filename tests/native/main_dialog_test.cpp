// The main dialog's logic against a recording view: command line, initialisation and its
// failures, the printer rows, the two steps, identification on Next, Back and Cancel.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/MainDialog.h"
#include "app/QuietInstall.h"
#include "app/SendStatusDlg.h"
#include "app/TrustMessages.h"
#include "app/resource.h"
#include "common/Encoding.h"
#include "common/Text.h"
#include "images/FirmKey.h"
#include "ports/Ipv4Address.h"
#include "images/FirmRestore.h"
#include "tests/native/fakes/FakePorts.h"
#include "tests/native/fakes/ManualClock.h"
#include "tests/native/fakes/MemoryCertificateFile.h"
#include "tests/native/fakes/UpdateFixture.h"

namespace {

using Args = std::vector<std::wstring>;

TEST(CommandLine, AcceptsExactlyOneOfTheTwoOptions) {
    struct Case {
        Args args;
        std::wstring address, usb, forget;
    } cases[] = {
        {{}, L"", L"", L""},
        {{L"-I", L"10.0.0.5"}, L"10.0.0.5", L"", L""},
        {{L"/i10.0.0.5"}, L"10.0.0.5", L"", L""},
        {{L"-u", L"USB001"}, L"", L"USB001", L""},
        {{L"extra", L"/Uport"}, L"", L"port", L""},
        {{L"-i", L"-u"}, L"-u", L"", L""},              // the value is taken whatever it holds
        {{L"-x", L"-iA", L"-"}, L"A", L"", L""},        // other letters and a lone dash are skipped
        {{L"/f", L"ZT640-000001"}, L"", L"", L"ZT640-000001"},  // forget a printer: alone
        {{L"-F10.0.0.2"}, L"", L"", L"10.0.0.2"},
    };
    for (const Case& c : cases) {
        const CommandLineValues values = ReadCommandLine(c.args);
        EXPECT_EQ(values.address, c.address);
        EXPECT_EQ(values.usbPort, c.usb);
        EXPECT_EQ(values.forget, c.forget);
    }
}

TEST(CommandLine, RejectsWhatIsNotExactlyOneOption) {
    const Args illegal[] = {
        {L"-i"},                                  // value missing at the end
        {L"-i1.2.3.4", L"-u", L"USB001"},         // both
        {L"-i1.2.3.4", L"-i", L"5.6.7.8"},        // twice
        {L"-x"},                                  // none
        {L"plain", L"words"},
        {L"-f", L"ZT640-000001", L"-i", L"10.0.0.2"},  // forgetting is not installing
        {L"-f"},
    };
    for (const Args& args : illegal) {
        try {
            ReadCommandLine(args);
            ADD_FAILURE() << "accepted " << args.size() << " arguments";
        } catch (VessickExitCode::EXITCODE code) {
            EXPECT_EQ(code, VessickExitCode::ILLEGAL_PARAMETER);
        }
    }
}

TEST(CommandLine, AddressParsesOnlyAsFourOctets) {
    const std::pair<const wchar_t*, std::uint32_t> cases[] = {
        {L"10.0.0.5", 0x0A000005u}, {L"192.168.1.20", 0xC0A80114u}, {L"0.0.0.0", 0u},
        {L"255.255.255.255", 0u},   {L"256.1.1.1", 0u},             {L"1.2.3", 0u},
        {L"1.2.3.4.", 0u},          {L"1..3.4", 0u},                {L"001.002.003.004", 0x01020304u},
        {L"0001.2.3.4", 0u},        {L" 1.2.3.4", 0u},              {L"-u", 0u},
        {L"1.2.3.4x", 0u},          {L"", 0u},
    };
    for (const auto& [text, address] : cases) EXPECT_EQ(ParseCommandLineAddress(text), address) << text;
    // Longer than any dotted address: not taken even when the octets would parse.
    EXPECT_EQ(ParseCommandLineAddress(L"0001.0002.0003.4"), 0u);
}

CPrinterInfo Network(const wchar_t* model, const wchar_t* nick, const wchar_t* serial, std::uint32_t address = 0) {
    return CPrinterInfo(model, address, nick, L"", serial);
}

TEST(PrinterRows, RowTextsAndToolTips) {
    EXPECT_EQ(PrinterRowText(Network(L"Zentil-640", L"Line 2", L"AB12345")), L"Line 2 [ AB12345 ] ");
    EXPECT_EQ(PrinterRowText(Network(L"Zentil-640", L"Line 2", L"")), L"Line 2 [ -------- ] ");
    EXPECT_EQ(PrinterRowText(Network(L"Zentil-640", L"", L"AB12345")), L"Zentil-640 [ AB12345 ] ");
    EXPECT_EQ(PrinterRowText(Network(L"Zentil-640", L"", L"")), L"Zentil-640 [  ] ");

    const std::wstring hundred(100, L'x');
    EXPECT_EQ(ToolTipText(hundred), std::wstring(76, L'x') + L"...");
    EXPECT_EQ(ToolTipText(std::wstring(76, L'y')), std::wstring(76, L'y'));
    EXPECT_EQ(ToolTipText(std::wstring(77, L'z')), std::wstring(76, L'z') + L"...");

    EXPECT_EQ(FromToText(L"3.30", L"3.40"), L"From 3.30  To 3.40");
    EXPECT_EQ(FormatMessageText(L"Current version is %s. \nX", L"3.40"), L"Current version is 3.40. \nX");
}

// The configuration of this build and the English messages the dialog shows.
MapStringTable BuildStrings() {
    return MapStringTable{
        {IDS_CFG_FIRM_VERSION, L"3.40"},
        {IDS_CFG_SERIES_NAME, L"Veyra Zentil Series"},
        {IDS_CFG_MODEL_LIST, L"Zentil-640,Zentil-540,Morvik-540,Morvik-300"},
        {IDS_CFG_MODEL_CODE, L"041852"},
        {IDS_CFG_PORT_TYPE, L"DLL_ETHERNET1"},
        {IDS_CFG_PANEL_VERSION, L"3.0.1"},
        {IDS_ABOUTBOX, L"&About Firmware Installer..."},
        {IDS_SOCKET_INIT_FAILED, L"Failed to initialize Windows socket."},
        {IDS_INPUT_IP_ADDRESS, L"Input IP Address"},
        {IDS_SEARCHING_PRINTERS, L"Searching for printers..."},
        {IDS_BUTTON_INSTALL, L"Install"},
        {IDS_BUTTON_NEXT, L"&Next"},
        {IDS_AUTO_DETECTION, L"Automatic Detection"},
        {IDS_FATAL_ERROR, L"Fatal error."},
        {IDS_PRINTER_NOT_FOUND, L"Cannot find a printer.\nFill in IP address again or turn on main power."},
        {IDS_UNSUPPORTED_MODEL, L"This installer doesn't support %s.\nDownload a proper installer for your printer."},
        {IDS_UP_TO_DATE, L"Current version is %s. \nInstallation is not necessary."},
        {IDS_INSTALLER_CORRUPTED, L"This installer is corrupted.\nDownload another installer."},
        {IDS_CONFIRM_EXIT, L"Are you sure to exit without installation?"},
        {IDS_CFG_INSTALL_MINUTES, L"5"},
        {IDS_CONFIRM_INSTALL_TIME, L"The installation takes about %s minutes.\nDo you want to continue?"},
        {IDS_SUB_POWER_ON, L"Sub power is on."},
        {IDS_FIRM_SEND_FAILED, L"Failed to send the firmware."},
        {IDS_FIRM_INSTALL_FAILED, L"Failed to install the firmware."},
        {IDS_PANEL_SEND_FAILED, L"Failed to send the panel application."},
        {IDS_CANCELED, L"Installation was canceled."},
        {IDS_INSTALL_SUCCEEDED, L"Installation completed."},
        {IDS_RESTART_NOT_CONFIRMED, L"Not confirmed within %s minutes."},
        {IDS_CERT_QUESTION, L"New certificate. Printer %s, serial %s, address %s, fingerprint\n%s\nTrust it?"},
        {IDS_CERT_DECLINED, L"Not trusted. %s"},
        {IDS_CERT_CHANGED, L"%s changed its certificate. %s\nFrom\n%s\nto\n%s\nForget with /f %s"},
        {IDS_PLAIN_AFTER_TLS, L"%s asks for plain text after TLS. %s Forget with /f %s"},
        {IDS_CERT_MISSING, L"No certificate. %s"},
        {IDS_CERT_FILE_UNREADABLE, L"Cannot read the certificates. %s %s"},
        {IDS_TRUST_NOTHING_SENT, L"Nothing sent."},
        {IDS_TRUST_IN_UPDATE_MODE, L"In update mode."},
        {IDS_CERT_FORGOTTEN, L"Forgot %s."},
        {IDS_CERT_NOT_REMEMBERED, L"Nothing remembered for %s."},
        {IDS_CERT_FORGET_FAILED, L"Cannot update %s"},
    };
}

// A scrambled firmware image whose restored form starts with `header` and sums to 127.
std::vector<std::uint8_t> FirmwareResource(std::string_view header, std::size_t size = 4096) {
    std::vector<std::uint8_t> restored(size);
    for (std::size_t i = 0; i < size; ++i) restored[i] = static_cast<std::uint8_t>(i * 31 + 7);
    std::memcpy(restored.data(), header.data(), header.size());
    restored[size - 1] = 0;
    std::uint8_t sum = 0;
    for (std::uint8_t b : restored) sum = static_cast<std::uint8_t>(sum + b);
    restored[size - 1] = static_cast<std::uint8_t>(0x7F - sum);
    std::vector<std::uint8_t> scrambled(size);
    ScrambleFirmware(restored.data(), scrambled.data(), static_cast<std::uint32_t>(size), FirmKeyCycle());
    return scrambled;
}


struct Message {
    std::wstring text;
    MessageIcon icon;
    MessageButtons buttons;
};

class RecordingView final : public IMainDialogView {
public:
    MessageAnswer ShowMessage(const std::wstring& text, MessageIcon icon, MessageButtons buttons) override {
        messages.push_back({text, icon, buttons});
        if (onMessage) onMessage();
        return answer;
    }
    void BeginWaitCursor() override { ++waitDepth; }
    void EndWaitCursor() override { --waitDepth; }
    void AddAboutMenuItem(const std::wstring& text) override { aboutItem = text; }
    void SetLargeIcon() override {}
    void EnableToolTips() override {}
    void ApplySystemFont() override {}
    void ShowBanner() override {}
    bool HasControl(int id) override { return id != missingControl; }
    void SetText(int id, const std::wstring& text) override { texts[id] = text; }
    void Enable(int id, bool enable) override { enabled[id] = enable; }
    void Focus(int id) override { focus = id; }
    void ClearRows() override { rows.clear(); }
    int AppendRow(const std::wstring& text) override {
        rows.push_back({text, nullptr});
        return static_cast<int>(rows.size()) - 1;
    }
    void SetRowData(int row, const CPrinterInfo* printer) override { rows.at(row).second = printer; }
    const CPrinterInfo* RowData(int row) override { return rows.at(row).second; }
    std::wstring RowText(int row) override { return rows.at(row).first; }
    int RowCount() override { return static_cast<int>(rows.size()); }
    int SelectedRow() override { return selected; }
    void SelectRow(int row) override { selected = row >= 0 && row < RowCount() ? row : -1; }
    void WidenDropDown() override { widened = true; }
    std::uint32_t Address() override { return address; }
    void SetAddress(std::uint32_t value) override { address = value; }
    void EndDialog(int code) override { endCode = code; }
    void ReportOutOfMemory() override { outOfMemory = true; }
    void ShowAbout(const std::wstring& text) override { about = text; }
    void Pause(std::uint32_t ms) override {
        pauses.push_back(ms);
        if (onPause) onPause();
    }
    bool RunResponsive(const std::function<bool()>& work) override {
        ++responsiveRuns;
        return work();
    }
    // The search waits until the test ends it (FinishSearch), as a window's would run meanwhile.
    bool SearchInBackground(std::function<std::unique_ptr<CPrinterInfoList>()> run,
                            std::function<void()> stopIt) override {
        search = std::move(run);
        stop = std::move(stopIt);
        return searchCanStart;
    }
    void FinishSearch(CVessickDlg& dialog) {
        ASSERT_TRUE(search) << "no search was started";
        const auto run = std::move(search);
        search = nullptr;
        dialog.OnPrintersFound(run());
    }
    int RunProgressDialog(ProgressDialog dialog, std::uint32_t parts, std::uint32_t printer) override {
        runs.push_back({dialog, parts, printer, waitDepth});
        if (onRun) onRun();
        const auto it = endCodes.find(dialog);
        return it == endCodes.end() ? 16 : it->second;
    }

    std::vector<std::wstring> RowTexts() const {
        std::vector<std::wstring> out;
        for (const auto& row : rows) out.push_back(row.first);
        return out;
    }

    MessageAnswer answer = MessageAnswer::kOk;
    std::vector<Message> messages;
    int waitDepth = 0;
    std::wstring aboutItem, about;
    int missingControl = -1;
    std::map<int, std::wstring> texts;
    std::map<int, bool> enabled;
    int focus = 0;
    std::vector<std::pair<std::wstring, const CPrinterInfo*>> rows;
    int selected = -1;
    bool widened = false;
    std::uint32_t address = 0;
    std::optional<int> endCode;
    bool outOfMemory = false;
    int responsiveRuns = 0;
    std::function<std::unique_ptr<CPrinterInfoList>()> search;
    std::function<void()> stop;
    bool searchCanStart = true;

    struct Run {
        ProgressDialog dialog;
        std::uint32_t parts;
        std::uint32_t address;
        int waitDepth;
        bool operator==(const Run&) const = default;
    };
    std::vector<std::uint32_t> pauses;
    std::function<void()> onPause;
    std::vector<Run> runs;
    std::function<void()> onRun;
    std::function<void()> onMessage;
    std::map<ProgressDialog, int> endCodes;  // 16 for the others
};

class FakeDetection final : public IPrinterDetection {
public:
    int ReadRegistered(int attempt, CPrinterInfoList& list) override {
        attempts.push_back(attempt);
        if (attempt != registeredAttempt) return 0;
        for (const CPrinterInfo& p : registered) list.Add(std::make_unique<CPrinterInfo>(p));
        return static_cast<int>(registered.size());
    }
    void Discover(CPrinterInfoList& list, const IModelInfo* models, std::uint32_t timeoutMs) override {
        listeningMs = timeoutMs;
        for (const CPrinterInfo& p : discovered) {
            if (!models || models->IsSupportedModel(p.m_strModel, true)) list.Add(std::make_unique<CPrinterInfo>(p));
        }
    }

    int registeredAttempt = 1;
    std::vector<CPrinterInfo> registered, discovered;
    std::vector<int> attempts;
    std::uint32_t listeningMs = 0;
};

constexpr std::uint32_t kRegisteredAddress = 0x0A010105;  // 10.1.1.5
constexpr std::uint32_t kDiscoveredAddress = 0x0A010106;

class MainDialogTest : public testing::Test {
public:
    void SetUp() override {
        m_strings = BuildStrings();
        ResetUpdateObjects(std::make_shared<CPanelUpdater>(std::make_unique<CNullPanelPort>(), m_clock));
        m_resources.Add(IDR_FIRMWARE_IMAGE, L"FIRMWARE", FirmwareResource("PUF1041852Firmware Ver 3.40"));
        m_resources.Add(IDR_PANEL_IMAGE, L"FIRMWARE", {'P', 'K', 3, 4, 0, 0});
        m_detection.registered = {Network(L"Veyra Morvik-540", L"Line 2", L"AB12345", kRegisteredAddress),
                                  Network(L"Morvik-5400", L"Other", L"ZZ1", 0x0A010107)};
        m_detection.discovered = {Network(L"Zentil-640", L"", L"ZT640-000002", kDiscoveredAddress)};
    }
    void TearDown() override {
        ResetUpdateObjects(std::make_shared<CPanelUpdater>(std::make_unique<CNullPanelPort>(), m_clock));
    }

    CVessickDlg& Dialog() {
        if (!m_dialog) {
            m_services.emplace(MainDialogServices{m_strings, m_resources, m_detection,
                                                  [this](std::uint32_t address) {
                                                      m_portAddresses.push_back(address);
                                                      return MakePrinterPort(m_portLog, m_reply, m_answers);
                                                  },
                                                  &m_certificates,
                                                  [this](const std::wstring& question) {
                                                      m_questions.push_back(question);
                                                      return m_trustAnswer;
                                                  },
                                                  m_decideFirstSeen, m_english.get(),
                                                  [this](const InstallRecord& record) { m_records.push_back(record); },
                                                  nullptr, [this] { return m_wallMs += 1000; }});
            m_dialog = std::make_unique<CVessickDlg>(m_view, *m_services, Installation());
        }
        return *m_dialog;
    }

    // The dialog after a successful initialisation and search.
    CVessickDlg& Ready() {
        CVessickDlg& dialog = Dialog();
        EXPECT_FALSE(dialog.OnInitDialog());
        EXPECT_TRUE(dialog.IsSearching());
        m_view.FinishSearch(dialog);
        EXPECT_FALSE(dialog.IsSearching());
        EXPECT_FALSE(m_view.endCode.has_value());
        return dialog;
    }

    void ExpectSelectionStep() {
        EXPECT_EQ(m_view.texts[IDC_MODEL_NAME], L"Veyra Zentil Series");
        EXPECT_EQ(m_view.texts[IDC_FIRM_VERSION], L"From -.--  To 3.40");
        EXPECT_EQ(m_view.texts[IDC_PANEL_VERSION], L"From -.--  To 3.0.1");
        EXPECT_EQ(m_view.texts[kOkButton], L"&Next");
        EXPECT_FALSE(m_view.enabled[IDC_BACK]);
    }

    ManualClock m_clock;
    MapStringTable m_strings = BuildStrings();
    MemoryResources m_resources;
    FakeDetection m_detection;
    RecordingView m_view;
    std::shared_ptr<PrinterPortLog> m_portLog = std::make_shared<PrinterPortLog>();
    std::wstring m_reply = L"MDL:Zentil-640;VER:3.30;PANEL:3.0.0;";
    bool m_answers = true;
    std::vector<std::uint32_t> m_portAddresses;
    std::optional<MainDialogServices> m_services;
    std::unique_ptr<CVessickDlg> m_dialog;
    MemoryCertificateFile m_certificateFile;
    CCertificateMemory m_certificates{m_certificateFile};
    std::vector<std::wstring> m_questions;
    bool m_trustAnswer = true;
    TrustQuestion m_decideFirstSeen;                 // empty: the user is asked
    std::unique_ptr<MapStringTable> m_english;       // null: the records take the interface's texts
    std::vector<InstallRecord> m_records;
    std::int64_t m_wallMs = 1'765'000'000'000;       // each reading one second later
};

TEST_F(MainDialogTest, WhileTheSearchRunsTheListSaysSoAndOnlyCancelWorks) {
    CVessickDlg& dialog = Dialog();
    EXPECT_FALSE(dialog.OnInitDialog());
    ASSERT_TRUE(dialog.IsSearching());
    EXPECT_FALSE(m_view.endCode.has_value());
    EXPECT_EQ(m_view.RowTexts(), (std::vector<std::wstring>{L"Searching for printers..."}));
    EXPECT_EQ(m_view.selected, 0);
    EXPECT_FALSE(m_view.enabled[kOkButton]);
    EXPECT_TRUE(m_view.enabled[IDC_PRINTER_LIST]);
    EXPECT_FALSE(m_view.enabled[IDC_IP_ADDRESS]);
    EXPECT_FALSE(m_view.enabled[IDC_BACK]);
    EXPECT_EQ(m_view.focus, IDC_PRINTER_LIST);  // Enter must reach the disabled Next, not Cancel
    EXPECT_TRUE(m_detection.attempts.empty());  // nothing searched on the dialog's thread

    // Next (the Enter key), Back and the list do nothing meanwhile: no printer is asked, and the
    // controls stay as the search left them.
    m_view.address = kDiscoveredAddress;
    m_view.focus = -1;
    dialog.OnBnClickedOk();
    dialog.OnBnClickedBack();
    dialog.OnSelectionChanged();
    EXPECT_TRUE(m_portAddresses.empty());
    EXPECT_TRUE(m_view.messages.empty());
    EXPECT_EQ(m_view.RowTexts(), (std::vector<std::wstring>{L"Searching for printers..."}));
    EXPECT_FALSE(m_view.enabled[IDC_IP_ADDRESS]);
    EXPECT_TRUE(m_view.enabled[IDC_PRINTER_LIST]);
    EXPECT_FALSE(m_view.enabled[kOkButton]);
    EXPECT_EQ(m_view.address, kDiscoveredAddress);
    EXPECT_EQ(m_view.focus, -1);

    // The search's end makes the selection step ready, with Next.
    m_view.FinishSearch(dialog);
    EXPECT_EQ(m_view.RowTexts(), (std::vector<std::wstring>{L"Line 2 [ AB12345 ] ", L"Zentil-640 [ ZT640-000002 ] ",
                                                            L"Input IP Address"}));
    EXPECT_TRUE(m_view.enabled[kOkButton]);
    EXPECT_TRUE(m_view.enabled[IDC_PRINTER_LIST]);
    ExpectSelectionStep();
}

TEST_F(MainDialogTest, CancelDuringTheSearchStopsItAndEndsAtOnce) {
    int stops = 0;
    struct CountingDetection final : public IPrinterDetection {
        explicit CountingDetection(int& stops) : stops(stops) {}
        int ReadRegistered(int, CPrinterInfoList&) override { return 0; }
        void Discover(CPrinterInfoList&, const IModelInfo*, std::uint32_t) override {}
        void Stop() override { ++stops; }
        int& stops;
    } detection(stops);
    const MainDialogServices services{m_strings, m_resources, detection, nullptr, nullptr, nullptr,
                                      nullptr,   nullptr,     nullptr,   nullptr, nullptr};
    CVessickDlg dialog(m_view, services, Installation());
    dialog.OnInitDialog();
    ASSERT_TRUE(m_view.stop);
    dialog.OnCancel();
    EXPECT_EQ(m_view.endCode, 1);
    EXPECT_EQ(stops, 1);
    EXPECT_TRUE(m_view.messages.empty());  // nothing to confirm: no printer is attached
    // What the stopped search still hands over is not looked at.
    m_view.FinishSearch(dialog);
    EXPECT_EQ(m_view.RowTexts(), (std::vector<std::wstring>{L"Searching for printers..."}));
    EXPECT_FALSE(m_view.enabled[kOkButton]);
    // The view's own way to stop reaches the same detection.
    m_view.stop();
    EXPECT_EQ(stops, 2);
}

TEST_F(MainDialogTest, InitialisationListsRegisteredThenDiscoveredPrintersAndTheExtraRow) {
    Ready();
    EXPECT_EQ(m_detection.attempts, (std::vector<int>{0, 1}));  // stops at the first that found some
    EXPECT_EQ(m_detection.listeningMs, 2000u);
    EXPECT_EQ(m_view.RowTexts(), (std::vector<std::wstring>{L"Line 2 [ AB12345 ] ", L"Zentil-640 [ ZT640-000002 ] ",
                                                            L"Input IP Address"}));
    EXPECT_EQ(m_view.rows[2].second, nullptr);
    EXPECT_TRUE(m_view.widened);
    EXPECT_EQ(m_view.aboutItem, L"&About Firmware Installer...");
    EXPECT_EQ(m_view.texts[IDC_PORT_NAME], L"Ethernet");
    ExpectSelectionStep();
    // Row 0 chosen: its address fills the field, which is then not editable.
    EXPECT_EQ(m_view.selected, 0);
    EXPECT_EQ(m_view.address, kRegisteredAddress);
    EXPECT_FALSE(m_view.enabled[IDC_IP_ADDRESS]);
    EXPECT_TRUE(m_view.enabled[IDC_PRINTER_LIST]);
    EXPECT_TRUE(Installation().Firm().IsSetUp());
    EXPECT_TRUE(Installation().Panel().IsSetUp());

    // The extra row: the field is the user's to fill.
    m_view.SelectRow(2);
    Dialog().ApplySelection();
    EXPECT_TRUE(m_view.enabled[IDC_IP_ADDRESS]);
    EXPECT_EQ(m_view.focus, IDC_IP_ADDRESS);
}

TEST_F(MainDialogTest, InitialisationFailuresShowTheirMessageAndEndWithTheirCode) {
    struct Case {
        const char* name;
        std::function<void(MainDialogTest&)> arrange;
        const wchar_t* message;
        int code;
    } cases[] = {
        {"model list missing", [](MainDialogTest& t) { t.m_strings.Remove(IDS_CFG_MODEL_LIST); }, L"Fatal error.", 5},
        {"firmware missing", [](MainDialogTest& t) { t.m_resources = MemoryResources(); },
         L"This installer is corrupted.\nDownload another installer.", 5},
        {"firmware of another version",
         [](MainDialogTest& t) {
             t.m_resources.Add(IDR_FIRMWARE_IMAGE, L"FIRMWARE", FirmwareResource("PUF1041852Firmware Ver 3.41"));
         },
         L"This installer is corrupted.\nDownload another installer.", 5},
        {"firmware of another model",
         [](MainDialogTest& t) { t.m_strings.Set(IDS_CFG_MODEL_CODE, L"041853"); },
         L"This installer is corrupted.\nDownload another installer.", 5},
        {"firmware updater already set up",
         [](MainDialogTest& t) {
             auto info = std::make_unique<CFirmUpdateInfo>(340, 41852, L"Zentil-640");
             auto image = std::make_unique<CPufFirmImage>(t.m_resources);
             Installation().Firm().SetUpdateData(info, image);
         },
         L"This installer is corrupted.\nDownload another installer.", 5},
        {"no printer list", [](MainDialogTest& t) { t.m_view.missingControl = IDC_PRINTER_LIST; }, L"Fatal error.", 5},
        {"extra row text missing", [](MainDialogTest& t) { t.m_strings.Remove(IDS_INPUT_IP_ADDRESS); },
         L"Fatal error.", 5},
        {"sockets not started", [](MainDialogTest& t) { t.Dialog().m_bSocketReady = false; },
         L"Failed to initialize Windows socket.", 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        m_view = RecordingView();
        m_dialog.reset();
        c.arrange(*this);
        Dialog().OnInitDialog();
        ASSERT_EQ(m_view.messages.size(), 1u);
        EXPECT_EQ(m_view.messages[0].text, c.message);
        EXPECT_EQ(m_view.messages[0].icon, MessageIcon::kStop);
        EXPECT_EQ(m_view.endCode, c.code);
    }
}

TEST_F(MainDialogTest, UsbPortTypeAndCommandLineMode) {
    m_strings.Set(IDS_CFG_PORT_TYPE, L"usb");
    Ready();
    EXPECT_EQ(m_view.texts[IDC_PORT_NAME], L"USB");
    EXPECT_EQ(m_view.RowTexts().back(), L"Automatic Detection");
    EXPECT_EQ(m_view.address, 0u);  // choosing a row never fills the field

    // Command-line mode, nothing found: no rows, no selection, the field open for the address.
    SetUp();
    m_view = RecordingView();
    m_dialog.reset();
    m_detection.registered.clear();
    m_detection.discovered.clear();
    Dialog().m_bCommandLine = true;
    Ready();
    EXPECT_TRUE(m_view.rows.empty());
    EXPECT_EQ(m_view.selected, -1);
    EXPECT_FALSE(m_view.enabled[IDC_PRINTER_LIST]);
    EXPECT_TRUE(m_view.enabled[IDC_IP_ADDRESS]);
}

TEST_F(MainDialogTest, CommandLineAddressPicksItsRowOrFillsTheField) {
    Dialog().m_bCommandLine = true;
    Dialog().m_dwPrinterAddress = kDiscoveredAddress;
    Ready();
    EXPECT_EQ(m_view.selected, 1);
    EXPECT_EQ(m_view.address, kDiscoveredAddress);

    SetUp();
    m_view = RecordingView();
    m_dialog.reset();
    Dialog().m_bCommandLine = true;
    Dialog().m_dwPrinterAddress = 0x0A0101FE;
    Ready();
    EXPECT_EQ(m_view.selected, -1);
    EXPECT_EQ(m_view.address, 0x0A0101FEu);
    EXPECT_TRUE(m_view.enabled[IDC_IP_ADDRESS]);
}

TEST_F(MainDialogTest, NextIdentifiesThePrinterAndShowsWhatItWouldInstall) {
    CVessickDlg& dialog = Ready();
    dialog.OnBnClickedOk();
    EXPECT_EQ(m_portAddresses, (std::vector<std::uint32_t>{0x0501010Au}));  // network byte order
    EXPECT_STREQ(Installation().Panel().m_szHost, "10.1.1.5");
    EXPECT_EQ(m_view.waitDepth, 0);
    EXPECT_TRUE(m_view.messages.empty());
    EXPECT_EQ(dialog.m_dwUpdateParts, 0x11u);
    EXPECT_EQ(m_view.texts[IDC_MODEL_NAME], L"Zentil-640");
    EXPECT_EQ(m_view.texts[IDC_FIRM_VERSION], L"From 3.30  To 3.40");
    EXPECT_EQ(m_view.texts[IDC_PANEL_VERSION], L"From 3.0.0  To 3.0.1");
    EXPECT_EQ(m_view.texts[kOkButton], L"Install");
    EXPECT_TRUE(m_view.enabled[IDC_BACK]);
    EXPECT_FALSE(m_view.enabled[IDC_PRINTER_LIST]);
    EXPECT_FALSE(m_view.enabled[IDC_IP_ADDRESS]);
    EXPECT_EQ(m_view.focus, kOkButton);
    EXPECT_EQ(m_portLog->releases, 0);

    // Back gives the port up and shows the selection step again.
    dialog.OnBnClickedBack();
    EXPECT_EQ(m_portLog->releases, 1);
    EXPECT_TRUE(m_portLog->destroyed);
    EXPECT_FALSE(Installation().Device().m_pPort);
    ExpectSelectionStep();
    EXPECT_TRUE(m_view.enabled[IDC_PRINTER_LIST]);
}

TEST_F(MainDialogTest, NextReactsToEveryIdentificationResult) {
    struct Case {
        const wchar_t* reply;
        bool answers;
        std::uint32_t parts;  // 0: a message instead
        const wchar_t* message;
        MessageIcon icon;
    } cases[] = {
        {L"MDL:Zentil-640;VER:3.30;PANEL:3.0.1;", true, 0x01, nullptr, MessageIcon::kNone},
        {L"MDL:Zentil-640;VER:3.40;PANEL:3.0.0;", true, 0x10, nullptr, MessageIcon::kNone},
        {L"MDL:Zentil-640;VER:3.40;PANEL:3.0.1;", true, 0, L"Current version is 3.40. \nInstallation is not necessary.",
         MessageIcon::kInformation},
        {L"", false, 0, L"Cannot find a printer.\nFill in IP address again or turn on main power.",
         MessageIcon::kExclamation},
        {L"VER:3.30;", true, 0, L"This installer doesn't support ---.\nDownload a proper installer for your printer.",
         MessageIcon::kExclamation},
        // Another model, named, whatever it would need: nothing is installed on it.
        {L"MDL:Zentil-1640;VER:3.30;PANEL:3.0.0;", true, 0,
         L"This installer doesn't support Zentil-1640.\nDownload a proper installer for your printer.",
         MessageIcon::kExclamation},
        {L"MDL:Corvane Zentil-640;VER:3.30;PANEL:3.0.0;", true, 0,
         L"This installer doesn't support Corvane Zentil-640.\nDownload a proper installer for your printer.",
         MessageIcon::kExclamation},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "reply " << testing::PrintToString(std::wstring(c.reply)));
        SetUp();
        m_view = RecordingView();
        m_dialog.reset();
        m_portLog = std::make_shared<PrinterPortLog>();
        m_reply = c.reply;
        m_answers = c.answers;
        CVessickDlg& dialog = Ready();
        dialog.OnBnClickedOk();
        if (c.parts) {
            EXPECT_TRUE(m_view.messages.empty());
            EXPECT_EQ(dialog.m_dwUpdateParts, c.parts);
            EXPECT_EQ(m_view.texts[kOkButton], L"Install");
            EXPECT_FALSE(m_portLog->destroyed);
        } else {
            ASSERT_EQ(m_view.messages.size(), 1u);
            EXPECT_EQ(m_view.messages[0].text, c.message);
            EXPECT_EQ(m_view.messages[0].icon, c.icon);
            EXPECT_EQ(m_portLog->releases, 1);  // the port is given up at once
            EXPECT_TRUE(m_portLog->destroyed);
            EXPECT_FALSE(Installation().Device().m_pPort);
            EXPECT_EQ(m_view.texts[kOkButton], L"&Next");
            EXPECT_FALSE(m_view.endCode.has_value());
        }
    }
}

TEST_F(MainDialogTest, OnlyTheControllerPortTypeMakesAPort) {
    m_strings.Set(IDS_CFG_PORT_TYPE, L"Ethernet1");
    Ready().OnBnClickedOk();
    EXPECT_TRUE(m_portAddresses.empty());
    ASSERT_EQ(m_view.messages.size(), 1u);
    EXPECT_EQ(m_view.messages[0].text, L"Cannot find a printer.\nFill in IP address again or turn on main power.");
}

TEST_F(MainDialogTest, CancelEndsAtOnceWhenNothingIsIdentifiedAndAsksOtherwise) {
    CVessickDlg& dialog = Ready();
    dialog.OnCancel();
    EXPECT_EQ(m_view.endCode, 1);
    EXPECT_TRUE(m_view.messages.empty());

    m_view.endCode.reset();
    dialog.OnBnClickedOk();
    m_view.answer = MessageAnswer::kNo;
    dialog.OnCancel();
    ASSERT_EQ(m_view.messages.size(), 1u);
    EXPECT_EQ(m_view.messages[0].text, L"Are you sure to exit without installation?");
    EXPECT_EQ(m_view.messages[0].buttons, MessageButtons::kYesNoDefaultNo);
    EXPECT_FALSE(m_view.endCode.has_value());
    EXPECT_EQ(m_view.texts[kOkButton], L"Install");  // still in the confirmation step

    m_view.answer = MessageAnswer::kYes;
    dialog.OnCancel();
    EXPECT_EQ(m_view.endCode, 1);
}

TEST_F(MainDialogTest, AboutBoxAndToolTip) {
    CVessickDlg& dialog = Ready();
    EXPECT_TRUE(dialog.OnSysCommand(0x0010));
    EXPECT_TRUE(dialog.OnSysCommand(0x0013));  // the low four bits are the system's own
    EXPECT_EQ(m_view.about, L"Veyra Zentil Series  Firm Version 3.40 Panel Version 3.0.1");
    EXPECT_FALSE(dialog.OnSysCommand(0xF060));

    EXPECT_EQ(dialog.SelectedRowToolTip(), L"Line 2 [ AB12345 ] ");
    m_view.SelectRow(-1);
    EXPECT_EQ(dialog.SelectedRowToolTip(), L"");

    m_strings.Remove(IDS_CFG_PANEL_VERSION);
    EXPECT_EQ(AboutText(m_strings), L"");
}

// The information reply of a printer that is ready (status word 80000000) or has its sub power on.
constexpr wchar_t kReadyReply[] = L"MDL:Zentil-640;VER:3.30;PANEL:3.0.0;STATUS:000800000000010880000000;";
constexpr wchar_t kSubPowerReply[] = L"MDL:Zentil-640;VER:3.30;PANEL:3.0.0;STATUS:000800000000010800000000;";

class InstallTest : public MainDialogTest {
public:
    // The dialog in its confirmation step for a printer answering `reply`.
    CVessickDlg& Identified(const wchar_t* reply) {
        m_reply = reply;
        CVessickDlg& dialog = Ready();
        dialog.OnBnClickedOk();
        EXPECT_EQ(m_view.texts[kOkButton], L"Install");
        m_view.messages.clear();
        m_view.onPause = [this] { m_startUpdatesAtPause = m_portLog->startUpdates; };
        return dialog;
    }
    std::vector<std::wstring> MessageTexts() const {
        std::vector<std::wstring> texts;
        for (const Message& m : m_view.messages) texts.push_back(m.text);
        return texts;
    }

    int m_startUpdatesAtPause = -1;
};

using DialogRun = RecordingView::Run;
constexpr std::uint32_t kPrinterNetworkOrder = 0x0501010Au;  // 10.1.1.5

TEST_F(InstallTest, BothPartsAskTheTimeQuestionEnterUpdateModeAndRunTheThreeDialogs) {
    CVessickDlg& dialog = Identified(kReadyReply);
    m_view.answer = MessageAnswer::kYes;
    dialog.OnBnClickedOk();

    ASSERT_EQ(m_view.messages.size(), 2u);
    EXPECT_EQ(m_view.messages[0].text, L"The installation takes about 5 minutes.\nDo you want to continue?");
    EXPECT_EQ(m_view.messages[0].icon, MessageIcon::kNone);
    EXPECT_EQ(m_view.messages[0].buttons, MessageButtons::kYesNo);
    EXPECT_EQ(m_view.messages[1].text, L"Installation completed.");
    EXPECT_EQ(m_view.messages[1].icon, MessageIcon::kInformation);
    EXPECT_EQ(m_view.endCode, 0);

    // Update mode is asked for after the one-second pause, once the panel transfer is prepared.
    EXPECT_EQ(m_view.pauses, (std::vector<std::uint32_t>{1000}));
    EXPECT_EQ(m_startUpdatesAtPause, 0);
    EXPECT_EQ(m_portLog->startUpdates, 1);
    EXPECT_EQ(Installation().Panel().m_strHost, L"10.1.1.5");
    EXPECT_EQ(m_view.runs, (std::vector<DialogRun>{{ProgressDialog::kFirmware, 0x11, 0, 1},
                                             {ProgressDialog::kPanel, 0x11, 0, 1},
                                             {ProgressDialog::kComplete, 0x11, kPrinterNetworkOrder, 1}}));
    EXPECT_EQ(m_view.waitDepth, 0);
}

TEST_F(InstallTest, OnePartRunsItsDialogAndTheFinalOne) {
    // Firmware only: no time question.
    CVessickDlg& firmware = Identified(L"MDL:Zentil-640;VER:3.30;PANEL:3.0.1;STATUS:000800000000010880000000;");
    EXPECT_EQ(firmware.m_dwUpdateParts, 0x01u);
    firmware.OnBnClickedOk();
    EXPECT_EQ(MessageTexts(), (std::vector<std::wstring>{L"Installation completed."}));
    EXPECT_EQ(m_view.runs, (std::vector<DialogRun>{{ProgressDialog::kFirmware, 0x01, 0, 1},
                                             {ProgressDialog::kComplete, 0x01, kPrinterNetworkOrder, 1}}));
    EXPECT_EQ(m_view.endCode, 0);

    // Panel only: asked, and the printer still goes into update mode.
    SetUp();
    m_view = RecordingView();
    m_dialog.reset();
    m_portLog = std::make_shared<PrinterPortLog>();
    CVessickDlg& panel = Identified(L"MDL:Zentil-640;VER:3.40;PANEL:3.0.0;STATUS:000800000000010880000000;");
    EXPECT_EQ(panel.m_dwUpdateParts, 0x10u);
    m_view.answer = MessageAnswer::kYes;
    panel.OnBnClickedOk();
    EXPECT_EQ(m_view.messages.size(), 2u);
    EXPECT_EQ(m_portLog->startUpdates, 1);
    EXPECT_EQ(m_view.runs, (std::vector<DialogRun>{{ProgressDialog::kPanel, 0x10, 0, 1},
                                             {ProgressDialog::kComplete, 0x10, kPrinterNetworkOrder, 1}}));
    EXPECT_EQ(m_view.endCode, 0);
}

TEST_F(InstallTest, NoToTheTimeQuestionEndsWithCodeZeroAndTouchesNothing) {
    CVessickDlg& dialog = Identified(kReadyReply);
    m_view.answer = MessageAnswer::kNo;
    dialog.OnBnClickedOk();
    ASSERT_EQ(m_view.messages.size(), 2u);
    EXPECT_EQ(m_view.messages[1].text, L"Are you sure to exit without installation?");
    EXPECT_EQ(m_view.messages[1].buttons, MessageButtons::kOk);
    EXPECT_EQ(m_view.messages[1].icon, MessageIcon::kNone);
    EXPECT_EQ(m_view.endCode, 0);
    EXPECT_EQ(m_portLog->startUpdates, 0);
    EXPECT_TRUE(m_view.pauses.empty());
    EXPECT_TRUE(m_view.runs.empty());
}

TEST_F(InstallTest, APrinterThatIsNotReadyGetsNoProgressDialog) {
    struct Case {
        const wchar_t* reply;
        bool answers;
        const wchar_t* message;
        MessageIcon icon;
    } cases[] = {
        {kSubPowerReply, true, L"Sub power is on.", MessageIcon::kExclamation},
        {L"", false, L"Failed to send the firmware.", MessageIcon::kStop},
        {L"MDL:Zentil-640;VER:3.30;PANEL:3.0.0;", true, L"Failed to send the firmware.", MessageIcon::kStop},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.reply)));
        SetUp();
        m_view = RecordingView();
        m_dialog.reset();
        m_portLog = std::make_shared<PrinterPortLog>();
        CVessickDlg& dialog = Identified(kReadyReply);
        // The printer's state changes between identification and Install.
        auto& port = static_cast<FakePrinterPort&>(*Installation().Device().m_pPort);
        port.m_reply = c.reply;
        port.m_answers = c.answers;
        m_view.answer = MessageAnswer::kYes;
        dialog.OnBnClickedOk();
        ASSERT_EQ(m_view.messages.size(), 2u);
        EXPECT_EQ(m_view.messages[1].text, c.message);
        EXPECT_EQ(m_view.messages[1].icon, c.icon);
        EXPECT_EQ(m_view.endCode, 4);
        EXPECT_TRUE(m_view.runs.empty());
        EXPECT_EQ(m_portLog->startUpdates, 0);
        EXPECT_EQ(m_view.waitDepth, 0);
    }

    // A printer already in its boot loader goes on.
    SetUp();
    m_view = RecordingView();
    m_dialog.reset();
    CVessickDlg& dialog = Identified(L"MDL:Zentil-640;VER:3.30;PANEL:3.0.1;MODE:IPL;");
    dialog.OnBnClickedOk();
    EXPECT_EQ(m_view.runs.size(), 2u);
    EXPECT_EQ(m_view.endCode, 0);
}

PresentedCertificate TestCertificate(std::uint8_t seed) {
    PresentedCertificate certificate;
    certificate.der = {0x30, 0x03, seed, seed, seed};
    certificate.sha256.fill(seed);
    return certificate;
}

// Next gives the identified printer's port and the panel updater one trust, which knows the printer
// by the serial and host name its row carries; Back lets it go.
TEST_F(InstallTest, TheIdentifiedPrinterIsTrustedByItsRowsSerialAndHostName) {
    m_detection.discovered = {CPrinterInfo(L"Zentil-640", kDiscoveredAddress, L"",
                                           L"Corvane_Zentil-640_(ZT640-000002) ZT640000002.local.", L"ZT640-000002")};
    m_reply = kReadyReply;
    CVessickDlg& dialog = Ready();
    m_view.SelectRow(1);
    dialog.OnSelectionChanged();
    dialog.OnBnClickedOk();
    ASSERT_TRUE(dialog.PrinterTrust());
    EXPECT_EQ(m_portLog->trust, dialog.PrinterTrust());
    const PrinterIdentity& printer = dialog.PrinterTrust()->Printer();
    EXPECT_EQ(printer.serial, L"ZT640-000002");
    EXPECT_EQ(printer.model, L"Zentil-640");
    EXPECT_EQ(dialog.PrinterTrust()->Names(), (std::vector<std::wstring>{L"10.1.1.6", L"ZT640000002.local"}));

    dialog.OnBnClickedBack();
    EXPECT_FALSE(dialog.PrinterTrust());
}

// One printer over several installations against the same file of trusted certificates.
TEST_F(InstallTest, ThePrintersCertificateIsSettledBeforeAnythingIsSent) {
    const PresentedCertificate first = TestCertificate(0xA1);
    const PresentedCertificate other = TestCertificate(0xB2);
    const std::wstring firstLines = FingerprintLines(first.sha256);
    const std::wstring otherLines = FingerprintLines(other.sha256);
    struct Case {
        const char* name;
        std::optional<PresentedCertificate> presented;  // none: the printer asks for plain text
        bool answer;
        std::vector<std::wstring> questions;
        std::wstring message;  // the last one shown
        int endCode;
        bool installs;
    } cases[] = {
        {"new, No", first, false,
         {L"New certificate. Printer Zentil-640, serial AB12345, address 10.1.1.5, fingerprint\n" + firstLines +
          L"\nTrust it?"},
         L"Not trusted. Nothing sent.", 1, false},
        {"new, Yes", first, true, {L"New certificate. Printer Zentil-640, serial AB12345, address 10.1.1.5, fingerprint\n" +
                                   firstLines + L"\nTrust it?"},
         L"Installation completed.", 0, true},
        {"remembered", first, false, {}, L"Installation completed.", 0, true},
        {"changed", other, true, {},
         L"Zentil-640 (AB12345, 10.1.1.5) changed its certificate. Nothing sent.\nFrom\n" + firstLines + L"\nto\n" +
             otherLines + L"\nForget with /f AB12345",
         4, false},
        {"plain after TLS", std::nullopt, true, {}, L"Zentil-640 (AB12345, 10.1.1.5) asks for plain text after TLS. Nothing sent. Forget with /f AB12345",
         4, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        m_view = RecordingView();
        m_dialog.reset();
        m_portLog = std::make_shared<PrinterPortLog>();
        m_portLog->tlsCertificate = c.presented;
        m_questions.clear();
        m_trustAnswer = c.answer;
        CVessickDlg& dialog = Identified(kReadyReply);
        m_view.answer = MessageAnswer::kYes;
        dialog.OnBnClickedOk();
        EXPECT_EQ(m_portLog->peerChecks, 1);
        EXPECT_EQ(m_view.responsiveRuns, 1) << "looked at off the user-interface thread";
        EXPECT_EQ(m_questions, c.questions);
        ASSERT_FALSE(m_view.messages.empty());
        EXPECT_EQ(m_view.messages.back().text, c.message);
        EXPECT_EQ(m_view.endCode, c.endCode);
        EXPECT_EQ(m_portLog->startUpdates, c.installs ? 1 : 0) << "nothing asked of the printer before trust";
        EXPECT_EQ(m_view.pauses.empty(), !c.installs);
        EXPECT_EQ(m_view.runs.size(), c.installs ? 3u : 0u);
        EXPECT_EQ(m_view.waitDepth, 0);
    }
    EXPECT_NE(m_certificateFile.content.find("serial=AB12345\taddress=10.1.1.5\tmodel=Zentil-640"), std::string::npos);
}

// A TLS peer that was not reached beforehand is judged by the transfer's own connection; when
// the trust refuses it there, the message says why rather than that sending failed.
TEST_F(InstallTest, ARefusalDuringATransferEndsWithTheTrustsMessage) {
    const PresentedCertificate remembered = TestCertificate(0xA1);
    const PresentedCertificate presented = TestCertificate(0xB2);
    m_certificates.Remember(PrinterIdentity{L"AB12345", L"10.1.1.5", L"Zentil-640", L""}, remembered);
    m_portLog->tlsCertificate = presented;
    m_portLog->tlsUnreachable = true;
    CVessickDlg& dialog = Identified(kReadyReply);
    m_view.answer = MessageAnswer::kYes;
    m_view.endCodes[ProgressDialog::kFirmware] = END_SEND_FAILED;
    m_view.onRun = [&] { EXPECT_FALSE(m_portLog->trust->Trust(&presented)); };
    dialog.OnBnClickedOk();
    ASSERT_EQ(m_view.runs.size(), 1u);
    EXPECT_EQ(m_view.messages.back().text, L"Zentil-640 (AB12345, 10.1.1.5) changed its certificate. In update mode.\nFrom\n" +
                                               FingerprintLines(remembered.sha256) + L"\nto\n" +
                                               FingerprintLines(presented.sha256) + L"\nForget with /f AB12345");
    EXPECT_EQ(m_view.endCode, 4);
    EXPECT_TRUE(m_questions.empty());
}

// Every attempt that ends with a message leaves one record: what was found, what was installed,
// how and where it ended, and the message in English whatever the interface's language.
TEST_F(InstallTest, EachEndingLeavesOneRecordWithTheEnglishMessage) {
    const PresentedCertificate certificate = TestCertificate(0xC3);
    struct Case {
        const char* name;
        std::function<void(InstallTest&)> arrange;  // before Next
        bool install;                               // Install pressed after a successful Next
        RecordOutcome outcome;
        InstallStage stage;
        unsigned messageId;
        std::wstring message;
        int exitCode;
        std::wstring firmwareInstalled, panelInstalled;
        bool fingerprint;
    } cases[] = {
        {"installed", nullptr, true, RecordOutcome::kInstalled, InstallStage::kDone, IDS_INSTALL_SUCCEEDED,
         L"EN installed", 0, L"3.40", L"3.0.1", false},
        {"up to date", [](InstallTest& t) { t.m_reply = L"MDL:Zentil-640;VER:3.40;PANEL:3.0.1;"; }, false,
         RecordOutcome::kUpToDate, InstallStage::kIdentification, IDS_UP_TO_DATE, L"EN current 3.40", 0, L"", L"",
         false},
        {"no firmware version", [](InstallTest& t) { t.m_reply = L"MDL:Zentil-640;PANEL:3.0.1;"; }, false,
         RecordOutcome::kFailed, InstallStage::kIdentification, IDS_UP_TO_DATE, L"EN current ---", 4, L"", L"",
         false},
        {"not found", [](InstallTest& t) { t.m_answers = false; }, false, RecordOutcome::kNotFound,
         InstallStage::kIdentification, IDS_PRINTER_NOT_FOUND, L"EN not found", 4, L"", L"", false},
        {"unsupported", [](InstallTest& t) { t.m_reply = L"MDL:Zentil-1640;VER:3.30;PANEL:3.0.0;"; }, false,
         RecordOutcome::kUnsupportedModel, InstallStage::kIdentification, IDS_UNSUPPORTED_MODEL,
         L"EN not served: Zentil-1640", 4, L"", L"", false},
        {"declined", [](InstallTest& t) { t.m_view.answer = MessageAnswer::kNo; }, true, RecordOutcome::kDeclined,
         InstallStage::kConfirmation, IDS_CONFIRM_EXIT, L"EN exit?", 0, L"", L"", false},
        {"sub power", [](InstallTest& t) { t.m_reply = kSubPowerReply; }, true, RecordOutcome::kSubPowerOn,
         InstallStage::kStateCheck, IDS_SUB_POWER_ON, L"EN sub power", 4, L"", L"", false},
        {"escape", [](InstallTest& t) { t.m_view.endCodes[ProgressDialog::kFirmware] = END_ABORTED; }, true,
         RecordOutcome::kCanceled, InstallStage::kFirmware, IDS_CANCELED, L"EN canceled", 1, L"", L"", false},
        {"panel failed", [](InstallTest& t) { t.m_view.endCodes[ProgressDialog::kPanel] = END_SEND_FAILED; }, true,
         RecordOutcome::kFailed, InstallStage::kPanel, IDS_PANEL_SEND_FAILED, L"EN panel failed", 4, L"", L"", false},
        {"not confirmed", [](InstallTest& t) { t.m_view.endCodes[ProgressDialog::kComplete] = END_NOT_CONFIRMED; },
         true, RecordOutcome::kFailed, InstallStage::kRestart, IDS_RESTART_NOT_CONFIRMED,
         L"EN not back within 5 minutes", 4, L"", L"", false},
        {"first seen, decided No", [&](InstallTest& t) {
             t.m_portLog->tlsCertificate = certificate;
             t.m_decideFirstSeen = [](const PrinterIdentity&, const CertificateFingerprint&) { return false; };
         },
         true, RecordOutcome::kCertificateNotTrusted, InstallStage::kCertificate, IDS_CERT_DECLINED,
         L"EN declined: EN nothing sent", 1, L"", L"", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        m_view = RecordingView();
        m_view.answer = MessageAnswer::kYes;
        m_dialog.reset();
        m_portLog = std::make_shared<PrinterPortLog>();
        m_decideFirstSeen = nullptr;
        m_questions.clear();
        m_records.clear();
        m_reply = kReadyReply;
        m_answers = true;
        m_english = std::make_unique<MapStringTable>(BuildStrings());
        for (const auto& [id, text] : std::initializer_list<std::pair<unsigned, const wchar_t*>>{
                 {IDS_INSTALL_SUCCEEDED, L"EN installed"}, {IDS_UP_TO_DATE, L"EN current %s"},
                 {IDS_PRINTER_NOT_FOUND, L"EN not found"}, {IDS_UNSUPPORTED_MODEL, L"EN not served: %s"},
                 {IDS_CONFIRM_EXIT, L"EN exit?"}, {IDS_SUB_POWER_ON, L"EN sub power"}, {IDS_CANCELED, L"EN canceled"},
                 {IDS_PANEL_SEND_FAILED, L"EN panel failed"}, {IDS_RESTART_NOT_CONFIRMED, L"EN not back within %s minutes"},
                 {IDS_CERT_DECLINED, L"EN declined: %s"}, {IDS_TRUST_NOTHING_SENT, L"EN nothing sent"}}) {
            m_english->Set(id, text);
        }
        if (c.arrange) c.arrange(*this);
        CVessickDlg& dialog = Ready();
        dialog.OnBnClickedOk();
        if (c.install) dialog.OnBnClickedOk();

        ASSERT_EQ(m_records.size(), 1u);
        const InstallRecord& r = m_records[0];
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_EQ(r.stage, c.stage);
        EXPECT_EQ(r.messageId, c.messageId);
        EXPECT_EQ(r.message, c.message);
        EXPECT_NE(m_view.messages.back().text, c.message) << "the user reads the interface's language";
        EXPECT_EQ(r.exitCode, c.exitCode);
        if (m_view.endCode) {
            EXPECT_EQ(*m_view.endCode, c.exitCode);
        }
        EXPECT_EQ(r.address, L"10.1.1.5");
        EXPECT_EQ(r.firmwareInstalled, c.firmwareInstalled);
        EXPECT_EQ(r.panelInstalled, c.panelInstalled);
        if (c.outcome != RecordOutcome::kNotFound) {
            EXPECT_EQ(r.model, c.outcome == RecordOutcome::kUnsupportedModel ? L"Zentil-1640" : L"Zentil-640");
            const bool current = c.messageId == IDS_UP_TO_DATE;
            EXPECT_EQ(r.firmwareFound, current ? (c.outcome == RecordOutcome::kUpToDate ? L"3.40" : L"") : L"3.30");
        } else {
            EXPECT_EQ(r.model, L"");
            EXPECT_EQ(r.firmwareFound, L"");
        }
        EXPECT_EQ(r.certificateSha256,
                  c.fingerprint ? text::WidenBytes(text::ToHex(certificate.sha256)) : std::wstring());
        EXPECT_TRUE(m_questions.empty()) << "an unattended decision asks nobody";
        EXPECT_GT(r.startedMs, 0);
        EXPECT_GT(r.endedMs, r.startedMs);
    }
}

// A printer that does not answer is recorded with nothing of the printer identified before it.
TEST_F(InstallTest, APrinterNotFoundAfterBackIsNotTakenForTheOneBefore) {
    CVessickDlg& dialog = Identified(kReadyReply);
    dialog.OnBnClickedBack();
    m_answers = false;
    m_records.clear();
    dialog.OnBnClickedOk();
    ASSERT_EQ(m_records.size(), 1u);
    EXPECT_EQ(m_records[0].outcome, RecordOutcome::kNotFound);
    EXPECT_EQ(m_records[0].model, L"");
    EXPECT_EQ(m_records[0].firmwareFound, L"");
    EXPECT_EQ(m_records[0].panelFound, L"");
}

TEST(TrustMessages, PrintersAreNamedByWhatIsKnownAndForgottenBySerialOrAddress) {
    EXPECT_EQ(PrinterDescription({L"S1", L"10.0.0.2", L"Zentil-640", L""}), L"Zentil-640 (S1, 10.0.0.2)");
    EXPECT_EQ(PrinterDescription({L"", L"10.0.0.2", L"Zentil-640", L""}), L"Zentil-640 (10.0.0.2)");
    EXPECT_EQ(PrinterDescription({L"", L"10.0.0.2", L"", L""}), L"10.0.0.2");
    EXPECT_EQ(PrinterDescription({L"S\n1", L"10.0.0.2", std::wstring(70, L'M'), L""}),
              std::wstring(64, L'M') + L"... (S?1, 10.0.0.2)")
        << "what the network says is shown on one line and cut";
    EXPECT_EQ(ForgetKeyOf(PrinterIdentity{L"S1", L"10.0.0.2", L"", L""}), L"S1");
    EXPECT_EQ(ForgetKeyOf(PrinterIdentity{L"", L"10.0.0.2", L"", L""}), L"10.0.0.2");
    EXPECT_EQ(FormatMessageTexts(L"%s and %s, not %s", {L"a", L"b"}), L"a and b, not %s");
    EXPECT_EQ(FormatMessageTexts(L"%s", {L"%s", L"x"}), L"%s") << "a value is never formatted again";

    const MapStringTable strings = BuildStrings();
    MemoryCertificateFile file;
    CCertificateMemory memory(file);
    memory.Remember(PrinterIdentity{L"S1", L"10.0.0.2", L"Zentil-640", L""}, TestCertificate(1));
    memory.Remember(PrinterIdentity{L"", L"10.0.0.3", L"", L""}, TestCertificate(2));
    TrustMessage message = ForgetPrinter(strings, memory, L"010.000.0.2");
    EXPECT_EQ(message.text, L"Forgot Zentil-640 (S1, 10.0.0.2).") << "an address with leading zeros is the same";
    EXPECT_EQ(message.exitCode, 0);
    message = ForgetPrinter(strings, memory, L"s1");
    EXPECT_EQ(message.text, L"Nothing remembered for \"s1\".");
    EXPECT_EQ(message.exitCode, 0);
    file.unwritable = true;
    message = ForgetPrinter(strings, memory, L"10.0.0.3");
    EXPECT_EQ(message.text, L"Cannot update C:\\certificates.txt");
    EXPECT_EQ(message.exitCode, 4);
}

TEST_F(InstallTest, TheMainDialogRunsNoHandlerWhileNextOrInstallIsAtWork) {
    // Clicks that reach the dialog while a progress dialog runs over it (its owner re-enabled too
    // early, say) or while a message box of Next is open.
    CVessickDlg& dialog = Identified(kReadyReply);
    m_view.answer = MessageAnswer::kYes;
    int clicks = 0;
    const auto clickEverything = [&] {
        EXPECT_TRUE(dialog.IsBusy());
        ++clicks;
        dialog.OnBnClickedOk();
        dialog.OnBnClickedBack();
        dialog.OnCancel();
        dialog.OnSelectionChanged();
        EXPECT_TRUE(dialog.OnSysCommand(IDM_ABOUTBOX));
    };
    m_view.onRun = clickEverything;
    EXPECT_FALSE(dialog.UpdateModeEntered());
    dialog.OnBnClickedOk();
    EXPECT_EQ(clicks, 3);
    EXPECT_EQ(m_view.runs.size(), 3u);
    EXPECT_EQ(m_portLog->startUpdates, 1);
    EXPECT_EQ(m_portLog->releases, 0) << "Back gave the port up under a running installation";
    EXPECT_EQ(MessageTexts().size(), 2u);
    EXPECT_TRUE(m_view.about.empty());
    EXPECT_EQ(m_view.endCode, 0);
    EXPECT_TRUE(dialog.UpdateModeEntered());
    EXPECT_FALSE(dialog.IsBusy());

    // Next: a message shown while identifying (the printer not found) lets nothing in either.
    SetUp();
    m_view = RecordingView();
    m_dialog.reset();
    m_portLog = std::make_shared<PrinterPortLog>();
    m_answers = false;
    m_portAddresses.clear();
    CVessickDlg& next = Ready();
    m_view.onMessage = [&] {
        next.OnBnClickedOk();
        next.OnCancel();
    };
    next.OnBnClickedOk();
    EXPECT_EQ(m_view.messages.size(), 1u);
    EXPECT_EQ(m_portAddresses.size(), 1u);
    EXPECT_FALSE(m_view.endCode.has_value());
    // Once it is over, the dialog answers again.
    m_view.onMessage = nullptr;
    next.OnCancel();
    EXPECT_EQ(m_view.endCode, 1);
}

TEST_F(InstallTest, AnUnconfirmedRestartNamesItsBound) {
    CVessickDlg& dialog = Identified(kReadyReply);
    m_view.answer = MessageAnswer::kYes;
    m_view.endCodes[ProgressDialog::kComplete] = END_NOT_CONFIRMED;
    dialog.OnBnClickedOk();
    EXPECT_EQ(MessageTexts().back(), L"Not confirmed within 5 minutes.");
    EXPECT_EQ(m_view.messages.back().icon, MessageIcon::kExclamation);
    EXPECT_EQ(m_view.endCode, 4);
}

TEST_F(InstallTest, EndCodesBecomeMessagesIconsAndExitCodes) {
    using enum ProgressDialog;
    struct Case {
        ProgressDialog dialog;
        int end;
        unsigned message;
        MessageIcon icon;
        int exitCode;
    } cases[] = {
        {kFirmware, 16, 0, MessageIcon::kNone, 0},
        {kFirmware, 18, IDS_FIRM_SEND_FAILED, MessageIcon::kStop, 4},
        {kFirmware, 21, IDS_CANCELED, MessageIcon::kInformation, 1},
        {kFirmware, 17, IDS_FIRM_INSTALL_FAILED, MessageIcon::kStop, 4},
        {kFirmware, 20, IDS_FIRM_INSTALL_FAILED, MessageIcon::kStop, 4},
        {kPanel, 16, 0, MessageIcon::kNone, 0},
        {kPanel, 18, IDS_PANEL_SEND_FAILED, MessageIcon::kStop, 4},
        {kPanel, 21, IDS_CANCELED, MessageIcon::kInformation, 1},
        {kPanel, 19, IDS_FIRM_INSTALL_FAILED, MessageIcon::kStop, 4},
        {kComplete, 16, IDS_INSTALL_SUCCEEDED, MessageIcon::kInformation, 0},
        {kComplete, 18, IDS_FIRM_SEND_FAILED, MessageIcon::kStop, 4},
        {kComplete, 21, IDS_CANCELED, MessageIcon::kInformation, 1},
        {kComplete, 19, IDS_FIRM_INSTALL_FAILED, MessageIcon::kStop, 4},
        {kComplete, 22, IDS_RESTART_REFUSED, MessageIcon::kStop, 4},
        {kComplete, 23, IDS_RESTART_NOT_CONFIRMED, MessageIcon::kExclamation, 4},
        {kFirmware, 22, IDS_FIRM_INSTALL_FAILED, MessageIcon::kStop, 4},
        {kComplete, 0, IDS_FIRM_INSTALL_FAILED, MessageIcon::kStop, 4},
    };
    for (const Case& c : cases) {
        const InstallOutcome outcome = ProgressOutcome(c.dialog, c.end);
        EXPECT_EQ(outcome.message, c.message) << c.end;
        if (c.message) {
            EXPECT_EQ(outcome.icon, c.icon) << c.end;
            EXPECT_EQ(outcome.exitCode, c.exitCode) << c.end;
        }
    }

    // A dialog that fails ends the installation there, after the wait cursor has gone.
    CVessickDlg& dialog = Identified(kReadyReply);
    m_view.answer = MessageAnswer::kYes;
    m_view.endCodes[ProgressDialog::kPanel] = 18;
    dialog.OnBnClickedOk();
    EXPECT_EQ(m_view.runs.size(), 2u);
    EXPECT_EQ(MessageTexts().back(), L"Failed to send the panel application.");
    EXPECT_EQ(m_view.endCode, 4);
    EXPECT_EQ(m_view.waitDepth, 0);
}

}  // namespace

namespace {

// Printer detection that runs out of memory while it fills the list.
class ExhaustedDetection final : public IPrinterDetection {
public:
    int ReadRegistered(int, CPrinterInfoList&) override { throw std::bad_alloc(); }
    void Discover(CPrinterInfoList&, const IModelInfo*, std::uint32_t) override {}
};

TEST_F(MainDialogTest, RunningOutOfMemoryIsReportedAndEndsWithCodeFive) {
    ExhaustedDetection exhausted;
    const MainDialogServices services{m_strings, m_resources, exhausted, nullptr, nullptr, nullptr,
                                      nullptr,   nullptr,     nullptr,   nullptr, nullptr};
    CVessickDlg dialog(m_view, services, Installation());
    dialog.OnInitDialog();
    EXPECT_FALSE(m_view.endCode.has_value());
    m_view.FinishSearch(dialog);
    EXPECT_TRUE(m_view.outOfMemory);
    EXPECT_TRUE(m_view.messages.empty());  // the report is the only message
    EXPECT_EQ(m_view.endCode, 5);
    EXPECT_EQ(m_view.RowTexts(), (std::vector<std::wstring>{L"Searching for printers..."}));

    // A search that cannot even start ends the same way, at once.
    SetUp();  // a fresh installation
    RecordingView view;
    view.searchCanStart = false;
    CVessickDlg second(view, services, Installation());
    second.OnInitDialog();
    EXPECT_TRUE(view.outOfMemory);
    EXPECT_EQ(view.endCode, 5);
}

}  // namespace

namespace {

// A printer that installs what it is sent: it takes the firmware, reports it taken, and once it
// has restarted answers with the versions installed. While it takes the firmware it counts how
// many installations are sending at the same time, and holds each until `expectedAtOnce` are (or
// half a minute has passed: a loaded machine may start a thread late).
struct FleetLog {
    std::mutex mutex;
    std::condition_variable changed;
    int sending = 0;
    int mostAtOnce = 0;
    int expectedAtOnce = 1;
    int portsMade = 0;
    bool operatorAtThePanel = false;  // the panel reports someone at work, for good
};

class InstallingPrinterPort final : public CPort {
public:
    InstallingPrinterPort(FleetLog& fleet, std::wstring before, std::wstring after)
        : m_fleet(fleet), m_before(std::move(before)), m_after(std::move(after)) {}

    bool queryInformation(std::wstring& reply) override {
        reply = (m_restarted ? m_after : m_before) + L"STATUS:000800000000010880000000;";
        return !m_before.empty();
    }
    bool startUpdate() override { return true; }
    bool sendData(const std::uint8_t*, std::uint32_t, std::uint32_t) override {
        std::unique_lock lock(m_fleet.mutex);
        m_fleet.mostAtOnce = std::max(m_fleet.mostAtOnce, ++m_fleet.sending);
        m_fleet.changed.notify_all();
        m_fleet.changed.wait_for(lock, std::chrono::seconds(30),
                                 [this] { return m_fleet.mostAtOnce >= m_fleet.expectedAtOnce; });
        --m_fleet.sending;
        m_sent = true;
        return true;
    }
    void release() override {}
    bool requestReboot() override { return m_restarted = m_sent; }
    bool checkState() override { return m_sent; }
    int getOperationCode() override { return m_fleet.operatorAtThePanel ? kOperationPanelBusy : 0; }
    bool getStatusWords(std::uint32_t& status, std::uint32_t& detail) override {
        status = detail = 0;
        return true;
    }
    bool checkIplMode() override { return false; }
    void setPeerTrust(std::shared_ptr<IPeerTrust>) override {}
    PeerCheck checkPeerTrust() override { return PeerCheck::kTrusted; }

private:
    FleetLog& m_fleet;
    std::wstring m_before, m_after;
    bool m_sent = false;
    bool m_restarted = false;
};

class QuietRunTest : public testing::Test {
protected:
    QuietRunTest() {
        m_resources.Add(IDR_FIRMWARE_IMAGE, L"FIRMWARE", FirmwareResource("PUF1041852Firmware Ver 3.40"));
        m_resources.Add(IDR_PANEL_IMAGE, L"FIRMWARE", {'P', 'K', 3, 4, 0, 0});
        m_english.Set(IDS_UP_TO_DATE, L"EN current %s");
    }

    QuietServices Services() {
        QuietServices services{m_strings, m_english, m_resources, m_detection, nullptr, nullptr, nullptr, true,
                               nullptr,   nullptr};
        services.makePrinterPort = [this](std::uint32_t networkOrder, const InstallWaits& waits) -> PortPtr {
            EXPECT_EQ(waits.transferStallMs, 7000u);
            EXPECT_EQ(waits.restartConfirmMs, 9000u);
            std::wstring reply;
            {
                const std::lock_guard lock(m_fleet.mutex);
                ++m_fleet.portsMade;
                const auto it = m_replies.find(networkOrder);
                if (it != m_replies.end()) reply = it->second;
            }
            return PortPtr(new InstallingPrinterPort(m_fleet, reply, L"MDL:Zentil-640;VER:3.40;PANEL:3.0.1;"));
        };
        services.makeInstallation = [] {
            return std::make_unique<CInstallation>(
                std::make_shared<CPanelUpdater>(std::make_unique<CNullPanelPort>(), SystemClock()));
        };
        services.sleep = [](std::uint32_t) {};
        return services;
    }

    QuietOptions Options(std::vector<std::uint32_t> printers, std::size_t parallel) {
        QuietOptions options;
        options.printers = std::move(printers);
        options.parallel = parallel;
        options.restartWaitMs = 9000;
        options.stallMs = 7000;
        return options;
    }

    // Replies keyed by the printer's address in network byte order.
    void Printer(std::uint32_t hostOrder, std::wstring reply) {
        m_replies[Ipv4NetworkOrder(static_cast<std::uint8_t>(hostOrder >> 24), static_cast<std::uint8_t>(hostOrder >> 16),
                                   static_cast<std::uint8_t>(hostOrder >> 8), static_cast<std::uint8_t>(hostOrder))] =
            std::move(reply);
    }

    MapStringTable m_strings = BuildStrings();
    MapStringTable m_english = BuildStrings();
    MemoryResources m_resources;
    FakeDetection m_detection;
    FleetLog m_fleet;
    std::map<std::uint32_t, std::wstring> m_replies;
};

constexpr wchar_t kFirmwareOnly[] = L"MDL:Zentil-640;VER:3.30;PANEL:3.0.1;";

TEST_F(QuietRunTest, EachPrinterEndsWithARecordOfItsOwnAndTheRunSumsThemUp) {
    Printer(0x0A010105, kFirmwareOnly);
    Printer(0x0A010106, L"MDL:Zentil-640;VER:3.40;PANEL:3.0.1;");
    Printer(0x0A010108, L"MDL:Zentil-1640;VER:3.30;PANEL:3.0.0;");
    m_detection.discovered = {Network(L"Zentil-640", L"", L"ZT640-000005", 0x0A010105)};
    const QuietServices services = Services();
    const QuietOptions options = Options({0x0A010105, 0x0A010106, 0x0A010107, 0x0A010108}, 2);
    CQuietRun run(services, options);
    std::map<std::wstring, InstallRecord> records;
    const RunSummary summary = run.Run([&](const InstallRecord& r) { records[r.address] = r; });

    ASSERT_EQ(records.size(), 4u);
    const InstallRecord& installed = records[L"10.1.1.5"];
    EXPECT_EQ(installed.outcome, RecordOutcome::kInstalled);
    EXPECT_EQ(installed.stage, InstallStage::kDone);
    EXPECT_EQ(installed.serial, L"ZT640-000005") << "what detection found once, for the run";
    EXPECT_EQ(installed.firmwareFound, L"3.30");
    EXPECT_EQ(installed.firmwareInstalled, L"3.40");
    EXPECT_EQ(installed.panelInstalled, L"");
    EXPECT_EQ(installed.exitCode, 0);
    EXPECT_EQ(records[L"10.1.1.6"].outcome, RecordOutcome::kUpToDate);
    EXPECT_EQ(records[L"10.1.1.6"].message, L"EN current 3.40");
    EXPECT_EQ(records[L"10.1.1.7"].outcome, RecordOutcome::kNotFound);
    EXPECT_EQ(records[L"10.1.1.8"].outcome, RecordOutcome::kUnsupportedModel);
    for (auto& [address, record] : records) EXPECT_LE(record.startedMs, record.endedMs) << std::string(address.begin(), address.end());

    EXPECT_EQ(summary.printers, 4u);
    EXPECT_EQ(summary.outcomes.at(RecordOutcome::kInstalled), 1u);
    EXPECT_EQ(summary.outcomes.at(RecordOutcome::kNotFound), 1u);
    EXPECT_EQ(summary.exitCode, 4);
    EXPECT_EQ(m_detection.attempts, (std::vector<int>{0, 1, 2})) << "each place looked at once for the whole run";
    for (const auto& progress : run.Progress()) EXPECT_TRUE(progress->ended);
}

TEST_F(QuietRunTest, InstallationsRunSideBySideUpToTheLimit) {
    for (std::uint32_t host = 0x0A010101; host <= 0x0A010105; ++host) Printer(host, kFirmwareOnly);
    m_fleet.expectedAtOnce = 3;
    const QuietServices services = Services();
    const QuietOptions options = Options({0x0A010101, 0x0A010102, 0x0A010103, 0x0A010104, 0x0A010105}, 3);
    CQuietRun run(services, options);
    std::vector<InstallRecord> records;
    const RunSummary summary = run.Run([&](const InstallRecord& r) { records.push_back(r); });
    ASSERT_EQ(records.size(), 5u);
    for (const InstallRecord& r : records) EXPECT_EQ(r.outcome, RecordOutcome::kInstalled);
    EXPECT_EQ(summary.exitCode, 0);
    EXPECT_EQ(m_fleet.mostAtOnce, 3) << "three at once, never more";
}

// The dialogs wait for someone at the panel as long as it takes, since their user can stop them;
// an unattended installation gives up on that printer after a bound and the run goes on.
TEST_F(QuietRunTest, AnOperatorWhoNeverLeavesThePanelEndsThatPrinterOnlyWithinABound) {
    Printer(0x0A010105, kFirmwareOnly);
    m_fleet.operatorAtThePanel = true;
    std::uint64_t sleptMs = 0;
    ManualClock clock;
    QuietServices services = Services();
    services.sleep = [&](std::uint32_t ms) {
        sleptMs += ms;
        clock.Advance(ms);
    };
    services.clock = &clock;
    const QuietOptions options = Options({0x0A010105}, 1);
    CQuietRun run(services, options);
    std::vector<InstallRecord> records;
    const RunSummary summary = run.Run([&](const InstallRecord& r) { records.push_back(r); });
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].outcome, RecordOutcome::kFailed);
    EXPECT_EQ(records[0].stage, InstallStage::kFirmware);
    EXPECT_EQ(records[0].messageId, unsigned{IDS_FIRM_SEND_FAILED});
    EXPECT_EQ(summary.exitCode, 4);
    EXPECT_GE(sleptMs, kQuietPanelOperatorWaitMs);
    EXPECT_LT(sleptMs, kQuietPanelOperatorWaitMs + 60'000);
}

TEST_F(QuietRunTest, AnInstallerThatCannotPrepareItselfTouchesNoPrinter) {
    m_resources = MemoryResources();  // no firmware carried
    m_english.Set(IDS_INSTALLER_CORRUPTED, L"EN corrupted");
    const QuietServices services = Services();
    const QuietOptions options = Options({0x0A010105}, 1);
    CQuietRun run(services, options);
    int records = 0;
    const RunSummary summary = run.Run([&](const InstallRecord&) { ++records; });
    EXPECT_EQ(records, 0);
    EXPECT_EQ(summary.exitCode, 5);
    EXPECT_EQ(summary.error, L"EN corrupted");
    EXPECT_EQ(m_fleet.portsMade, 0);
}

TEST(QuietTrustDecision, OnlyAFingerprintGivenOrAcceptingNewOnesTrusts) {
    CertificateFingerprint listed{};
    listed.fill(0xAB);
    CertificateFingerprint other{};
    other.fill(0xCD);
    const std::vector<std::string> trusted{std::string(64, 'a').replace(1, 1, "b")};  // not listed's
    const std::string listedHex = text::ToHex(listed);
    struct Case {
        std::vector<std::string> trusted;
        bool acceptNew;
        const CertificateFingerprint& presented;
        bool expected;
    } cases[] = {
        {{listedHex}, false, listed, true},
        {{listedHex}, false, other, false},
        {{}, false, listed, false},
        {{}, true, other, true},
        {trusted, false, listed, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(QuietTrustDecision(c.trusted, c.acceptNew)({}, c.presented), c.expected);
    }
}

}  // namespace
