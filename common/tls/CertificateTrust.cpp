// The chain check under the SSL policy, and the installer's own store of printer certificates.
#include "common/tls/CertificateTrust.h"

#include <cstring>
#include <string>

#include "common/tls/Common.h"

namespace Tls {
namespace {

using ChainPtr = std::shared_ptr<const CERT_CHAIN_CONTEXT>;

ChainPtr BuildChain(const CertificatePtr& certificate) {
    CERT_CHAIN_PARA parameters{};
    parameters.cbSize = sizeof parameters;
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!::CertGetCertificateChain(nullptr, certificate.get(), nullptr, certificate->hCertStore, &parameters, 0, nullptr,
                                   &chain) ||
        !chain) {
        WriteLine(LineChannel::kWideError, L"証明書チェーンの構築に失敗しました: " + LowerHex(::GetLastError()));
        return nullptr;
    }
    return ChainPtr(chain, [](const CERT_CHAIN_CONTEXT* c) { ::CertFreeCertificateChain(c); });
}

// The SSL policy's verdict on a built chain: 0 when it verifies, otherwise the policy's error;
// false when the check could not run.
bool CheckPolicy(const ChainPtr& chain, DWORD& error) {
    CERT_CHAIN_POLICY_PARA parameters{};
    parameters.cbSize = sizeof parameters;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &parameters, &status)) {
        WriteLine(LineChannel::kWideError, L"証明書チェーンの検証に失敗しました: " + LowerHex(::GetLastError()));
        return false;
    }
    error = status.dwError;
    return true;
}

void ReportPolicyError(DWORD error) {
    WriteLine(LineChannel::kWideError, L"証明書チェーンポリシー検証エラー: " + LowerHex(error));
}

// The chain fails only because nobody trusts where it ends (the root, or a partial chain's last
// certificate); dates, signatures and usage are sound.
bool OnlyTheAnchorIsMissing(const ChainPtr& chain) {
    const DWORD anchorFaults = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN;
    const DWORD status = chain->TrustStatus.dwErrorStatus;
    return (status & anchorFaults) != 0 && (status & ~anchorFaults) == 0;
}

using StorePtr = std::shared_ptr<void>;

StorePtr OpenStore(const wchar_t* name) {
    const HCERTSTORE store =
        ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, name);
    if (!store) return nullptr;
    return StorePtr(store, [](void* s) { ::CertCloseStore(s, 0); });
}

bool SameCertificate(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
    return a->cbCertEncoded == b->cbCertEncoded && std::memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
}

bool IsRemembered(const CertificatePtr& certificate, const wchar_t* storeName) {
    // Opened only when it exists: looking must not create it.
    const HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                             CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG |
                                                 CERT_STORE_READONLY_FLAG,
                                             storeName);
    if (!store) return false;
    const StorePtr owner(store, [](void* s) { ::CertCloseStore(s, 0); });
    for (PCCERT_CONTEXT stored = ::CertEnumCertificatesInStore(store, nullptr); stored;
         stored = ::CertEnumCertificatesInStore(store, stored)) {
        if (SameCertificate(stored, certificate.get())) {
            ::CertFreeCertificateContext(stored);
            return true;
        }
    }
    return false;
}

}  // namespace

bool VerifyCertificateChain(const CertificatePtr& certificate) {
    if (!certificate) return false;
    const ChainPtr chain = BuildChain(certificate);
    if (!chain) return false;
    DWORD error = 0;
    if (!CheckPolicy(chain, error)) return false;
    if (error != 0) ReportPolicyError(error);
    return error == 0;
}

bool TrustServerCertificate(const CertificatePtr& certificate, const wchar_t* storeName) {
    if (!certificate) return false;
    if (const ChainPtr chain = BuildChain(certificate)) {
        DWORD error = 0;
        if (CheckPolicy(chain, error)) {
            if (error == 0) return true;
            // A printer remembered earlier is trusted without a word.
            if (OnlyTheAnchorIsMissing(chain) && IsRemembered(certificate, storeName)) return true;
            ReportPolicyError(error);
        }
    }

    const StorePtr store = OpenStore(storeName);
    if (!store) {
        WriteLine(LineChannel::kWideError, L"証明書ストアのオープンに失敗しました。");
        return false;
    }
    if (!::CertAddCertificateContextToStore(store.get(), certificate.get(), CERT_STORE_ADD_NEWER, nullptr)) {
        WriteLine(LineChannel::kWideError, L"証明書のストアへの追加に失敗しました。");
        return false;
    }
    WriteLine(LineChannel::kWideOutput, L"証明書を正常にインストールしました。");
    return true;
}

}  // namespace Tls
