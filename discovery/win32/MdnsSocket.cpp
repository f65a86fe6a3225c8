// The mDNS sockets, their notification window, the listening phase and the local addresses.
#include "discovery/win32/MdnsSocket.h"

#include <iphlpapi.h>
#include <ws2tcpip.h>

#include <cstring>
#include <map>

#include "common/win32/CodePage.h"

namespace {

constexpr UINT kSocketNotify = WM_APP + 0x53;
constexpr long kNotifyMask = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;  // 0x3F
static_assert(kNotifyMask == 0x3F);

// Sockets of this thread by handle, for the notification window.
std::map<SOCKET, CMDNSSocket*>& Registered() {
    static std::map<SOCKET, CMDNSSocket*> sockets;
    return sockets;
}

LRESULT CALLBACK NotifyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != kSocketNotify) return ::DefWindowProcW(window, message, wParam, lParam);
    const auto found = Registered().find(static_cast<SOCKET>(wParam));
    if (found == Registered().end()) return 0;
    const int error = WSAGETSELECTERROR(lParam);
    switch (WSAGETSELECTEVENT(lParam)) {
        case FD_READ: found->second->OnReceive(error); break;
        case FD_WRITE: found->second->OnSend(error); break;
        default: break;
    }
    return 0;
}

// The message-only window that receives the socket notifications; made on first use.
HWND NotifyWindow() {
    static HWND window = [] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = NotifyProc;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"CorvaneMdnsNotify";
        ::RegisterClassExW(&windowClass);
        return ::CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 windowClass.hInstance, nullptr);
    }();
    return window;
}

sockaddr_in GroupAddress(std::uint32_t group) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = ::htons(kMdnsPort);
    to.sin_addr.s_addr = group;
    return to;
}

// The local address as the system's resolver takes it: ANSI text, at most 15 characters.
std::uint32_t LocalAddress(const std::wstring& text) {
    const std::string ansi = WideToCodePage(CP_ACP, text).substr(0, 15);
    return ::inet_addr(ansi.c_str());
}

}  // namespace

CMDNSSocket::~CMDNSSocket() { Close(); }

void CMDNSSocket::Close() {
    if (!m_bCreated) return;
    if (m_socket != INVALID_SOCKET) {
        Registered().erase(m_socket);
        ::closesocket(m_socket);
        m_socket = INVALID_SOCKET;
    }
    m_bCreated = FALSE;
}

BOOL CMDNSSocket::Setup() {
    m_nPendingLen = 0;
    m_dwGroup = ::inet_addr(kMdnsGroup);

    m_bCreated = TRUE;
    const HWND window = NotifyWindow();
    m_socket = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (m_socket == INVALID_SOCKET) return FALSE;
    Registered()[m_socket] = this;
    if (!window || ::WSAAsyncSelect(m_socket, window, kSocketNotify, kNotifyMask) != 0) return FALSE;

    const int reuse = 1;
    if (::setsockopt(m_socket, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse) != 0) {
        return FALSE;
    }
    const std::uint32_t local = LocalAddress(m_strAddress);
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_port = ::htons(kMdnsPort);
    self.sin_addr.s_addr = local;
    if (::bind(m_socket, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0) return FALSE;

    in_addr outgoing{};
    outgoing.s_addr = local;
    if (::setsockopt(m_socket, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&outgoing),
                     sizeof outgoing) != 0) {
        return FALSE;
    }
    const int loop = 0;
    if (::setsockopt(m_socket, IPPROTO_IP, IP_MULTICAST_LOOP, reinterpret_cast<const char*>(&loop), sizeof loop) != 0) {
        return FALSE;
    }
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = m_dwGroup;
    membership.imr_interface.s_addr = local;
    if (::setsockopt(m_socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&membership),
                     sizeof membership) != 0) {
        return FALSE;
    }
    return TRUE;
}

