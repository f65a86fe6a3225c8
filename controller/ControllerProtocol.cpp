// The controller protocol's frames.
#include "controller/ControllerProtocol.h"

namespace ctl {

bool IsKnownRequestType(std::uint8_t type) { return type >= kHello && type <= kGetOperationCode; }
std::vector<std::uint8_t> EncodeRequest(const Request&) { return {}; }
std::vector<std::uint8_t> EncodeResponse(const Response&) { return {}; }
RequestDecode DecodeRequest(std::span<const std::uint8_t>) { return {}; }
ResponseDecode DecodeResponse(std::span<const std::uint8_t>) { return {}; }

}  // namespace ctl
