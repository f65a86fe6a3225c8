// Unit tests of the simulator's own logic: settings, the streaming firmware check and the
// printer's update cycle, without sockets.
#include <algorithm>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "sim/FirmwareCheck.h"
#include "sim/Printer.h"
#include "sim/Settings.h"
#include "sim/tests/SimProcess.h"

namespace {

using sim::PrinterSettings;

TEST(SimSettings, AcceptsGoodValuesAndLeavesSettingsAloneOnBadOnes) {
    struct Case {
        const char* key;
        const char* value;
        bool ok;
    };
    const std::string longLabel(64, 'n');  // one byte more than a DNS label holds
    const std::string longestName(32, 'c');
    const std::string longName = longestName + "c";
    const Case cases[] = {
        {"model", "Zentil-1640", true},   {"model", "a;b", false},       {"model", "", false},
        {"firmware", "3.40", true},       {"firmware", "3.4x", false},   {"panel", "3.0.1", true},
        {"panel", "3.0", false},          {"model_code", "041852", true}, {"model_code", "41852", false},
        {"security", "1.00", true},       {"tls", "on", true},           {"tls", "maybe", false},
        {"install_ms", "0", true},        {"install_ms", "-1", false},   {"restart_ms", "8000", true},
        {"restart_ms", "3600001", false}, {"communities", "public", true},
        {"communities", "all", false},    {"ack_fault", "drop", true},   {"ack_fault", "lose", false},
        {"withhold_message", "E00A", true}, {"withhold_message", "E00G", false},
        {"close_after_blocks", "3", true}, {"refuse_reboots", "x", false}, {"refuse_reboots", "all", true},
        {"refuse_reboots", "-1", false},  {"never_back", "on", true},    {"never_back", "forever", false},
        {"refuse_install", "on", true},   {"refuse_install", "E009", false}, {"no_such_key", "1", false},
        {"mdns_name", "Corvane Zentil-640 [A1B2C3]", true}, {"mdns_name", "", true},
        {"mdns_name", "tab\there", false}, {"mdns_name", longLabel.c_str(), false},
        {"mdns_host", "ZT640-1", true},   {"mdns_host", "", true},        {"mdns_host", "zt 640", false},
        {"mdns_host", "-zt", false},      {"mdns_host", "zt.local", false},
        {"mdns_fault", "silent", true},   {"mdns_fault", "malformed", true}, {"mdns_fault", "thrice", false},
        {"mdns_also_from", "127.0.0.3", true}, {"mdns_also_from", "none", true}, {"mdns_also_from", "here", false},
        {"mdns_reply", "multicast", true}, {"mdns_reply", "asked", true}, {"mdns_reply", "unicast", false},
        {"mdns_split", "on", true},       {"mdns_split", "3", false},
        {"mdns_txt_pad", "0", true},      {"mdns_txt_pad", "9000", true}, {"mdns_txt_pad", "9001", false},
        {"mdns_txt_pad", "-1", false},    {"mdns_ignore_from", "127.0.0.3", true},
        {"mdns_ignore_from", "none", true}, {"mdns_ignore_from", "127.0.0", false},
        {"silent", "on", true},           {"silent", "quiet", false},
        {"data_stall_after", "0", true},  {"data_stall_after", "none", true}, {"data_stall_after", "-1", false},
        {"snmp_error", "5", true},        {"snmp_error", "none", true},   {"snmp_error", "0", false},
        {"snmp_error", "19", false},
        {"certificate", "shared", true},  {"certificate", "renewed-2", true}, {"certificate", "issued-elsewhere", true},
        {"certificate", longestName.c_str(), true}, {"certificate", longName.c_str(), false},
        {"certificate", "", false},       {"certificate", "new.pem", false}, {"certificate", "a b", false},
    };
    for (const Case& c : cases) {
        PrinterSettings settings;
        settings.model = "before";
        const std::string error = sim::ApplySetting(settings, c.key, c.value);
        EXPECT_EQ(error.empty(), c.ok) << c.key << " = " << c.value << ": " << error;
        if (!c.ok) EXPECT_EQ(settings.model, "before");
    }
}

TEST(SimSettings, TlsSwitchesTheSecurityValue) {
    PrinterSettings settings;
    EXPECT_FALSE(settings.Secure());
    ASSERT_EQ(sim::ApplySetting(settings, "tls", "on"), "");
    EXPECT_EQ(settings.security, "1.00");
    EXPECT_TRUE(settings.Secure());
    ASSERT_EQ(sim::ApplySetting(settings, "security", "0.0"), "");
    EXPECT_TRUE(settings.Secure());  // only exactly "0.00" means off
}

TEST(SimSettings, ScenarioSectionsAndErrorsWithLineNumbers) {
    sim::SimOptions options;
    ASSERT_EQ(sim::ParseScenario("# two printers\n[127.0.0.2]\nmodel = Zentil-640\n\n[127.0.0.3]\n"
                                 "firmware = 3.20  # old\ntls = on\n",
                                 options),
              "");
    ASSERT_EQ(options.printers.size(), 2u);
    EXPECT_EQ(options.printers[1].address, "127.0.0.3");
    EXPECT_EQ(options.printers[1].settings.firmware, "3.20");
    EXPECT_TRUE(options.printers[1].settings.Secure());

    const std::pair<const char*, const char*> bad[] = {
        {"model = x\n", "line 1"},
        {"[127.0.0.2]\nmodel\n", "line 2"},
        {"[localhost]\n", "line 1"},
        {"[127.0.0.2\n", "line 1"},
        {"[127.0.0.2]\n\nfirmware = new\n", "line 3"},
    };
    for (const auto& [text, where] : bad) {
        sim::SimOptions other;
        EXPECT_NE(sim::ParseScenario(text, other).find(where), std::string::npos) << text;
    }
}

TEST(SimSettings, ExampleScenarioLoads) {
    sim::SimOptions options;
    ASSERT_EQ(sim::LoadScenario(SIM_SOURCE_DIR "/scenarios/two-printers.conf", options), "");
    ASSERT_EQ(options.printers.size(), 2u);
    EXPECT_EQ(options.printers[1].settings.faults.ackFault, sim::AckFault::Drop);
    EXPECT_EQ(options.printers[1].settings.communities, sim::Communities::DefaultOnly);
}

TEST(SimSettings, CommandLineNeedsDistinctPrinters) {
    const char* twice[] = {"sim", "--printer", "127.0.0.2", "--printer", "127.0.0.2,firmware=3.10"};
    sim::SimOptions options;
    EXPECT_NE(sim::ParseCommandLine(5, twice, options), "");
    const char* good[] = {"sim", "--printer", "127.0.0.2,tls=on,panel=2.9.9", "--control", "127.0.0.1:0"};
    sim::SimOptions parsed;
    ASSERT_EQ(sim::ParseCommandLine(5, good, parsed), "");
    EXPECT_EQ(parsed.printers[0].settings.panel, "2.9.9");
    EXPECT_EQ(parsed.controlPort, 0);
    EXPECT_EQ(parsed.mdnsPort, 5353);
    const char* mdns[] = {"sim", "--printer", "127.0.0.2", "--mdns-port", "15353"};
    sim::SimOptions withPort;
    ASSERT_EQ(sim::ParseCommandLine(5, mdns, withPort), "");
    EXPECT_EQ(withPort.mdnsPort, 15353);
    const char* badPort[] = {"sim", "--printer", "127.0.0.2", "--mdns-port", "0"};
    sim::SimOptions rejected;
    EXPECT_NE(sim::ParseCommandLine(5, badPort, rejected), "");
}

TEST(SimSettings, CertExpiredTakesNoValueAndExcludesOwnCertificates) {
    struct Case {
        std::vector<const char*> args;
        bool ok;
        bool expired;
    };
    const Case cases[] = {
        {{"--printer", "127.0.0.2"}, true, false},
        {{"--cert-expired", "--printer", "127.0.0.2"}, true, true},  // the next option is not taken as its value
        {{"--printer", "127.0.0.2", "--cert-expired"}, true, true},  // last: nothing after it is needed
        {{"--cert-expired", "--printer", "127.0.0.2", "--cert", "c.pem", "--key", "k.pem"}, false, false},
        {{"--cert", "c.pem", "--printer", "127.0.0.2", "--cert-expired"}, false, false},
        {{"--key", "k.pem", "--cert-expired", "--printer", "127.0.0.2"}, false, false},
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv = {"sim"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        sim::SimOptions options;
        const std::string error = sim::ParseCommandLine(static_cast<int>(argv.size()), argv.data(), options);
        std::string line;
        for (const char* a : c.args) line += std::string(a) + " ";
        EXPECT_EQ(error.empty(), c.ok) << line << error;
        if (c.ok) EXPECT_EQ(options.certExpired, c.expired) << line;
    }
}

sim::FirmwareResult Check(const std::vector<std::uint8_t>& image, std::size_t chunk, std::size_t limit = 1 << 20) {
    sim::FirmwareReceiver receiver(limit);
    for (std::size_t i = 0; i < image.size(); i += chunk) {
        if (!receiver.Feed(image.data() + i, std::min(chunk, image.size() - i))) return {};
    }
    return receiver.Finish("041852");
}

TEST(SimFirmware, AcceptsASoundImageInAnyChunking) {
    const std::vector<std::uint8_t> image = simtest::MakeFirmware("041852", "3.40", 5000);
    for (std::size_t chunk : {1u, 7u, 40u, 41u, 4096u, 100000u}) {
        const sim::FirmwareResult result = Check(image, chunk);
        EXPECT_TRUE(result.accepted) << chunk << ": " << result.reason;
        EXPECT_EQ(result.version, "3.40");
        EXPECT_EQ(result.size, image.size());
        EXPECT_EQ(result.sha256, simtest::Sha256Hex(image));
    }
    EXPECT_TRUE(Check(simtest::MakeFirmware("041852", "3.40", 0), 3).accepted);
}

TEST(SimFirmware, RejectsWithTheReason) {
    const std::vector<std::uint8_t> good = simtest::MakeFirmware("041852", "3.40", 3000);
    auto changed = [&](std::size_t offset) {
        std::vector<std::uint8_t> image = good;
        image[offset] ^= 0x01;
        return image;
    };
    std::vector<std::uint8_t> truncated = good;
    truncated.pop_back();
    std::vector<std::uint8_t> extended = good;
    extended.push_back(0);
    const std::pair<std::vector<std::uint8_t>, const char*> cases[] = {
        {simtest::MakeFirmware("041853", "3.40", 3000), "model code"},
        {changed(0), "PUF1"},
        {changed(32 + 1500), "SHA-256"},             // a payload byte
        {changed(good.size() - 1), "SHA-256"},       // the digest itself
        {changed(good.size() - 40), "PUFD"},
        {changed(good.size() - 36), "trailer length"},
        {truncated, "PUFD"},
        {extended, "PUFD"},
        {std::vector<std::uint8_t>(good.begin(), good.begin() + 71), "too short"},
        {simtest::MakeFirmware("041852", "", 3000), "version"},
    };
    for (const auto& [image, reason] : cases) {
        const sim::FirmwareResult result = Check(image, 512);
        EXPECT_FALSE(result.accepted) << reason;
        EXPECT_NE(result.reason.find(reason), std::string::npos) << result.reason << " vs " << reason;
    }
}

TEST(SimFirmware, StopsTakingBytesAtTheLimit) {
    const std::vector<std::uint8_t> image = simtest::MakeFirmware("041852", "3.40", 3000);
    sim::FirmwareReceiver receiver(image.size() - 1);
    EXPECT_FALSE(receiver.Feed(image.data(), image.size()));
    EXPECT_EQ(receiver.Size(), 0u);
}

TEST(SimPrinter, UpdateCycleAsTheInstallerReadsIt) {
    PrinterSettings settings;
    settings.installMs = 0;
    settings.restartMs = 3600 * 1000;
    sim::Printer printer("127.0.0.2", settings);
    EXPECT_EQ(printer.StatusWord(), 0u);
    EXPECT_NE(printer.InfoText().find("MODE:NORMAL;STATUS:00080000000001088000000"), std::string::npos);

    EXPECT_TRUE(printer.EnterUpdateMode("test"));
    EXPECT_EQ(printer.StatusWord(), 0x81000000u);
    EXPECT_NE(printer.InfoText().find("PANEL:3.0.0;MODE:IPL;"), std::string::npos);
    EXPECT_TRUE(printer.RequestReboot());  // restart from update mode is allowed
    EXPECT_EQ(printer.State(), sim::PrinterState::Restarting);
    EXPECT_FALSE(printer.Reachable());
    ASSERT_EQ(printer.Set("restart_ms", "0"), "");
    EXPECT_EQ(printer.State(), sim::PrinterState::Ready);

    ASSERT_TRUE(printer.EnterUpdateMode("test"));
    ASSERT_TRUE(printer.BeginFirmware());
    EXPECT_FALSE(printer.RequestReboot());  // not while receiving
    sim::FirmwareResult result;
    result.accepted = true;
    result.version = "3.40";
    printer.EndFirmware(result, true);
    EXPECT_EQ(printer.StatusWord(), 0x86000000u);  // installing took no time
    ASSERT_EQ(printer.Set("restart_ms", "3600000"), "");
    EXPECT_TRUE(printer.RequestReboot());
    EXPECT_FALSE(printer.Reachable());
    ASSERT_EQ(printer.Set("restart_ms", "0"), "");
    EXPECT_NE(printer.InfoText().find("VER:3.40;PANEL:3.0.0;MODE:NORMAL"), std::string::npos);
}

TEST(SimPrinter, FaultsOnTheWayThroughTheCycle) {
    PrinterSettings settings;
    settings.subPower = true;
    settings.installMs = settings.restartMs = 0;
    settings.faults.refuseReboots = 2;
    settings.faults.keepOldVersion = true;
    sim::Printer printer("127.0.0.2", settings);
    sim::PackageResult package;
    package.accepted = true;
    printer.RecordPackage(package, "3.0.1");
    ASSERT_TRUE(printer.StartPanelInstall());
    EXPECT_NE(printer.InfoText().find("01080000000"), std::string::npos);  // not ready
    EXPECT_FALSE(printer.EnterUpdateMode("test"));
    ASSERT_EQ(printer.Set("sub_power", "off"), "");
    ASSERT_TRUE(printer.EnterUpdateMode("test"));
    ASSERT_TRUE(printer.BeginFirmware());
    sim::FirmwareResult result;
    result.accepted = true;
    result.version = "3.40";
    printer.EndFirmware(result, true);
    EXPECT_FALSE(printer.RequestReboot());
    EXPECT_FALSE(printer.RequestReboot());
    EXPECT_TRUE(printer.RequestReboot());
    EXPECT_NE(printer.InfoText().find("VER:3.30;PANEL:3.0.0;"), std::string::npos);  // came back with the old ones

    ASSERT_EQ(printer.Set("opcode1", "on"), "");
    EXPECT_EQ(printer.OperationCode(), 1);
}

// A printer that never takes a restart request, and one that takes it and stays down (its
// restart_ms long past) until the fault is switched off.
TEST(SimPrinter, RestartsRefusedForGoodOrNeverOver) {
    PrinterSettings settings;
    settings.restartMs = 0;
    settings.faults.refuseReboots = sim::Faults::kRefuseAll;
    sim::Printer printer("127.0.0.2", settings);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(printer.RequestReboot());
    EXPECT_EQ(printer.State(), sim::PrinterState::Ready);

    ASSERT_EQ(printer.Set("refuse_reboots", "0"), "");
    ASSERT_EQ(printer.Set("never_back", "on"), "");
    ASSERT_TRUE(printer.RequestReboot());
    EXPECT_EQ(printer.State(), sim::PrinterState::Restarting);
    EXPECT_EQ(printer.MsUntilRestartEnds(), -1);  // no end is due
    ASSERT_EQ(printer.Set("never_back", "off"), "");
    EXPECT_EQ(printer.State(), sim::PrinterState::Ready);
    const std::vector<std::string> lines = printer.Describe();
    for (const char* line : {"reboot_requests=4", "reboots_refused=3", "restarts=1"}) {
        EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
    }
}

// The installer first sees the operator busy at the panel, then the update going on: operation
// code 45 lasts opcode45_ms from entering update mode, however long the printer was ready
// before with the setting given at start.
TEST(SimPrinter, OperationCode45CountsFromEnteringUpdateMode) {
    PrinterSettings settings;
    settings.faults.opcode45Ms = 1000;
    sim::Printer printer("127.0.0.2", settings);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(printer.OperationCode(), 0);  // ready: nobody at the panel yet
    ASSERT_TRUE(printer.EnterUpdateMode("test"));
    EXPECT_EQ(printer.OperationCode(), 45);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(printer.OperationCode(), 0);
}

TEST(SimPrinter, OnlyTheNthAcknowledgementIsFaulty) {
    sim::Printer printer("127.0.0.2", {});
    ASSERT_EQ(printer.Set("ack_fault", "corrupt"), "");
    ASSERT_EQ(printer.Set("ack_fault_at", "3"), "");
    std::vector<sim::AckFault> seen;
    for (int i = 0; i < 5; ++i) seen.push_back(printer.NextCommandAck().fault);
    EXPECT_EQ(seen, (std::vector<sim::AckFault>{sim::AckFault::None, sim::AckFault::None, sim::AckFault::Corrupt,
                                                sim::AckFault::None, sim::AckFault::None}));
}

}  // namespace
