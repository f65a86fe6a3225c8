// The panel exchange end to end, with a client that plays the installer's side with the panel
// codec: order of messages, the package digest, retries and the panel's faults.
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "controller/ControllerProtocol.h"
#include "ports/PanelFrame.h"
#include "sim/tests/Clients.h"
#include "sim/tests/SimProcess.h"

namespace {

using simtest::InstallerPanel;
using simtest::Package;
using simtest::PrinterAddress;
using simtest::SimProcess;
using simtest::Text;

TEST(SimPanel, WholeExchangeThenInstallAndRestart) {
    const std::string address = PrinterAddress(0);
    SimProcess sim({"--printer", address + ",panel=3.0.0,restart_ms=0"});
    ASSERT_TRUE(sim.Started());
    const std::vector<std::uint8_t> package = Package(5000);  // four full blocks and one of 904
    const std::string md5 = simtest::Md5Hex(package);
    {
        InstallerPanel installer(address);
        ASSERT_TRUE(installer.Connected());
        ASSERT_TRUE(installer.Transfer(package, md5));
        EXPECT_TRUE(installer.Receive(0xE00C));
    }
    EXPECT_EQ(sim.Show(address, "package_result"), "accepted");
    EXPECT_EQ(sim.Show(address, "package_md5"), md5);
    EXPECT_EQ(sim.Show(address, "package_blocks"), "5");
    EXPECT_EQ(sim.Show(address, "panel_announced"), "3.0.1");
    // The panel records the acknowledgement of its last message once it has read it.
    const std::vector<std::string> log = sim.PanelLogUntil(address, "A E00C 10 00");
    const std::vector<std::string> opening = {"C E000 00 00", "M E00A 01 00", "A E00A 01 00", "M E00D 02 00",
                                              "A E00D 02 00", "C E00E 03 00", "M E00F 04 00", "A E00F 04 00",
                                              "C E010 05 00", "M E011 06 00", "A E011 06 00", "C E012 07 00",
                                              "C E005 08 00", "C E006 09 00", "C E007 0A 00"};
    ASSERT_GE(log.size(), opening.size());
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(opening.size())), opening);
    EXPECT_EQ(log.back(), "A E00C 10 00");
    EXPECT_EQ(sim.Show(address, "panel_retries"), "0");

    {
        InstallerPanel installer(address);
        EXPECT_EQ(installer.Send(0xE009), 0);
        shutdown(installer.Fd(), SHUT_WR);
        EXPECT_TRUE(simtest::PeerCloses(installer.Fd()));
    }
    EXPECT_EQ(sim.Show(address, "panel_install"), "started");
    EXPECT_EQ(sim.Show(address, "panel"), "3.0.0");  // the new version comes with the restart
    sim.Control("set " + address + " restart_ms 3600000");
    const sim::Fd library = simtest::ConnectTcp(address, ctl::kControllerPort);
    ASSERT_TRUE(library.Valid());
    ctl::Request hello{ctl::kHello, 1, address, 0, true}, reboot{ctl::kRequestReboot, 2, {}, 0, true};
    ASSERT_TRUE(simtest::SendAll(library.Get(), ctl::EncodeRequest(hello)));
    ASSERT_TRUE(simtest::SendAll(library.Get(), ctl::EncodeRequest(reboot)));
    ASSERT_TRUE(sim.WaitFor(address, "state", "restarting"));
    sim.Control("set " + address + " restart_ms 0");
    std::string text;
    ASSERT_TRUE(simtest::SnmpGet(address, "cvn", text, simtest::kGuardMs));
    EXPECT_NE(text.find("PANEL:3.0.1;MODE:NORMAL;"), std::string::npos) << text;
}

