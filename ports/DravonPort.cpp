// The printer port over the controller library and TCP port 9100.
#include "ports/DravonPort.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

#include "common/Text.h"
#include "ports/Ipv4Address.h"
#include "ports/SnmpQuery.h"
#include "ports/UpdateModeFrame.h"
#include "update/DeviceReply.h"

namespace {

// Status word: bit 31 says the word carries a state code, in bits 24 to 27.
constexpr std::uint32_t kStateValid = 0x80000000;
constexpr std::uint32_t kStateMask = 0x8F000000;
constexpr std::uint32_t kStateReadOverSnmp = 0x81000000;  // the library's text is not the reply
constexpr std::uint32_t kStateAccepted = 0x86000000;      // the printer took the firmware

// The library's problems, each with the only text the user gets for it.
enum DllInitError { kDllNotLoadable = 0, kDllExportMissing = 1, kDllVersionMismatch = 2 };

const wchar_t* DllInitErrorText(DllInitError error) {
    switch (error) {
        case kDllNotLoadable: return L"DLLが見つからないまたはロードできません";
        case kDllExportMissing: return L"DLL関数取得エラー";
        case kDllVersionMismatch: return L"APIバージョン不整合";
    }
    return L"";
}

bool IsApiVersion(const char* version) {
    return version && std::strcmp(version, kControllerApiVersion) == 0;
}

std::wstring WideDotted(std::uint32_t address) { return text::WidenBytes(DottedIpv4(address)); }

std::mutex& DefaultMutex() {
    static std::mutex mutex;
    return mutex;
}

std::optional<DravonEnvironment>& RegisteredDefault() {
    static std::optional<DravonEnvironment> environment;
    return environment;
}

// Start-up registers the environment before the first port is made; a port without one would
// reach no printer and say nothing of why, so the first run that makes one stops here instead.
DravonEnvironment DefaultEnvironment() {
    std::lock_guard lock(DefaultMutex());
    if (!RegisteredDefault()) {
        std::fputs("CDravonPort: no environment registered; start-up must call "
                   "CDravonPort::SetDefaultEnvironment before the first printer port is made\n",
                   stderr);
        std::abort();
    }
    return *RegisteredDefault();
}

// A plain connection to the printer's data port; null when it cannot be made.
std::unique_ptr<IByteStream> ConnectDataPort(INetwork& network, std::uint32_t address, std::uint32_t stallMs) {
    std::unique_ptr<IByteStream> stream = network.NewStream();
    if (!stream || !stream->Connect(WideDotted(address), kPrinterDataPort, stallMs)) return nullptr;
    return stream;
}

}  // namespace

void CDravonPort::SetDefaultEnvironment(const DravonEnvironment& environment) {
    std::lock_guard lock(DefaultMutex());
    RegisteredDefault().reset();
    RegisteredDefault().emplace(environment);
}

void CDravonPort::ClearDefaultEnvironment() {
    std::lock_guard lock(DefaultMutex());
    RegisteredDefault().reset();
}

CDravonPort::CDravonPort(std::uint32_t address) : CDravonPort(address, DefaultEnvironment()) {}

CDravonPort::CDravonPort(std::uint32_t address, const DravonEnvironment& environment)
    : m_dwAddress(address), m_env(environment) {
    querySecurity();
    if (!m_hModule || !m_pServiceTool) {
        if (extractController()) loadController();
    }
}

CDravonPort::~CDravonPort() {
    // Owners release before deleting; this only covers a port deleted without it.
    unload();
}

bool CDravonPort::extractController() {
    const std::wstring directory = m_env.host.TempDirectory();
    if (directory.empty()) return false;
    std::wstring report;
    switch (m_libraryFile.Acquire(m_env.host, directory, report)) {
        case IControllerHost::WriteResult::kWritten:
            return true;
        case IControllerHost::WriteResult::kNoResource:
            return false;
        case IControllerHost::WriteResult::kFileError:
            m_env.host.ShowMessage(report);
            return false;
    }
    return false;
}

