// The network seam over POSIX sockets, so that native tests can run the port logic against the
// real printer simulator on loopback. Error numbers are mapped to their Winsock equivalents.
#pragma once

#include "network/Network.h"

class PosixNetwork final : public INetwork {
public:
    std::unique_ptr<IByteStream> NewStream() override;
    std::unique_ptr<IDatagramSocket> NewDatagramSocket() override;
    std::string ResolveIpv4(std::wstring_view host) override;
};
