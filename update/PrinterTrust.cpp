// The trust decision of one installation.
#include "update/PrinterTrust.h"

CPrinterTrust::CPrinterTrust(PrinterIdentity printer, CCertificateMemory& memory, TrustQuestion ask)
    : m_printer(std::move(printer)), m_memory(memory), m_ask(std::move(ask)) {}

std::vector<std::wstring> CPrinterTrust::Names() const {
    std::vector<std::wstring> names{m_printer.address};
    if (!m_printer.hostName.empty()) names.push_back(m_printer.hostName);
    return names;
}

bool CPrinterTrust::Refuse(TrustRefusal refusal, const CertificateFingerprint& remembered,
                           const CertificateFingerprint& presented) {
    if (m_refusal == TrustRefusal::kNone) {
        m_refusal = refusal;
        m_remembered = remembered;
        m_presented = presented;
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
    const std::lock_guard lock(m_mutex);
    if (m_refusal != TrustRefusal::kNone) return false;
    if (!certificate || certificate->der.empty()) return Refuse(TrustRefusal::kNoCertificate);
    if (!m_trusted.empty()) {
        if (certificate->der == m_trusted) return true;
        // Within one installation the printer presents one certificate.
        if (!certificate->vouched) return Refuse(TrustRefusal::kChanged, m_trustedSha256, certificate->sha256);
    }
    if (certificate->vouched) {
        Accept(*certificate, true);
        return true;
    }

    const CertificateLookup remembered = m_memory.Find(m_printer);
    if (remembered.own) {
        if (remembered.own->der != certificate->der) {
            return Refuse(TrustRefusal::kChanged, remembered.own->sha256, certificate->sha256);
        }
        // Known: its entry follows the printer to a new address or a serial learnt since.
        const bool moved = remembered.own->serial == m_printer.serial &&
                           (remembered.own->address != m_printer.address ||
                            (!m_printer.model.empty() && remembered.own->model != m_printer.model));
        Accept(*certificate, moved);
        return true;
    }
    if (remembered.unbound && remembered.unbound->der == certificate->der) {
        Accept(*certificate, true);
        return true;
    }
    if (!m_ask || !m_ask(m_printer, certificate->sha256)) return Refuse(TrustRefusal::kDeclined);
    Accept(*certificate, true);
    return true;
}

bool CPrinterTrust::AllowPlain() {
    const std::lock_guard lock(m_mutex);
    if (m_refusal != TrustRefusal::kNone) return false;
    if (!m_trusted.empty() || m_memory.Find(m_printer).seenWithTls) return Refuse(TrustRefusal::kPlainAfterTls);
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
