// SNMP v1 in BER: object identifiers, the manager's GetRequest and GetResponse, the agent's side,
// and malformed datagrams.
#include <gtest/gtest.h>

#include "tests/native/fakes/HexBytes.h"

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ports/SnmpCodec.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using snmp::Oid;

// A short-form element made of parts, for building variants of a message.
Bytes T(std::uint8_t tag, std::initializer_list<Bytes> parts) {
    Bytes content;
    for (const Bytes& p : parts) content.insert(content.end(), p.begin(), p.end());
    EXPECT_LT(content.size(), 0x80u);
    const std::uint8_t header[2] = {tag, static_cast<std::uint8_t>(content.size())};
    content.insert(content.begin(), header, header + 2);
    return content;
}

Bytes Str(const std::string& s) { return T(0x04, {Bytes(s.begin(), s.end())}); }

const Bytes kStatusOid = HexBytes("06 0C 2B 06 01 04 01 83 C6 65 03 02 01 01");
const Bytes kZero = HexBytes("02 01 00");

// A response of community "cvn", request id 0x1234, no error, the status object as "MDL:X;".
const Bytes kResponse = HexBytes(
    "30 2E 02 01 00 04 03 63 76 6E A2 24 02 02 12 34 02 01 00 02 01 00 30 18 30 16"
    " 06 0C 2B 06 01 04 01 83 C6 65 03 02 01 01 04 06 4D 44 4C 3A 58 3B");

// A response to request 0x1234 with the given version, PDU, error fields and binding list.
Bytes Response(const Bytes& version, std::uint8_t pdu, const Bytes& status, const Bytes& index, const Bytes& list) {
    return T(0x30, {version, Str("cvn"), T(pdu, {HexBytes("02 02 12 34"), status, index, list})});
}

