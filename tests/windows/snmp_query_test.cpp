// The status query through Winsock under Wine, against the printer simulator (@2 answers both
// communities, @3 only the default one, @4 nothing) and against net-snmp's agent on @7, which
// answers only the default community. Nothing listens on @9.
#include <gtest/gtest.h>

#include <cstdlib>

#include "common/Clock.h"
#include "ports/SnmpQuery.h"
#include "network/win32/WinsockNetwork.h"
#include "tests/windows/SimControl.h"

namespace {

struct Outcome {
    bool ok;
    std::string text;
    std::uint64_t elapsedMs;
};

Outcome Ask(const std::string& agent) {
    std::string text = "before";
    const std::uint64_t start = SystemClock().TickCount();
    const bool ok = QuerySnmpStatus(ProcessNetwork(), SystemClock(), agent, text);
    return {ok, text, SystemClock().TickCount() - start};
}

class SnmpQuery : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim_.Connected()); }
    SimControl sim_;
};

TEST_F(SnmpQuery, SimulatorAnswersTheMakersCommunity) {
    const Outcome outcome = Ask(sim_.Printer(2));
    ASSERT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.text.rfind("MDL:" + sim_.Show(sim_.Printer(2), "model") + ";", 0), 0u) << outcome.text;
    EXPECT_LT(outcome.elapsedMs, 200u);
}

TEST_F(SnmpQuery, DefaultCommunityAfterTheFirstAttemptTimesOut) {
    const Outcome fromSimulator = Ask(sim_.Printer(3));
    ASSERT_TRUE(fromSimulator.ok);
    EXPECT_NE(fromSimulator.text.find("SECURITY:1.00;"), std::string::npos) << fromSimulator.text;
    EXPECT_GE(fromSimulator.elapsedMs, 190u);

    const Outcome fromSnmpd = Ask(sim_.Printer(7));
    ASSERT_TRUE(fromSnmpd.ok);
    const char* expected = std::getenv("SNMPD_TEXT");
    ASSERT_NE(expected, nullptr);
    EXPECT_EQ(fromSnmpd.text, expected);
    EXPECT_GE(fromSnmpd.elapsedMs, 190u);
}

// A silent agent and an address where nothing listens (the unreachable port reported by ICMP
// must not cut the wait short) both fail after the two attempts, leaving the text alone.
TEST_F(SnmpQuery, NoAnswerFailsAfterBothAttempts) {
    for (const std::string& agent : {sim_.Printer(4), sim_.Printer(9)}) {
        SCOPED_TRACE(agent);
        const Outcome outcome = Ask(agent);
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.text, "before");
        EXPECT_GE(outcome.elapsedMs, 390u);
        EXPECT_LT(outcome.elapsedMs, 5000u);
    }
}

}  // namespace
