// The TLS socket: connection, handshake, records both ways, close.
#include "common/tls/ClientSocket.h"

#include <ws2tcpip.h>
#define SCHANNEL_USE_BLACKLISTS
#include <winternl.h>
#include <schannel.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "common/tls/Common.h"

namespace Tls {
namespace {

constexpr wchar_t kStateError[] = L"ステータス異常";
constexpr ULONG kContextRequirements = ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT | ISC_REQ_CONFIDENTIALITY |
                                       ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_EXTENDED_ERROR | ISC_REQ_STREAM |
                                       ISC_REQ_MANUAL_CRED_VALIDATION;
static_assert(kContextRequirements == 0x8C11C);
constexpr DWORD kCredentialFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
static_assert(kCredentialFlags == 0x400018);

constexpr int kShutdownDrainReads = 16;
constexpr int kShutdownDrainBytes = 16;
constexpr int kShutdownTokenRounds = 8;  // a close needs one round; never loop without end
constexpr std::uint8_t kAlertRecord = 21;  // TLS record content type
// Encrypted records that go out together with one SendAll: about 128 KB.
constexpr std::size_t kRecordsPerSend = 8;
// No TLS record is this large: a peer whose bytes never make one whole record is not a TLS peer.
constexpr std::size_t kLargestCipherInput = 1 << 20;

bool IsZero(const CtxtHandle& handle) { return handle.dwLower == 0 && handle.dwUpper == 0; }

int Clamp(std::size_t size) { return static_cast<int>(std::min<std::size_t>(size, 0x7FFFFFFF)); }

SecBuffer Buffer(unsigned long type, void* data = nullptr, std::size_t size = 0) {
    return SecBuffer{static_cast<unsigned long>(size), type, data};
}

const SecBuffer* FindBuffer(const SecBuffer* buffers, int count, unsigned long type) {
    for (int i = 0; i < count; ++i) {
        if (buffers[i].BufferType == type) return &buffers[i];
    }
    return nullptr;
}

bool MakeAddress(const wchar_t* host, u_short port, sockaddr_in& address) {
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(port);
    return host && ::InetPtonW(AF_INET, host, &address.sin_addr) == 1;
}

bool SetBlocking(SOCKET socket, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    return ::ioctlsocket(socket, FIONBIO, &nonBlocking) == 0;
}

timeval Timeval(ULONGLONG ms) {
    return timeval{static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
}

// What is left of the time until `end`, 0 once it has passed.
ULONGLONG Left(ULONGLONG end) {
    const ULONGLONG now = ::GetTickCount64();
    return end > now ? end - now : 0;
}

}  // namespace

// The security package is loaded on first use and kept for the process: loading it sets up every
// provider the system has, which a run that never speaks TLS should not pay for at its start.
PSecurityFunctionTableW SecurityInterface() {
    static const PSecurityFunctionTableW table = [] () -> PSecurityFunctionTableW {
        const HMODULE module = ::LoadLibraryW(L"secur32.dll");
        if (!module) return nullptr;
        const auto init = reinterpret_cast<INIT_SECURITY_INTERFACE_W>(
            reinterpret_cast<void (*)()>(::GetProcAddress(module, "InitSecurityInterfaceW")));
        return init ? init() : nullptr;
    }();
    return table;
}

ClientSocket::ClientSocket(PSecurityFunctionTableW table) : m_sspi(table ? table : SecurityInterface()) {
    WSADATA data{};
    const int started = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (started != 0) {
        TLS_REPORT("Tls::ClientSocket::ClientSocket", Hex(L"WSAStartup : ", started));
        return;
    }
    m_session = std::shared_ptr<void>(nullptr, [](void*) {
        if (::WSACleanup() != 0) {
            TLS_REPORT("Tls::ClientSocket::ClientSocket/session release", Decimal(L"WSACleanup : ", ::WSAGetLastError()));
        }
    });

    const SOCKET handle = ::socket(AF_INET, SOCK_STREAM, 0);
    if (handle == INVALID_SOCKET) {
        TLS_REPORT("Tls::ClientSocket::ClientSocket", Decimal(L"socket : ", ::WSAGetLastError()));
        return;
    }
    m_socket = std::shared_ptr<SOCKET>(new SOCKET(handle), [](SOCKET* s) {
        if (::closesocket(*s) != 0) {
            TLS_REPORT("Tls::ClientSocket::ClientSocket/socket release", Decimal(L"closesocket : ", ::WSAGetLastError()));
        }
        delete s;
    });

    m_credentials = AcquireCredentials();
    if (m_credentials) {
        m_nState = kReady;
    } else {
        TLS_REPORT("Tls::ClientSocket::ClientSocket", L"AcquireCredentials");
    }
}

ClientSocket::~ClientSocket() = default;

SOCKET ClientSocket::Handle() const { return m_socket ? *m_socket : INVALID_SOCKET; }

std::shared_ptr<CredHandle> ClientSocket::AcquireCredentials() {
    if (!m_sspi) {
        TLS_REPORT("Tls::ClientSocket::AcquireCredentials", Hex(L"AcquireCredentialsHandle : ", SEC_E_SECPKG_NOT_FOUND));
        return nullptr;
    }
    SCH_CREDENTIALS credentials{};
    credentials.dwVersion = SCH_CREDENTIALS_VERSION;
    credentials.dwFlags = kCredentialFlags;

    CredHandle handle{};
    TimeStamp expiry{};
    wchar_t package[] = UNISP_NAME_W;
    const SECURITY_STATUS status = m_sspi->AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr,
                                                                     &credentials, nullptr, nullptr, &handle, &expiry);
    if (status < 0) {
        TLS_REPORT("Tls::ClientSocket::AcquireCredentials", Hex(L"AcquireCredentialsHandle : ", status));
        return nullptr;
    }
    const PSecurityFunctionTableW sspi = m_sspi;
    return std::shared_ptr<CredHandle>(new CredHandle(handle), [sspi](CredHandle* h) {
        const SECURITY_STATUS freed = sspi->FreeCredentialsHandle(h);
        if (freed < 0) {
            TLS_REPORT("Tls::ClientSocket::AcquireCredentials/credentials release",
                       Hex(L"FreeCredentialsHandle : ", freed));
        }
        delete h;
    });
}

int ClientSocket::Connect(const wchar_t* host, u_short port) {
    if (m_nState != kReady) {
        TLS_REPORT("Tls::ClientSocket::Connect", kStateError);
        return -1;
    }
    sockaddr_in address{};
    if (!MakeAddress(host, port, address)) {
        TLS_REPORT("Tls::ClientSocket::Connect", Decimal(L"InetPton : ", ::WSAGetLastError()));
        return -1;
    }
    if (::connect(*m_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        TLS_REPORT("Tls::ClientSocket::Connect", Decimal(L"connect : ", ::WSAGetLastError()));
        return -1;
    }
    m_nState = kHandshaking;
    if (Negotiate() != 0) {
        TLS_REPORT("Tls::ClientSocket::Connect", L"Negotiate");
        return -1;
    }
    return 0;
}

int ClientSocket::ConnectWithTimeout(const wchar_t* host, DWORD timeoutMs, u_short port) {
    if (m_nState != kReady) {
        TLS_REPORT("Tls::ClientSocket::ConnectWithTimeout", kStateError);
        return -1;
    }
    const SOCKET socket = *m_socket;
    if (!SetBlocking(socket, false)) {
        TLS_REPORT("Tls::ClientSocket::ConnectWithTimeout", Decimal(L"ioctlsocket : ", ::WSAGetLastError()));
        return -1;
    }
    // Every way out of the connection attempt leaves the socket blocking again.
    std::shared_ptr<void> restoreBlocking(nullptr, [socket](void*) {
        if (!SetBlocking(socket, true)) {
            TLS_REPORT("Tls::ClientSocket::ConnectWithTimeout/blocking mode release",
                       Decimal(L"ioctlsocket : ", ::WSAGetLastError()));
        }
    });

    sockaddr_in address{};
    if (!MakeAddress(host, port, address)) {
        TLS_REPORT("Tls::ClientSocket::ConnectWithTimeout", Decimal(L"InetPton : ", ::WSAGetLastError()));
        return -1;
    }
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        ::WSAGetLastError() != WSAEWOULDBLOCK) {
        TLS_REPORT("Tls::ClientSocket::ConnectWithTimeout", Decimal(L"connect : ", ::WSAGetLastError()));
        return -1;
    }
    restoreBlocking.reset();

    // A refused connection shows as an exception on Windows and as writable elsewhere: watch
    // both, and read the outcome, so that a refusal is never mistaken for a slow peer or for a
    // connection.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket, &writable);
    FD_SET(socket, &failed);
    timeval timeout{static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000)};
    const int ready = ::select(0, nullptr, &writable, &failed, &timeout);
    if (ready == SOCKET_ERROR) {
        TLS_REPORT("Tls::ClientSocket::ConnectWithTimeout", Decimal(L"select : ", ::WSAGetLastError()));
        return -1;
    }
    if (ready == 0) {
        TLS_REPORT("Tls::ClientSocket::ConnectWithTimeout", L"connect : timeout");
        ::WSASetLastError(WSAETIMEDOUT);
        return -1;
    }
    int pending = 0;
    int pendingSize = sizeof pending;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &pendingSize) != 0) {
        pending = ::WSAGetLastError();
    }
    if (pending == 0 && !FD_ISSET(socket, &writable)) pending = WSAECONNREFUSED;
    if (pending != 0) {
        TLS_REPORT("Tls::ClientSocket::ConnectWithTimeout", Decimal(L"connect : ", pending));
        ::WSASetLastError(pending);
        return -1;
    }

    m_nState = kHandshaking;
    if (Negotiate() != 0) {
        TLS_REPORT("Tls::ClientSocket::ConnectWithTimeout", L"Negotiate");
        return -1;
    }
    return 0;
}

