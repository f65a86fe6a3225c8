// The printer port as the installer runs it: the real controller library from the program's own
// resource DLL/146, Winsock, Schannel, and the printer simulator at the other end (through
// with-sim.sh). @2 is a plain printer, @3 one with TLS, @4 a plain one with SUB power on (it
// refuses update mode, so the port falls back to the update-mode frame), @5 and @6 plain ones for
// held files and for ports alive together. The VouchedCertificate tests run against a simulator
// of their own whose TLS printer (@2) presents a certificate of the run's test authority.
//
// No message box can be answered here: every test registers a presenter that records them, and
// a message the test does not expect fails it with its text.
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/resource.h"
#include "app/win32/Startup.h"
#include "common/Clock.h"
#include "common/tls/CertificateTrust.h"
#include "common/tls/Common.h"
#include "common/win32/CodePage.h"
#include "common/win32/ModuleResources.h"
#include "common/win32/UniqueHandle.h"
#include "common/win32/UserMessage.h"
#include "ports/DravonPort.h"
#include "ports/SnmpQuery.h"
#include "ports/win32/ControllerHost.h"
#include "ports/win32/TlsStream.h"
#include "network/win32/WinsockNetwork.h"
#include "tests/native/fakes/MemoryCertificateFile.h"
#include "tests/windows/SimControl.h"
#include "update/CertificateMemory.h"
#include "update/DeviceReply.h"
#include "update/PrinterTrust.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The process's `number`-th library file: Tessaro.DLL, then Tessaro-2.DLL, ...
std::wstring LibraryFile(int number = 1) {
    return ProcessControllerHost().TempDirectory() + ControllerLibraryFileName(number);
}

bool LibraryFileExists(int number = 1) {
    return ::GetFileAttributesW(LibraryFile(number).c_str()) != INVALID_FILE_ATTRIBUTES;
}

Bytes ReadAll(const wchar_t* path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Sha256Hex(const Bytes& data) {
    std::string hex;
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    if (CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        if (CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
            BYTE digest[32];
            DWORD size = sizeof digest;
            if (CryptHashData(hash, data.data(), static_cast<DWORD>(data.size()), 0) &&
                CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0)) {
                static const char kDigits[] = "0123456789abcdef";
                for (DWORD i = 0; i < size; ++i) {
                    hex.push_back(kDigits[digest[i] >> 4]);
                    hex.push_back(kDigits[digest[i] & 15]);
                }
            }
            CryptDestroyHash(hash);
        }
        CryptReleaseContext(provider, 0);
    }
    return hex;
}

// The printer's information reply as its SNMP agent gives it.
std::wstring SnmpText(const std::string& printer) {
    std::string text;
    EXPECT_TRUE(QuerySnmpStatus(ProcessNetwork(), SystemClock(), printer, text));
    return SystemAnsiToWide(text);
}

std::string Utf8(const std::wstring& text) { return WideToCodePage(CP_UTF8, text); }

class DravonPortSim : public testing::Test {
protected:
    // The wiring the application does at start-up.
    static void SetUpTestSuite() { WirePlatform(); }

    void SetUp() override {
        SetUserMessagePresenter([](const std::wstring& text, const std::wstring&, unsigned) {
            ADD_FAILURE() << "message box: " << Utf8(text);
            return IDCANCEL;
        });
        ASSERT_TRUE(m_sim.Connected());
    }
    void TearDown() override { SetUserMessagePresenter({}); }

    // A port made the way the install sequence makes it.
    PortPtr Port(int printer) {
        const std::uint32_t address = ::inet_addr(m_sim.Printer(printer).c_str());
        return PortPtr(new CDravonPort(address));
    }

    SimControl m_sim;
};

