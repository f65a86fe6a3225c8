// Making the printers' certificates: RSA keys, the self-signed shape the simulator has always
// had, and a small certificate authority of the run with the server certificates it issues.
#include "sim/Certificates.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <utility>

#include "sim/Log.h"

namespace sim {
namespace {

struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using CertPtr = std::unique_ptr<X509, X509Free>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;

constexpr long kDay = 24 * 3600;

struct Credentials {
    CertPtr cert;
    KeyPtr key;
};

// A certificate with a fresh RSA key, a random positive serial, the given validity (seconds
// from now) and subject "O=Printer simulator, CN=`commonName`"; not yet signed.
bool NewCertificate(Credentials& out, long notBefore, long notAfter, const std::string& commonName, std::string& error) {
    out.key.reset(EVP_RSA_gen(2048));
    out.cert.reset(X509_new());
    if (!out.key || !out.cert) return error = OpenSslError(), false;
    unsigned char serial[8];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7F;
    std::unique_ptr<BIGNUM, decltype(&BN_free)> number(BN_bin2bn(serial, sizeof serial, nullptr), BN_free);
    X509_set_version(out.cert.get(), 2);
    BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(out.cert.get()));
    X509_gmtime_adj(X509_getm_notBefore(out.cert.get()), notBefore);
    X509_gmtime_adj(X509_getm_notAfter(out.cert.get()), notAfter);
    X509_set_pubkey(out.cert.get(), out.key.get());
    X509_NAME* name = X509_get_subject_name(out.cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Printer simulator"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    return true;
}

// Adds the extensions (OpenSSL's configuration text) and signs with the issuer's key; a
// self-signed certificate is its own issuer.
bool Finish(X509* cert, X509* issuer, EVP_PKEY* issuerKey, const std::vector<std::pair<int, std::string>>& extensions,
            std::string& error) {
    X509_set_issuer_name(cert, X509_get_subject_name(issuer));
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, issuer, cert, nullptr, nullptr, 0);
    for (const auto& [nid, value] : extensions) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value.c_str());
        if (!ext) return error = OpenSslError(), false;
        X509_add_ext(cert, ext, -1);
        X509_EXTENSION_free(ext);
    }
    if (!X509_sign(cert, issuerKey, EVP_sha256())) return error = OpenSslError(), false;
    return true;
}

// A self-signed RSA certificate, usable as its own root, naming the given addresses. Valid from
// yesterday (a client clock slightly behind still accepts it) for ten years; `expired` moves the
// whole span into the past and changes nothing else, so a client that trusts the certificate
// fails on its dates alone.
bool MakeSelfSigned(Credentials& out, const std::string& subjectAltNames, bool expired, std::string& error) {
    if (!NewCertificate(out, expired ? -60 * kDay : -kDay, expired ? -30 * kDay : 10 * 365 * kDay, "Zentil printer",
                        error)) {
        return false;
    }
    return Finish(out.cert.get(), out.cert.get(), out.key.get(),
                  {{NID_basic_constraints, "critical,CA:TRUE"},
                   {NID_key_usage, "critical,digitalSignature,keyEncipherment,keyCertSign"},
                   {NID_ext_key_usage, "serverAuth"},
                   {NID_subject_key_identifier, "hash"},
                   {NID_subject_alt_name, subjectAltNames.empty() ? "IP:127.0.0.1" : subjectAltNames}},
                  error);
}

// The run's certificate authority: a root that signs certificates and nothing else.
bool MakeAuthority(Credentials& out, std::string& error) {
    if (!NewCertificate(out, -kDay, 10 * 365 * kDay, "Printer simulator test authority", error)) return false;
    return Finish(out.cert.get(), out.cert.get(), out.key.get(),
                  {{NID_basic_constraints, "critical,CA:TRUE"},
                   {NID_key_usage, "critical,keyCertSign,cRLSign"},
                   {NID_subject_key_identifier, "hash"}},
                  error);
}

