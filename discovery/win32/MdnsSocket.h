// The mDNS search on Winsock: one UDP socket per local IPv4 address, bound to port 5353 and joined
// to 224.0.0.251, whose notifications (WSAAsyncSelect) arrive as messages of a message-only
// window of the user-interface thread; the search sends one query per address and dispatches the
// thread's messages for the listening phase.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "discovery/MdnsSearch.h"

class CMDNSSocket {
public:
    CMDNSSocket() = default;
    ~CMDNSSocket();
    CMDNSSocket(const CMDNSSocket&) = delete;
    CMDNSSocket& operator=(const CMDNSSocket&) = delete;

    // Creates the socket for m_strAddress: notifications, SO_REUSEADDR, bound to the address and
    // port 5353, multicast out of that address without loopback, member of the group. FALSE at
    // the first step that fails.
    BOOL Setup();
    // Builds the query and sends it once; a send that fails leaves it pending for OnSend.
    void SendQueryMessage();
    void Close();

    // Socket notifications; the error argument is not looked at.
    void OnReceive(int error);
    void OnSend(int error);

    const std::vector<CMDNSService>& Services() const { return m_receiver.Services(); }
    bool IsQueryPending() const { return m_nPendingLen > 0; }

    std::wstring m_strAddress;

private:
    bool SendPending();

    std::uint32_t m_dwGroup = 0;
    SocketAddressBytes m_from{};
    ReceiveBuffer m_recvBuf{};
    ReceiveBuffer m_sendBuf{};
    int m_nPendingLen = 0;
    BOOL m_bCreated = FALSE;
    SOCKET m_socket = INVALID_SOCKET;
    MdnsReceiver m_receiver;
};

class CMDNSSearch {
public:
    static constexpr DWORD kDefaultTimeoutMs = 2000;

    // The usable local IPv4 addresses, in the order of the system's sorted address table.
    void EnumLocalAddresses();

    // One query per address, then `m_dwTimeout` of dispatching this thread's messages, then the
    // merge. FALSE, at once and with nothing merged, when a socket cannot be set up.
    BOOL Run();

    void AddCandidates(CPrinterInfoList& list, const IModelInfo* models) const {
        ::AddCandidates(m_services, list, models);
    }

    std::vector<std::wstring> m_addresses;
    DWORD m_dwTimeout = kDefaultTimeoutMs;
    std::vector<CMDNSService> m_services;
};
