// Whether the installer trusts a printer's certificate.
//
// A printer usually presents a self-signed certificate that no root the user trusts has signed.
// The installer then remembers it, in a certificate store of its own for the current user, and
// trusts exactly that certificate from then on. It never makes a printer's certificate a root of
// the user's: that would let whoever holds its key impersonate any web site to the user.
#pragma once

#include "common/tls/ClientSocket.h"

namespace Tls {

// The current user's store in which the installer remembers printer certificates.
inline constexpr wchar_t kPrinterCertificateStore[] = L"CorvanePrinterCertificates";

// True when the certificate's chain verifies under the system's SSL policy (no server name). The
// failures are reported on the wide error channel.
bool VerifyCertificateChain(const CertificatePtr& certificate);

// The trust step of a secure transfer, right after the handshake: true when `certificate` is
// trusted now. Trusted are a certificate whose chain verifies, and one whose only fault is a root
// nobody trusts while it equals a certificate remembered in `storeName`. Any other certificate is
// remembered there (an equal or newer one already remembered refuses the add: false). Writes the
// diagnostics and the success line; the caller tells the user when this is false. A null
// certificate is false.
bool TrustServerCertificate(const CertificatePtr& certificate, const wchar_t* storeName = kPrinterCertificateStore);

}  // namespace Tls