TEST_F(DravonPortSim, AWholeFirmwareCycleOnAPlainPrinter) {
    const std::string printer = m_sim.Printer(2);
    PortPtr port = Port(2);
    EXPECT_FALSE(static_cast<CDravonPort&>(*port).isSecure());
    EXPECT_TRUE(LibraryFileExists());  // loaded by the constructor

    std::wstring reply;
    ASSERT_TRUE(port->queryInformation(reply));
    EXPECT_EQ(reply, SnmpText(printer));
    EXPECT_FALSE(LibraryFileExists());
    ReplyMap map;
    ASSERT_TRUE(ParseDeviceReply(map, reply));
    EXPECT_EQ(*FindReplyValue(map, L"MODE"), L"NORMAL");

    std::uint32_t status = 1, detail = 1;
    EXPECT_TRUE(port->getStatusWords(status, detail));
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(port->getOperationCode(), 0);
    EXPECT_FALSE(port->checkIplMode());
    EXPECT_FALSE(LibraryFileExists());

    ASSERT_TRUE(port->startUpdate());
    EXPECT_EQ(m_sim.Show(printer, "state"), "update-mode");
    EXPECT_EQ(m_sim.Show(printer, "update_mode_requests"), "1");  // no frame after the library's yes
    EXPECT_FALSE(LibraryFileExists());
    EXPECT_TRUE(port->checkIplMode());

    // In update mode the library says to read the reply over SNMP.
    reply.clear();
    ASSERT_TRUE(port->queryInformation(reply));
    EXPECT_EQ(reply, SnmpText(printer));
    ASSERT_TRUE(ParseDeviceReply(map, reply));
    EXPECT_EQ(*FindReplyValue(map, L"MODE"), L"IPL");

    const Bytes firmware = ReadAll(RESTORED_FIRMWARE_PATH);
    ASSERT_GT(firmware.size(), 1000000u);
    ASSERT_TRUE(port->sendData(firmware.data(), static_cast<std::uint32_t>(firmware.size()), 0));
    ASSERT_TRUE(m_sim.WaitFor(printer, "firmware_result", "accepted")) << m_sim.Show(printer, "firmware_reason");
    EXPECT_EQ(m_sim.Show(printer, "firmware_size"), std::to_string(firmware.size()));
    EXPECT_EQ(m_sim.Show(printer, "firmware_sha256"), Sha256Hex(firmware));

    // Installing takes install_ms; then the printer reports state code 6.
    bool accepted = false;
    for (int i = 0; i < 100 && !accepted; ++i) {
        accepted = port->checkState();
        if (!accepted) ::Sleep(50);
    }
    EXPECT_TRUE(accepted);
    EXPECT_FALSE(LibraryFileExists());

    ASSERT_TRUE(port->requestReboot());
    EXPECT_EQ(m_sim.Show(printer, "state"), "restarting");
    EXPECT_EQ(m_sim.Show(printer, "reboot_requests"), "1");
    EXPECT_FALSE(LibraryFileExists());
}

TEST_F(DravonPortSim, ARefusedUpdateModeFallsBackToTheFrameOnAPlainPrinterOnly) {
    {
        const std::string plain = m_sim.Printer(4);
        PortPtr port = Port(4);
        // The library's request is refused (SUB power); the frame follows on port 9100. The
        // simulator counts it as a request only when all 25 bytes match the frame exactly.
        EXPECT_TRUE(port->startUpdate());
        EXPECT_TRUE(m_sim.WaitFor(plain, "update_mode_requests", "2"));
        EXPECT_EQ(m_sim.Show(plain, "firmware_result"), "");  // not taken for firmware data
        EXPECT_FALSE(LibraryFileExists());
    }
    {
        const std::string secure = m_sim.Printer(3);
        m_sim.Command("set " + secure + " sub_power on");
        PortPtr port = Port(3);
        ASSERT_TRUE(static_cast<CDravonPort&>(*port).isSecure());
        EXPECT_FALSE(port->startUpdate());
        ::Sleep(300);  // room for a frame that must not come
        EXPECT_EQ(m_sim.Show(secure, "update_mode_requests"), "1");
        EXPECT_FALSE(LibraryFileExists());
    }
}

