// The printer port as the installer runs it: the real controller library from the program's own
// resource DLL/146, Winsock, Schannel, and the printer simulator at the other end (through
// with-sim.sh). @2 is a plain printer, @3 one with TLS, @4 a plain one with SUB power on (it
// refuses update mode, so the port falls back to the update-mode frame), @5 and @6 plain ones for
// the held file and for two ports at once. The ExpiredCertificate tests run against a simulator
// of their own whose certificate has expired (@2, TLS).
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
#include "ports/win32/WinsockNetwork.h"
#include "tests/windows/SimControl.h"
#include "update/DeviceReply.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::wstring LibraryFile() { return ProcessControllerHost().TempDirectory() + kControllerLibraryFileName; }

bool LibraryFileExists() { return ::GetFileAttributesW(LibraryFile().c_str()) != INVALID_FILE_ATTRIBUTES; }

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

// Two ports alive at once share the library file (the second used to fail writing it over the
// first one's loaded library); it goes when the last of them is done with it.
TEST_F(DravonPortSim, TwoPortsShareTheLibraryFile) {
    PortPtr first = Port(5);
    PortPtr second = Port(6);
    ASSERT_TRUE(LibraryFileExists());

    std::wstring reply;
    EXPECT_TRUE(first->queryInformation(reply));
    EXPECT_EQ(reply, SnmpText(m_sim.Printer(5)));
    EXPECT_TRUE(LibraryFileExists()) << "the second port still has the library loaded";

    // A third comes while the second holds the file, then each goes in turn.
    PortPtr third = Port(5);
    std::uint32_t status = 1, detail = 1;
    EXPECT_TRUE(second->getStatusWords(status, detail));
    EXPECT_EQ(status, 0u);
    EXPECT_TRUE(LibraryFileExists()) << "the third port still has the library loaded";
    EXPECT_EQ(third->getOperationCode(), 0);
    EXPECT_FALSE(LibraryFileExists()) << "the last user deletes it";

    // Alone again, a port writes it, and deletes it when done.
    reply.clear();
    EXPECT_TRUE(second->queryInformation(reply));
    EXPECT_EQ(reply, SnmpText(m_sim.Printer(6)));
    EXPECT_FALSE(LibraryFileExists());
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

// Forgets a current-user system store with everything in it. Its registry key goes: Wine does not
// keep certificates deleted through the store itself.
void RemoveStore(const wchar_t* name) {
    const std::wstring key = std::wstring(L"Software\\Microsoft\\SystemCertificates\\") + name;
    ::RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
}

// Secure transfers with the real TLS stream, remembering printer certificates in a store of the
// test's own, with every diagnostic and success line and every message box recorded.
class SecureTransfer : public testing::Test {
protected:
    static constexpr wchar_t kStore[] = L"CorvaneTestPrinterCertificates";

    void SetUp() override {
        ASSERT_TRUE(m_sim.Connected());
        RemoveStore(kStore);
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
        RemoveStore(kStore);
    }

    PortPtr Port(const std::string& printer) {
        DravonEnvironment environment{ProcessControllerHost(), ProcessNetwork(), SystemClock(), &SystemAnsiToWide,
                                      [] { return std::make_unique<TlsStream>(nullptr, kStore); }};
        return PortPtr(new CDravonPort(::inet_addr(printer.c_str()), environment));
    }

    bool Send(CPort& port, const Bytes& data) {
        return port.sendData(data.data(), static_cast<std::uint32_t>(data.size()), 0);
    }

    std::string Errors() const {
        std::string all;
        for (const auto& line : m_errors) all += WideToCodePage(CP_UTF8, line) + "\n";
        return all;
    }

    // The one box a secure transfer may show, as the user gets it.
    struct Box {
        std::wstring text;
        std::wstring title;
        unsigned style;
        bool operator==(const Box&) const = default;
    };
    static Box CertificateCancelledBox() {
        std::wstring title;
        ModuleResources().Load(IDS_APP_TITLE, title);
        return {kCertificateCancelledText, title, MB_OK | MB_ICONERROR};
    }

    SimControl m_sim;
    std::vector<Box> m_boxes;
    std::vector<std::string> m_rootBefore;
    std::vector<std::wstring> m_output;
    std::vector<std::wstring> m_errors;
    Tls::LineSink m_previousSink;
};

TEST_F(SecureTransfer, TheFirstTransferRemembersThePrintersCertificateAndTheNextTrustsIt) {
    const std::string printer = m_sim.Printer(3);
    m_sim.Command("clear " + printer);
    m_sim.Command("set " + printer + " sub_power off");  // another test may have set it
    PortPtr port = Port(printer);
    ASSERT_TRUE(static_cast<CDravonPort&>(*port).isSecure());
    ASSERT_TRUE(port->startUpdate());

    // The whole firmware, over TLS, on the connection whose certificate was just remembered.
    const Bytes firmware = ReadAll(RESTORED_FIRMWARE_PATH);
    ASSERT_TRUE(Send(*port, firmware)) << Errors();
    ASSERT_TRUE(m_sim.WaitFor(printer, "firmware_result", "accepted")) << m_sim.Show(printer, "firmware_reason");
    EXPECT_EQ(m_sim.Show(printer, "firmware_sha256"), Sha256Hex(firmware));
    EXPECT_EQ(m_sim.Show(printer, "data_connections"), "1");
    EXPECT_EQ(m_output, std::vector<std::wstring>{L"証明書を正常にインストールしました。"});
    EXPECT_EQ(StoreContents(kStore).size(), 1u);
    EXPECT_TRUE(m_boxes.empty());

    // The next transfer finds it trusted and writes nothing.
    m_output.clear();
    const std::vector<std::string> remembered = StoreContents(kStore);
    const Bytes data(300000, 0x3C);
    ASSERT_TRUE(Send(*port, data)) << Errors();
    ASSERT_TRUE(m_sim.WaitFor(printer, "firmware_size", std::to_string(data.size())));
    EXPECT_EQ(m_sim.Show(printer, "data_connections"), "2");
    EXPECT_TRUE(m_output.empty());
    EXPECT_EQ(StoreContents(kStore), remembered);
    EXPECT_TRUE(m_boxes.empty());
}

class ExpiredCertificate : public SecureTransfer {};

TEST_F(ExpiredCertificate, OnceRememberedItIsRefusedAndNothingIsSent) {
    const std::string printer = m_sim.Printer(2);
    PortPtr port = Port(printer);
    ASSERT_TRUE(static_cast<CDravonPort&>(*port).isSecure());
    const Bytes data(50000, 0x42);

    // Never seen before: remembered like any other, as before.
    ASSERT_TRUE(Send(*port, data)) << Errors();
    ASSERT_TRUE(m_sim.WaitFor(printer, "firmware_size", std::to_string(data.size())));
    EXPECT_EQ(StoreContents(kStore).size(), 1u);

    // Remembered already: its chain still fails, the store refuses it again, the transfer stops.
    m_sim.Command("clear " + printer);
    m_output.clear();
    m_errors.clear();
    EXPECT_FALSE(Send(*port, data));
    EXPECT_EQ(m_boxes, std::vector<Box>{CertificateCancelledBox()});
    EXPECT_TRUE(m_output.empty());
    EXPECT_NE(std::find(m_errors.begin(), m_errors.end(), L"証明書のストアへの追加に失敗しました。"), m_errors.end())
        << Errors();
    ::Sleep(300);
    EXPECT_EQ(m_sim.Show(printer, "firmware_size"), "") << "not one byte of data";
    EXPECT_EQ(m_sim.Show(printer, "data_connections"), "1");
}

}  // namespace
