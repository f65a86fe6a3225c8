// The mDNS search on Winsock: one UDP socket per local IPv4 address, bound to port 5353 and joined
// to 224.0.0.251, whose notifications (WSAAsyncSelect) arrive as messages of a message-only
// window that each search makes on the thread that runs it; the search sends one query per
// address and dispatches the thread's messages for the listening phase.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "common/win32/UniqueHandle.h"
#include "discovery/MdnsSearch.h"

class CMDNSSocket {
public:
    CMDNSSocket() = default;
    ~CMDNSSocket();
    CMDNSSocket(const CMDNSSocket&) = delete;
    CMDNSSocket& operator=(const CMDNSSocket&) = delete;

    // Creates the socket for m_strAddress: notifications to `window`, SO_REUSEADDR, bound to the
    // address and port 5353, multicast out of that address without loopback, member of the group.
    // FALSE at the first step that fails, which FailedStep and SetupError then name.
    BOOL Setup(HWND window);
    // Builds the query and sends it once; a send that fails leaves it pending for OnSend.
    void SendQueryMessage();
    void Close();

    // Socket notifications; the error argument is not looked at. `last` is the search's copy of
    // the last datagram decoded.
    void OnReceive(int error, LastDatagram& last);
    void OnSend(int error);

    SOCKET Handle() const { return m_socket.get(); }
    const char* FailedStep() const { return m_failedStep; }
    int SetupError() const { return m_nSetupError; }
    const std::vector<CMDNSService>& Services() const { return m_receiver.Services(); }
    bool IsQueryPending() const { return m_nPendingLen > 0; }

    std::wstring m_strAddress;

private:
    bool SendPending();
    BOOL Fail(const char* step);

    std::uint32_t m_dwGroup = 0;
    SocketAddressBytes m_from{};
    ReceiveBuffer m_recvBuf{};
    ReceiveBuffer m_sendBuf{};
    int m_nPendingLen = 0;
    const char* m_failedStep = nullptr;
    int m_nSetupError = 0;
    UniqueSocket m_socket;
    MdnsReceiver m_receiver;
};

class CMDNSSearch {
public:
    static constexpr DWORD kDefaultTimeoutMs = 2000;

    // The usable local IPv4 addresses, in the order of the system's sorted address table.
    void EnumLocalAddresses();

    // One query per address, then `m_dwTimeout` of dispatching this thread's messages, then the
    // merge of what each socket heard, in address order, a later socket's entry replacing an
    // earlier one's. Any thread may run a search, several at once; the notification window is
    // made on the calling thread and destroyed again before Run returns.
    //
    // An address whose socket cannot be set up is left out, with one line on standard error
    // naming it, the step that failed and the Winsock error; the others are searched as usual.
    // FALSE, at once and with no listening phase, when addresses were given and not one socket
    // could be set up (no addresses at all still listen for the whole phase, and give TRUE).
    //
    // `stop`, when given, is an event that ends the search early: once it is signalled, during
    // set-up or the listening phase, the sockets are closed and Run returns FALSE within a few
    // milliseconds with nothing merged. Run waits on it with its wait functions, so an auto-reset
    // event is reset by being seen; a manual-reset event stays signalled.
    BOOL Run(HANDLE stop = nullptr);

    void AddCandidates(CPrinterInfoList& list, const IModelInfo* models) const {
        ::AddCandidates(m_services, list, models);
    }

    std::vector<std::wstring> m_addresses;
    DWORD m_dwTimeout = kDefaultTimeoutMs;
    std::vector<CMDNSService> m_services;
};
