// The status query's decisions: which community is asked when, what counts as an answer, and what
// an attempt waits for. The agent is scripted; time is a fake clock advanced by the waits.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <optional>

#include "ports/SnmpCodec.h"
#include "ports/SnmpQuery.h"
#include "tests/native/fakes/ManualClock.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// What the agent sends back to one request: datagrams in order, each after `delayMs`.
struct Reply {
    std::uint32_t delayMs = 0;
    std::function<Bytes(const snmp::GetRequest&)> make;
};

struct Agent {
    ManualClock clock;
    std::vector<snmp::GetRequest> requests;
    std::vector<std::string> opened;
    // Per community: the replies to each request with that community (none: silent).
    std::function<std::vector<Reply>(const std::string& community)> script;
    bool refuseOpen = false;
};

class FakeDatagram final : public IDatagramSocket {
public:
    explicit FakeDatagram(Agent& agent) : m_agent(agent) {}
    bool Open(std::string_view address, std::uint16_t port) override {
        m_agent.opened.push_back(std::string(address) + ":" + std::to_string(port));
        return !m_agent.refuseOpen;
    }
    bool Send(std::span<const std::uint8_t> datagram) override {
        const auto request = snmp::DecodeGetRequest(datagram);
        if (!request) return false;
        m_agent.requests.push_back(*request);
        for (const Reply& reply : m_agent.script(request->community)) {
            m_queue.push_back({m_agent.clock.TickCount() + reply.delayMs, reply.make(*request)});
        }
        return true;
    }
    int Receive(std::uint8_t* buffer, std::size_t size, std::uint32_t timeoutMs) override {
        const std::uint64_t deadline = m_agent.clock.TickCount() + timeoutMs;
        if (m_queue.empty() || m_queue.front().first > deadline) {
            m_agent.clock.AdvanceTo(deadline);
            return 0;
        }
        auto [at, bytes] = m_queue.front();
        m_queue.pop_front();
        m_agent.clock.AdvanceTo(at);
        const std::size_t n = std::min(size, bytes.size());
        std::copy_n(bytes.begin(), n, buffer);
        return static_cast<int>(n);
    }

private:
    Agent& m_agent;
    std::deque<std::pair<std::uint64_t, Bytes>> m_queue;
};

class FakeNetwork final : public INetwork {
public:
    explicit FakeNetwork(Agent& agent) : m_agent(agent) {}
    std::unique_ptr<IByteStream> NewStream() override { return nullptr; }
    std::unique_ptr<IDatagramSocket> NewDatagramSocket() override { return std::make_unique<FakeDatagram>(m_agent); }
    std::string ResolveIpv4(std::wstring_view) override { return {}; }

private:
    Agent& m_agent;
};

Bytes Answer(const snmp::GetRequest& request, std::string_view text, std::int32_t idOffset = 0) {
    snmp::VarBind binding{snmp::StatusOid(), snmp::VarBind::Kind::kOctetString, Bytes(text.begin(), text.end())};
    return snmp::EncodeGetResponse(request.community, request.requestId + idOffset, snmp::kNoError, 0,
                                   std::span(&binding, 1));
}

Reply Says(std::string text, std::uint32_t delayMs = 5) {
    return {delayMs, [text](const snmp::GetRequest& r) { return Answer(r, text); }};
}

struct Outcome {
    bool ok;
    std::string text;
    std::uint64_t elapsed;
};

Outcome Query(Agent& agent, std::string text = "unchanged") {
    FakeNetwork network(agent);
    const std::uint64_t start = agent.clock.TickCount();
    const bool ok = QuerySnmpStatus(network, agent.clock, "127.0.0.2", text);
    return {ok, text, agent.clock.TickCount() - start};
}

std::vector<std::string> Communities(const Agent& agent) {
    std::vector<std::string> out;
    for (const auto& r : agent.requests) out.push_back(r.community);
    return out;
}