// A virus scanner holding the library file open must not crash the installer or fail the
// operation; the file goes at the next operation once the scanner lets go.
TEST_F(DravonPortSim, AHeldLibraryFileIsDeletedLater) {
    PortPtr port = Port(5);
    ASSERT_TRUE(LibraryFileExists());
    UniqueFile scanner(::CreateFileW(LibraryFile().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(scanner);

    EXPECT_EQ(port->getOperationCode(), 0);
    EXPECT_TRUE(LibraryFileExists());
    EXPECT_EQ(ProcessControllerHost().PendingDeletes(), std::vector<std::wstring>{LibraryFile()});

    scanner.reset();
    std::wstring reply;
    EXPECT_TRUE(port->queryInformation(reply));
    EXPECT_FALSE(LibraryFileExists());
    EXPECT_TRUE(ProcessControllerHost().PendingDeletes().empty());
}

// Ports alive at once have library files, and modules, of their own: the second one's connect
// must not close the first one's connection. Each file goes when its port is done with it, and a
// freed name serves the next port.
TEST_F(DravonPortSim, PortsAliveTogetherHaveLibraryFilesOfTheirOwn) {
    const std::string printers[] = {m_sim.Printer(5), m_sim.Printer(6)};
    PortPtr first = Port(5);
    PortPtr second = Port(6);
    ASSERT_TRUE(LibraryFileExists(1));
    ASSERT_TRUE(LibraryFileExists(2));
    ASSERT_TRUE(m_sim.WaitFor(printers[1], "controller_connections", "1"));
    EXPECT_EQ(m_sim.Show(printers[0], "controller_connections"), "1") << "both connections stay open";

    std::wstring reply;
    EXPECT_TRUE(first->queryInformation(reply));
    EXPECT_EQ(reply, SnmpText(printers[0]));
    EXPECT_FALSE(LibraryFileExists(1)) << "the first port deletes its own file";
    EXPECT_TRUE(LibraryFileExists(2)) << "the second port still has the library loaded";

    // A third comes while the second holds its file: the freed first name.
    PortPtr third = Port(5);
    EXPECT_TRUE(LibraryFileExists(1));
    EXPECT_FALSE(LibraryFileExists(3));
    std::uint32_t status = 1, detail = 1;
    EXPECT_TRUE(second->getStatusWords(status, detail));
    EXPECT_EQ(status, 0u);
    EXPECT_FALSE(LibraryFileExists(2));
    EXPECT_EQ(third->getOperationCode(), 0);
    EXPECT_FALSE(LibraryFileExists(1));

    // Alone again, a port loads and deletes as a single installation does.
    reply.clear();
    EXPECT_TRUE(second->queryInformation(reply));
    EXPECT_EQ(reply, SnmpText(printers[1]));
    EXPECT_FALSE(LibraryFileExists(1));
    EXPECT_FALSE(LibraryFileExists(2));
    EXPECT_TRUE(ProcessControllerHost().PendingDeletes().empty());
}

// A name whose file could not be deleted (a scanner held it) is handed out again once free: the
// file is then its new port's alone, and no longer waits to be deleted. Another port deleting its
// own file tries the files left waiting again; one that went between its new port's write and
// load would fail that load.
TEST_F(DravonPortSim, AFileLeftWaitingAndHandedOutAgainIsItsNewPortsAlone) {
    PortPtr first = Port(5);
    {
        const UniqueFile scanner(::CreateFileW(LibraryFile().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(scanner);
        EXPECT_EQ(first->getOperationCode(), 0);
        ASSERT_EQ(ProcessControllerHost().PendingDeletes(), std::vector<std::wstring>{LibraryFile()});
    }

    PortPtr second = Port(6);  // the first name again, written anew
    EXPECT_TRUE(LibraryFileExists(1));
    EXPECT_TRUE(ProcessControllerHost().PendingDeletes().empty()) << "the file is the second port's now";
    PortPtr third = Port(5);
    ASSERT_TRUE(LibraryFileExists(2));
    EXPECT_EQ(third->getOperationCode(), 0);
    EXPECT_FALSE(LibraryFileExists(2));
    EXPECT_TRUE(LibraryFileExists(1)) << "deleted under the second port";

    std::wstring reply;
    EXPECT_TRUE(second->queryInformation(reply));
    EXPECT_EQ(reply, SnmpText(m_sim.Printer(6)));
    EXPECT_FALSE(LibraryFileExists(1));
    EXPECT_TRUE(ProcessControllerHost().PendingDeletes().empty());
}

// The SHA-1 thumbprints of a current-user system store's certificates.
std::vector<std::string> StoreContents(const wchar_t* name) {
    std::vector<std::string> prints;
    const HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                             CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, name);
    if (!store) return prints;
    for (PCCERT_CONTEXT c = ::CertEnumCertificatesInStore(store, nullptr); c; c = ::CertEnumCertificatesInStore(store, c)) {
        BYTE hash[20];
        DWORD size = sizeof hash;
        if (::CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, hash, &size)) {
            prints.emplace_back(reinterpret_cast<const char*>(hash), size);
        }
    }
    ::CertCloseStore(store, 0);
    std::sort(prints.begin(), prints.end());
    return prints;
}


std::string HexOf(const CertificateFingerprint& fingerprint) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (std::uint8_t b : fingerprint) (hex += kDigits[b >> 4]) += kDigits[b & 15];
    return hex;
}

// Secure transfers with the real TLS stream and the installation's trust, with every diagnostic
// line, every question about a certificate and every message box recorded.
class SecureTransfer : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_sim.Connected());
        m_rootBefore = StoreContents(L"ROOT");
        m_previousSink = Tls::SetLineSink([this](Tls::LineChannel channel, const std::wstring& line) {
            (channel == Tls::LineChannel::kWideOutput ? m_output : m_errors).push_back(line);
        });
        SetUserMessagePresenter([this](const std::wstring& text, const std::wstring& title, unsigned style) {
            m_boxes.push_back({text, title, style});
            return IDOK;
        });
    }

    void TearDown() override {
        SetUserMessagePresenter({});
        Tls::SetLineSink(std::move(m_previousSink));
        EXPECT_EQ(StoreContents(L"ROOT"), m_rootBefore) << "the user's trusted roots are never touched";
    }

    // One installation's trust in `printer`, over the test's memory of certificates.
    std::shared_ptr<CPrinterTrust> Trust(const std::string& printer) {
        const PrinterIdentity identity{L"ZT640-000001", std::wstring(printer.begin(), printer.end()), L"Zentil-640",
                                       L"ZT640000001.local"};
        return std::make_shared<CPrinterTrust>(identity, m_memory,
                                               [this](const PrinterIdentity&, const CertificateFingerprint& presented) {
                                                   m_questions.push_back(HexOf(presented));
                                                   return m_answer;
                                               });
    }

    PortPtr Port(const std::string& printer, std::shared_ptr<CPrinterTrust> trust = nullptr) {
        DravonEnvironment environment{ProcessControllerHost(), ProcessNetwork(), SystemClock(), &SystemAnsiToWide,
                                      [] { return std::make_unique<TlsStream>(); }};
        PortPtr port(new CDravonPort(::inet_addr(printer.c_str()), environment));
        port->setPeerTrust(trust ? trust : Trust(printer));
        return port;
    }

    bool Send(CPort& port, const Bytes& data) {
        return port.sendData(data.data(), static_cast<std::uint32_t>(data.size()), 0);
    }

    std::string Errors() const {
        std::string all;
        for (const auto& line : m_errors) all += WideToCodePage(CP_UTF8, line) + "\n";
        return all;
    }

    struct Box {
        std::wstring text;
        std::wstring title;
        unsigned style;
        bool operator==(const Box&) const = default;
    };

    SimControl m_sim;
    MemoryCertificateFile m_file;
    CCertificateMemory m_memory{m_file};
    std::vector<std::string> m_questions;  // the fingerprints asked about, lower-case hex
    bool m_answer = true;
    std::vector<Box> m_boxes;
    std::vector<std::string> m_rootBefore;
    std::vector<std::wstring> m_output;
    std::vector<std::wstring> m_errors;
    Tls::LineSink m_previousSink;
};

