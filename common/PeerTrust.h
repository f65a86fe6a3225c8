// Whether a printer's TLS peer may be sent anything: the seam between the connections (which see
// the certificate) and the installation (which knows the printer, remembers certificates and can
// ask the user). Nothing is sent over a TLS connection before Trust() said yes, and nothing goes to
// a printer in plain text before AllowPlain() did.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

using CertificateFingerprint = std::array<std::uint8_t, 32>;  // SHA-256 of the encoded certificate

// The certificate a TLS peer presented, as the trust decision sees it.
struct PresentedCertificate {
    std::vector<std::uint8_t> der;  // the certificate as encoded (DER)
    CertificateFingerprint sha256{};
    // A root the system trusts vouches for it (its chain verifies under the system's SSL policy)
    // and it names the printer: one of the names IPeerTrust::Names gave.
    bool vouched = false;
    // Vouched for, and the name it carries is the printer's address itself (the first name).
    bool vouchedForAddress = false;
};

class IPeerTrust {
public:
    virtual ~IPeerTrust() = default;

    // The printer's dotted IPv4 address, then its host name when discovery gave a ".local" one: the
    // names a vouched certificate must carry. (A name announced over mDNS proves nothing; only a
    // ".local" name is one no public authority issues certificates for.)
    virtual std::vector<std::wstring> Names() const = 0;

    // True when data may go to the peer that presented `certificate` (null: it presented none).
    // May ask the user, and then waits for the answer. Safe to call from any thread.
    virtual bool Trust(const PresentedCertificate* certificate) = 0;

    // True when the printer may be sent data in plain text: false for a printer once seen with
    // TLS, whatever it says now. Safe to call from any thread.
    virtual bool AllowPlain() = 0;
};

// "AB:CD:..." as a printer's panel or web page shows a fingerprint: upper-case hexadecimal byte
// pairs separated by colons.
std::wstring FormatFingerprint(const CertificateFingerprint& fingerprint);