int ClientSocket::Negotiate(const std::vector<std::uint8_t>* initial) {
    if (m_nState != kHandshaking) {
        TLS_REPORT("Tls::ClientSocket::Negotiate", kStateError);
        return -1;
    }
    if (!m_context) {
        const PSecurityFunctionTableW sspi = m_sspi;
        m_context = std::shared_ptr<CtxtHandle>(new CtxtHandle{}, [sspi](CtxtHandle* h) {
            if (!IsZero(*h)) {
                const SECURITY_STATUS deleted = sspi->DeleteSecurityContext(h);
                if (deleted < 0) {
                    TLS_REPORT("Tls::ClientSocket::Negotiate/context release", Hex(L"DeleteSecurityContext : ", deleted));
                }
            }
            delete h;
        });
    }

    const SOCKET socket = *m_socket;
    const ULONGLONG end = ::GetTickCount64() + m_timeouts.handshakeMs;
    std::vector<std::uint8_t> input(kReceiveChunk);
    std::size_t received = 0;
    bool haveInitial = initial != nullptr;  // an empty one counts: the package asks for more itself
    bool carried = false;  // bytes the package left over are still to be processed
    for (;;) {
        const bool first = IsZero(*m_context);
        if (haveInitial) {
            input = *initial;
            received = initial->size();
            haveInitial = false;
        } else if (!first && !carried) {
            // A handshake message is never this large: a peer whose bytes never make one is not
            // a TLS peer.
            if (received >= kLargestCipherInput) {
                TLS_REPORT("Tls::ClientSocket::Negotiate", L"recv : 受信データが大きすぎる");
                return -1;
            }
            if (!WaitToRead(end)) {
                TLS_REPORT("Tls::ClientSocket::Negotiate", L"WaitToRead");
                return -1;
            }
            if (received == input.size()) input.resize(std::max<std::size_t>(kReceiveChunk, input.size() * 2));
            const int n = ::recv(socket, reinterpret_cast<char*>(input.data() + received), Clamp(input.size() - received), 0);
            if (n == SOCKET_ERROR) {
                TLS_REPORT("Tls::ClientSocket::Negotiate", Decimal(L"recv : ", ::WSAGetLastError()));
                return -1;
            }
            if (n == 0) {
                TLS_REPORT("Tls::ClientSocket::Negotiate", L"recv : 接続クローズ");
                return -1;
            }
            received += static_cast<std::size_t>(n);
        }
        carried = false;

        SecBuffer inBuffers[2] = {Buffer(SECBUFFER_TOKEN, input.data(), received), Buffer(SECBUFFER_EMPTY)};
        SecBufferDesc inDesc{SECBUFFER_VERSION, 2, inBuffers};
        SecBuffer outBuffer = Buffer(SECBUFFER_TOKEN);
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
        ULONG attributes = 0;
        TimeStamp expiry{};
        const SECURITY_STATUS status = m_sspi->InitializeSecurityContextW(
            m_credentials.get(), first ? nullptr : m_context.get(), nullptr, kContextRequirements, 0, 0,
            first ? nullptr : &inDesc, 0, m_context.get(), &outDesc, &attributes, &expiry);

        // The token goes out before the status is looked at: a failing package may still have an
        // alert for the peer.
        if (outBuffer.pvBuffer) {
            const int size = static_cast<int>(outBuffer.cbBuffer);
            const int sent = size > 0 ? SendAll(socket, outBuffer.pvBuffer, size) : 0;
            m_sspi->FreeContextBuffer(outBuffer.pvBuffer);
            if (sent != size) {
                TLS_REPORT("Tls::ClientSocket::Negotiate",
                           L"sendAll : " + std::to_wstring(sent) + L", " + std::to_wstring(size));
                return -1;
            }
        }

        if (status == SEC_E_INCOMPLETE_MESSAGE) continue;
        if (status == SEC_I_CONTINUE_NEEDED) {
            if (inBuffers[1].BufferType == SECBUFFER_EXTRA && inBuffers[1].cbBuffer > 0 &&
                inBuffers[1].cbBuffer <= received) {
                // The peer's next handshake message arrived with this one: process it before
                // reading more.
                const std::size_t extra = inBuffers[1].cbBuffer;
                std::memmove(input.data(), input.data() + received - extra, extra);
                received = extra;
                carried = true;
            } else {
                received = 0;
            }
            continue;
        }
        if (status != SEC_E_OK) {
            TLS_REPORT("Tls::ClientSocket::Negotiate", Hex(L"InitializeSecurityContext : ", status));
            return -1;
        }

        if (inBuffers[1].BufferType == SECBUFFER_EXTRA && inBuffers[1].cbBuffer <= received) {
            // Application data that came right behind the handshake.
            const std::uint8_t* extra = input.data() + received - inBuffers[1].cbBuffer;
            m_cipherInput.assign(extra, extra + inBuffers[1].cbBuffer);
            m_bIncomplete = false;
        }
        const SECURITY_STATUS queried = m_sspi->QueryContextAttributesW(m_context.get(), SECPKG_ATTR_STREAM_SIZES, &m_sizes);
        if (queried < 0) {
            TLS_REPORT("Tls::ClientSocket::Negotiate", Hex(L"QueryContextAttributes : ", queried));
            return -1;
        }
        if (!m_shutdownDuty) {
            m_shutdownDuty = std::shared_ptr<void>(nullptr, [this](void*) {
                if (m_nState == kSecure && Shutdown() != 0) {
                    TLS_REPORT("Tls::ClientSocket::Negotiate/shutdown duty", L"Shutdown");
                }
            });
        }
        m_nState = kSecure;
        return 0;
    }
}