// The check before anything is sent asks about the certificate the printer really presents; the
// firmware then goes over a connection whose certificate is the trusted one, and the next
// installation asks nothing.
TEST_F(SecureTransfer, TheCertificateIsShownOnceAndTheFirmwareGoesWhereItIsTrusted) {
    const std::string printer = m_sim.Printer(3);
    m_sim.Command("set " + printer + " certificate shared");
    m_sim.Command("set " + printer + " sub_power off");  // another test may have set it
    m_sim.Command("clear " + printer);
    PortPtr port = Port(printer);
    ASSERT_TRUE(static_cast<CDravonPort&>(*port).isSecure());
    EXPECT_EQ(port->checkPeerTrust(), PeerCheck::kTrusted) << Errors();
    EXPECT_EQ(m_questions, std::vector<std::string>{m_sim.Show(printer, "certificate_sha256")});
    EXPECT_EQ(m_sim.Show(printer, "data_connections"), "1");
    EXPECT_EQ(m_sim.Show(printer, "firmware_connections"), "0") << "the check carries no byte";
    ASSERT_TRUE(port->startUpdate());

    const Bytes firmware = ReadAll(RESTORED_FIRMWARE_PATH);
    ASSERT_TRUE(Send(*port, firmware)) << Errors();
    ASSERT_TRUE(m_sim.WaitFor(printer, "firmware_result", "accepted")) << m_sim.Show(printer, "firmware_reason");
    EXPECT_EQ(m_sim.Show(printer, "firmware_sha256"), Sha256Hex(firmware));
    EXPECT_EQ(m_questions.size(), 1u);

    // The next installation: remembered, trusted without a word.
    PortPtr next = Port(printer);
    const Bytes data(300000, 0x3C);
    ASSERT_TRUE(Send(*next, data)) << Errors();
    ASSERT_TRUE(m_sim.WaitFor(printer, "firmware_size", std::to_string(data.size())));
    EXPECT_EQ(m_sim.Show(printer, "data_connections"), "3");
    EXPECT_EQ(m_questions.size(), 1u);
    EXPECT_TRUE(m_boxes.empty());
    EXPECT_TRUE(m_output.empty()) << "nothing installed anywhere";
}

