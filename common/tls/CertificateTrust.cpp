// The chain check under the SSL policy, the names a certificate carries, and its fingerprint.
#include "common/tls/CertificateTrust.h"

#include <ws2tcpip.h>
#include <bcrypt.h>

#include <cstring>
#include <memory>

#include "common/tls/Common.h"

namespace Tls {
namespace {

using ChainPtr = std::shared_ptr<const CERT_CHAIN_CONTEXT>;

ChainPtr BuildChain(const CertificatePtr& certificate) {
    CERT_CHAIN_PARA parameters{};
    parameters.cbSize = sizeof parameters;
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    // Only what the machine holds: a certificate's own addresses for issuers or revocation lists
    // are not fetched (they would be the peer's to choose, and would wait on the network).
    const DWORD flags = CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_DISABLE_AIA |
                        CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE;
    if (!::CertGetCertificateChain(nullptr, certificate.get(), nullptr, certificate->hCertStore, &parameters, flags,
                                   nullptr, &chain) ||
        !chain) {
        WriteLine(LineChannel::kWideError, L"証明書チェーンの構築に失敗しました: " + LowerHex(::GetLastError()));
        return nullptr;
    }
    return ChainPtr(chain, [](const CERT_CHAIN_CONTEXT* c) { ::CertFreeCertificateChain(c); });
}

// The SSL policy's verdict on a built chain, for `serverName` (null: none): 0 when it verifies,
// otherwise the policy's error; false when the check could not run.
bool CheckPolicy(const ChainPtr& chain, const wchar_t* serverName, DWORD& error) {
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = const_cast<wchar_t*>(serverName);
    CERT_CHAIN_POLICY_PARA parameters{};
    parameters.cbSize = sizeof parameters;
    if (serverName) parameters.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &parameters, &status)) {
        WriteLine(LineChannel::kWideError, L"証明書チェーンの検証に失敗しました: " + LowerHex(::GetLastError()));
        return false;
    }
    error = status.dwError;
    return true;
}

bool ChainVerifies(const ChainPtr& chain) {
    DWORD error = 0;
    if (!CheckPolicy(chain, nullptr, error)) return false;
    if (error != 0) WriteLine(LineChannel::kWideError, L"証明書チェーンポリシー検証エラー: " + LowerHex(error));
    return error == 0;
}

// The address `name` names, when it is dotted IPv4 text.
bool ParseIpv4(const std::wstring& name, in_addr& address) { return ::InetPtonW(AF_INET, name.c_str(), &address) == 1; }

// The certificate's subject alternative names include the IPv4 address.
bool NamesAddress(PCCERT_CONTEXT certificate, const in_addr& address) {
    const CERT_INFO* info = certificate->pCertInfo;
    const CERT_EXTENSION* extension = ::CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    if (!extension) return false;
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                               CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size) ||
        !names) {
        return false;
    }
    const std::unique_ptr<CERT_ALT_NAME_INFO, decltype(&::LocalFree)> owner(names, &::LocalFree);
    for (DWORD i = 0; i < names->cAltEntry; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == sizeof address &&
            std::memcmp(entry.IPAddress.pbData, &address, sizeof address) == 0) {
            return true;
        }
    }
    return false;
}

bool Sha256(const std::uint8_t* data, std::size_t size, CertificateFingerprint& digest) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return false;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool done = BCRYPT_SUCCESS(::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)) &&
                BCRYPT_SUCCESS(::BCryptHashData(hash, const_cast<PUCHAR>(data), static_cast<ULONG>(size), 0)) &&
                BCRYPT_SUCCESS(::BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
    if (hash) ::BCryptDestroyHash(hash);
    ::BCryptCloseAlgorithmProvider(algorithm, 0);
    return done;
}

bool NamesOne(const CertificatePtr& certificate, const ChainPtr& chain, const std::wstring& name) {
    in_addr address{};
    if (ParseIpv4(name, address)) return NamesAddress(certificate.get(), address);
    DWORD error = 0;
    return !name.empty() && CheckPolicy(chain, name.c_str(), error) && error == 0;
}

}  // namespace

bool DescribePeerCertificate(const CertificatePtr& certificate, const std::vector<std::wstring>& names,
                             PresentedCertificate& presented) {
    if (!certificate || !certificate->pbCertEncoded || certificate->cbCertEncoded == 0) return false;
    presented.der.assign(certificate->pbCertEncoded, certificate->pbCertEncoded + certificate->cbCertEncoded);
    if (!Sha256(presented.der.data(), presented.der.size(), presented.sha256)) {
        WriteLine(LineChannel::kWideError, L"証明書のフィンガープリントを計算できませんでした。");
        return false;
    }
    presented.vouched = false;
    presented.vouchedForAddress = false;
    const ChainPtr chain = BuildChain(certificate);
    if (!chain || !ChainVerifies(chain)) return true;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (NamesOne(certificate, chain, names[i])) {
            presented.vouched = true;
            presented.vouchedForAddress = i == 0;
            break;
        }
    }
    return true;
}

}  // namespace Tls