// Asks the printer to restart through the controller protocol and waits until it has.
void Restart(SimProcess& sim, const std::string& address) {
    const int restarts = std::stoi(sim.Show(address, "restarts"));
    const sim::Fd library = simtest::ConnectTcp(address, ctl::kControllerPort);
    ASSERT_TRUE(library.Valid());
    for (const ctl::Request& request : {ctl::Request{ctl::kHello, 1, address, 0, true},
                                        ctl::Request{ctl::kRequestReboot, 2, {}, 0, true}}) {
        ASSERT_TRUE(simtest::SendAll(library.Get(), ctl::EncodeRequest(request)));
    }
    ASSERT_TRUE(sim.WaitFor(address, "restarts", std::to_string(restarts + 1)));
}

// A panel that refuses to install: the accepted package's 0xE009 is not acknowledged, the
// connection ends, and the restart brings no new version. Switched off, the next 0xE009 installs.
TEST(SimPanel, RefusedInstallIsNotAcknowledgedAndInstallsNothing) {
    const std::string address = PrinterAddress(0);
    SimProcess sim({"--printer", address + ",panel=3.0.0,restart_ms=0,refuse_install=on"});
    ASSERT_TRUE(sim.Started());
    const std::vector<std::uint8_t> package = Package(3000);
    {
        InstallerPanel installer(address);
        ASSERT_TRUE(installer.Transfer(package, simtest::Md5Hex(package)));
        EXPECT_TRUE(installer.Receive(0xE00C));
    }
    EXPECT_EQ(sim.Show(address, "package_result"), "accepted");
    ASSERT_EQ(sim.PanelLogUntil(address, "A E00C 0E 00").back(), "A E00C 0E 00");  // that connection is done
    {
        InstallerPanel installer(address);
        EXPECT_EQ(installer.Send(0xE009), -1);
        EXPECT_TRUE(simtest::PeerCloses(installer.Fd()));
    }
    const std::vector<std::string> log = sim.Control("panel " + address);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(log.end() - 2, log.end()), (std::vector<std::string>{"C E009 00 00", "N E009 00 00"}));
    EXPECT_EQ(sim.Show(address, "panel_install"), "refused");
    Restart(sim, address);
    std::string text;
    ASSERT_TRUE(simtest::SnmpGet(address, "cvn", text, simtest::kGuardMs));
    EXPECT_NE(text.find("PANEL:3.0.0;MODE:NORMAL;"), std::string::npos) << text;

    sim.Control("set " + address + " refuse_install off");
    {
        InstallerPanel installer(address);
        EXPECT_EQ(installer.Send(0xE009), 0);
    }
    EXPECT_EQ(sim.Show(address, "panel_install"), "started");
    Restart(sim, address);
    ASSERT_TRUE(simtest::SnmpGet(address, "cvn", text, simtest::kGuardMs));
    EXPECT_NE(text.find("PANEL:3.0.1;MODE:NORMAL;"), std::string::npos) << text;
}

TEST(SimPanel, WholeExchangeOverTls12) {
    const std::string address = PrinterAddress(0);
    SimProcess sim({"--printer", address + ",tls=on"});
    ASSERT_TRUE(sim.Started());
    const std::vector<std::uint8_t> package = Package(3 * 1024);
    InstallerPanel installer(address, true);
    ASSERT_TRUE(installer.Connected());
    ASSERT_TRUE(installer.Transfer(package, simtest::Md5Hex(package)));
    EXPECT_TRUE(installer.Receive(0xE00C));
    EXPECT_EQ(sim.Show(address, "package_md5"), simtest::Md5Hex(package));
}

TEST(SimPanel, PackageRefusedGetsNoFinalMessage) {
    const std::string address = PrinterAddress(0);
    const std::vector<std::uint8_t> package = Package(2049);
    const std::string md5 = simtest::Md5Hex(package);
    std::string wrong = md5;
    wrong[0] = wrong[0] == '0' ? '1' : '0';
    const std::pair<std::string, std::string> cases[] = {{"", wrong}, {",reject_digest=on", md5}};
    for (const auto& [settings, digest] : cases) {
        SimProcess sim({"--printer", address + settings});
        ASSERT_TRUE(sim.Started());
        InstallerPanel installer(address);
        ASSERT_TRUE(installer.Transfer(package, digest));
        EXPECT_EQ(sim.Show(address, "package_result"), "rejected") << settings;
        EXPECT_EQ(sim.Show(address, "package_md5"), md5);
        // Had the panel sent 0xE00C it would stand before this command's acknowledgement.
        EXPECT_EQ(installer.Send(0xE009), 0) << settings;
    }
}