TEST(SnmpQuery, MakerCommunityAnswersAtOnce) {
    Agent agent;
    agent.script = [](const std::string&) { return std::vector<Reply>{Says("MDL:Zentil-640;")}; };
    const Outcome run = Query(agent);
    EXPECT_TRUE(run.ok);
    EXPECT_EQ(run.text, "MDL:Zentil-640;");
    EXPECT_EQ(Communities(agent), (std::vector<std::string>{"cvn"}));
    EXPECT_EQ(agent.opened, (std::vector<std::string>{"127.0.0.2:161"}));
    ASSERT_EQ(agent.requests.size(), 1u);
    EXPECT_EQ(agent.requests[0].pduType, snmp::kPduGetRequest);
    EXPECT_EQ(agent.requests[0].version, snmp::kVersion1);
    EXPECT_EQ(agent.requests[0].oids, (std::vector<snmp::Oid>{snmp::StatusOid()}));
}

TEST(SnmpQuery, DefaultCommunityAfterTheMakersTimesOut) {
    Agent agent;
    agent.script = [](const std::string& c) {
        return c == "public" ? std::vector<Reply>{Says("MODE:IPL;")} : std::vector<Reply>{};
    };
    const Outcome run = Query(agent);
    EXPECT_TRUE(run.ok);
    EXPECT_EQ(run.text, "MODE:IPL;");
    EXPECT_EQ(Communities(agent), (std::vector<std::string>{"cvn", "public"}));
    EXPECT_EQ(run.elapsed, 200u + 5u);
    EXPECT_NE(agent.requests[0].requestId, agent.requests[1].requestId);
}

TEST(SnmpQuery, SilentAgentFailsAfterTwoAttemptsAndKeepsTheText) {
    Agent agent;
    agent.script = [](const std::string&) { return std::vector<Reply>{}; };
    const Outcome run = Query(agent);
    EXPECT_FALSE(run.ok);
    EXPECT_EQ(run.text, "unchanged");
    EXPECT_EQ(run.elapsed, 400u);
    EXPECT_EQ(Communities(agent), (std::vector<std::string>{"cvn", "public"}));
}

TEST(SnmpQuery, AnAnswerTooLateForItsAttemptDoesNotCount) {
    Agent agent;
    agent.script = [](const std::string&) { return std::vector<Reply>{Says("late", 250)}; };
    const Outcome run = Query(agent);
    EXPECT_FALSE(run.ok);
    EXPECT_EQ(run.elapsed, 400u);
}

TEST(SnmpQuery, StrayDatagramsAreSkippedWhileTheAttemptWaits) {
    Agent agent;
    agent.script = [](const std::string&) {
        return std::vector<Reply>{
            {10, [](const snmp::GetRequest& r) { return Answer(r, "stale", 1); }},  // another request's
            {20, [](const snmp::GetRequest&) { return Bytes{0x30, 0x03, 0x02, 0x01}; }},  // broken
            Says("fresh", 30),
        };
    };
    const Outcome run = Query(agent);
    EXPECT_TRUE(run.ok);
    EXPECT_EQ(run.text, "fresh");
    EXPECT_EQ(Communities(agent), (std::vector<std::string>{"cvn"}));
}

TEST(SnmpQuery, AnswersWithoutTextCountAsAnEmptyAnswer) {
    const std::vector<std::pair<const char*, std::function<Bytes(const snmp::GetRequest&)>>> cases = {
        {"error status", [](const snmp::GetRequest& r) {
             snmp::VarBind b{snmp::StatusOid(), snmp::VarBind::Kind::kNoSuchName, {}};
             return snmp::EncodeGetResponse(r.community, r.requestId, snmp::kNoError, 0, std::span(&b, 1));
         }},
        {"null value", [](const snmp::GetRequest& r) {
             snmp::VarBind b{snmp::StatusOid(), snmp::VarBind::Kind::kNull, {}};
             return snmp::EncodeGetResponse(r.community, r.requestId, snmp::kNoError, 0, std::span(&b, 1));
         }},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.first);
        Agent agent;
        const auto& make = testCase.second;
        agent.script = [&make](const std::string&) { return std::vector<Reply>{{5, make}}; };
        const Outcome run = Query(agent);
        EXPECT_TRUE(run.ok);
        EXPECT_EQ(run.text, "");
        EXPECT_EQ(agent.requests.size(), 1u);
    }
}

TEST(SnmpQuery, NoSocketMeansNoAnswer) {
    Agent agent;
    agent.refuseOpen = true;
    agent.script = [](const std::string&) { return std::vector<Reply>{Says("x")}; };
    const Outcome run = Query(agent);
    EXPECT_FALSE(run.ok);
    EXPECT_EQ(run.text, "unchanged");
    EXPECT_TRUE(agent.requests.empty());
}

}  // namespace