int ClientSocket::Send(const void* data, int length) {
    if (m_nState != kSecure) {
        TLS_REPORT("Tls::ClientSocket::Send", kStateError);
        return -1;
    }
    if (length <= 0) return 0;

    const unsigned long header = m_sizes.cbHeader;
    const unsigned long trailer = m_sizes.cbTrailer;
    const unsigned long largest =
        m_sizes.cbMaximumMessage > header + trailer ? m_sizes.cbMaximumMessage - header - trailer : 1;
    const auto* bytes = static_cast<const std::uint8_t*>(data);

    // Records are built one behind the other in one buffer, each where the one before it ended,
    // and a batch of them goes out with one SendAll: every send costs a system call, and more
    // under Wine.
    // The buffer stays for the next call: a transfer sends block after block of the same size.
    const std::size_t records = (static_cast<std::size_t>(length) + largest - 1) / largest;
    const std::size_t batchRecords = std::min<std::size_t>(records, kRecordsPerSend);
    const std::size_t batchSize = batchRecords * (header + trailer) +
                                  std::min<std::size_t>(static_cast<std::size_t>(length), batchRecords * largest);
    if (m_sendBuffer.size() < batchSize) m_sendBuffer.resize(batchSize);
    std::uint8_t* const batch = m_sendBuffer.data();

    for (int done = 0; done < length;) {
        std::size_t filled = 0;
        for (std::size_t n = 0; n < batchRecords && done < length; ++n) {
            const unsigned long piece = std::min<unsigned long>(largest, static_cast<unsigned long>(length - done));
            std::uint8_t* const record = batch + filled;
            std::memcpy(record + header, bytes + done, piece);
            SecBuffer buffers[4] = {Buffer(SECBUFFER_STREAM_HEADER, record, header),
                                    Buffer(SECBUFFER_DATA, record + header, piece),
                                    Buffer(SECBUFFER_STREAM_TRAILER, record + header + piece, trailer),
                                    Buffer(SECBUFFER_EMPTY)};
            SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
            const SECURITY_STATUS status = m_sspi->EncryptMessage(m_context.get(), 0, &desc, 0);
            if (status < 0) {
                TLS_REPORT("Tls::ClientSocket::Send", Hex(L"EncryptMessage : ", status));
                m_nState = kBroken;
                return -1;
            }
            // The record as the package left it: its three parts, added up, from its start.
            const std::size_t total = std::size_t{buffers[0].cbBuffer} + buffers[1].cbBuffer + buffers[2].cbBuffer;
            filled += std::min<std::size_t>(total, header + piece + trailer);
            done += static_cast<int>(piece);
        }
        const int size = static_cast<int>(filled);
        const int sent = SendAll(*m_socket, batch, size);
        if (sent != size) {
            // Part of a record may have gone out: whatever followed would be garbage to the peer.
            TLS_REPORT("Tls::ClientSocket::Send", L"sendAll : " + std::to_wstring(sent) + L", " + std::to_wstring(size));
            m_nState = kBroken;
            return -1;
        }
    }
    return length;
}

