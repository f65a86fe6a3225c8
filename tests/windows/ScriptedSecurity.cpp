// The toy security package behind ScriptedSecurity's function table.
#include "tests/windows/ScriptedSecurity.h"

#include <algorithm>
#include <cstring>

#include <schannel.h>

namespace {

ScriptedSecurity* g_current = nullptr;

constexpr std::uint8_t kData = 0x17;
constexpr std::uint8_t kHandshake = 0x16;
constexpr std::uint8_t kAlert = 0x15;
constexpr std::uint8_t kCertificate = 'C';
constexpr std::uint8_t kMask = 0x5A;
constexpr char kHello[] = "HELLO";
constexpr char kWelcome[] = "WELCOME";
constexpr char kDone[] = "DONE";

SECURITY_STATUS Token(PSecBufferDesc output, const void* bytes, std::size_t size) {
    if (!output || output->cBuffers < 1) return SEC_E_INTERNAL_ERROR;
    void* memory = ::LocalAlloc(LMEM_FIXED, size);
    std::memcpy(memory, bytes, size);
    output->pBuffers[0].pvBuffer = memory;
    output->pBuffers[0].cbBuffer = static_cast<unsigned long>(size);
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY Acquire(SEC_WCHAR*, SEC_WCHAR*, unsigned long, void*, void*, SEC_GET_KEY_FN, void*,
                                  PCredHandle credentials, PTimeStamp) {
    g_current->log.push_back("acquire");
    credentials->dwLower = 7;
    credentials->dwUpper = 7;
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY FreeCredentials(PCredHandle) {
    g_current->log.push_back("free credentials");
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY Initialize(PCredHandle, PCtxtHandle context, SEC_WCHAR*, unsigned long, unsigned long,
                                     unsigned long, PSecBufferDesc input, unsigned long, PCtxtHandle newContext,
                                     PSecBufferDesc output, unsigned long*, PTimeStamp) {
    ScriptedSecurity& s = *g_current;
    if (!context) {
        s.log.push_back("isc first");
        s.closing = false;  // a new context
        s.helloPending = false;
        newContext->dwLower = 1;
        newContext->dwUpper = 1;
        Token(output, kHello, 5);
        return SEC_I_CONTINUE_NEEDED;
    }
    if (s.closing) {
        s.log.push_back("isc close");
        const std::vector<std::uint8_t> close = ScriptedSecurity::Record(kAlert, {});
        Token(output, close.data(), close.size());
        return SEC_E_OK;
    }
    s.log.push_back("isc");
    const SecBuffer& in = input->pBuffers[0];
    const auto* bytes = static_cast<const std::uint8_t*>(in.pvBuffer);
    s.handshakeInputs.emplace_back(reinterpret_cast<const char*>(bytes), in.cbBuffer);
    if (s.helloPending) {
        s.helloPending = false;
        Token(output, kHello, 5);
    }
    if (in.cbBuffer > 0 && bytes[0] == kCertificate) {
        if (in.cbBuffer < 4) return SEC_E_INCOMPLETE_MESSAGE;
        const std::size_t whole = 4 + ((std::size_t{bytes[1]} << 16) | (std::size_t{bytes[2]} << 8) | bytes[3]);
        if (in.cbBuffer < whole) return SEC_E_INCOMPLETE_MESSAGE;
        if (in.cbBuffer > whole) {
            input->pBuffers[1].BufferType = SECBUFFER_EXTRA;
            input->pBuffers[1].cbBuffer = in.cbBuffer - static_cast<unsigned long>(whole);
        }
        return SEC_I_CONTINUE_NEEDED;
    }
    const std::size_t welcome = 7;
    if (in.cbBuffer < welcome) {
        if (in.cbBuffer > 0 && std::memcmp(bytes, kWelcome, in.cbBuffer) != 0) return SEC_E_ILLEGAL_MESSAGE;
        return SEC_E_INCOMPLETE_MESSAGE;
    }
    if (std::memcmp(bytes, kWelcome, welcome) != 0) return SEC_E_ILLEGAL_MESSAGE;
    if (in.cbBuffer > welcome) {
        input->pBuffers[1].BufferType = SECBUFFER_EXTRA;
        input->pBuffers[1].cbBuffer = in.cbBuffer - static_cast<unsigned long>(welcome);
    }
    if (!output->pBuffers[0].pvBuffer) Token(output, kDone, 4);
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY DeleteContext(PCtxtHandle) {
    g_current->log.push_back("delete context");
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY ApplyControl(PCtxtHandle, PSecBufferDesc input) {
    g_current->log.push_back("apply control");
    const DWORD token = *static_cast<const DWORD*>(input->pBuffers[0].pvBuffer);
    if (token == SCHANNEL_SHUTDOWN) g_current->closing = true;
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY Query(PCtxtHandle, unsigned long attribute, void* buffer) {
    ScriptedSecurity& s = *g_current;
    if (attribute == SECPKG_ATTR_STREAM_SIZES) {
        s.log.push_back("query sizes");
        auto* sizes = static_cast<SecPkgContext_StreamSizes*>(buffer);
        *sizes = SecPkgContext_StreamSizes{s.header, s.trailer, s.maximumMessage, 4, 16};
        return SEC_E_OK;
    }
    s.log.push_back("query certificate");
    return s.certificateStatus;
}

SECURITY_STATUS SEC_ENTRY FreeBuffer(void* buffer) {
    ::LocalFree(buffer);
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY Encrypt(PCtxtHandle, unsigned long, PSecBufferDesc message, unsigned long) {
    ScriptedSecurity& s = *g_current;
    SecBuffer* b = message->pBuffers;
    s.log.push_back("encrypt " + std::to_string(b[1].cbBuffer));
    s.encryptedPieces.push_back(b[1].cbBuffer);
    auto* header = static_cast<std::uint8_t*>(b[0].pvBuffer);
    header[0] = kData;
    header[1] = 3;
    header[2] = 3;
    header[3] = static_cast<std::uint8_t>(b[1].cbBuffer >> 8);
    header[4] = static_cast<std::uint8_t>(b[1].cbBuffer);
    auto* data = static_cast<std::uint8_t*>(b[1].pvBuffer);
    for (unsigned long i = 0; i < b[1].cbBuffer; ++i) data[i] ^= kMask;
    std::memset(b[2].pvBuffer, 0xEE, b[2].cbBuffer);
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY Decrypt(PCtxtHandle, PSecBufferDesc message, unsigned long, unsigned long*) {
    ScriptedSecurity& s = *g_current;
    s.log.push_back("decrypt");
    SecBuffer* b = message->pBuffers;
    auto* bytes = static_cast<std::uint8_t*>(b[0].pvBuffer);
    const std::size_t size = b[0].cbBuffer;
    if (size < 5) return SEC_E_INCOMPLETE_MESSAGE;
    const std::size_t length = (std::size_t{bytes[3]} << 8) | bytes[4];
    const std::size_t whole = 5 + length + 16;
    if (size < whole) return SEC_E_INCOMPLETE_MESSAGE;
    const std::uint8_t type = bytes[0];
    for (std::size_t i = 0; i < length; ++i) bytes[5 + i] ^= kMask;
    b[0] = SecBuffer{5, SECBUFFER_STREAM_HEADER, bytes};
    b[1] = SecBuffer{static_cast<unsigned long>(length), SECBUFFER_DATA, bytes + 5};
    b[2] = SecBuffer{16, SECBUFFER_STREAM_TRAILER, bytes + 5 + length};
    b[3] = size > whole ? SecBuffer{static_cast<unsigned long>(size - whole), SECBUFFER_EXTRA, bytes + whole}
                        : SecBuffer{0, SECBUFFER_EMPTY, nullptr};
    if (type == kAlert) {
        b[1].cbBuffer = 0;
        return s.closeAsEmptyRecord ? SEC_E_OK : SEC_I_CONTEXT_EXPIRED;
    }
    if (type == kHandshake) {
        b[1].cbBuffer = 0;
        s.helloPending = true;
        return SEC_I_RENEGOTIATE;
    }
    return SEC_E_OK;
}

}  // namespace

PSecurityFunctionTableW ScriptedSecurity::Table() {
    g_current = this;
    static SecurityFunctionTableW table{};
    table.dwVersion = SECURITY_SUPPORT_PROVIDER_INTERFACE_VERSION;
    table.AcquireCredentialsHandleW = Acquire;
    table.FreeCredentialsHandle = FreeCredentials;
    table.InitializeSecurityContextW = Initialize;
    table.DeleteSecurityContext = DeleteContext;
    table.ApplyControlToken = ApplyControl;
    table.QueryContextAttributesW = Query;
    table.FreeContextBuffer = FreeBuffer;
    table.EncryptMessage = Encrypt;
    table.DecryptMessage = Decrypt;
    return &table;
}

ScriptedSecurity::~ScriptedSecurity() {
    if (g_current == this) g_current = nullptr;
}

int ScriptedSecurity::Count(const std::string& entry) const {
    return static_cast<int>(std::count(log.begin(), log.end(), entry));
}

std::vector<std::uint8_t> ScriptedSecurity::Record(std::uint8_t type, const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> record = {type, 3, 3, static_cast<std::uint8_t>(payload.size() >> 8),
                                        static_cast<std::uint8_t>(payload.size())};
    for (std::uint8_t byte : payload) record.push_back(byte ^ kMask);
    record.insert(record.end(), 16, 0xEE);
    return record;
}

std::vector<std::uint8_t> ScriptedSecurity::DataRecord(const std::string& text) {
    return Record(kData, std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::vector<std::uint8_t> ScriptedSecurity::CertificateMessage(std::size_t size, std::size_t sent) {
    std::vector<std::uint8_t> message(4 + std::min(size, sent), 0xCE);
    message[0] = kCertificate;
    message[1] = static_cast<std::uint8_t>(size >> 16);
    message[2] = static_cast<std::uint8_t>(size >> 8);
    message[3] = static_cast<std::uint8_t>(size);
    return message;
}

bool ScriptedSecurity::ReadRecords(const std::vector<std::uint8_t>& bytes, std::vector<std::vector<std::uint8_t>>& payloads,
                                   std::vector<std::uint8_t>* types) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < 5) return false;
        const std::size_t length = (std::size_t{bytes[at + 3]} << 8) | bytes[at + 4];
        if (bytes.size() - at < 5 + length + 16) return false;
        std::vector<std::uint8_t> payload(bytes.begin() + static_cast<std::ptrdiff_t>(at + 5),
                                          bytes.begin() + static_cast<std::ptrdiff_t>(at + 5 + length));
        for (std::uint8_t& byte : payload) byte ^= kMask;
        payloads.push_back(std::move(payload));
        if (types) types->push_back(bytes[at]);
        at += 5 + length + 16;
    }
    return true;
}
