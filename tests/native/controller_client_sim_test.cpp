// The library's protocol client over real TCP against the printer simulator: a whole walk from
// HELLO to the restart, and an address the simulator does not serve.
#include <gtest/gtest.h>

#include "common/Clock.h"
#include "controller/ControllerClient.h"
#include "sim/tests/SimProcess.h"
#include "tests/native/fakes/PosixNetwork.h"

namespace {

TEST(ControllerClientAgainstSimulator, WalksFromHelloToRestart) {
    const std::string address = simtest::PrinterAddress(0);
    simtest::SimProcess sim({"--printer", address + ",model=Zentil-540,restart_ms=3600000"});
    ASSERT_TRUE(sim.Started());
    PosixNetwork network;
    ctl::ControllerClient client(network, SystemClock());

    EXPECT_FALSE(client.Connect(simtest::PrinterAddress(1))) << "nothing listens there";
    ASSERT_TRUE(client.Connect(address));
    EXPECT_EQ(sim.Show(address, "controller_connections"), "1");

    const std::optional<std::string> info = client.GetInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->rfind("MDL:Zentil-540;", 0), 0u) << *info;
    EXPECT_NE(info->find(";MODE:NORMAL;"), std::string::npos) << *info;
    std::optional<ctl::StatusWords> status = client.GetStatus();
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->answer);
    EXPECT_EQ(status->status, 0u);
    EXPECT_EQ(client.GetOperationCode(), 0);

    EXPECT_TRUE(client.StartUpdate(0));
    EXPECT_EQ(sim.Show(address, "state"), "update-mode");
    status = client.GetStatus();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->status, 0x81000000u);

    EXPECT_TRUE(client.RequestReboot());
    EXPECT_EQ(sim.Show(address, "state"), "restarting");
    EXPECT_FALSE(client.GetStatus()) << "the printer dropped the connection while restarting";
    EXPECT_FALSE(client.Connected());
    EXPECT_FALSE(client.Connect(address));

    sim.Control("set " + address + " restart_ms 0");
    ASSERT_TRUE(client.Connect(address));
    EXPECT_TRUE(client.GetStatus());
    client.Close();
    EXPECT_TRUE(sim.WaitFor(address, "controller_connections", "0"));
}

}  // namespace