TEST(ParseOid, AcceptsOnlyWellFormedDottedText) {
    const struct {
        const char* text;
        std::optional<Oid> arcs;
    } cases[] = {
        {".1.3.6.1.4.1.58213.3.2.1.1", Oid{1, 3, 6, 1, 4, 1, 58213, 3, 2, 1, 1}},
        {"1.3.6.1", Oid{1, 3, 6, 1}},
        {"0.0", Oid{0, 0}},
        {"1.39.4294967295", Oid{1, 39, 4294967295u}},
        {"2.4294967215", Oid{2, 4294967215u}},
        {"1.3.4294967296", std::nullopt},
        {"1.40", std::nullopt},
        {"3.1", std::nullopt},
        {"2.4294967216", std::nullopt},  // 80 + second would not fit one sub-identifier
        {"1", std::nullopt},
        {"", std::nullopt},
        {".", std::nullopt},
        {"..1.3", std::nullopt},
        {"1..3", std::nullopt},
        {"1.3.", std::nullopt},
        {"1.03.6", std::nullopt},
        {"1.3.+6", std::nullopt},
        {"1.3.6a", std::nullopt},
        {" 1.3", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(snmp::ParseOid(c.text), c.arcs) << c.text;
    }
    std::string longest = "1.3";
    for (std::size_t i = 2; i < snmp::kMaxOidArcs; ++i) longest += ".7";
    EXPECT_TRUE(snmp::ParseOid(longest));
    EXPECT_FALSE(snmp::ParseOid(longest + ".7"));
    EXPECT_EQ(snmp::FormatOid(snmp::StatusOid()), snmp::kStatusOidText);
}

TEST(OidContent, EncodesBase128SubIdentifiers) {
    const struct {
        Oid arcs;
        const char* content;
    } cases[] = {
        {snmp::StatusOid(), "2B 06 01 04 01 83 C6 65 03 02 01 01"},
        {{0, 0}, "00"},
        {{1, 3, 127, 128, 16383, 16384}, "2B 7F 81 00 FF 7F 81 80 00"},
        {{2, 999}, "88 37"},
        {{1, 3, 4294967295u}, "2B 8F FF FF FF 7F"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(snmp::FormatOid(c.arcs));
        EXPECT_EQ(snmp::EncodeOidContent(c.arcs), HexBytes(c.content));
        EXPECT_EQ(snmp::DecodeOidContent(HexBytes(c.content)), c.arcs);
    }
    EXPECT_FALSE(snmp::EncodeOidContent({1}));
    EXPECT_FALSE(snmp::EncodeOidContent({1, 40}));
}

TEST(OidContent, RejectsMalformedSubIdentifiers) {
    for (const char* content : {"", "2B 80 01", "2B 83", "2B 90 80 80 80 00", "2B 8F FF FF FF FF 7F"}) {
        EXPECT_FALSE(snmp::DecodeOidContent(HexBytes(content))) << content;
    }
    Bytes tooMany(snmp::kMaxOidArcs, 0x01);  // 129 arcs: the first octet holds two
    EXPECT_FALSE(snmp::DecodeOidContent(tooMany));
    tooMany.pop_back();
    EXPECT_TRUE(snmp::DecodeOidContent(tooMany));
}

TEST(EncodeGetRequest, IsTheHandCheckedMessage) {
    EXPECT_EQ(snmp::EncodeGetRequest("public", 1, snmp::StatusOid()),
              HexBytes("30 2A 02 01 00 04 06 70 75 62 6C 69 63 A0 1D 02 01 01 02 01 00 02 01 00 30 12 30 10"
                  " 06 0C 2B 06 01 04 01 83 C6 65 03 02 01 01 05 00"));
    // Request ids in their shortest two's-complement form.
    const struct {
        std::int32_t id;
        const char* integer;
    } ids[] = {{0, "02 01 00"}, {127, "02 01 7F"}, {128, "02 02 00 80"}, {-1, "02 01 FF"},
               {-129, "02 02 FF 7F"}, {std::numeric_limits<std::int32_t>::max(), "02 04 7F FF FF FF"},
               {std::numeric_limits<std::int32_t>::min(), "02 04 80 00 00 00"}};
    for (const auto& c : ids) {
        const Bytes message = snmp::EncodeGetRequest("cvn", c.id, snmp::StatusOid());
        const Bytes expected = HexBytes(c.integer);
        ASSERT_GT(message.size(), 12 + expected.size());
        EXPECT_EQ(Bytes(message.begin() + 12, message.begin() + 12 + static_cast<std::ptrdiff_t>(expected.size())), expected)
            << c.id;
    }
    EXPECT_TRUE(snmp::EncodeGetRequest(std::string(256, 'c'), 1, snmp::StatusOid()).empty());
    EXPECT_TRUE(snmp::EncodeGetRequest("cvn", 1, {1, 40}).empty());
}

TEST(DecodeGetResponse, ReadsTheFirstBinding) {
    const auto response = snmp::DecodeGetResponse(kResponse, 0x1234);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->version, 0);
    EXPECT_EQ(response->community, "cvn");
    EXPECT_EQ(response->requestId, 0x1234);
    EXPECT_EQ(response->errorStatus, 0);
    EXPECT_EQ(response->errorIndex, 0);
    EXPECT_EQ(response->oid, snmp::StatusOid());
    EXPECT_EQ(response->valueType, snmp::kTagOctetString);
    EXPECT_EQ(std::string(response->value.begin(), response->value.end()), "MDL:X;");

    EXPECT_FALSE(snmp::DecodeGetResponse(kResponse, 0x1235));
    EXPECT_FALSE(snmp::DecodeGetResponse(kResponse, -0x1234));
}

TEST(DecodeGetResponse, ErrorsAndOtherValueTypesStillDecode) {
    const auto noSuchName = snmp::DecodeGetResponse(
        Response(kZero, 0xA2, HexBytes("02 01 02"), HexBytes("02 01 01"), T(0x30, {T(0x30, {kStatusOid, HexBytes("05 00")})})),
        0x1234);
    ASSERT_TRUE(noSuchName);
    EXPECT_EQ(noSuchName->errorStatus, snmp::kNoSuchName);
    EXPECT_EQ(noSuchName->errorIndex, 1);
    EXPECT_EQ(noSuchName->valueType, snmp::kTagNull);

    // An INTEGER value, then a second binding that is only checked for form.
    const auto integer = snmp::DecodeGetResponse(
        Response(kZero, 0xA2, kZero, kZero,
                 T(0x30, {T(0x30, {kStatusOid, HexBytes("02 01 05")}), T(0x30, {HexBytes("06 01 2B"), HexBytes("80 00")})})),
        0x1234);
    ASSERT_TRUE(integer);
    EXPECT_EQ(integer->valueType, snmp::kTagInteger);
    EXPECT_EQ(integer->value, HexBytes("05"));
}

TEST(DecodeGetResponse, RejectsMalformedMessages) {
    const Bytes binding = T(0x30, {kStatusOid, Str("x")});
    const Bytes list = T(0x30, {binding});
    Bytes trailing = kResponse;
    trailing.push_back(0);
    const struct {
        const char* what;
        Bytes datagram;
    } cases[] = {
        {"a byte after the message", trailing},
        {"version 1", Response(HexBytes("02 01 01"), 0xA2, kZero, kZero, list)},
        {"a GetRequest", Response(kZero, 0xA0, kZero, kZero, list)},
        {"a trap", Response(kZero, 0xA4, kZero, kZero, list)},
        {"no binding", Response(kZero, 0xA2, kZero, kZero, T(0x30, {}))},
        {"a second binding that is broken", Response(kZero, 0xA2, kZero, kZero, T(0x30, {binding, HexBytes("30 01 06")}))},
        {"a binding without value", Response(kZero, 0xA2, kZero, kZero, T(0x30, {T(0x30, {kStatusOid})}))},
        {"a binding with a third element", Response(kZero, 0xA2, kZero, kZero, T(0x30, {T(0x30, {kStatusOid, kZero, kZero})}))},
        {"the OID as an OCTET STRING", Response(kZero, 0xA2, kZero, kZero, T(0x30, {T(0x30, {Str("+"), kZero})}))},
        {"a broken OID", Response(kZero, 0xA2, kZero, kZero, T(0x30, {T(0x30, {HexBytes("06 02 2B 83"), kZero})}))},
        {"a high-tag-number value", Response(kZero, 0xA2, kZero, kZero, T(0x30, {T(0x30, {kStatusOid, HexBytes("1F 01 00")})}))},
        {"a NULL with content", Response(kZero, 0xA2, kZero, kZero, T(0x30, {T(0x30, {kStatusOid, HexBytes("05 01 00")})}))},
        {"an empty INTEGER as error status", Response(kZero, 0xA2, HexBytes("02 00"), kZero, list)},
        {"a six-octet error index", Response(kZero, 0xA2, kZero, HexBytes("02 06 00 00 00 00 00 01"), list)},
        {"a list that is not a SEQUENCE", Response(kZero, 0xA2, kZero, kZero, T(0x31, {binding}))},
        {"something after the list", Response(kZero, 0xA2, kZero, kZero, T(0x30, {binding, HexBytes("05")}))},
        {"the community as an INTEGER", T(0x30, {kZero, kZero, T(0xA2, {HexBytes("02 02 12 34"), kZero, kZero, list})})},
        {"indefinite length", HexBytes("30 80 02 01 00 00 00")},
        {"an indefinite-length value", Response(kZero, 0xA2, kZero, kZero, T(0x30, {T(0x30, {kStatusOid, HexBytes("05 80")})}))},
        {"five length octets", HexBytes("30 85 00 00 00 00 03 02 01 00")},
        {"a length past the end", HexBytes("30 82 FF FF 02 01 00")},
        {"a list longer than its PDU", [] { Bytes b = kResponse; b[23] = 0x19; return b; }()},
        {"a binding shorter than its content", [] { Bytes b = kResponse; b[25] = 0x15; return b; }()},
        {"empty", {}},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(snmp::DecodeGetResponse(c.datagram, 0x1234)) << c.what;
    }
}

TEST(DecodeGetResponse, AcceptsLongFormLengthsAndFiveOctetIntegers) {
    Bytes longForm = kResponse;
    longForm.erase(longForm.begin() + 1);
    longForm.insert(longForm.begin() + 1, {0x84, 0x00, 0x00, 0x00, 0x2E});
    EXPECT_TRUE(snmp::DecodeGetResponse(longForm, 0x1234));

    const struct {
        const char* id;
        std::optional<std::int32_t> value;
    } ids[] = {
        {"02 05 00 7F FF FF FF", 0x7FFFFFFF},
        {"02 05 FF 80 00 00 00", std::numeric_limits<std::int32_t>::min()},
        {"02 05 00 80 00 00 00", std::nullopt},  // 2^31: beyond a signed 32-bit id
        {"02 05 00 FF FF FF FF", std::nullopt},
        {"02 05 FF 7F FF FF FF", std::nullopt},
    };
    for (const auto& c : ids) {
        const Bytes datagram = T(0x30, {kZero, Str("cvn"), T(0xA2, {HexBytes(c.id), kZero, kZero,
                                                                    T(0x30, {T(0x30, {kStatusOid, Str("")})})})});
        const auto response = snmp::DecodeGetResponse(datagram, c.value.value_or(0));
        EXPECT_EQ(response.has_value(), c.value.has_value()) << c.id;
    }
}

TEST(DecodeGetResponse, EveryTruncationDecodesToNothing) {
    const Bytes big = snmp::EncodeGetResponse("cvn", 99, 0, 0,
        std::vector<snmp::VarBind>{{snmp::StatusOid(), snmp::VarBind::Kind::kOctetString, Bytes(300, 'x')}});
    for (const Bytes* message : {&kResponse, &big}) {
        for (std::size_t n = 0; n < message->size(); ++n) {
            ASSERT_FALSE(snmp::DecodeGetResponse(std::span(*message).first(n), message == &big ? 99 : 0x1234)) << n;
            ASSERT_FALSE(snmp::DecodeGetRequest(std::span(*message).first(n))) << n;
        }
    }
}

TEST(EncodeGetResponse, RoundTripsAndMarksNoSuchName) {
    EXPECT_EQ(snmp::EncodeGetResponse("cvn", 0x1234, 0, 0,
                                      std::vector<snmp::VarBind>{{snmp::StatusOid(), snmp::VarBind::Kind::kOctetString,
                                                                  Bytes{'M', 'D', 'L', ':', 'X', ';'}}}),
              kResponse);

    // A long text and a long community need long-form lengths.
    const std::string text(1000, 'T');
    const std::string community(200, 'c');
    const Bytes long_ = snmp::EncodeGetResponse(
        community, -5, 0, 0,
        std::vector<snmp::VarBind>{{snmp::StatusOid(), snmp::VarBind::Kind::kOctetString, Bytes(text.begin(), text.end())}});
    EXPECT_EQ(Bytes(long_.begin(), long_.begin() + 4), HexBytes("30 82 04 DD"));
    const auto decoded = snmp::DecodeGetResponse(long_, -5);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->community, community);
    EXPECT_EQ(std::string(decoded->value.begin(), decoded->value.end()), text);

    const Oid sysDescr = *snmp::ParseOid(".1.3.6.1.2.1.1.1.0");
    const std::vector<snmp::VarBind> bindings = {
        {snmp::StatusOid(), snmp::VarBind::Kind::kOctetString, Bytes{'A'}},
        {sysDescr, snmp::VarBind::Kind::kNoSuchName, Bytes{'i', 'g', 'n'}},
        {sysDescr, snmp::VarBind::Kind::kNoSuchName, {}},
    };
    const Bytes marked = snmp::EncodeGetResponse("public", 7, 0, 0, bindings);
    const auto noSuchName = snmp::DecodeGetResponse(marked, 7);
    ASSERT_TRUE(noSuchName);
    EXPECT_EQ(noSuchName->errorStatus, snmp::kNoSuchName);
    EXPECT_EQ(noSuchName->errorIndex, 2);
    EXPECT_EQ(std::string(noSuchName->value.begin(), noSuchName->value.end()), "A");
    EXPECT_EQ(Bytes(marked.end() - 2, marked.end()), HexBytes("05 00"));

    const auto given = snmp::DecodeGetResponse(snmp::EncodeGetResponse("public", 7, 5, 1, bindings), 7);
    ASSERT_TRUE(given);
    EXPECT_EQ(given->errorStatus, 5);
    EXPECT_EQ(given->errorIndex, 1);

    EXPECT_TRUE(snmp::EncodeGetResponse("public", 7, 0, 0, std::vector<snmp::VarBind>{{{1}, {}, {}}}).empty());
}

