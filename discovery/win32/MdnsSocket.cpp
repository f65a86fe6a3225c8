// The mDNS sockets, the notification window of each search, the listening phase and the local
// addresses.
#include "discovery/win32/MdnsSocket.h"

#include <iphlpapi.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstring>

#include "common/win32/CodePage.h"

namespace {

constexpr UINT kSocketNotify = WM_APP + 0x53;
constexpr long kNotifyMask = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;  // 0x3F
static_assert(kNotifyMask == 0x3F);
constexpr wchar_t kNotifyClass[] = L"CorvaneMdnsNotify";

// What a search's notification window reaches through its user data: the search's sockets and
// its copy of the last datagram decoded.
struct Listeners {
    std::vector<std::unique_ptr<CMDNSSocket>> sockets;
    LastDatagram last;
};

LRESULT CALLBACK NotifyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != kSocketNotify) return ::DefWindowProcW(window, message, wParam, lParam);
    auto* listeners = reinterpret_cast<Listeners*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!listeners) return 0;
    for (const auto& socket : listeners->sockets) {
        // A notification still queued for a socket that has gone matches none.
        if (socket->Handle() != static_cast<SOCKET>(wParam)) continue;
        const int error = WSAGETSELECTERROR(lParam);
        switch (WSAGETSELECTEVENT(lParam)) {
            case FD_READ: socket->OnReceive(error, listeners->last); break;
            case FD_WRITE: socket->OnSend(error); break;
            default: break;
        }
        break;
    }
    return 0;
}

// The window of one search, destroyed on the thread that made it when the search ends. It no
// longer reaches the search's sockets by then; a notification still queued for it is dropped by
// the thread's own loop. (Not taken out of the queue here: PeekMessage hands over WM_QUIT
// whatever its filter says, and the quit the listening phase handed back would be lost.)
struct WindowTraits {
    using Handle = HWND;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle window) noexcept {
        ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        ::DestroyWindow(window);
    }
};
using UniqueWindow = UniqueHandle<WindowTraits>;

// A message-only window of the calling thread for the socket notifications of one search.
UniqueWindow MakeNotifyWindow() {
    static const ATOM registered = [] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = NotifyProc;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kNotifyClass;
        return ::RegisterClassExW(&windowClass);
    }();
    if (!registered) return UniqueWindow();
    return UniqueWindow(::CreateWindowExW(0, kNotifyClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                          ::GetModuleHandleW(nullptr), nullptr));
}

bool Signalled(HANDLE stop) { return stop && ::WaitForSingleObject(stop, 0) == WAIT_OBJECT_0; }

// Addresses are the caller's text: only printable ASCII goes into a diagnostic line.
std::string Printable(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text.substr(0, 64)) out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    return out;
}

void ReportLeftOut(const CMDNSSocket& socket) {
    std::fprintf(stderr, "mDNS search: %s left out: %s failed, error %d\n", Printable(socket.m_strAddress).c_str(),
                 socket.FailedStep(), socket.SetupError());
    std::fflush(stderr);
}

// Every message of the thread is dispatched, socket notifications among them, until `timeout`
// has passed; between messages the thread sleeps until the next one, the stop event or the end
// of the phase. False as soon as `stop` is signalled.
bool Listen(DWORD timeout, HANDLE stop) {
    const DWORD start = ::GetTickCount();
    bool stopped = false;
    bool quit = false;
    WPARAM quitCode = 0;
    for (;;) {
        // Looked at before each message too: a steady stream of them never lets the wait below
        // see the event.
        if (Signalled(stop)) {
            stopped = true;
            break;
        }
        const DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= timeout) break;
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
        const DWORD woke = ::MsgWaitForMultipleObjects(stop ? 1 : 0, &stop, FALSE, timeout - elapsed, QS_ALLINPUT);
        if (stop && woke == WAIT_OBJECT_0) {
            stopped = true;
            break;
        }
    }
    if (quit) ::PostQuitMessage(static_cast<int>(quitCode));
    return !stopped;
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

void CMDNSSocket::Close() { m_socket.reset(); }

BOOL CMDNSSocket::Fail(const char* step) {
    m_failedStep = step;
    m_nSetupError = ::WSAGetLastError();
    Close();
    return FALSE;
}