// A printer that presents another certificate than the remembered one, and one whose certificate
// the user does not trust, get no byte.
TEST_F(SecureTransfer, AChangedOrDeclinedCertificateGetsNoByte) {
    const std::string printer = m_sim.Printer(3);
    m_sim.Command("set " + printer + " certificate shared");
    m_sim.Command("clear " + printer);
    EXPECT_EQ(Port(printer)->checkPeerTrust(), PeerCheck::kTrusted);
    const std::string remembered = m_file.content;

    m_sim.Command("set " + printer + " certificate renewed-" + std::to_string(::GetCurrentProcessId()));
    const std::shared_ptr<CPrinterTrust> trust = Trust(printer);
    PortPtr port = Port(printer, trust);
    const Bytes data(50000, 0x42);
    EXPECT_FALSE(Send(*port, data));
    EXPECT_EQ(trust->Refusal(), TrustRefusal::kChanged);
    EXPECT_EQ(HexOf(trust->PresentedFingerprint()), m_sim.Show(printer, "certificate_sha256"));
    EXPECT_EQ(m_file.content, remembered);
    EXPECT_EQ(m_questions.size(), 1u);

    m_file.content.clear();
    m_answer = false;
    const std::shared_ptr<CPrinterTrust> declined = Trust(printer);
    EXPECT_EQ(Port(printer, declined)->checkPeerTrust(), PeerCheck::kRefused);
    EXPECT_EQ(declined->Refusal(), TrustRefusal::kDeclined);
    ::Sleep(300);
    EXPECT_EQ(m_sim.Show(printer, "firmware_connections"), "0") << "not one byte of data";
    EXPECT_TRUE(m_boxes.empty());
    m_sim.Command("set " + printer + " certificate shared");
}

