// The status query over real UDP against the printer simulator: both communities, the default one
// only, a silent agent, and an address where nothing listens.
#include <gtest/gtest.h>

#include "common/Clock.h"
#include "ports/SnmpQuery.h"
#include "sim/tests/SimProcess.h"
#include "tests/native/fakes/PosixNetwork.h"

namespace {

class SnmpQueryAgainstSimulator : public testing::Test {
protected:
    static void SetUpTestSuite() {
        sim_ = new simtest::SimProcess({"--printer", simtest::PrinterAddress(0),
                                        "--printer", simtest::PrinterAddress(1) + ",communities=public,tls=on",
                                        "--printer", simtest::PrinterAddress(2) + ",communities=none"});
    }
    static void TearDownTestSuite() {
        delete sim_;
        sim_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(sim_->Started()); }

    struct Outcome {
        bool ok;
        std::string text;
        std::uint64_t elapsedMs;
    };
    static Outcome Ask(const std::string& agent) {
        PosixNetwork network;
        std::string text = "before";
        const std::uint64_t start = SystemClock().TickCount();
        const bool ok = QuerySnmpStatus(network, SystemClock(), agent, text);
        return {ok, text, SystemClock().TickCount() - start};
    }

    static simtest::SimProcess* sim_;
};

simtest::SimProcess* SnmpQueryAgainstSimulator::sim_ = nullptr;

TEST_F(SnmpQueryAgainstSimulator, BothCommunitiesAnswered) {
    const Outcome outcome = Ask(simtest::PrinterAddress(0));
    ASSERT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.text.rfind("MDL:Zentil-640;", 0), 0u) << outcome.text;
    EXPECT_NE(outcome.text.find("SECURITY:0.00;"), std::string::npos);
}

// The maker's community goes unanswered: its attempt runs out, the default community answers.
TEST_F(SnmpQueryAgainstSimulator, DefaultCommunityOnly) {
    const Outcome outcome = Ask(simtest::PrinterAddress(1));
    ASSERT_TRUE(outcome.ok);
    EXPECT_NE(outcome.text.find("SECURITY:1.00;"), std::string::npos) << outcome.text;
    EXPECT_GE(outcome.elapsedMs, 195u);
}

TEST_F(SnmpQueryAgainstSimulator, SilentAgentAndNoAgentFailAfterBothAttempts) {
    const std::string silent = simtest::PrinterAddress(2);
    const std::string nobody = silent.substr(0, silent.rfind('.')) + ".250";  // no simulator uses .250
    for (const std::string& agent : {silent, nobody}) {
        SCOPED_TRACE(agent);
        const Outcome outcome = Ask(agent);
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.text, "before");
        EXPECT_GE(outcome.elapsedMs, 395u);
    }
}

}  // namespace
