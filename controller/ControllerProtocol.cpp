// The controller protocol's frames: fixed big-endian headers, payloads checked against their type.
#include "controller/ControllerProtocol.h"

namespace ctl {

namespace {

using Bytes = std::vector<std::uint8_t>;
using Span = std::span<const std::uint8_t>;

constexpr std::size_t kVersionPos = 2;
constexpr std::size_t kTypePos = 3;
constexpr std::size_t kIdPos = 4;
constexpr std::size_t kRequestLengthPos = 8;
constexpr std::size_t kResultPos = 8;
constexpr std::size_t kResponseLengthPos = 9;

constexpr std::size_t kWordSize = 4;
constexpr std::size_t kAnswerSize = 1;
constexpr std::size_t kStatusSize = kAnswerSize + 2 * kWordSize;

void PutU16(Bytes& out, std::size_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
}

void PutU32(Bytes& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

std::uint16_t GetU16(Span b, std::size_t pos) { return static_cast<std::uint16_t>(b[pos] << 8 | b[pos + 1]); }

std::uint32_t GetU32(Span b, std::size_t pos) {
    return static_cast<std::uint32_t>(b[pos]) << 24 | static_cast<std::uint32_t>(b[pos + 1]) << 16 |
           static_cast<std::uint32_t>(b[pos + 2]) << 8 | b[pos + 3];
}

bool AddressFits(std::string_view address) {
    if (address.empty() || address.size() > kMaxAddress) return false;
    for (char c : address) {
        const auto b = static_cast<std::uint8_t>(c);
        if (b < 0x21 || b > 0x7E) return false;
    }
    return true;
}

bool InfoFits(std::string_view info) {
    return info.size() <= kMaxPayload && info.find('\0') == std::string_view::npos;
}

// Magic and version, as far as the bytes go. An error text, or null when all is well so far.
const char* CheckStart(Span bytes, const std::uint8_t (&magic)[2]) {
    for (std::size_t i = 0; i < 2 && i < bytes.size(); ++i) {
        if (bytes[i] != magic[i]) return "wrong magic";
    }
    if (bytes.size() > kVersionPos && bytes[kVersionPos] != kProtocolVersion) return "unsupported version";
    return nullptr;
}

Bytes Header(const std::uint8_t (&magic)[2], std::uint8_t type, std::uint32_t id) {
    Bytes out{magic[0], magic[1], kProtocolVersion, type};
    PutU32(out, id);
    return out;
}

}  // namespace

bool IsKnownRequestType(std::uint8_t type) { return type >= kHello && type <= kGetOperationCode; }

std::vector<std::uint8_t> EncodeRequest(const Request& request) {
    Bytes payload;
    if (request.type == kHello) {
        if (!AddressFits(request.address)) return {};
        payload.assign(request.address.begin(), request.address.end());
    } else if (request.type == kStartUpdate) {
        PutU32(payload, static_cast<std::uint32_t>(request.argument));
    }
    Bytes out = Header(kRequestMagic, request.type, request.id);
    PutU16(out, payload.size());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<std::uint8_t> EncodeResponse(const Response& response) {
    Bytes payload;
    if (response.result == kOk) {
        switch (response.type) {
            case kHello:
            case kStartUpdate:
            case kRequestReboot:
                payload.push_back(response.answer ? 1 : 0);
                break;
            case kGetInfo:
                if (!InfoFits(response.info)) return {};
                payload.assign(response.info.begin(), response.info.end());
                break;
            case kGetStatus:
                payload.push_back(response.answer ? 1 : 0);
                PutU32(payload, response.statusWord);
                PutU32(payload, response.detailWord);
                break;
            case kGetOperationCode:
                PutU32(payload, static_cast<std::uint32_t>(response.operationCode));
                break;
            default:
                break;
        }
    }
    Bytes out = Header(kResponseMagic, response.type, response.id);
    out.push_back(response.result);
    PutU16(out, payload.size());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

RequestDecode DecodeRequest(std::span<const std::uint8_t> bytes) {
    RequestDecode result;
    const auto invalid = [&result](const char* why) {
        result.status = DecodeStatus::kInvalid;
        result.error = why;
        return result;
    };
    if (const char* error = CheckStart(bytes, kRequestMagic)) return invalid(error);
    if (bytes.size() < kRequestHeaderSize) return result;
    const std::size_t length = GetU16(bytes, kRequestLengthPos);
    if (length > kMaxPayload) return invalid("payload too long");
    if (bytes.size() < kRequestHeaderSize + length) return result;

    Request& request = result.request;
    request.type = bytes[kTypePos];
    request.id = GetU32(bytes, kIdPos);
    const Span payload = bytes.subspan(kRequestHeaderSize, length);
    switch (request.type) {
        case kHello: {
            const std::string address(payload.begin(), payload.end());
            request.payloadFits = AddressFits(address);
            if (request.payloadFits) request.address = address;
            break;
        }
        case kStartUpdate:
            request.payloadFits = payload.size() == kWordSize;
            if (request.payloadFits) request.argument = static_cast<std::int32_t>(GetU32(payload, 0));
            break;
        case kGetInfo:
        case kGetStatus:
        case kRequestReboot:
        case kGetOperationCode:
            request.payloadFits = payload.empty();
            break;
        default:
            break;  // unknown: answered with kUnknownType whatever it carries
    }
    result.status = DecodeStatus::kComplete;
    result.consumed = kRequestHeaderSize + length;
    return result;
}

ResponseDecode DecodeResponse(std::span<const std::uint8_t> bytes) {
    ResponseDecode result;
    const auto invalid = [&result](const char* why) {
        result.status = DecodeStatus::kInvalid;
        result.error = why;
        return result;
    };
    if (const char* error = CheckStart(bytes, kResponseMagic)) return invalid(error);
    if (bytes.size() > kResultPos && bytes[kResultPos] > kFailed) return invalid("unknown result code");
    if (bytes.size() < kResponseHeaderSize) return result;
    const std::size_t length = GetU16(bytes, kResponseLengthPos);
    if (length > kMaxPayload) return invalid("payload too long");

    Response& response = result.response;
    response.type = bytes[kTypePos];
    response.id = GetU32(bytes, kIdPos);
    response.result = bytes[kResultPos];

    std::size_t expected = 0;  // exact payload size, where the type fixes it
    bool sized = true;
    if (response.result == kOk) {
        switch (response.type) {
            case kHello:
            case kStartUpdate:
            case kRequestReboot:
                expected = kAnswerSize;
                break;
            case kGetStatus:
                expected = kStatusSize;
                break;
            case kGetOperationCode:
                expected = kWordSize;
                break;
            case kGetInfo:
                sized = false;
                break;
            default:
                return invalid("success for an unknown request type");
        }
    }
    if (sized && length != expected) return invalid("payload size does not fit the type");
    if (bytes.size() < kResponseHeaderSize + length) return result;

    const Span payload = bytes.subspan(kResponseHeaderSize, length);
    if (response.result == kOk) {
        switch (response.type) {
            case kHello:
            case kStartUpdate:
            case kRequestReboot:
            case kGetStatus:
                if (payload[0] > 1) return invalid("answer is neither 0 nor 1");
                response.answer = payload[0] == 1;
                if (response.type == kGetStatus) {
                    response.statusWord = GetU32(payload, kAnswerSize);
                    response.detailWord = GetU32(payload, kAnswerSize + kWordSize);
                }
                break;
            case kGetOperationCode:
                response.operationCode = static_cast<std::int32_t>(GetU32(payload, 0));
                break;
            case kGetInfo:
                response.info.assign(payload.begin(), payload.end());
                if (!InfoFits(response.info)) return invalid("info text holds a zero byte");
                break;
            default:
                break;
        }
    }
    result.status = DecodeStatus::kComplete;
    result.consumed = kResponseHeaderSize + length;
    return result;
}

}  // namespace ctl
