// The trust decision of one installation.
#include "update/PrinterTrust.h"

namespace {

bool EndsWithLocal(const std::wstring& name) {
    constexpr std::wstring_view kSuffix = L".local";
    if (name.size() <= kSuffix.size()) return false;
    for (std::size_t i = 0; i < kSuffix.size(); ++i) {
        wchar_t c = name[name.size() - kSuffix.size() + i];
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != kSuffix[i]) return false;
    }
    return true;
}

}  // namespace

CPrinterTrust::CPrinterTrust(PrinterIdentity printer, CCertificateMemory& memory, TrustQuestion ask)
    : m_printer(std::move(printer)), m_memory(memory), m_ask(std::move(ask)) {}

std::vector<std::wstring> CPrinterTrust::Names() const {
    std::vector<std::wstring> names{m_printer.address};
    if (EndsWithLocal(m_printer.hostName)) names.push_back(m_printer.hostName);
    return names;
}

bool CPrinterTrust::Refuse(TrustRefusal refusal, const CertificateFingerprint& remembered,
                           const CertificateFingerprint& presented, std::wstring forgetKey) {
    if (m_refusal == TrustRefusal::kNone) {
        m_refusal = refusal;
        m_remembered = remembered;
        m_presented = presented;
        m_forgetKey = std::move(forgetKey);
    }
    return false;
}

void CPrinterTrust::Accept(const PresentedCertificate& certificate, bool remember) {
    // A certificate that cannot be remembered is still trusted for this installation; the next
    // one asks again.
    if (remember) m_memory.Remember(m_printer, certificate);
    m_trusted = certificate.der;
    m_trustedSha256 = certificate.sha256;
}

bool CPrinterTrust::Trust(const PresentedCertificate* certificate) {
    std::unique_lock lock(m_mutex);
    // Two connections never ask twice: the second waits for the first one's answer.
    m_answered.wait(lock, [this] { return !m_asking; });
    if (m_refusal != TrustRefusal::kNone) return false;
    if (!certificate || certificate->der.empty()) return Refuse(TrustRefusal::kNoCertificate);
    if (!m_trusted.empty()) {
        if (certificate->der == m_trusted) return true;
        // Within one installation the printer presents one certificate.
        if (!certificate->vouchedForAddress) {
            return Refuse(TrustRefusal::kChanged, m_trustedSha256, certificate->sha256, ForgetKeyOf(m_printer));
        }
    }
    return Decide(lock, *certificate);
}

bool CPrinterTrust::Decide(std::unique_lock<std::mutex>& lock, const PresentedCertificate& certificate) {
    const CertificateLookup lookup = m_memory.Find(m_printer);
    if (!lookup.readable) return Refuse(TrustRefusal::kMemoryUnreadable);

    // What was trusted for this printer before, or for whichever printer had its address.
    const std::optional<RememberedCertificate>& remembered = lookup.own ? lookup.own : lookup.atAddress;
    const bool same = remembered && remembered->der == certificate.der;
    // Another printer's entry at this address is forgotten by the address, which takes all of them.
    const auto refuseChanged = [&] {
        return Refuse(TrustRefusal::kChanged, remembered->sha256, certificate.sha256,
                      lookup.own ? ForgetKeyOf(*remembered) : remembered->address);
    };

    if (certificate.vouched) {
        if (remembered && !same && !certificate.vouchedForAddress) return refuseChanged();
        Accept(certificate, true);
        return true;
    }
    if (remembered) {
        if (!same) return refuseChanged();
        // Known: its entry follows the printer to a new address, to a serial learnt since, or to
        // the model it reports now.
        const bool moved = !lookup.own || remembered->serial != m_printer.serial ||
                           remembered->address != m_printer.address ||
                           (!m_printer.model.empty() && remembered->model != m_printer.model);
        Accept(certificate, moved);
        return true;
    }

    // Seen for the first time: the user decides, with nothing of this trust locked meanwhile.
    m_asking = true;
    lock.unlock();
    const bool yes = m_ask && m_ask(m_printer, certificate.sha256);
    lock.lock();
    m_asking = false;
    m_answered.notify_all();
    if (!yes) return Refuse(TrustRefusal::kDeclined);
    Accept(certificate, true);
    return true;
}

bool CPrinterTrust::AllowPlain() {
    std::unique_lock lock(m_mutex);
    m_answered.wait(lock, [this] { return !m_asking; });
    if (m_refusal != TrustRefusal::kNone) return false;
    if (!m_trusted.empty()) {
        return Refuse(TrustRefusal::kPlainAfterTls, {}, {}, ForgetKeyOf(m_printer));
    }
    const CertificateLookup lookup = m_memory.Find(m_printer);
    if (!lookup.readable) return Refuse(TrustRefusal::kMemoryUnreadable);
    if (lookup.seenWithTls) return Refuse(TrustRefusal::kPlainAfterTls, {}, {}, lookup.seenAs);
    return true;
}

TrustRefusal CPrinterTrust::Refusal() const {
    const std::lock_guard lock(m_mutex);
    return m_refusal;
}

CertificateFingerprint CPrinterTrust::RememberedFingerprint() const {
    const std::lock_guard lock(m_mutex);
    return m_remembered;
}

CertificateFingerprint CPrinterTrust::PresentedFingerprint() const {
    const std::lock_guard lock(m_mutex);
    return m_presented;
}

std::wstring CPrinterTrust::ForgetKey() const {
    const std::lock_guard lock(m_mutex);
    return m_forgetKey;
}