TEST(DecodeGetRequest, ReadsGetAndGetNextOfVersion1And2c) {
    const auto request = snmp::DecodeGetRequest(snmp::EncodeGetRequest("cvn", 0x7FFFFFFF, snmp::StatusOid()));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->version, 0);
    EXPECT_EQ(request->community, "cvn");
    EXPECT_EQ(request->pduType, snmp::kPduGetRequest);
    EXPECT_EQ(request->requestId, 0x7FFFFFFF);
    EXPECT_EQ(request->oids, std::vector<Oid>{snmp::StatusOid()});

    const Bytes sysDescr = HexBytes("06 08 2B 06 01 02 01 01 01 00");
    const auto next = snmp::DecodeGetRequest(T(0x30, {HexBytes("02 01 01"), Str("public"),
        T(0xA1, {HexBytes("02 01 2A"), kZero, kZero,
                 T(0x30, {T(0x30, {sysDescr, HexBytes("05 00")}), T(0x30, {kStatusOid, HexBytes("05 00")})})})}));
    ASSERT_TRUE(next);
    EXPECT_EQ(next->version, 1);
    EXPECT_EQ(next->pduType, snmp::kPduGetNextRequest);
    EXPECT_EQ(next->requestId, 42);
    EXPECT_EQ(next->oids, (std::vector<Oid>{*snmp::ParseOid("1.3.6.1.2.1.1.1.0"), snmp::StatusOid()}));
}

