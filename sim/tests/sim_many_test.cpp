// Many printers in one simulator: each serves its own connections while those of every other
// printer are open and in the middle of their exchanges, answers for itself, and keeps what it
// received apart from the others'; a printer flooded with connections refuses the excess without
// shutting out the others.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "controller/ControllerProtocol.h"
#include "sim/tests/Clients.h"
#include "sim/tests/SimProcess.h"

namespace {

using simtest::ControllerClient;
using simtest::InstallerPanel;
using simtest::SimProcess;

std::vector<std::uint8_t> Half(const std::vector<std::uint8_t>& bytes, bool second) {
    const auto middle = bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2);
    return second ? std::vector<std::uint8_t>(middle, bytes.end()) : std::vector<std::uint8_t>(bytes.begin(), middle);
}

// What an installer has open on one printer at a time: a controller connection that put it into
// update mode, a panel session past its opening messages, a firmware stream half sent.
struct Installation {
    explicit Installation(const std::string& at, int index)
        : address(at), controller(at), panel(at),
          firmware(simtest::MakeFirmware("041852", "3.40", 100000 + 64 * static_cast<std::size_t>(index))),
          package(simtest::Package(2500 + static_cast<std::size_t>(index), static_cast<unsigned>(index))) {}

    std::string address;
    ControllerClient controller;
    InstallerPanel panel;
    sim::Fd data;
    std::vector<std::uint8_t> firmware;
    std::vector<std::uint8_t> package;
};

std::string Serial(int index) { return "ZT640-0001" + std::string(index < 10 ? "0" : "") + std::to_string(index); }

TEST(SimManyPrinters, ThirtyTwoServeTheirOwnConnectionsAllOpenAtOnce) {
    const std::vector<std::string> addresses = simtest::PrinterAddresses(32);
    ASSERT_EQ(addresses.size(), 32u);
    // Long idle time-outs: the first printer's connections wait while all the others are opened.
    std::vector<std::string> args = {"--idle-timeout-ms", "60000"};
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        args.insert(args.end(), {"--printer", addresses[i] + ",serial=" + Serial(static_cast<int>(i))});
    }
    SimProcess sim(args);
    ASSERT_TRUE(sim.Started());

    std::vector<std::unique_ptr<Installation>> open;
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        const std::string& address = addresses[i];
        auto& in = *open.emplace_back(std::make_unique<Installation>(address, static_cast<int>(i)));
        ASSERT_TRUE(in.controller.Hello(address)) << address;
        const auto updateMode = in.controller.Ask(ctl::kStartUpdate);
        ASSERT_TRUE(updateMode && updateMode->answer) << address;
        ASSERT_TRUE(in.panel.Connected()) << address;
        ASSERT_GE(in.panel.Send(0xE000, simtest::Text("1.0.03.0.1", 15)), 0) << address;
        ASSERT_TRUE(in.panel.Receive(0xE00A) && in.panel.Receive(0xE00D)) << address;
        in.data = simtest::ConnectTcp(address, 9100);
        ASSERT_TRUE(in.data.Valid() && simtest::SendAll(in.data.Get(), Half(in.firmware, false))) << address;
    }
    for (const std::string& address : addresses) {
        EXPECT_TRUE(sim.WaitFor(address, "state", "receiving")) << address;
        EXPECT_EQ(sim.Show(address, "controller_connections"), "1") << address;
        std::string info;
        const std::size_t index = static_cast<std::size_t>(&address - addresses.data());
        ASSERT_TRUE(simtest::SnmpGet(address, "public", info)) << address;
        EXPECT_NE(info.find(";SN:" + Serial(static_cast<int>(index)) + ";"), std::string::npos) << info;
    }
    // Finished last printer first: it is served while every earlier one still has its sessions open.
    for (auto it = open.rbegin(); it != open.rend(); ++it) {
        Installation& in = **it;
        ASSERT_TRUE(simtest::SendAll(in.data.Get(), Half(in.firmware, true))) << in.address;
        in.data.Reset();
        ASSERT_TRUE(in.panel.SendPackage(in.package, simtest::Md5Hex(in.package))) << in.address;
        EXPECT_TRUE(in.panel.Receive(0xE00C)) << in.address;
    }
    for (const auto& in : open) {
        EXPECT_TRUE(sim.WaitFor(in->address, "state", "installing")) << in->address;
        EXPECT_EQ(sim.Show(in->address, "firmware_sha256"), simtest::Sha256Hex(in->firmware)) << in->address;
        EXPECT_EQ(sim.Show(in->address, "package_md5"), simtest::Md5Hex(in->package)) << in->address;
        EXPECT_EQ(sim.Show(in->address, "package_result"), "accepted") << in->address;
    }
}

TEST(SimManyPrinters, AFloodedPrinterRefusesTheExcessAndTheOthersServeOn) {
    const std::vector<std::string> addresses = simtest::PrinterAddresses(2);
    SimProcess sim({"--printer", addresses[0], "--printer", addresses[1]});
    ASSERT_TRUE(sim.Started());
    constexpr int kLimit = 64;  // connections one printer serves at once
    std::vector<std::unique_ptr<ControllerClient>> served;
    for (int i = 0; i < kLimit; ++i) {
        served.push_back(std::make_unique<ControllerClient>(addresses[0]));
        ASSERT_TRUE(served.back()->Hello(addresses[0])) << "connection " << i + 1;
    }
    ControllerClient excess(addresses[0]);
    ASSERT_TRUE(excess.Connected());  // the system completes it; the simulator then resets it
    EXPECT_FALSE(excess.Hello(addresses[0]));

    ControllerClient other(addresses[1]);
    EXPECT_TRUE(other.Hello(addresses[1]));
    EXPECT_EQ(sim.Show(addresses[0], "controller_connections"), std::to_string(kLimit));

    // One closed makes room for one more, once the simulator has seen it go.
    served.pop_back();
    bool servedAgain = false;
    for (int waited = 0; waited < simtest::kGuardMs && !servedAgain; waited += 20) {
        servedAgain = ControllerClient(addresses[0]).Hello(addresses[0]);
        if (!servedAgain) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(servedAgain);
}

}  // namespace
