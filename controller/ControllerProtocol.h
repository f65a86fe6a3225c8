// The request/response protocol between the controller library and the printer, over TCP on
// kControllerPort. Frames are binary, big-endian, with fixed-size fields; see controller/README.md
// for the tables and a worked example.
//
// Request:  magic "CQ", version, type, request id (4), payload length (2), payload.
// Response: magic "CR", version, type (echoed), request id (echoed), result, payload length (2),
//           payload (empty unless the result is kOk).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ctl {

inline constexpr std::uint16_t kControllerPort = 9180;
inline constexpr std::uint8_t kProtocolVersion = 1;
inline constexpr std::uint8_t kRequestMagic[2] = {'C', 'Q'};
inline constexpr std::uint8_t kResponseMagic[2] = {'C', 'R'};
inline constexpr std::size_t kRequestHeaderSize = 10;
inline constexpr std::size_t kResponseHeaderSize = 11;
inline constexpr std::size_t kMaxPayload = 4096;
inline constexpr std::size_t kMaxAddress = 64;  // bytes of the HELLO address text

enum RequestType : std::uint8_t {
    kHello = 1,             // payload: the printer's address text; answer: reached
    kGetInfo = 2,           // answer: the information reply text
    kGetStatus = 3,         // answer: the library's answer, status word, detail word
    kStartUpdate = 4,       // payload: a signed 32-bit argument; answer: accepted
    kRequestReboot = 5,     // answer: accepted
    kGetOperationCode = 6,  // answer: a signed 32-bit operation code
};

enum Result : std::uint8_t {
    kOk = 0,
    kUnknownType = 1,   // the printer does not know the request type
    kBadRequest = 2,    // the payload does not fit the type
    kNotConnected = 3,  // a request other than HELLO before a HELLO that reached the printer
    kFailed = 4,        // the printer could not carry the request out
};

// True for the six request types above.
bool IsKnownRequestType(std::uint8_t type);

// A request. Only the fields of its type are encoded; a decoded request of an unknown type keeps
// its type and id (so that it can be answered with kUnknownType) and its payload is skipped.
struct Request {
    std::uint8_t type = 0;
    std::uint32_t id = 0;
    std::string address;        // kHello: 1..kMaxAddress bytes 0x21..0x7E
    std::int32_t argument = 0;  // kStartUpdate
    bool payloadFits = true;    // decoded: false when a known type came with a payload of the
                                // wrong form (to be answered with kBadRequest)
};

struct Response {
    std::uint8_t type = 0;
    std::uint32_t id = 0;
    std::uint8_t result = kOk;
    bool answer = false;               // kHello, kGetStatus, kStartUpdate, kRequestReboot
    std::string info;                  // kGetInfo: up to kMaxPayload bytes, no zero byte
    std::uint32_t statusWord = 0;      // kGetStatus
    std::uint32_t detailWord = 0;      // kGetStatus
    std::int32_t operationCode = 0;    // kGetOperationCode
};

// The wire bytes. Empty when a field is out of its bounds (an address of the wrong size or with
// other bytes, an info text too long or with a zero byte). A request of an unknown type goes out
// without payload; so does a response whose result is not kOk, or whose type is unknown.
std::vector<std::uint8_t> EncodeRequest(const Request& request);
std::vector<std::uint8_t> EncodeResponse(const Response& response);

enum class DecodeStatus {
    kComplete,  // a whole message is at the start of the input
    kNeedMore,  // everything so far is a valid beginning of a message
    kInvalid,   // the stream cannot be read any further: the peer should close the connection
};

struct RequestDecode {
    DecodeStatus status = DecodeStatus::kNeedMore;
    Request request;          // when complete
    std::size_t consumed = 0; // when complete: the message's size
    std::string error;        // when invalid
};

struct ResponseDecode {
    DecodeStatus status = DecodeStatus::kNeedMore;
    Response response;
    std::size_t consumed = 0;
    std::string error;
};

// Strict incremental decoders: `bytes` are all bytes received since the previous message ended.
// Magic, version and the payload length bound are checked as soon as their bytes are there, so a
// broken stream is kInvalid at once. A request whose framing is sound is complete even when its
// type is unknown (payload skipped) or its payload does not fit its type (payloadFits false): the
// stream stays in step and the printer answers with an error result. A response must be exact:
// a known result code, no payload unless kOk, and for kOk exactly the payload of its type (an
// answer byte of 0 or 1, an info text without zero bytes). Never reads past `bytes`.
RequestDecode DecodeRequest(std::span<const std::uint8_t> bytes);
ResponseDecode DecodeResponse(std::span<const std::uint8_t> bytes);

}  // namespace ctl
