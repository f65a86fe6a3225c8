// The controller protocol: literal frames, round trips of every message, and broken streams.
#include <gtest/gtest.h>

#include "tests/native/fakes/HexBytes.h"

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "controller/ControllerProtocol.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using ctl::DecodeStatus;

ctl::Request Req(std::uint8_t type, std::uint32_t id, std::string address = {}, std::int32_t argument = 0) {
    ctl::Request r;
    r.type = type;
    r.id = id;
    r.address = std::move(address);
    r.argument = argument;
    return r;
}

ctl::Response Resp(std::uint8_t type, std::uint32_t id, std::uint8_t result = ctl::kOk) {
    ctl::Response r;
    r.type = type;
    r.id = id;
    r.result = result;
    return r;
}

TEST(ControllerRequest, EncodesAndDecodesEveryType) {
    const struct {
        ctl::Request request;
        const char* wire;
    } cases[] = {
        {Req(ctl::kHello, 1, "127.0.0.1"), "43 51 01 01 00 00 00 01 00 09 31 32 37 2E 30 2E 30 2E 31"},
        {Req(ctl::kGetInfo, 2), "43 51 01 02 00 00 00 02 00 00"},
        {Req(ctl::kGetStatus, 0xDEADBEEF), "43 51 01 03 DE AD BE EF 00 00"},
        {Req(ctl::kStartUpdate, 4, {}, -2), "43 51 01 04 00 00 00 04 00 04 FF FF FF FE"},
        {Req(ctl::kRequestReboot, 5), "43 51 01 05 00 00 00 05 00 00"},
        {Req(ctl::kGetOperationCode, 6), "43 51 01 06 00 00 00 06 00 00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wire);
        Bytes wire = ctl::EncodeRequest(c.request);
        ASSERT_EQ(wire, HexBytes(c.wire));
        const std::size_t size = wire.size();
        for (std::size_t n = 0; n < size; ++n) {
            ASSERT_EQ(ctl::DecodeRequest(std::span(wire).first(n)).status, DecodeStatus::kNeedMore) << n;
        }
        wire.push_back('C');  // the next message's first byte stays unread
        const auto decoded = ctl::DecodeRequest(wire);
        ASSERT_EQ(decoded.status, DecodeStatus::kComplete) << decoded.error;
        EXPECT_EQ(decoded.consumed, size);
        EXPECT_EQ(decoded.request.type, c.request.type);
        EXPECT_EQ(decoded.request.id, c.request.id);
        EXPECT_EQ(decoded.request.address, c.request.address);
        EXPECT_EQ(decoded.request.argument, c.request.argument);
        EXPECT_TRUE(decoded.request.payloadFits);
    }
}

TEST(ControllerRequest, KeepsStepWithUnknownTypesAndUnfitPayloads) {
    const struct {
        const char* what;
        const char* wire;
        bool fits;
    } cases[] = {
        {"unknown type with payload", "43 51 01 63 00 00 00 09 00 03 01 02 03", true},
        {"unknown type 0", "43 51 01 00 00 00 00 09 00 00", true},
        {"HELLO without address", "43 51 01 01 00 00 00 09 00 00", false},
        {"HELLO with a space", "43 51 01 01 00 00 00 09 00 03 31 20 32", false},
        {"HELLO with a zero byte", "43 51 01 01 00 00 00 09 00 02 31 00", false},
        {"START_UPDATE with 3 bytes", "43 51 01 04 00 00 00 09 00 03 00 00 00", false},
        {"GET_INFO with payload", "43 51 01 02 00 00 00 09 00 01 00", false},
    };
    for (const auto& c : cases) {
        const Bytes wire = HexBytes(c.wire);
        const auto decoded = ctl::DecodeRequest(wire);
        ASSERT_EQ(decoded.status, DecodeStatus::kComplete) << c.what;
        EXPECT_EQ(decoded.consumed, wire.size()) << c.what;
        EXPECT_EQ(decoded.request.id, 9u) << c.what;
        EXPECT_EQ(decoded.request.payloadFits, c.fits) << c.what;
        EXPECT_TRUE(decoded.request.address.empty()) << c.what;
    }
    const std::string longest(ctl::kMaxAddress, '1');
    EXPECT_EQ(ctl::DecodeRequest(ctl::EncodeRequest(Req(ctl::kHello, 1, longest))).request.address, longest);
    for (const std::string& bad : {std::string(), longest + "1", std::string("10.0.0.1 "), std::string("\xC3\xA9")}) {
        EXPECT_TRUE(ctl::EncodeRequest(Req(ctl::kHello, 1, bad)).empty()) << bad;
    }
}

TEST(ControllerRequest, BrokenStreamIsInvalidAtOnce) {
    for (const char* wire : {"51", "43 52", "43 51 02", "43 51 00", "43 51 01 01 00 00 00 01 10 01",
                             "43 51 01 01 00 00 00 01 FF FF"}) {
        const auto decoded = ctl::DecodeRequest(HexBytes(wire));
        EXPECT_EQ(decoded.status, DecodeStatus::kInvalid) << wire;
        EXPECT_FALSE(decoded.error.empty()) << wire;
    }
    // The largest payload is still read.
    Bytes largest = HexBytes("43 51 01 63 00 00 00 01 10 00");
    largest.resize(largest.size() + ctl::kMaxPayload, 0xAA);
    EXPECT_EQ(ctl::DecodeRequest(largest).consumed, largest.size());
}

TEST(ControllerResponse, EncodesAndDecodesEveryType) {
    ctl::Response hello = Resp(ctl::kHello, 1);
    hello.answer = true;
    ctl::Response info = Resp(ctl::kGetInfo, 2);
    info.info = "MDL:Zentil-640;";
    ctl::Response status = Resp(ctl::kGetStatus, 3);
    status.answer = true;
    status.statusWord = 0x86000000;
    status.detailWord = 0x12345678;
    ctl::Response start = Resp(ctl::kStartUpdate, 4);
    ctl::Response reboot = Resp(ctl::kRequestReboot, 5);
    reboot.answer = true;
    ctl::Response code = Resp(ctl::kGetOperationCode, 6);
    code.operationCode = -1;
    ctl::Response largeInfo = Resp(ctl::kGetInfo, 7);
    largeInfo.info.assign(ctl::kMaxPayload, 'x');

    const struct {
        ctl::Response response;
        const char* wire;  // null: round trip only
    } cases[] = {
        {hello, "43 52 01 01 00 00 00 01 00 00 01 01"},
        {info, "43 52 01 02 00 00 00 02 00 00 0F 4D 44 4C 3A 5A 65 6E 74 69 6C 2D 36 34 30 3B"},
        {status, "43 52 01 03 00 00 00 03 00 00 09 01 86 00 00 00 12 34 56 78"},
        {start, "43 52 01 04 00 00 00 04 00 00 01 00"},
        {reboot, "43 52 01 05 00 00 00 05 00 00 01 01"},
        {code, "43 52 01 06 00 00 00 06 00 00 04 FF FF FF FF"},
        {Resp(ctl::kGetInfo, 8), "43 52 01 02 00 00 00 08 00 00 00"},
        {Resp(0x63, 9, ctl::kUnknownType), "43 52 01 63 00 00 00 09 01 00 00"},
        {Resp(ctl::kHello, 10, ctl::kNotConnected), "43 52 01 01 00 00 00 0A 03 00 00"},
        {largeInfo, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.response.id);
        Bytes wire = ctl::EncodeResponse(c.response);
        if (c.wire) {
            ASSERT_EQ(wire, HexBytes(c.wire));
        }
        const std::size_t size = wire.size();
        for (std::size_t n = 0; n < size; ++n) {
            ASSERT_EQ(ctl::DecodeResponse(std::span(wire).first(n)).status, DecodeStatus::kNeedMore) << n;
        }
        wire.push_back('C');
        const auto decoded = ctl::DecodeResponse(wire);
        ASSERT_EQ(decoded.status, DecodeStatus::kComplete) << decoded.error;
        EXPECT_EQ(decoded.consumed, size);
        const ctl::Response& r = decoded.response;
        EXPECT_EQ(r.type, c.response.type);
        EXPECT_EQ(r.id, c.response.id);
        EXPECT_EQ(r.result, c.response.result);
        EXPECT_EQ(r.answer, c.response.answer);
        EXPECT_EQ(r.info, c.response.info);
        EXPECT_EQ(r.statusWord, c.response.statusWord);
        EXPECT_EQ(r.detailWord, c.response.detailWord);
        EXPECT_EQ(r.operationCode, c.response.operationCode);
    }
    // An error result carries nothing, whatever the fields hold.
    ctl::Response failed = info;
    failed.result = ctl::kFailed;
    EXPECT_EQ(ctl::EncodeResponse(failed), HexBytes("43 52 01 02 00 00 00 02 04 00 00"));
    ctl::Response bad = info;
    bad.info.push_back('\0');
    EXPECT_TRUE(ctl::EncodeResponse(bad).empty());
    bad.info.assign(ctl::kMaxPayload + 1, 'x');
    EXPECT_TRUE(ctl::EncodeResponse(bad).empty());
}

TEST(ControllerResponse, RejectsAnythingInexact) {
    const struct {
        const char* what;
        const char* wire;
    } cases[] = {
        {"request magic", "43 51"},
        {"version 2", "43 52 02"},
        {"unknown result", "43 52 01 01 00 00 00 01 05"},
        {"answer 2", "43 52 01 01 00 00 00 01 00 00 01 02"},
        {"answer of two bytes", "43 52 01 05 00 00 00 01 00 00 02"},
        {"status words short", "43 52 01 03 00 00 00 01 00 00 08"},
        {"operation code short", "43 52 01 06 00 00 00 01 00 00 03"},
        {"info with a zero byte", "43 52 01 02 00 00 00 01 00 00 03 41 00 42"},
        {"info too long", "43 52 01 02 00 00 00 01 00 10 01"},
        {"error with payload", "43 52 01 02 00 00 00 01 04 00 01"},
        {"success for an unknown type", "43 52 01 63 00 00 00 01 00 00 00"},
    };
    for (const auto& c : cases) {
        const auto decoded = ctl::DecodeResponse(HexBytes(c.wire));
        EXPECT_EQ(decoded.status, DecodeStatus::kInvalid) << c.what;
        EXPECT_FALSE(decoded.error.empty()) << c.what;
    }
}

}  // namespace
