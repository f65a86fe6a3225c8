// Whether an installation trusts its printer's TLS peer, and why not when it does not.
//
// A certificate that a root the system trusts vouches for, and that names the printer, is trusted
// without a question (and remembered, so that the printer is known to speak TLS); it replaces a
// different remembered one only when it names the printer's address itself. Otherwise the
// printer's remembered certificate decides: the same one is trusted, another one is refused (the
// certificate was renewed, or someone else answers in the printer's place). So is another
// certificate than the one remembered at the printer's address for another serial. A printer with
// nothing remembered is shown to the user with the certificate's fingerprint, and trusted and
// remembered only when the user says so. A printer once seen with TLS is never sent anything in
// plain text. When the memory cannot be read, nothing is trusted that it would have to confirm.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/PeerTrust.h"
#include "update/CertificateMemory.h"

// Why the trust ended; the first refusal of an installation is the one kept.
enum class TrustRefusal {
    kNone,
    kNoCertificate,     // the TLS peer presented none, or it could not be read
    kDeclined,          // the user did not trust a certificate seen for the first time
    kChanged,           // another certificate than the one remembered for the printer
    kPlainAfterTls,     // the printer asks for plain text after it was seen with TLS
    kMemoryUnreadable,  // the file of remembered certificates cannot be read
};

// Asks the user whether to trust `presented`, the certificate of `printer` that no trusted root
// vouches for; true to trust it. Called on any thread; waits for the answer.
using TrustQuestion = std::function<bool(const PrinterIdentity& printer, const CertificateFingerprint& presented)>;

class CPrinterTrust final : public IPeerTrust {
public:
    CPrinterTrust(PrinterIdentity printer, CCertificateMemory& memory, TrustQuestion ask);

    std::vector<std::wstring> Names() const override;
    bool Trust(const PresentedCertificate* certificate) override;
    bool AllowPlain() override;

    const PrinterIdentity& Printer() const { return m_printer; }
    TrustRefusal Refusal() const;
    // For kChanged: the certificate remembered, and the one presented instead.
    CertificateFingerprint RememberedFingerprint() const;
    CertificateFingerprint PresentedFingerprint() const;
    // For kChanged and kPlainAfterTls: what the option /f takes to forget the entry that refused.
    std::wstring ForgetKey() const;
    // Where the memory is, for kMemoryUnreadable.
    std::wstring MemoryLocation() const { return m_memory.Location(); }

private:
    bool Refuse(TrustRefusal refusal, const CertificateFingerprint& remembered = {},
                const CertificateFingerprint& presented = {}, std::wstring forgetKey = {});
    void Accept(const PresentedCertificate& certificate, bool remember);
    bool Decide(std::unique_lock<std::mutex>& lock, const PresentedCertificate& certificate);

    const PrinterIdentity m_printer;
    CCertificateMemory& m_memory;
    const TrustQuestion m_ask;

    mutable std::mutex m_mutex;
    std::condition_variable m_answered;
    bool m_asking = false;  // a question is open: a second connection waits for its answer
    std::vector<std::uint8_t> m_trusted;  // the certificate trusted in this installation
    CertificateFingerprint m_trustedSha256{};
    TrustRefusal m_refusal = TrustRefusal::kNone;
    CertificateFingerprint m_remembered{};
    CertificateFingerprint m_presented{};
    std::wstring m_forgetKey;
};
