// The printer's status object read with one SNMP v1 GET: the maker's community first, then the
// default one, each given 200 ms and no retry. Both ports use it: the printer port with the
// printer's address, the panel port with its host resolved first.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/Clock.h"
#include "network/Network.h"

inline constexpr std::uint32_t kSnmpAttemptTimeoutMs = 200;

// Asks the agent at dotted IPv4 `agent` for the status object. True when an answer came; `text`
// then holds the value's octets (text in the system's ANSI code page), or nothing when the answer
// carried an error or a value of another type. On failure `text` is left as it was.
bool QuerySnmpStatus(INetwork& network, IClock& clock, std::string_view agent, std::string& text);
