// The network seam over Winsock: TCP streams (connect with a time-out, no Nagle delay), UDP
// sockets for one peer, and IPv4 name resolution. Host names are converted with the thread's ANSI
// code page before resolution, as the system's resolver expects them.
#pragma once

#include "network/Network.h"

class WinsockNetwork final : public INetwork {
public:
    // Starts the socket library (version 2.2) for as long as the object lives.
    WinsockNetwork();
    ~WinsockNetwork() override;
    WinsockNetwork(const WinsockNetwork&) = delete;
    WinsockNetwork& operator=(const WinsockNetwork&) = delete;

    std::unique_ptr<IByteStream> NewStream() override;
    std::unique_ptr<IDatagramSocket> NewDatagramSocket() override;
    std::string ResolveIpv4(std::wstring_view host) override;

private:
    bool m_started = false;
};

// The process's instance; never destroyed, so that sockets used while the process ends (a panel
// transfer still blocked on its worker thread) keep a started socket library.
WinsockNetwork& ProcessNetwork();