int ClientSocket::HandOut(void* buffer, int size) {
    const std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(std::max(size, 0)), m_plainOutput.size());
    if (count == 0) return 0;
    std::memcpy(buffer, m_plainOutput.data(), count);
    m_plainOutput.erase(m_plainOutput.begin(), m_plainOutput.begin() + static_cast<std::ptrdiff_t>(count));
    return static_cast<int>(count);
}

int ClientSocket::Recieve(void* buffer, int size) {
    // What was decrypted before the peer's close is still the caller's, and then the close.
    if (m_nState == kClosedByPeer && HasPlainOutput()) return HandOut(buffer, size);
    if (m_nState == kClosedByPeer && m_bCloseUnreported) {
        m_bCloseUnreported = false;
        return 0;
    }
    if (m_nState != kSecure) {
        TLS_REPORT("Tls::ClientSocket::Recieve", kStateError);
        return -1;
    }
    if (size < 0) size = 0;
    if (HasPlainOutput()) return HandOut(buffer, size);

    // The caller gets the first record decrypted in this call (the first that carries bytes);
    // records decrypted behind it wait in the plain output for the next call.
    std::size_t firstRecord = 0;
    const auto handOutFirst = [&] { return HandOut(buffer, static_cast<int>(std::min<std::size_t>(size, firstRecord))); };
    const SOCKET socket = *m_socket;
    ULONGLONG recordEnd = 0;  // from the first wait
    for (;;) {
        if (!m_cipherInput.empty() && !m_bIncomplete) {
            const std::uint8_t recordType = m_cipherInput[0];
            SecBuffer buffers[4] = {Buffer(SECBUFFER_DATA, m_cipherInput.data(), m_cipherInput.size()),
                                    Buffer(SECBUFFER_EMPTY), Buffer(SECBUFFER_EMPTY), Buffer(SECBUFFER_EMPTY)};
            SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
            SECURITY_STATUS status = m_sspi->DecryptMessage(m_context.get(), &desc, 0, nullptr);
            const SecBuffer* extra = FindBuffer(buffers, 4, SECBUFFER_EXTRA);
            const std::size_t extraSize = extra && extra->cbBuffer <= m_cipherInput.size() ? extra->cbBuffer : 0;

            const SecBuffer* plain = FindBuffer(buffers, 4, SECBUFFER_DATA);
            const bool hasPlain = plain && plain->cbBuffer > 0 && plain->pvBuffer;
            if (status == SEC_E_OK && !hasPlain && recordType == kAlertRecord) {
                // Some packages (Wine's) take the peer's close_notify without saying so: an alert
                // record that yields no data and no error is the end of the session.
                status = SEC_I_CONTEXT_EXPIRED;
            }

            if (status == SEC_E_OK) {
                if (hasPlain) {
                    const auto* begin = static_cast<const std::uint8_t*>(plain->pvBuffer);
                    m_plainOutput.insert(m_plainOutput.end(), begin, begin + plain->cbBuffer);
                }
                if (firstRecord == 0) firstRecord = m_plainOutput.size();
                if (extraSize > 0) {
                    // The next record is here already: it becomes the whole cipher input.
                    std::memmove(m_cipherInput.data(), m_cipherInput.data() + m_cipherInput.size() - extraSize, extraSize);
                    m_cipherInput.resize(extraSize);
                    continue;
                }
                m_cipherInput.clear();
                // An empty record is no end of the stream: without bytes for the caller, read on.
                if (firstRecord > 0 || size == 0) return handOutFirst();
                continue;
            }
            if (status == SEC_I_RENEGOTIATE) {
                std::vector<std::uint8_t> handshake(m_cipherInput.end() - static_cast<std::ptrdiff_t>(extraSize),
                                                    m_cipherInput.end());
                m_cipherInput.clear();
                m_nState = kHandshaking;
                if (Negotiate(&handshake) != 0) {
                    TLS_REPORT("Tls::ClientSocket::Recieve", L"Negotiate");
                    return -1;
                }
                continue;
            }
            if (status == SEC_I_CONTEXT_EXPIRED) {
                m_nState = kClosedByPeer;
                const int handed = HandOut(buffer, size);
                // The caller learns of the close from a 0 of its own, after the data before it.
                m_bCloseUnreported = handed > 0 || size == 0;
                return handed;
            }
            if (status != SEC_E_INCOMPLETE_MESSAGE) {
                TLS_REPORT("Tls::ClientSocket::Recieve", Hex(L"DecryptMessage : ", status));
                m_nState = kBroken;
                return -1;
            }
        }

        m_bIncomplete = true;
        if (size > 0 && firstRecord > 0) return handOutFirst();

        if (size == 0) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(socket, &readable);
            timeval now{0, 0};
            const int ready = ::select(0, &readable, nullptr, nullptr, &now);
            if (ready == SOCKET_ERROR) {
                TLS_REPORT("Tls::ClientSocket::Recieve", Decimal(L"select : ", ::WSAGetLastError()));
                return -1;
            }
            if (ready == 0) return 0;
        } else {
            if (recordEnd == 0) recordEnd = ::GetTickCount64() + m_timeouts.recordMs;
            if (!WaitToRead(recordEnd)) {
                // With none of a record held the session is whole, and the caller may wait again.
                if (!m_cipherInput.empty()) m_nState = kBroken;
                TLS_REPORT("Tls::ClientSocket::Recieve", L"WaitToRead");
                return -1;
            }
        }

        const std::size_t before = m_cipherInput.size();
        if (before >= kLargestCipherInput) {
            TLS_REPORT("Tls::ClientSocket::Recieve", L"recv : 受信データが大きすぎる");
            m_nState = kBroken;
            return -1;
        }
        m_cipherInput.resize(before < kReceiveChunk ? kReceiveChunk : before * 2);
        const int n = ::recv(socket, reinterpret_cast<char*>(m_cipherInput.data() + before),
                             Clamp(m_cipherInput.size() - before), 0);
        if (n == SOCKET_ERROR) {
            m_cipherInput.resize(before);
            TLS_REPORT("Tls::ClientSocket::Recieve", Decimal(L"recv : ", ::WSAGetLastError()));
            m_nState = kBroken;
            return -1;
        }
        if (n == 0) {
            m_cipherInput.resize(before);
            m_bPeerGone = true;
            return 0;
        }
        m_cipherInput.resize(before + static_cast<std::size_t>(n));
        m_bIncomplete = false;
    }
}