bool CMDNSSocket::SendPending() {
    const sockaddr_in to = GroupAddress(m_dwGroup);
    const int sent = ::sendto(m_socket, reinterpret_cast<const char*>(m_sendBuf.data()), m_nPendingLen, 0,
                              reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (sent == SOCKET_ERROR) return false;  // stays pending: OnSend tries again
    m_nPendingLen = 0;
    return true;
}

void CMDNSSocket::SendQueryMessage() {
    if (m_nPendingLen > 0) return;
    m_sendBuf.fill(0);
    const MdnsQuery query = BuildQuery(static_cast<std::uint16_t>(::GetTickCount() & 0xFFFF));
    std::memcpy(m_sendBuf.data(), query.data(), query.size());
    m_nPendingLen = static_cast<int>(query.size());
    SendPending();
}

void CMDNSSocket::OnSend(int) {
    if (m_nPendingLen > 0) SendPending();
}

void CMDNSSocket::OnReceive(int) {
    m_recvBuf.fill(0);
    m_from.fill(0);
    sockaddr_in from{};
    int fromSize = sizeof from;
    const int received = ::recvfrom(m_socket, reinterpret_cast<char*>(m_recvBuf.data()),
                                    static_cast<int>(m_recvBuf.size()), 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (received == SOCKET_ERROR) return;  // nothing there, or longer than the buffer
    static_assert(sizeof from == kSocketAddressSize);
    std::memcpy(m_from.data(), &from, sizeof from);
    const std::wstring source = CodePageToWide(CP_THREAD_ACP, ::inet_ntoa(from.sin_addr));
    m_receiver.OnDatagram(m_recvBuf, received, m_from, source, ProcessLastDatagram());
}

void CMDNSSearch::EnumLocalAddresses() {
    ULONG size = 0;
    if (::GetIpAddrTable(nullptr, &size, TRUE) != ERROR_INSUFFICIENT_BUFFER) return;
    std::vector<std::uint8_t> buffer(size);
    auto* table = reinterpret_cast<MIB_IPADDRTABLE*>(buffer.data());
    if (::GetIpAddrTable(table, &size, TRUE) != NO_ERROR) return;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPADDRROW& row = table->table[i];
        MIB_IFROW interfaceRow{};
        interfaceRow.dwIndex = row.dwIndex;
        if (::GetIfEntry(&interfaceRow) != NO_ERROR) continue;
        in_addr address{};
        address.s_addr = row.dwAddr;
        const std::wstring text = CodePageToWide(CP_ACP, ::inet_ntoa(address));
        if (text == L"127.0.0.1" || text == L"0.0.0.0") continue;
        m_addresses.push_back(text);
    }
}

BOOL CMDNSSearch::Run() {
    std::vector<std::unique_ptr<CMDNSSocket>> sockets;
    for (const std::wstring& address : m_addresses) {
        sockets.push_back(std::make_unique<CMDNSSocket>());
        CMDNSSocket& socket = *sockets.back();
        socket.m_strAddress = address;
        // One address that cannot take part ends the whole search: no further query, no wait.
        if (!socket.Setup()) return FALSE;
        socket.SendQueryMessage();
    }

    // Every message of the thread is dispatched, socket notifications among them, until the phase
    // is over; between messages the thread sleeps until the next one or the end of the phase.
    const DWORD start = ::GetTickCount();
    bool quit = false;
    WPARAM quitCode = 0;
    for (;;) {
        const DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= m_dwTimeout) break;
        MSG message;
        if (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                quit = true;  // handed back to the thread's own loop after the phase
                quitCode = message.wParam;
            } else if (!::IsDialogMessageW(nullptr, &message)) {
                ::TranslateMessage(&message);
                ::DispatchMessageW(&message);
            }
            continue;
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, m_dwTimeout - elapsed, QS_ALLINPUT);
    }
    if (quit) ::PostQuitMessage(static_cast<int>(quitCode));

    for (auto& socket : sockets) socket->Close();
    for (const auto& socket : sockets) {
        for (const CMDNSService& service : socket->Services()) KeyedAdd(m_services, service);
    }
    return TRUE;
}