bool CDravonPort::loadController() {
    try {
        m_hModule = m_env.host.Load(m_libraryFile.Path());
        if (!m_hModule) throw kDllNotLoadable;

        const IControllerHost::ExportFn getRemoteConnect = m_env.host.Resolve(m_hModule, kGetRemoteConnectApiExport);
        if (!getRemoteConnect) throw kDllExportMissing;
        RemoteConnectAPI* const remoteConnect = static_cast<RemoteConnectAPI*>(getRemoteConnect());
        if (!remoteConnect) throw kDllExportMissing;
        if (!IsApiVersion(remoteConnect->GetVersion())) throw kDllVersionMismatch;
        m_pRemoteConnect = remoteConnect;

        const IControllerHost::ExportFn getServiceTool = m_env.host.Resolve(m_hModule, kGetServiceToolApiExport);
        if (!getServiceTool) throw kDllExportMissing;
        ServiceToolAPI* const serviceTool = static_cast<ServiceToolAPI*>(getServiceTool());
        if (!serviceTool) throw kDllExportMissing;
        if (!IsApiVersion(serviceTool->GetVersion())) throw kDllVersionMismatch;
        m_pServiceTool = serviceTool;

        return connectPrinter();
    } catch (DllInitError error) {
        m_env.host.ShowMessage(DllInitErrorText(error));
        return false;
    }
}

bool CDravonPort::loadOnDemand() {
    if (m_hModule && m_pServiceTool) return true;
    // A load that failed after the module was loaded keeps it until now. Free it before the file
    // is written again: a mapped library cannot be overwritten, and loading it a second time
    // would only raise its load count, so that it would never be unloaded nor its file deleted.
    // The port keeps its file meanwhile and has it written again.
    if (m_hModule) {
        m_env.host.Free(m_hModule);
        m_hModule = nullptr;
        m_pRemoteConnect = nullptr;
    }
    return extractController() && loadController();
}

bool CDravonPort::connectPrinter() {
    return m_pRemoteConnect->Connect(DottedIpv4(m_dwAddress).c_str()) != 0;
}

void CDravonPort::unload() noexcept {
    if (m_hModule) m_env.host.Free(m_hModule);
    // The port's file goes with its module; the host never fails there: a file it cannot delete
    // now is deleted later.
    m_libraryFile.Release();
    m_hModule = nullptr;
    m_pServiceTool = nullptr;
    m_pRemoteConnect = nullptr;
}

void CDravonPort::release() noexcept { unload(); }

bool CDravonPort::querySnmpStatus(std::wstring& text) {
    std::string answer;
    if (!QuerySnmpStatus(m_env.network, m_env.clock, DottedIpv4(m_dwAddress), answer)) return false;
    text = m_env.fromSystemAnsi(answer);
    return true;
}

void CDravonPort::querySecurity() {
    std::wstring text;
    querySnmpStatus(text);
    ReplyMap reply;
    m_bSecure = ParseDeviceReply(reply, text) && IsReplySecure(reply);
}

bool CDravonPort::queryInformation(std::wstring& reply) {
    reply.clear();
    if (!loadOnDemand()) return false;
    if (!connectPrinter()) return false;

    std::array<char, kControllerInfoBufferSize> buffer{};
    m_pServiceTool->GetInformation(buffer.data(), static_cast<int>(buffer.size()));
    // The library promises a terminator; a text that fills the buffer is cut at its end.
    const std::size_t length = std::find(buffer.begin(), buffer.end(), '\0') - buffer.begin();
    reply = m_env.host.FromThreadAnsi(std::string_view(buffer.data(), length));

    std::uint32_t status = 0;
    std::uint32_t detail = 0;
    m_pServiceTool->GetStatus(&status, &detail);
    if ((status & kStateMask) == kStateReadOverSnmp) {
        std::wstring snmpText;
        reply = querySnmpStatus(snmpText) ? snmpText : std::wstring();
    } else if ((status & kStateValid) && (status & kStateMask) != kStateAccepted) {
        reply.clear();
    }

    unload();
    return !reply.empty();
}

bool CDravonPort::startUpdate() {
    if (!loadOnDemand()) return false;
    const bool accepted = m_pServiceTool->StartUpdate(0) != 0;
    unload();
    // The frame is never sent encrypted, so a printer that wants TLS has no fallback; nor has one
    // that was seen with TLS before and now asks for plain text.
    if (m_bSecure || accepted || !plainAllowed()) return accepted;

    const std::unique_ptr<IByteStream> stream = ConnectDataPort(m_env.network, m_dwAddress, m_env.stallMs);
    if (!stream) return false;
    const auto frame = UpdateModeFrame();
    return stream->Send(frame.data(), frame.size()) == static_cast<int>(frame.size());
}