int ClientSocket::Poll(long seconds, long microseconds) {
    if (m_nState == kClosedByPeer && HasPlainOutput()) return 1;
    if (m_nState != kSecure) {
        TLS_REPORT("Tls::ClientSocket::Poll", kStateError);
        return -1;
    }
    const ULONGLONG start = ::GetTickCount64();
    const long long limit = static_cast<long long>(seconds) * 1000000 + microseconds;
    for (;;) {
        if (HasPlainOutput()) return 1;
        // Nothing more will come once the peer has closed: say so now rather than spin.
        if (m_nState != kSecure || m_bPeerGone) return 0;
        // Bytes held and not yet looked at (those that came with the handshake's last message)
        // may be a whole record: decrypt them before waiting for the socket.
        if (!m_cipherInput.empty() && !m_bIncomplete) {
            if (Recieve(nullptr, 0) < 0) {
                TLS_REPORT("Tls::ClientSocket::Poll", L"Recieve");
                return -1;
            }
            continue;
        }

        const long long left = limit - static_cast<long long>(::GetTickCount64() - start) * 1000;
        if (left < 0) return 0;
        timeval wait{static_cast<long>(left / 1000000), static_cast<long>(left % 1000000)};
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(*m_socket, &readable);
        const int ready = ::select(0, &readable, nullptr, nullptr, &wait);
        if (ready == SOCKET_ERROR) {
            TLS_REPORT("Tls::ClientSocket::Poll", Decimal(L"select : ", ::WSAGetLastError()));
            return -1;
        }
        if (ready == 0) return 0;
        if (Recieve(nullptr, 0) < 0) {
            TLS_REPORT("Tls::ClientSocket::Poll", L"Recieve");
            return -1;
        }
    }
}

