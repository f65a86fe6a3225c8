// A TCP listener on 127.0.0.1 and a port the system picks, for tests that play the peer.
#pragma once

#include <winsock2.h>

#include "common/win32/UniqueHandle.h"

// Listening with `backlog`; `address` gets the port. An invalid socket when it cannot listen.
inline UniqueSocket ListenOnLoopback(int backlog, sockaddr_in& address) {
    UniqueSocket listener(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    if (!listener || ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.get(), backlog) != 0 ||
        ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return UniqueSocket();
    }
    return listener;
}
