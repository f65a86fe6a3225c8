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

// The certificate as the trust decision sees it: vouched when its chain verifies under the system's
// SSL policy and it names one of `names` (an IPv4 address in dotted text must be one of its subject
// alternative names' IP addresses; a host name is matched by the policy), vouched for the address
// when that name is the first. The chain is built from what the machine holds: nothing is fetched
// from the network. False for a null certificate or one whose fingerprint cannot be computed; the
// failures are reported on the wide error channel.
bool DescribePeerCertificate(const CertificatePtr& certificate, const std::vector<std::wstring>& names,
                             PresentedCertificate& presented);

}  // namespace Tls