TEST(SimPanel, LostOrWrongAcknowledgementIsRetriedOnce) {
    const std::string address = PrinterAddress(0);
    for (const char* fault : {"drop", "corrupt"}) {
        SimProcess sim({"--printer", address + ",ack_fault=" + fault + ",ack_fault_at=2"});
        ASSERT_TRUE(sim.Started());
        InstallerPanel installer(address);
        ASSERT_EQ(installer.Send(0xE000, Text("1.0.03.0.1", 15)), 0);
        ASSERT_TRUE(installer.Receive(0xE00A));
        ASSERT_TRUE(installer.Receive(0xE00D));
        EXPECT_EQ(installer.Send(0xE00E, Text("127.0.0.1", 15)), 1) << fault;
        EXPECT_TRUE(installer.Receive(0xE00F)) << fault;  // sent once the command got through
        const std::vector<std::string> log = sim.PanelLogUntil(address, "A E00F 04 00");
        const std::vector<std::string> tail = {"C E00E 03 00", "R E00E 03 01", "M E00F 04 00", "A E00F 04 00"};
        ASSERT_GE(log.size(), tail.size());
        EXPECT_EQ(std::vector<std::string>(log.end() - 4, log.end()), tail) << fault;
        EXPECT_EQ(sim.Show(address, "panel_retries"), "1");
    }
}

TEST(SimPanel, ClosesInTheMiddleOfTheTransfer) {
    const std::string address = PrinterAddress(0);
    SimProcess sim({"--printer", address + ",close_after_blocks=2"});
    ASSERT_TRUE(sim.Started());
    const std::vector<std::uint8_t> package = Package(5000);
    InstallerPanel installer(address);
    EXPECT_FALSE(installer.Transfer(package, simtest::Md5Hex(package)));
    EXPECT_EQ(sim.Show(address, "package_result"), "");
    const std::vector<std::string> log = sim.Control("panel " + address);
    EXPECT_EQ(log.back(), "C E007 0B 00");
}

}  // namespace

namespace {

TEST(SimPanel, CoalescedAndWithheldMessages) {
    const std::string address = simtest::PrinterAddress(0);
    SimProcess sim({"--printer", address + ",coalesce_ack=on,withhold_message=E00D"});
    ASSERT_TRUE(sim.Started());
    InstallerPanel installer(address);
    const std::vector<std::uint8_t> start = panel::EncodePanelFrame(0xE000, 0, 0, Text("1.0.03.0.1", 15));
    ASSERT_TRUE(simtest::SendAll(installer.Fd(), start));
    // One write: a single read after it returns the acknowledgement and 0xE00A together.
    pollfd p{installer.Fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, simtest::kGuardMs), 1);
    std::uint8_t buffer[64];
    const ssize_t n = recv(installer.Fd(), buffer, sizeof buffer, 0);
    ASSERT_EQ(n, 21);
    EXPECT_TRUE(panel::IsCommandAck(std::span(buffer, 5), start));
    const auto header = panel::ReadPanelMessageHeader(std::span(buffer + 5, 16));
    ASSERT_TRUE(header);
    EXPECT_EQ(header->command, 0xE00A);
    const auto ack = panel::MakeMessageAck(header->sequence, header->attempt);
    ASSERT_TRUE(simtest::SendAll(installer.Fd(), ack));
    // 0xE00D is withheld: the next bytes are the acknowledgement of the next command.
    const std::vector<std::uint8_t> host = panel::EncodePanelFrame(0xE00E, 2, 0, Text("127.0.0.1", 15));
    ASSERT_TRUE(simtest::SendAll(installer.Fd(), host));
    EXPECT_TRUE(panel::IsCommandAck(simtest::ReceiveExactly(installer.Fd(), 5), host));
}

}  // namespace