BOOL CMDNSSocket::Setup(HWND window) {
    m_nPendingLen = 0;
    m_failedStep = nullptr;
    m_nSetupError = 0;
    m_dwGroup = ::inet_addr(kMdnsGroup);

    m_socket.reset(::socket(AF_INET, SOCK_DGRAM, 0));
    if (!m_socket) return Fail("socket");
    if (::WSAAsyncSelect(m_socket.get(), window, kSocketNotify, kNotifyMask) != 0) return Fail("WSAAsyncSelect");

    const int reuse = 1;
    if (::setsockopt(m_socket.get(), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse) !=
        0) {
        return Fail("SO_REUSEADDR");
    }
    const std::uint32_t local = LocalAddress(m_strAddress);
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_port = ::htons(kMdnsPort);
    self.sin_addr.s_addr = local;
    if (::bind(m_socket.get(), reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0) return Fail("bind");

    in_addr outgoing{};
    outgoing.s_addr = local;
    if (::setsockopt(m_socket.get(), IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&outgoing),
                     sizeof outgoing) != 0) {
        return Fail("IP_MULTICAST_IF");
    }
    const int loop = 0;
    if (::setsockopt(m_socket.get(), IPPROTO_IP, IP_MULTICAST_LOOP, reinterpret_cast<const char*>(&loop),
                     sizeof loop) != 0) {
        return Fail("IP_MULTICAST_LOOP");
    }
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = m_dwGroup;
    membership.imr_interface.s_addr = local;
    if (::setsockopt(m_socket.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&membership),
                     sizeof membership) != 0) {
        return Fail("IP_ADD_MEMBERSHIP");
    }
    return TRUE;
}

bool CMDNSSocket::SendPending() {
    const sockaddr_in to = GroupAddress(m_dwGroup);
    const int sent = ::sendto(m_socket.get(), reinterpret_cast<const char*>(m_sendBuf.data()), m_nPendingLen, 0,
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
    if (m_nPendingLen > 0 && m_socket) SendPending();
}

void CMDNSSocket::OnReceive(int, LastDatagram& last) {
    if (!m_socket) return;
    m_recvBuf.fill(0);
    m_from.fill(0);
    sockaddr_in from{};
    int fromSize = sizeof from;
    int received = ::recvfrom(m_socket.get(), reinterpret_cast<char*>(m_recvBuf.data()),
                              static_cast<int>(m_recvBuf.size()), 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (received == SOCKET_ERROR) {
        // A datagram longer than the buffer fills it with its first bytes and is said to be too
        // long; the records that lie wholly in those bytes are read (an answer's PTR and SRV come
        // first), the rest is lost. Anything else means nothing was there.
        if (::WSAGetLastError() != WSAEMSGSIZE) return;
        received = static_cast<int>(m_recvBuf.size());
    }
    static_assert(sizeof from == kSocketAddressSize);
    std::memcpy(m_from.data(), &from, sizeof from);
    const std::wstring source = CodePageToWide(CP_THREAD_ACP, ::inet_ntoa(from.sin_addr));
    m_receiver.OnDatagram(m_recvBuf, received, m_from, source, last);
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

BOOL CMDNSSearch::Run(HANDLE stop) {
    if (Signalled(stop)) return FALSE;
    const UniqueWindow window = MakeNotifyWindow();
    if (!window && !m_addresses.empty()) {
        std::fprintf(stderr, "mDNS search: no notification window, error %lu\n", ::GetLastError());
        std::fflush(stderr);
        return FALSE;
    }
    // Declared after the window: the sockets close before it goes.
    Listeners listeners;
    if (window) ::SetWindowLongPtrW(window.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&listeners));

    for (const std::wstring& address : m_addresses) {
        if (Signalled(stop)) return FALSE;
        auto socket = std::make_unique<CMDNSSocket>();
        socket->m_strAddress = address;
        // One adapter that cannot take part (no link, no group, its port held) leaves the others
        // to be searched.
        if (!socket->Setup(window.get())) {
            ReportLeftOut(*socket);
            continue;
        }
        listeners.sockets.push_back(std::move(socket));
        listeners.sockets.back()->SendQueryMessage();
    }
    if (!m_addresses.empty() && listeners.sockets.empty()) return FALSE;

    if (!Listen(m_dwTimeout, stop)) return FALSE;

    for (auto& socket : listeners.sockets) socket->Close();
    for (const auto& socket : listeners.sockets) {
        for (const CMDNSService& service : socket->Services()) KeyedAdd(m_services, service);
    }
    return TRUE;
}
