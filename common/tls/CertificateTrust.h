// What the installer reads from a printer's certificate: its encoding, its SHA-256 fingerprint and
// whether a root the system trusts vouches for it as the printer's. Whether to trust it is the
// installation's decision (update/PrinterTrust.h); nothing here remembers or installs a certificate,
// and no printer certificate ever becomes one of the user's trusted roots.
#pragma once

#include <string>
#include <vector>

#include "common/PeerTrust.h"
#include "common/tls/ClientSocket.h"

namespace Tls {

// True when the certificate's chain verifies under the system's SSL policy (no server name). The
// failures are reported on the wide error channel.
bool VerifyCertificateChain(const CertificatePtr& certificate);

// True when the certificate names `name`: an IPv4 address in dotted text must be one of its
// subject alternative names' IP addresses; a host name is matched by the system's SSL policy.
// The chain must verify as well.
bool VerifyCertificateFor(const CertificatePtr& certificate, const std::wstring& name);

// The certificate as the trust decision sees it: vouched when its chain verifies and it names one
// of `names`. False for a null certificate or one whose fingerprint cannot be computed.
bool DescribePeerCertificate(const CertificatePtr& certificate, const std::vector<std::wstring>& names,
                             PresentedCertificate& presented);

}  // namespace Tls
