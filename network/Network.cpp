// Helpers over the network seam.
#include "network/Network.h"

bool SendAll(IByteStream& stream, const std::uint8_t* data, std::size_t size) {
    std::size_t sent = 0;
    while (sent < size) {
        const int n = stream.Send(data + sent, size - sent);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}
