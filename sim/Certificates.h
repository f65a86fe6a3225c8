// The certificates the printers present over TLS, by the name a printer's `certificate` setting
// gives: "shared" (made at start, or read from --cert/--key), a self-signed certificate of its
// own for any other name (made on first use and kept for the run, so one name is one
// certificate), and the certificates a test authority of this run issues: to the printer
// ("issued": its address and mDNS host name) or to somebody else ("issued-elsewhere").
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/Net.h"
#include "sim/Settings.h"

namespace sim {

// What a certificate of "issued-elsewhere" names instead of the printer.
constexpr const char* kElsewhereAddress = "192.0.2.1";
constexpr const char* kElsewhereHost = "elsewhere.local";

class Certificates {
public:
    // `addresses`: every printer's address; the self-signed certificates name them all.
    explicit Certificates(const std::vector<std::string>& addresses);
    ~Certificates();
    Certificates(const Certificates&) = delete;
    Certificates& operator=(const Certificates&) = delete;

    // Makes the shared certificate (or reads it from the files), and with an issuer file the
    // authority, whose certificate it writes there as PEM. Empty on success, otherwise the problem.
    std::string Start(const SimOptions& options);

    // The TLS side presenting the certificate a printer at `address` with these settings has now;
    // made on first use. Null (with `error`) when it cannot be made. Safe from any thread.
    std::shared_ptr<TlsServer> For(const PrinterSettings& settings, const std::string& address, std::string& error);

private:
    struct Authority;

    // The authority, made when first needed. Null (with `error`) when it cannot be made.
    const Authority* AuthorityLocked(std::string& error);

    std::mutex m_mutex;
    std::string m_subjectAltNames;  // "IP:a,IP:b,..." for the self-signed certificates
    std::shared_ptr<TlsServer> m_shared;
    std::unique_ptr<Authority> m_authority;
    std::map<std::string, std::shared_ptr<TlsServer>> m_named;   // self-signed, by name
    std::map<std::string, std::shared_ptr<TlsServer>> m_issued;  // by "ADDRESS HOST" they name
};

}  // namespace sim
