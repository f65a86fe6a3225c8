// IPv4 addresses as the sockets API holds them: 32 bits in network byte order, the first octet at
// the lowest address whatever the machine's byte order. The printer port keeps its printer's
// address this way and hands the library, SNMP and TCP the dotted text.
#pragma once

#include <cstdint>
#include <string>

// The address of the octets a.b.c.d, in network byte order.
std::uint32_t Ipv4NetworkOrder(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);

// "a.b.c.d" in decimal, without leading zeros (what inet_ntoa gives).
std::string DottedIpv4(std::uint32_t networkOrder);