int ClientSocket::Shutdown() {
    if (m_nState != kSecure) {
        TLS_REPORT("Tls::ClientSocket::Shutdown", kStateError);
        return -1;
    }
    m_nState = kShutDown;
    const ULONGLONG end = ::GetTickCount64() + kShutdownTimeoutMs;
    // The close record waits for room in the socket no longer than the whole close may take.
    const DWORD sendTimeout = kShutdownTimeoutMs;
    if (::setsockopt(*m_socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendTimeout),
                     sizeof sendTimeout) != 0) {
        TLS_REPORT("Tls::ClientSocket::Shutdown", Decimal(L"setsockopt : ", ::WSAGetLastError()));
        return -1;
    }
    if (ShutdownSchannel() != 0) {
        // A peer that does not take the close will not send its own: no drain.
        TLS_REPORT("Tls::ClientSocket::Shutdown", L"ShutdownSchannel");
        return -1;
    }
    if (ShutdownSocket(end) != 0) {
        TLS_REPORT("Tls::ClientSocket::Shutdown", L"ShutdownSocket");
        return -1;
    }
    return 0;
}

int ClientSocket::ShutdownSchannel() {
    DWORD token = SCHANNEL_SHUTDOWN;
    SecBuffer control = Buffer(SECBUFFER_TOKEN, &token, sizeof token);
    SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
    const SECURITY_STATUS applied = m_sspi->ApplyControlToken(m_context.get(), &controlDesc);
    if (applied < 0) {
        TLS_REPORT("Tls::ClientSocket::ShutdownSchannel", Hex(L"ApplyControlToken : ", applied));
        return -1;
    }
    for (int round = 0; round < kShutdownTokenRounds; ++round) {
        SecBuffer outBuffer = Buffer(SECBUFFER_TOKEN);
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
        ULONG attributes = 0;
        TimeStamp expiry{};
        const SECURITY_STATUS status =
            m_sspi->InitializeSecurityContextW(m_credentials.get(), m_context.get(), nullptr, kContextRequirements, 0, 0,
                                               nullptr, 0, m_context.get(), &outDesc, &attributes, &expiry);
        if (status < 0) {
            if (outBuffer.pvBuffer) m_sspi->FreeContextBuffer(outBuffer.pvBuffer);
            TLS_REPORT("Tls::ClientSocket::ShutdownSchannel", Hex(L"InitializeSecurityContext : ", status));
            return -1;
        }
        if (outBuffer.pvBuffer) {
            const int size = static_cast<int>(outBuffer.cbBuffer);
            const int sent = size > 0 ? SendAll(*m_socket, outBuffer.pvBuffer, size) : 0;
            m_sspi->FreeContextBuffer(outBuffer.pvBuffer);
            if (sent != size) {
                TLS_REPORT("Tls::ClientSocket::ShutdownSchannel",
                           L"sendAll : " + std::to_wstring(sent) + L", " + std::to_wstring(size));
                return -1;
            }
        }
        if (status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED) return 0;
    }
    TLS_REPORT("Tls::ClientSocket::ShutdownSchannel", Hex(L"InitializeSecurityContext : ", SEC_I_CONTINUE_NEEDED));
    return -1;
}