bool CDravonPort::sendData(const std::uint8_t* data, std::uint32_t length, std::uint32_t blockSize) {
    if (m_bSecure) return sendSecure(data, length, m_dwAddress, blockSize);
    if (!plainAllowed()) return false;

    const std::unique_ptr<IByteStream> stream = ConnectDataPort(m_env.network, m_dwAddress, m_env.stallMs);
    if (!stream) return false;
    const std::uint32_t block = blockSize ? blockSize : kDefaultSendBlockSize;
    for (std::uint32_t sent = 0; sent < length;) {
        const std::uint32_t size = std::min(length - sent, block);
        if (stream->Send(data + sent, size) != static_cast<int>(size)) return false;
        sent += size;
    }
    return true;
}

bool CDravonPort::sendSecure(const std::uint8_t* data, std::uint32_t length, std::uint32_t address,
                             std::uint32_t blockSize) {
    const std::wstring host = WideDotted(address);
    // A printer that is still starting lets the handshake time out; anything else is final.
    std::unique_ptr<ISecureStream> stream;
    for (int attempt = 1;; ++attempt) {
        stream = m_env.newSecureStream ? m_env.newSecureStream() : nullptr;
        if (!stream) return false;
        if (stream->Connect(host, kPrinterDataPort, m_env.stallMs)) break;
        if (stream->LastError() != net::kErrorTimedOut || attempt == kTlsConnectAttempts) return false;
    }
    // Nothing goes to a printer whose certificate is not trusted, and it is trusted before the
    // first byte: the firmware goes out over this same connection.
    if (!trustPeer(*stream)) return false;
    const std::uint32_t block = blockSize ? blockSize : kDefaultSendBlockSize;
    for (std::uint32_t sent = 0; sent < length;) {
        const int n = stream->Send(data + sent, std::min(length - sent, block));
        if (n < 1) return false;
        sent += static_cast<std::uint32_t>(n);
    }
    return true;  // the stream's end closes the TLS session and the connection
}

bool CDravonPort::trustPeer(ISecureStream& stream) {
    if (!m_trust) return false;
    PresentedCertificate certificate;
    const bool presented = stream.PeerCertificate(m_trust->Names(), certificate);
    return m_trust->Trust(presented ? &certificate : nullptr);
}

bool CDravonPort::plainAllowed() { return !m_trust || m_trust->AllowPlain(); }

PeerCheck CDravonPort::checkPeerTrust() {
    if (!m_bSecure) return plainAllowed() ? PeerCheck::kTrusted : PeerCheck::kRefused;
    if (!m_trust) return PeerCheck::kRefused;
    // A connection of its own that only shows the certificate: the question, if there is one,
    // comes before the printer is asked for anything. It carries no byte and closes in order.
    const std::unique_ptr<ISecureStream> stream = m_env.newSecureStream ? m_env.newSecureStream() : nullptr;
    if (!stream || !stream->Connect(WideDotted(m_dwAddress), kPrinterDataPort, kTrustCheckConnectMs)) {
        return PeerCheck::kUnreachable;
    }
    return trustPeer(*stream) ? PeerCheck::kTrusted : PeerCheck::kRefused;
}

bool CDravonPort::requestReboot() {
    if (!loadOnDemand()) return false;
    if (!connectPrinter()) return false;
    if (!m_pServiceTool->RequestReboot()) return false;
    unload();
    return true;
}

bool CDravonPort::checkState() {
    if (!loadOnDemand()) return false;
    if (!connectPrinter()) return false;
    std::uint32_t status = 0;
    std::uint32_t detail = 0;
    m_pServiceTool->GetStatus(&status, &detail);
    const bool accepted = (status & kStateMask) == kStateAccepted;
    unload();
    return accepted;
}

int CDravonPort::getOperationCode() {
    if (!loadOnDemand()) return -1;
    int code = 0;
    m_pServiceTool->GetOperationCode(&code);
    unload();
    return code;
}

bool CDravonPort::getStatusWords(std::uint32_t& status, std::uint32_t& detail) {
    if (!loadOnDemand()) return false;
    if (!connectPrinter()) return false;
    const bool answered = m_pServiceTool->GetStatus(&status, &detail) != 0;
    unload();
    return answered;
}

bool CDravonPort::checkIplMode() {
    std::wstring text;
    querySnmpStatus(text);
    ReplyMap reply;
    if (!ParseDeviceReply(reply, text)) return false;
    if (!IsReplyIplMode(reply)) return false;
    return !GetReplyPanelVersion(reply).IsUnknown();
}