TEST(DecodeGetRequest, RejectsOtherPdusVersionsAndBrokenBindings) {
    const Bytes list = T(0x30, {T(0x30, {kStatusOid, HexBytes("05 00")})});
    const auto request = [](const Bytes& version, std::uint8_t pdu, const Bytes& bindings) {
        return T(0x30, {version, Str("cvn"), T(pdu, {HexBytes("02 01 01"), kZero, kZero, bindings})});
    };
    const struct {
        const char* what;
        Bytes datagram;
    } cases[] = {
        {"a SetRequest", request(kZero, 0xA3, list)},
        {"a GetBulkRequest", request(HexBytes("02 01 01"), 0xA5, list)},
        {"a GetResponse", request(kZero, 0xA2, list)},
        {"version 3", request(HexBytes("02 01 03"), 0xA0, list)},
        {"version -1", request(HexBytes("02 01 FF"), 0xA0, list)},
        {"a binding without value", request(kZero, 0xA0, T(0x30, {T(0x30, {kStatusOid})}))},
        {"a broken binding after a good one",
         request(kZero, 0xA0, T(0x30, {T(0x30, {kStatusOid, HexBytes("05 00")}), HexBytes("30 00")}))},
        {"a NULL with content", request(kZero, 0xA0, T(0x30, {T(0x30, {kStatusOid, HexBytes("05 01 00")})}))},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(snmp::DecodeGetRequest(c.datagram)) << c.what;
    }
    EXPECT_TRUE(snmp::DecodeGetRequest(request(kZero, 0xA0, T(0x30, {}))));  // no binding: answered empty
}

}  // namespace