// A certificate that a root the system trusts vouches for and that names the printer, run against
// a simulator of its own whose printer presents one issued by the run's test authority. The
// authority is a root of the machine (not the user's) for the test's process only.
class VouchedCertificate : public SecureTransfer {
protected:
    static void SetUpTestSuite() {
        const Bytes pem = ReadAll(SIM_ISSUER_PATH);
        DWORD size = 0;
        std::vector<BYTE> der(pem.size());
        size = static_cast<DWORD>(der.size());
        if (!::CryptStringToBinaryA(reinterpret_cast<const char*>(pem.data()), static_cast<DWORD>(pem.size()),
                                    CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr)) {
            return;
        }
        s_root = ::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size);
        const HCERTSTORE store =
            ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
        if (s_root && store) ::CertAddCertificateContextToStore(store, s_root, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
        if (store) ::CertCloseStore(store, 0);
    }
    static void TearDownTestSuite() {
        if (!s_root) return;
        const HCERTSTORE store =
            ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
        if (store) {
            if (PCCERT_CONTEXT found = ::CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING,
                                                                    s_root, nullptr)) {
                ::CertDeleteCertificateFromStore(found);
            }
            ::CertCloseStore(store, 0);
        }
        ::CertFreeCertificateContext(s_root);
        s_root = nullptr;
    }

    // What the stream says of the printer's certificate for `names`.
    std::optional<PresentedCertificate> Presented(const std::string& printer, const std::vector<std::wstring>& names) {
        TlsStream stream;
        if (!stream.Connect(std::wstring(printer.begin(), printer.end()), kPrinterDataPort, 10000)) return std::nullopt;
        PresentedCertificate certificate;
        if (!stream.PeerCertificate(names, certificate)) return std::nullopt;
        return certificate;
    }

    static inline PCCERT_CONTEXT s_root = nullptr;
};

TEST_F(VouchedCertificate, OnlyACertificateIssuedToThePrinterIsVouchedFor) {
    ASSERT_NE(s_root, nullptr) << "the simulator's authority was not read";
    const std::string printer = m_sim.Printer(2);
    const std::wstring address(printer.begin(), printer.end());
    const struct {
        const char* certificate;
        std::vector<std::wstring> names;
        bool vouched;
        bool forAddress;
    } cases[] = {
        {"issued", {address}, true, true},
        {"issued", {L"10.9.9.9", L"ZT640000001.local"}, true, false},  // by the host name discovery gave
        {"issued", {L"10.9.9.9", L"other.local"}, false, false},
        {"issued-elsewhere", {address, L"ZT640000001.local"}, false, false},
        {"shared", {address}, false, false},  // self-signed: no root vouches for it
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.certificate);
        m_sim.Command("set " + printer + " certificate " + c.certificate);
        const std::optional<PresentedCertificate> presented = Presented(printer, c.names);
        ASSERT_TRUE(presented.has_value()) << Errors();
        EXPECT_EQ(presented->vouched, c.vouched);
        EXPECT_EQ(presented->vouchedForAddress, c.forAddress);
        EXPECT_EQ(HexOf(presented->sha256), m_sim.Show(printer, "certificate_sha256"));
        EXPECT_EQ(Sha256Hex(presented->der), m_sim.Show(printer, "certificate_sha256"));
    }

    // Through the port: trusted without a question, and remembered.
    m_sim.Command("set " + printer + " certificate issued");
    EXPECT_EQ(Port(printer)->checkPeerTrust(), PeerCheck::kTrusted);
    EXPECT_TRUE(m_questions.empty());
    EXPECT_NE(m_file.content.find("sha256=" + m_sim.Show(printer, "certificate_sha256")), std::string::npos);
}

}  // namespace