// A server certificate the authority issues to `address` and `host`, valid from yesterday for a
// year. Both come from checked settings (dotted IPv4, a host label), so they cannot bend the
// configuration text they go into.
bool MakeIssued(Credentials& out, const Credentials& authority, const std::string& address, const std::string& host,
                std::string& error) {
    if (!NewCertificate(out, -kDay, 365 * kDay, host, error)) return false;
    return Finish(out.cert.get(), authority.cert.get(), authority.key.get(),
                  {{NID_basic_constraints, "critical,CA:FALSE"},
                   {NID_key_usage, "critical,digitalSignature,keyEncipherment"},
                   {NID_ext_key_usage, "serverAuth"},
                   {NID_subject_key_identifier, "hash"},
                   {NID_authority_key_identifier, "keyid:always"},
                   {NID_subject_alt_name, "IP:" + address + ",DNS:" + host}},
                  error);
}

bool WritePem(const std::string& path, X509* cert, std::string& error) {
    std::unique_ptr<BIO, decltype(&BIO_free)> file(BIO_new_file(path.c_str(), "w"), BIO_free);
    if (!file || PEM_write_bio_X509(file.get(), cert) != 1 || BIO_flush(file.get()) != 1) {
        error = "cannot write " + path + ": " + OpenSslError();
        return false;
    }
    return true;
}

std::shared_ptr<TlsServer> Serve(const Credentials& credentials, std::string& error) {
    return TlsServer::FromCertificate(credentials.cert.get(), credentials.key.get(), error);
}

}  // namespace

struct Certificates::Authority {
    Credentials credentials;
};

Certificates::Certificates(const std::vector<std::string>& addresses) {
    for (const std::string& address : addresses) m_subjectAltNames += (m_subjectAltNames.empty() ? "IP:" : ",IP:") + address;
}

Certificates::~Certificates() = default;

std::string Certificates::Start(const SimOptions& options) {
    std::lock_guard lock(m_mutex);
    std::string error;
    if (options.certFile.empty() && options.keyFile.empty()) {
        Credentials shared;
        if (MakeSelfSigned(shared, m_subjectAltNames, options.certExpired, error)) m_shared = Serve(shared, error);
    } else {
        m_shared = TlsServer::FromFiles(options.certFile, options.keyFile, error);
    }
    if (!m_shared) return error;
    if (options.certExpired) Log("sim", "TLS certificate made expired (--cert-expired)");
    if (options.issuerOut.empty()) return {};
    const Authority* authority = AuthorityLocked(error);
    if (!authority || !WritePem(options.issuerOut, authority->credentials.cert.get(), error)) return error;
    Log("sim", "test authority written to %s", options.issuerOut.c_str());
    return {};
}

const Certificates::Authority* Certificates::AuthorityLocked(std::string& error) {
    if (m_authority) return m_authority.get();
    auto authority = std::make_unique<Authority>();
    if (!MakeAuthority(authority->credentials, error)) return nullptr;
    m_authority = std::move(authority);
    return m_authority.get();
}

std::shared_ptr<TlsServer> Certificates::For(const PrinterSettings& settings, const std::string& address,
                                             std::string& error) {
    std::lock_guard lock(m_mutex);
    const std::string& name = settings.certificate;
    if (name == "shared") return m_shared;
    if (name != "issued" && name != "issued-elsewhere") {
        std::shared_ptr<TlsServer>& server = m_named[name];
        if (!server) {
            Credentials made;
            if (MakeSelfSigned(made, m_subjectAltNames, false, error)) server = Serve(made, error);
            if (server) Log("sim", "certificate %s made: sha256 %s", name.c_str(), server->CertificateSha256().c_str());
        }
        return server;
    }
    const bool elsewhere = name == "issued-elsewhere";
    const std::string to = elsewhere ? kElsewhereAddress : address;
    const std::string host = elsewhere ? kElsewhereHost : MdnsHostName(settings) + ".local";
    std::shared_ptr<TlsServer>& server = m_issued[to + " " + host];
    if (!server) {
        Credentials made;
        const Authority* authority = AuthorityLocked(error);
        if (authority && MakeIssued(made, authority->credentials, to, host, error)) server = Serve(made, error);
        if (server) {
            Log("sim", "certificate issued to %s and %s: sha256 %s", to.c_str(), host.c_str(),
                server->CertificateSha256().c_str());
        }
    }
    return server;
}

}  // namespace sim