int ClientSocket::ShutdownSocket(ULONGLONG end) {
    const SOCKET socket = *m_socket;
    if (::shutdown(socket, SD_SEND) != 0) {
        TLS_REPORT("Tls::ClientSocket::ShutdownSocket", Decimal(L"shutdown : ", ::WSAGetLastError()));
        return -1;
    }
    char discard[kShutdownDrainBytes];
    for (int read = 0; read < kShutdownDrainReads; ++read) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket, &readable);
        timeval wait = Timeval(Left(end));
        const int ready = ::select(0, &readable, nullptr, nullptr, &wait);
        if (ready == SOCKET_ERROR) {
            TLS_REPORT("Tls::ClientSocket::ShutdownSocket", Decimal(L"select : ", ::WSAGetLastError()));
            return -1;
        }
        if (ready == 0) {
            TLS_REPORT("Tls::ClientSocket::ShutdownSocket", Decimal(L"recv : ", WSAETIMEDOUT));
            ::WSASetLastError(WSAETIMEDOUT);
            return -1;
        }
        const int n = ::recv(socket, discard, sizeof discard, 0);
        if (n == 0) return 0;
        if (n == SOCKET_ERROR) {
            TLS_REPORT("Tls::ClientSocket::ShutdownSocket", Decimal(L"recv : ", ::WSAGetLastError()));
            return -1;
        }
    }
    TLS_REPORT("Tls::ClientSocket::ShutdownSocket", L"recv : 受信データが大きすぎる");
    return -1;
}

