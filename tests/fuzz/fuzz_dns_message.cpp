// The DNS message codec on whole datagrams.
#include <cstddef>
#include <cstdint>

#include "discovery/DnsMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    dns::ParseMessage(data, size);
    return 0;
}
