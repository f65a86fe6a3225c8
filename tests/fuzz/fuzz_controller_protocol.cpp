// Byte streams to both ends of the controller protocol. A complete message must be the exact
// encoding of what was decoded from it (requests whose payload did not fit their type aside).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "controller/ControllerProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);

    const ctl::RequestDecode request = ctl::DecodeRequest(bytes);
    if (request.status == ctl::DecodeStatus::kComplete) {
        if (request.consumed > size) __builtin_trap();
        if (ctl::IsKnownRequestType(request.request.type) && request.request.payloadFits) {
            const auto encoded = ctl::EncodeRequest(request.request);
            if (encoded.size() != request.consumed || !std::equal(encoded.begin(), encoded.end(), data)) {
                __builtin_trap();
            }
        }
    } else if (request.status == ctl::DecodeStatus::kInvalid && request.error.empty()) {
        __builtin_trap();
    }

    const ctl::ResponseDecode response = ctl::DecodeResponse(bytes);
    if (response.status == ctl::DecodeStatus::kComplete) {
        const auto encoded = ctl::EncodeResponse(response.response);
        if (encoded.size() != response.consumed || response.consumed > size ||
            !std::equal(encoded.begin(), encoded.end(), data)) {
            __builtin_trap();
        }
    } else if (response.status == ctl::DecodeStatus::kInvalid && response.error.empty()) {
        __builtin_trap();
    }
    return 0;
}