bool ClientSocket::WaitToRead(ULONGLONG end) {
    // Once the whole bound has passed nothing more is read, even from a peer that keeps sending.
    const ULONGLONG left = Left(end);
    int ready = 0;
    if (left > 0) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(*m_socket, &readable);
        timeval wait = Timeval(std::min<ULONGLONG>(left, m_timeouts.readMs));
        ready = ::select(0, &readable, nullptr, nullptr, &wait);
    }
    if (ready == SOCKET_ERROR) {
        TLS_REPORT("Tls::ClientSocket::WaitToRead", Decimal(L"select : ", ::WSAGetLastError()));
        return false;
    }
    if (ready == 0) {
        TLS_REPORT("Tls::ClientSocket::WaitToRead", Decimal(L"recv : ", WSAETIMEDOUT));
        ::WSASetLastError(WSAETIMEDOUT);
        return false;
    }
    return true;
}

CertificatePtr ClientSocket::RetrieveServerCertificate() {
    CtxtHandle none{};
    PCCERT_CONTEXT certificate = nullptr;
    const SECURITY_STATUS status = m_sspi ? m_sspi->QueryContextAttributesW(m_context ? m_context.get() : &none,
                                                                            SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate)
                                          : SEC_E_SECPKG_NOT_FOUND;
    if (status < 0 || !certificate) {
        TLS_REPORT("Tls::ClientSocket::RetrieveServerCertificate",
                   Hex(L"QueryContextAttributes : ", status < 0 ? status : SEC_E_NO_CREDENTIALS));
        return nullptr;
    }
    return CertificatePtr(certificate, [](const CERT_CONTEXT* c) { ::CertFreeCertificateContext(c); });
}

}  // namespace Tls
