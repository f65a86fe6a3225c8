// Dotted text of an address in network byte order, independent of the machine's byte order.
#include "ports/Ipv4Address.h"

#include <cstring>

std::uint32_t Ipv4NetworkOrder(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    const std::uint8_t octets[4] = {a, b, c, d};
    std::uint32_t address = 0;
    std::memcpy(&address, octets, sizeof address);
    return address;
}

std::string DottedIpv4(std::uint32_t networkOrder) {
    std::uint8_t octets[4];
    std::memcpy(octets, &networkOrder, sizeof octets);
    std::string text;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) text.push_back('.');
        text += std::to_string(octets[i]);
    }
    return text;
}
