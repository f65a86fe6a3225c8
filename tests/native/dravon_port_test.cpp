// The printer port against a fake controller library and a scripted network with its SNMP
// agent: the order of library calls, when the library is loaded and unloaded, the status-word
// rules, the transfers to port 9100 and the readings taken over SNMP.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/Text.h"
#include "ports/ControllerLibraryFile.h"
#include "ports/DravonPort.h"
#include "ports/Ipv4Address.h"
#include "tests/native/fakes/FakeControllerHost.h"
#include "tests/native/fakes/HexBytes.h"
#include "tests/native/fakes/RecordingTrust.h"
#include "tests/native/fakes/ScriptedNetwork.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Calls = std::vector<std::string>;

const wchar_t kNotLoadable[] = L"DLLが見つからないまたはロードできません";
const wchar_t kExportError[] = L"DLL関数取得エラー";
const wchar_t kVersionError[] = L"APIバージョン不整合";

const std::wstring kLibraryPath = L"/fake/temp/Tessaro.DLL";
// The files of ports that need the library while others hold theirs.
const std::wstring kSecondLibraryPath = L"/fake/temp/Tessaro-2.DLL";
const std::wstring kThirdLibraryPath = L"/fake/temp/Tessaro-3.DLL";
const Calls kLoad = {"write",
                     "load",
                     "resolve GetRemoteConnectAPI",
                     "remote version",
                     "resolve GetServiceToolAPI",
                     "service version",
                     "connect 127.0.0.2"};
const Calls kUnload = {"free", "delete"};

Calls Join(std::initializer_list<Calls> parts) {
    Calls all;
    for (const Calls& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

class DravonPortTest : public testing::Test {
protected:
    DravonPortTest() {
        script.hosts = {{L"127.0.0.2", "127.0.0.2"}};
        script.snmpAnswer = "MDL:Zentil-640;MODE:NORMAL;SECURITY:0.00;";
    }

    std::unique_ptr<CDravonPort, PortRelease> MakePort() {
        auto port = std::unique_ptr<CDravonPort, PortRelease>(new CDravonPort(kAddress, Environment()));
        constructionCalls = host.TakeCalls();
        port->setPeerTrust(trust);
        return port;
    }
    DravonEnvironment Environment() {
        return DravonEnvironment{host, network, clock, &text::WidenBytes, [this] { return network.NewSecureStream(); },
                                 kDataPortStallMs};
    }

    // After an operation that completed: the library unloaded and its file gone.
    void ExpectUnloaded() {
        EXPECT_FALSE(host.ModuleLoaded());
        EXPECT_TRUE(host.files.empty());
    }
    void ExpectStillLoaded() {
        EXPECT_EQ(host.loadedModules(), 1);
        EXPECT_TRUE(host.files.contains(kLibraryPath));
    }

    // The sizes of the sends, in order.
    std::vector<std::size_t> SendSizes() const {
        std::vector<std::size_t> sizes;
        for (const auto& block : script.sent) sizes.push_back(block.size());
        return sizes;
    }
    Bytes AllSent() const {
        Bytes all;
        for (const auto& block : script.sent) all.insert(all.end(), block.begin(), block.end());
        return all;
    }
    void ForgetNetwork() {
        script.log.clear();
        script.sent.clear();
        script.sends = 0;
    }

    const std::uint32_t kAddress = Ipv4NetworkOrder(127, 0, 0, 2);
    const Calls kDataConnection = {"connect 127.0.0.2:9100 60000", "connected"};
    FakeControllerHost host;
    ManualClock clock;
    ScriptedNetwork network{clock};
    NetworkScript& script = network.script;
    Calls constructionCalls;
    std::shared_ptr<RecordingTrust> trust = std::make_shared<RecordingTrust>();
};

TEST(Ipv4Address, DottedTextIsInNetworkByteOrder) {
    EXPECT_EQ(DottedIpv4(Ipv4NetworkOrder(127, 0, 0, 2)), "127.0.0.2");
    EXPECT_EQ(DottedIpv4(Ipv4NetworkOrder(10, 200, 3, 45)), "10.200.3.45");
    EXPECT_EQ(DottedIpv4(Ipv4NetworkOrder(0, 0, 0, 0)), "0.0.0.0");
    EXPECT_EQ(DottedIpv4(Ipv4NetworkOrder(255, 255, 255, 255)), "255.255.255.255");
    // The first octet sits at the lowest address, as in a socket address.
    const std::uint32_t address = Ipv4NetworkOrder(192, 168, 1, 20);
    EXPECT_EQ(reinterpret_cast<const std::uint8_t*>(&address)[0], 192);
}

TEST_F(DravonPortTest, ConstructionReadsSecurityAndLoadsOnce) {
    auto port = MakePort();
    EXPECT_EQ(script.log, Calls{"snmp 127.0.0.2:161 cvn"});
    EXPECT_EQ(constructionCalls, kLoad);
    ExpectStillLoaded();
    EXPECT_TRUE(host.messages.empty());

    // The first operation uses the loaded library, connects again and unloads.
    std::wstring reply;
    EXPECT_TRUE(port->queryInformation(reply));
    EXPECT_EQ(reply, L"MDL:Zentil-640;VER:3.30;");
    EXPECT_EQ(host.TakeCalls(), Join({{"connect 127.0.0.2", "info", "status"}, kUnload}));
    ExpectUnloaded();

    // The next one loads again.
    EXPECT_EQ(port->getOperationCode(), 0);
    EXPECT_EQ(host.TakeCalls(), Join({kLoad, {"opcode"}, kUnload}));
}

TEST_F(DravonPortTest, QueryInformationFollowsTheStatusWord) {
    const std::string library = "MDL:Zentil-640;VER:3.30;MODE:NORMAL;";
    const std::string snmp = "MDL:Zentil-640;VER:3.30;MODE:IPL;PANEL:3.0.0;";
    const struct {
        std::uint32_t status;
        std::optional<std::string> snmpAnswer;
        std::wstring reply;
    } cases[] = {
        {0x00000000, snmp, text::WidenBytes(library)},
        {0x01000000, snmp, text::WidenBytes(library)},  // no state code without bit 31
        {0x86000000, snmp, text::WidenBytes(library)},
        {0xF6000000, snmp, text::WidenBytes(library)},  // bits 28-30 are not looked at
        {0x83000000, snmp, L""},
        {0xFFFFFFFF, snmp, L""},
        {0x81000000, snmp, text::WidenBytes(snmp)},
        {0x91000000, snmp, text::WidenBytes(snmp)},
        {0x81000000, std::nullopt, L""},  // the SNMP query fails
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.status << (c.snmpAnswer ? "" : " no SNMP answer"));
        host.library.information = library;
        host.library.status = c.status;
        auto port = MakePort();
        script.snmpAnswer = c.snmpAnswer;
        ForgetNetwork();

        std::wstring reply = L"left over";
        EXPECT_EQ(port->queryInformation(reply), !c.reply.empty());
        EXPECT_EQ(reply, c.reply);
        const bool viaSnmp = (c.status & 0x8F000000) == 0x81000000;
        EXPECT_EQ(script.log.size(), viaSnmp ? 2u - (c.snmpAnswer ? 1u : 0u) : 0u);
        ExpectUnloaded();
        script.snmpAnswer = "SECURITY:0.00;";
        host.TakeCalls();
    }
}

TEST_F(DravonPortTest, InformationThatFillsTheWholeBufferIsCutAtItsEnd) {
    host.library.information = "ABCD";
    host.library.terminatesInformation = false;
    auto port = MakePort();
    std::wstring reply;
    EXPECT_TRUE(port->queryInformation(reply));
    EXPECT_EQ(reply.size(), 1024u);
}

TEST_F(DravonPortTest, EveryLibraryOperationUnloadsWhenItsCallsAreDone) {
    host.library.status = 0x86000000;
    host.library.detail = 0x12345678;
    host.library.operationCode = 45;
    const struct {
        const char* name;
        std::function<bool(CDravonPort&)> run;
        Calls calls;
    } cases[] = {
        {"queryInformation", [](CDravonPort& p) { std::wstring r; return p.queryInformation(r); },
         {"connect 127.0.0.2", "info", "status"}},
        {"startUpdate", [](CDravonPort& p) { return p.startUpdate(); }, {"start 0"}},
        {"requestReboot", [](CDravonPort& p) { return p.requestReboot(); }, {"connect 127.0.0.2", "reboot"}},
        {"checkState", [](CDravonPort& p) { return p.checkState(); }, {"connect 127.0.0.2", "status"}},
        {"getOperationCode", [](CDravonPort& p) { return p.getOperationCode() == 45; }, {"opcode"}},
        {"getStatusWords",
         [](CDravonPort& p) {
             std::uint32_t status = 0, detail = 0;
             return p.getStatusWords(status, detail) && status == 0x86000000 && detail == 0x12345678;
         },
         {"connect 127.0.0.2", "status"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto port = MakePort();
        EXPECT_TRUE(c.run(*port));
        EXPECT_EQ(host.TakeCalls(), Join({c.calls, kUnload}));
        ExpectUnloaded();
        EXPECT_TRUE(LogLines(script, "connect 127").empty());
    }
}

TEST_F(DravonPortTest, CheckStateWantsStateCodeSixWithBit31) {
    const struct {
        std::uint32_t status;
        bool accepted;
    } cases[] = {{0x86000000, true}, {0xF6000000, true}, {0x06000000, false},
                 {0x83000000, false}, {0x81000000, false}, {0x00000000, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.status);
        host.library.status = c.status;
        auto port = MakePort();
        EXPECT_EQ(port->checkState(), c.accepted);
    }
}

TEST_F(DravonPortTest, StatusWordsCarryTheLibrarysAnswer) {
    host.library.statusAnswer = false;
    host.library.status = 0x80000000;
    auto port = MakePort();
    std::uint32_t status = 0, detail = 1;
    EXPECT_FALSE(port->getStatusWords(status, detail));
    EXPECT_EQ(status, 0x80000000u);
    EXPECT_EQ(detail, 0u);
    ExpectUnloaded();
}

// Where an operation stops after its connect step or a refused request, the library stays
// loaded, and the next operation uses it without writing the file again.
TEST_F(DravonPortTest, EarlyReturnsLeaveTheLibraryLoadedForTheNextOperation) {
    const struct {
        const char* name;
        bool connects;
        std::function<bool(CDravonPort&)> run;
    } cases[] = {
        {"queryInformation", false, [](CDravonPort& p) { std::wstring r; return p.queryInformation(r); }},
        {"requestReboot", false, [](CDravonPort& p) { return p.requestReboot(); }},
        {"requestReboot refused", true, [](CDravonPort& p) { return p.requestReboot(); }},
        {"checkState", false, [](CDravonPort& p) { return p.checkState(); }},
        {"getStatusWords", false, [](CDravonPort& p) { std::uint32_t s, d; return p.getStatusWords(s, d); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host.library.connects = c.connects;
        host.library.rebootAnswer = false;
        host.library.operationCode = 1;
        auto port = MakePort();
        host.writes = 0;
        EXPECT_FALSE(c.run(*port));
        ExpectStillLoaded();

        EXPECT_EQ(port->getOperationCode(), 1);
        EXPECT_EQ(host.writes, 0);
        ExpectUnloaded();
        EXPECT_TRUE(host.messages.empty());
        host.TakeCalls();
    }
}

TEST_F(DravonPortTest, GetOperationCodeDoesNotConnect) {
    auto port = MakePort();
    host.library.connects = false;
    host.library.operationCode = 45;
    EXPECT_EQ(port->getOperationCode(), 45);
    EXPECT_EQ(host.TakeCalls(), Join({{"opcode"}, kUnload}));
}

TEST_F(DravonPortTest, LibraryProblemsShowTheirMessageAndFail) {
    const struct {
        const char* name;
        std::function<void(FakeLibrary&)> setUp;
        const wchar_t* message;
        Calls load;  // the failed load, up to the message
    } cases[] = {
        {"not loadable", [](FakeLibrary& l) { l.loadable = false; }, kNotLoadable, {"write", "load"}},
        {"no GetRemoteConnectAPI", [](FakeLibrary& l) { l.remoteConnectExport = false; }, kExportError,
         {"write", "load", "resolve GetRemoteConnectAPI"}},
        {"no remote-connect object", [](FakeLibrary& l) { l.remoteConnectObject = false; }, kExportError,
         {"write", "load", "resolve GetRemoteConnectAPI"}},
        {"remote connect V101", [](FakeLibrary& l) { l.remoteConnectVersion = "V101"; }, kVersionError,
         {"write", "load", "resolve GetRemoteConnectAPI", "remote version"}},
        {"remote connect v100", [](FakeLibrary& l) { l.remoteConnectVersion = "v100"; }, kVersionError,
         {"write", "load", "resolve GetRemoteConnectAPI", "remote version"}},
        {"no GetServiceToolAPI", [](FakeLibrary& l) { l.serviceToolExport = false; }, kExportError,
         {"write", "load", "resolve GetRemoteConnectAPI", "remote version", "resolve GetServiceToolAPI"}},
        {"no service-tool object", [](FakeLibrary& l) { l.serviceToolObject = false; }, kExportError,
         {"write", "load", "resolve GetRemoteConnectAPI", "remote version", "resolve GetServiceToolAPI"}},
        {"service tool V100 with a space", [](FakeLibrary& l) { l.serviceToolVersion = "V100 "; }, kVersionError,
         {"write", "load", "resolve GetRemoteConnectAPI", "remote version", "resolve GetServiceToolAPI",
          "service version"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host.library = FakeLibrary{};
        c.setUp(host.library);
        host.messages.clear();
        auto port = MakePort();
        EXPECT_EQ(constructionCalls, c.load);
        EXPECT_EQ(host.messages, std::vector<std::wstring>{c.message});

        // Each operation writes the file and loads again, and fails the same way. A module left
        // by the failed load is freed first, so that loads and frees stay balanced.
        std::wstring reply;
        EXPECT_FALSE(port->queryInformation(reply));
        EXPECT_EQ(port->getOperationCode(), -1);
        EXPECT_EQ(host.writes, 3);
        EXPECT_EQ(host.messages, std::vector<std::wstring>(3, c.message));
        EXPECT_LE(host.loadedModules(), 1);
        host.writes = 0;
        port.reset();
        ExpectUnloaded();
        host.TakeCalls();
    }
}

TEST_F(DravonPortTest, AFailedLoadIsRetriedByTheNextOperation) {
    host.library.serviceToolExport = false;
    auto port = MakePort();
    host.library.serviceToolExport = true;
    host.library.operationCode = 7;
    EXPECT_EQ(port->getOperationCode(), 7);
    EXPECT_EQ(host.TakeCalls(), Join({{"free"}, kLoad, {"opcode"}, kUnload}));
    ExpectUnloaded();
}

// Ports that have the library loaded at the same time (installations side by side, or the
// identified printer's port beside the one being installed) each have a file, and so a module, of
// their own: the library keeps one connection per module. The first file has the library's own
// name, the others the lowest free number; a port deletes its file when it lets go of the library,
// and the name is free again.
TEST_F(DravonPortTest, PortsWithTheLibraryLoadedTogetherEachHaveAFileOfTheirOwn) {
    using Files = std::set<std::wstring>;
    std::array<std::unique_ptr<CDravonPort, PortRelease>, 4> ports;
    const auto opcode = [&](int i) { return [&, i] { EXPECT_EQ(ports[i]->getOperationCode(), 0); }; };
    const struct {
        const char* step;
        std::function<void()> run;
        Calls calls;
        Files files;  // the files there afterwards, each with its module loaded
    } steps[] = {
        {"first port made", [&] { ports[0] = MakePort(); }, kLoad, {kLibraryPath}},
        {"second port made beside it", [&] { ports[1] = MakePort(); }, kLoad, {kLibraryPath, kSecondLibraryPath}},
        {"third port made", [&] { ports[2] = MakePort(); }, kLoad,
         {kLibraryPath, kSecondLibraryPath, kThirdLibraryPath}},
        {"the second port's operation deletes its file", opcode(1), Join({{"opcode"}, kUnload}),
         {kLibraryPath, kThirdLibraryPath}},
        {"a fourth port takes the freed name", [&] { ports[3] = MakePort(); }, kLoad,
         {kLibraryPath, kSecondLibraryPath, kThirdLibraryPath}},
        {"the first port released with its library loaded", [&] { ports[0].reset(); }, kUnload,
         {kSecondLibraryPath, kThirdLibraryPath}},
        {"the second port loads again, into the first name",
         [&] {
             host.library.connects = false;  // the operation stops after the load, which stays
             std::uint32_t status, detail;
             EXPECT_FALSE(ports[1]->getStatusWords(status, detail));
             host.library.connects = true;
         },
         kLoad, {kLibraryPath, kSecondLibraryPath, kThirdLibraryPath}},
        {"the others released", [&] { ports = {}; }, Join({kUnload, kUnload, kUnload}), {}},
        {"a port alone has the first name again", [&] { ports[0] = MakePort(); }, kLoad, {kLibraryPath}},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.step);
        constructionCalls.clear();
        s.run();
        Calls calls = std::move(constructionCalls);
        for (std::string& call : host.TakeCalls()) calls.push_back(std::move(call));
        EXPECT_EQ(calls, s.calls);
        EXPECT_EQ(host.files, s.files);
        EXPECT_EQ(host.LoadedFiles(), s.files);
        EXPECT_EQ(host.loadedModules(), static_cast<int>(s.files.size())) << "a module loaded twice";
    }
    EXPECT_TRUE(host.messages.empty());
}

// A port whose load failed frees its module and writes its own file again at the next try; the
// port beside it keeps its module and file as they are.
TEST_F(DravonPortTest, ALoadThatFailsBesideAnotherPortLeavesTheOthersFileAlone) {
    auto first = MakePort();
    host.library.serviceToolVersion = "V101";
    auto second = MakePort();
    EXPECT_EQ(host.messages, std::vector<std::wstring>{kVersionError});
    // The failed load keeps its module until the next try.
    EXPECT_EQ(host.LoadedFiles(), (std::set<std::wstring>{kLibraryPath, kSecondLibraryPath}));

    host.library.serviceToolVersion = "V100";
    host.library.operationCode = 9;
    host.writes = 0;
    EXPECT_EQ(second->getOperationCode(), 9);
    EXPECT_EQ(host.TakeCalls(), Join({{"free"}, kLoad, {"opcode"}, kUnload}));
    EXPECT_EQ(host.writes, 1) << "only the second port's own file is written again";
    EXPECT_EQ(host.LoadedFiles(), std::set<std::wstring>{kLibraryPath});
    EXPECT_EQ(first->getOperationCode(), 9);
    EXPECT_EQ(host.TakeCalls(), Join({{"opcode"}, kUnload})) << "the first port's module was left as it was";
    ExpectUnloaded();
    EXPECT_EQ(host.messages.size(), 1u);
}

// A file that could not be written stays its port's (it may have been created); the port writes
// it again at its next operation, while a port made meanwhile gets another file.
TEST_F(DravonPortTest, AFileAPortCouldNotWriteIsWrittenAgainAtItsNextOperation) {
    host.writeResult = IControllerHost::WriteResult::kFileError;
    auto first = MakePort();
    EXPECT_EQ(host.messages, std::vector<std::wstring>{host.fileErrorReport});

    host.writeResult = IControllerHost::WriteResult::kWritten;
    auto second = MakePort();
    EXPECT_EQ(constructionCalls, kLoad);
    EXPECT_EQ(host.files, std::set<std::wstring>{kSecondLibraryPath});
    EXPECT_EQ(first->getOperationCode(), 0);
    EXPECT_EQ(host.TakeCalls(), Join({kLoad, {"opcode"}, kUnload}));
    EXPECT_EQ(host.writes, 3);
    EXPECT_EQ(host.files, std::set<std::wstring>{kSecondLibraryPath});
    first->release();
    second->release();
    ExpectUnloaded();
    EXPECT_EQ(host.TakeCalls(), kUnload);
}

TEST_F(DravonPortTest, ExtractionFailures) {
    {
        SCOPED_TRACE("no temporary directory: silent");
        host.tempDirectory.clear();
        auto port = MakePort();
        EXPECT_FALSE(port->startUpdate());
        EXPECT_EQ(port->getOperationCode(), -1);
        EXPECT_EQ(host.TakeCalls(), Calls{});
        EXPECT_TRUE(host.messages.empty());
        host.tempDirectory = L"/fake/temp/";
    }
    {
        SCOPED_TRACE("file error: the report is shown");
        host.writeResult = IControllerHost::WriteResult::kFileError;
        auto port = MakePort();
        std::wstring reply;
        EXPECT_FALSE(port->queryInformation(reply));
        EXPECT_EQ(host.messages, std::vector<std::wstring>(2, host.fileErrorReport));
        EXPECT_EQ(host.loads, 0);
        host.messages.clear();
    }
    {
        SCOPED_TRACE("no resource: silent, and the empty file goes with the release");
        host.writeResult = IControllerHost::WriteResult::kNoResource;
        auto port = MakePort();
        EXPECT_FALSE(port->requestReboot());
        EXPECT_TRUE(host.messages.empty());
        EXPECT_EQ(host.loads, 0);
        EXPECT_TRUE(host.files.contains(kLibraryPath));
        port.reset();
        EXPECT_TRUE(host.files.empty());
    }
}

TEST_F(DravonPortTest, AFileLeftBehindFailsNothing) {
    host.filesHeldOpen = true;
    host.library.operationCode = 45;
    auto port = MakePort();
    EXPECT_EQ(port->getOperationCode(), 45);
    EXPECT_TRUE(host.files.contains(kLibraryPath));
    EXPECT_FALSE(host.ModuleLoaded());
    // The next operation writes the file again and goes on as usual.
    EXPECT_EQ(port->getOperationCode(), 45);
    EXPECT_EQ(host.TakeCalls(), Join({{"opcode"}, kUnload, kLoad, {"opcode"}, kUnload}));
    port->release();
}

TEST_F(DravonPortTest, ReleaseOnAPortThatNeverLoadedDoesNothing) {
    host.tempDirectory.clear();
    auto port = MakePort();
    port->release();
    port->release();
    EXPECT_EQ(host.TakeCalls(), Calls{});
}

TEST_F(DravonPortTest, SendDataSendsEachBlockInOneCall) {
    Bytes data(2 * 102400 + 51200);
    std::iota(data.begin(), data.end(), std::uint8_t{0});
    const struct {
        std::uint32_t blockSize;
        std::uint32_t length;
        std::vector<std::size_t> blocks;
    } cases[] = {
        {0, static_cast<std::uint32_t>(data.size()), {102400, 102400, 51200}},
        {1000, 2500, {1000, 1000, 500}},
        {1000, 2000, {1000, 1000}},
        {0, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.length << " bytes in blocks of " << c.blockSize);
        auto port = MakePort();
        ForgetNetwork();
        EXPECT_TRUE(port->sendData(data.data(), c.length, c.blockSize));
        EXPECT_EQ(LogLines(script, "connect 127"), Calls{kDataConnection[0]});
        EXPECT_EQ(SendSizes(), c.blocks);
        EXPECT_EQ(AllSent(), Bytes(data.begin(), data.begin() + c.length));
        EXPECT_EQ(script.streamsAlive, 0);
        EXPECT_EQ(host.TakeCalls(), Calls{});  // the library is not used
    }
}

// An administrator's stall bound holds for the data connection, plain or TLS, and each block.
TEST_F(DravonPortTest, TheEnvironmentsStallBoundIsTheDataConnectionsWait) {
    for (const char* security : {"0.00", "1.00"}) {
        SCOPED_TRACE(security);
        script.snmpAnswer = std::string("MDL:Zentil-640;SECURITY:") + security + ";";
        DravonEnvironment environment = Environment();
        environment.stallMs = 7000;
        auto port = std::unique_ptr<CDravonPort, PortRelease>(new CDravonPort(kAddress, environment));
        port->setPeerTrust(trust);
        ForgetNetwork();
        const Bytes data(10, 0x11);
        EXPECT_TRUE(port->sendData(data.data(), 10, 0));
        const std::string expected = std::string(security[0] == '1' ? "tls " : "") + "connect 127.0.0.2:9100 7000";
        EXPECT_EQ(script.log.at(0), expected);
    }
}

TEST_F(DravonPortTest, SendDataFailures) {
    const Bytes data(3000, 0x5A);
    const struct {
        const char* name;
        int connectResult;
        int shortSendAt;
        int failSendAt;
        std::vector<std::size_t> sent;
    } cases[] = {
        {"no connection", net::kErrorRefused, -1, -1, {}},
        {"second block only partly taken", 0, 1, -1, {1000, 999}},
        {"second send fails", 0, -1, 1, {1000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto port = MakePort();
        ForgetNetwork();
        script.connectResults = {c.connectResult};
        script.shortSendAt = c.shortSendAt;
        script.failSendAt = c.failSendAt;
        EXPECT_FALSE(port->sendData(data.data(), static_cast<std::uint32_t>(data.size()), 1000));
        EXPECT_EQ(LogLines(script, "connect 127").size(), 1u);
        EXPECT_EQ(SendSizes(), c.sent);
        EXPECT_EQ(script.streamsAlive, 0);
    }
}

TEST_F(DravonPortTest, StartUpdateFallsBackToTheFrameOnAPlainPrinter) {
    host.library.startUpdateAnswer = false;
    auto port = MakePort();
    ForgetNetwork();
    EXPECT_TRUE(port->startUpdate());
    // The library is done with before the connection is made.
    EXPECT_EQ(host.TakeCalls(), Join({{"start 0"}, kUnload}));
    ExpectUnloaded();
    EXPECT_EQ(script.log, Join({kDataConnection, {"send 25 bytes"}}));
    ASSERT_EQ(script.sent.size(), 1u);
    EXPECT_EQ(script.sent[0], HexBytes("80 00 15 00 06 42 4F 4F 54 5F 55 70 64 61 74 65 4D 61 69 6E 20 30 0A D6 B9"));
    EXPECT_EQ(script.streamsAlive, 0);
}

TEST_F(DravonPortTest, StartUpdateFallbackFailures) {
    host.library.startUpdateAnswer = false;
    {
        SCOPED_TRACE("no connection");
        auto port = MakePort();
        ForgetNetwork();
        script.connectResults = {net::kErrorTimedOut};
        EXPECT_FALSE(port->startUpdate());
        EXPECT_TRUE(script.sent.empty());
    }
    {
        SCOPED_TRACE("frame not wholly taken");
        auto port = MakePort();
        ForgetNetwork();
        script.shortSendAt = 0;
        EXPECT_FALSE(port->startUpdate());
        EXPECT_EQ(SendSizes(), std::vector<std::size_t>{24});  // sent once, not completed
    }
}

TEST_F(DravonPortTest, ASecurePrinterGetsNothingInPlainText) {
    script.snmpAnswer = "MDL:Zentil-640;SECURITY:1.00;";
    host.library.startUpdateAnswer = false;
    auto port = MakePort();
    ASSERT_TRUE(port->isSecure());
    ForgetNetwork();

    EXPECT_FALSE(port->startUpdate());  // the library's refusal is final: no frame
    Bytes data(2 * 102400 + 7);
    std::iota(data.begin(), data.end(), std::uint8_t{3});
    EXPECT_TRUE(port->sendData(data.data(), static_cast<std::uint32_t>(data.size()), 0));
    // One TLS connection, trusted before the first byte, the blocks over it, then closed.
    EXPECT_EQ(script.log, (Calls{"tls connect 127.0.0.2:9100 60000", "connected", "peer certificate 127.0.0.2",
                                 "send 102400 bytes", "send 102400 bytes", "send 7 bytes"}));
    EXPECT_EQ(AllSent(), data);
    EXPECT_EQ(trust->shown, std::vector<std::wstring>{FormatFingerprint(script.peerCertificate->sha256)});
    EXPECT_EQ(trust->plainAsked, 0);
    EXPECT_EQ(script.streamsAlive, 0);
    EXPECT_TRUE(host.errorMessages.empty());
}

TEST_F(DravonPortTest, SecureTransfersConnectAgainOnlyAfterATimeOut) {
    script.snmpAnswer = "MDL:Zentil-640;SECURITY:1.00;";
    const Bytes data(500, 0x11);
    const struct {
        const char* name;
        std::deque<int> connectResults;
        std::size_t attempts;
        bool sent;
    } cases[] = {
        {"two time-outs, then connected", {net::kErrorTimedOut, net::kErrorTimedOut, 0}, 3, true},
        {"three time-outs", {net::kErrorTimedOut, net::kErrorTimedOut, net::kErrorTimedOut}, 3, false},
        {"refused", {net::kErrorRefused}, 1, false},
        {"a time-out, then refused", {net::kErrorTimedOut, net::kErrorRefused}, 2, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto port = MakePort();
        ForgetNetwork();
        script.connectResults = c.connectResults;
        EXPECT_EQ(port->sendData(data.data(), static_cast<std::uint32_t>(data.size()), 0), c.sent);
        EXPECT_EQ(LogLines(script, "tls connect ").size(), c.attempts);
        EXPECT_EQ(AllSent(), c.sent ? data : Bytes{});
        EXPECT_EQ(script.streamsAlive, 0);
        EXPECT_TRUE(host.errorMessages.empty()) << "a failed connection is not the user's to see";
    }
}

// The trust holds why; the installation tells the user. The port sends nothing and shows nothing.
TEST_F(DravonPortTest, AnUntrustedOrMissingCertificateCancelsTheTransfer) {
    script.snmpAnswer = "MDL:Zentil-640;SECURITY:1.00;";
    const Bytes data(500, 0x11);
    for (const bool presented : {true, false}) {
        SCOPED_TRACE(presented ? "untrusted" : "none presented");
        trust->trusts = false;
        trust->shown.clear();
        if (!presented) script.peerCertificate.reset();
        auto port = MakePort();
        ForgetNetwork();
        EXPECT_FALSE(port->sendData(data.data(), static_cast<std::uint32_t>(data.size()), 0));
        EXPECT_EQ(script.log, (Calls{"tls connect 127.0.0.2:9100 60000", "connected", "peer certificate 127.0.0.2"}));
        EXPECT_EQ(trust->shown.size(), 1u);
        EXPECT_EQ(trust->shown[0] == L"(none)", !presented);
        EXPECT_TRUE(script.sent.empty());
        EXPECT_TRUE(host.errorMessages.empty());
        EXPECT_TRUE(host.messages.empty());
    }
    PortPtr untrusting(new CDravonPort(kAddress, Environment()));
    ForgetNetwork();
    EXPECT_FALSE(untrusting->sendData(data.data(), static_cast<std::uint32_t>(data.size()), 0))
        << "a port without a trust trusts nothing";
    EXPECT_TRUE(script.sent.empty());
}

// Before anything is sent the port shows the trust what it will find: a TLS printer's certificate
// over a connection that carries nothing, or a plain printer, which may have been seen with TLS.
TEST_F(DravonPortTest, CheckPeerTrustLooksBeforeAnythingIsSent) {
    const struct {
        const char* name;
        const char* security;
        std::deque<int> connectResults;
        bool trusts;
        bool allowsPlain;
        PeerCheck expected;
        Calls log;
    } cases[] = {
        {"plain, never seen with TLS", "0.00", {}, true, true, PeerCheck::kTrusted, {}},
        {"plain, seen with TLS", "0.00", {}, true, false, PeerCheck::kRefused, {}},
        {"TLS, trusted", "1.00", {}, true, true, PeerCheck::kTrusted,
         {"tls connect 127.0.0.2:9100 10000", "connected", "peer certificate 127.0.0.2"}},
        {"TLS, refused", "1.00", {}, false, true, PeerCheck::kRefused,
         {"tls connect 127.0.0.2:9100 10000", "connected", "peer certificate 127.0.0.2"}},
        {"TLS, not reached", "1.00", {net::kErrorTimedOut}, true, true, PeerCheck::kUnreachable,
         {"tls connect 127.0.0.2:9100 10000", "connect failed 10060"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        script.snmpAnswer = std::string("MDL:Zentil-640;SECURITY:") + c.security + ";";
        trust->trusts = c.trusts;
        trust->allowsPlain = c.allowsPlain;
        auto port = MakePort();
        ForgetNetwork();
        script.connectResults = c.connectResults;
        EXPECT_EQ(port->checkPeerTrust(), c.expected);
        EXPECT_EQ(script.log, c.log);
        EXPECT_TRUE(script.sent.empty());
        EXPECT_EQ(script.streamsAlive, 0);
    }
}

TEST_F(DravonPortTest, APrinterSeenWithTlsGetsNothingInPlainText) {
    trust->allowsPlain = false;
    host.library.startUpdateAnswer = false;
    auto port = MakePort();
    ASSERT_FALSE(port->isSecure());
    ForgetNetwork();
    EXPECT_FALSE(port->startUpdate()) << "no update-mode frame in plain text either";
    const Bytes data(500, 0x11);
    EXPECT_FALSE(port->sendData(data.data(), static_cast<std::uint32_t>(data.size()), 0));
    EXPECT_TRUE(LogLines(script, "connect ").empty());
    EXPECT_TRUE(script.sent.empty());
}

TEST_F(DravonPortTest, WithoutTlsASecurePrinterGetsNoFirmware) {
    script.snmpAnswer = "MDL:Zentil-640;SECURITY:1.00;";
    DravonEnvironment environment = Environment();
    environment.newSecureStream = nullptr;
    PortPtr port(new CDravonPort(kAddress, environment));
    ForgetNetwork();
    const Bytes data(10, 0);
    EXPECT_FALSE(port->sendData(data.data(), 10, 0));
    EXPECT_EQ(script.log, Calls{});
}

TEST_F(DravonPortTest, SecurityIsOffOnlyForExactly0_00OrNoSetting) {
    const struct {
        std::optional<std::string> answer;
        bool secure;
    } cases[] = {
        {"MDL:Zentil-640;SECURITY:0.00;", false},
        {"MDL:Zentil-640;SECURITY:1.00;", true},
        {"SECURITY:0.0", true},
        {"SECURITY:0.000;", true},
        {"SECURITY: 0.00;", true},
        {"MDL:Zentil-640;SECURITY:;", false},
        {"MDL:Zentil-640;", false},
        {"", false},
        {std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer.value_or("(no answer)"));
        script.snmpAnswer = c.answer;
        EXPECT_EQ(MakePort()->isSecure(), c.secure);
    }
}

TEST_F(DravonPortTest, CheckIplModeWantsIplAndAPanelVersion) {
    const struct {
        std::optional<std::string> answer;
        bool ipl;
    } cases[] = {
        {"MDL:Zentil-640;MODE:IPL;PANEL:0.0.0;", false},
        {"MDL:Zentil-640;MODE:IPL;PANEL:1.2.3;", true},
        {"MODE:IPL;PANEL:0.0.1;", true},
        {"MODE:IPL;", false},
        {"MODE:NORMAL;PANEL:1.2.3;", false},
        {"MODE:ipl;PANEL:1.2.3;", false},
        {"", false},
        {std::nullopt, false},
    };
    auto port = MakePort();
    host.TakeCalls();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer.value_or("(no answer)"));
        script.snmpAnswer = c.answer;
        EXPECT_EQ(port->checkIplMode(), c.ipl);
    }
    EXPECT_EQ(host.TakeCalls(), Calls{});  // no library
}

TEST_F(DravonPortTest, PortsMadeWithoutAnEnvironmentUseTheRegisteredOne) {
    CDravonPort::SetDefaultEnvironment(Environment());
    {
        PortPtr port(new CDravonPort(kAddress));
        EXPECT_EQ(host.TakeCalls(), kLoad);
        std::wstring reply;
        EXPECT_TRUE(port->queryInformation(reply));
    }
    CDravonPort::ClearDefaultEnvironment();
    ExpectUnloaded();
}

// A host for users of library files on several threads at once: for each file on its own, it
// counts the faults a missing lock would let through instead of keeping a library. Writing and
// deleting take a moment, as on a disk, and nobody else may use the file meanwhile.
class ThreadedFileHost final : public IControllerHost {
public:
    std::wstring TempDirectory() override { return L"/fake/temp/"; }
    WriteResult WriteLibrary(const std::wstring& path, std::wstring&) override {
        Busy(path);
        const std::lock_guard lock(m_mutex);
        File& file = m_files[path];
        if (file.loaded > 0) ++faults;  // overwriting a loaded library
        file.exists = true;
        return WriteResult::kWritten;
    }
    Module Load(const std::wstring& path) override {
        const std::lock_guard lock(m_mutex);
        File& file = m_files[path];
        if (!file.exists || file.busy) ++faults;  // a user found its file gone or half written
        if (file.loaded > 0) ++faults;            // two users of one module, and so of one connection
        ++file.loaded;
        return &file;
    }
    ExportFn Resolve(Module, const char*) override { return nullptr; }
    void Free(Module module) override {
        const std::lock_guard lock(m_mutex);
        --static_cast<File*>(module)->loaded;
    }
    void DeleteLibraryFile(const std::wstring& path) override {
        Busy(path);
        const std::lock_guard lock(m_mutex);
        File& file = m_files[path];
        if (file.loaded > 0) ++faults;  // deleted under a loaded library
        file.exists = false;
    }
    void ShowMessage(const std::wstring&) override {}
    void ShowErrorMessage(const std::wstring&) override {}
    std::wstring FromThreadAnsi(std::string_view) override { return {}; }

    // Every file ever written, and those still there.
    std::set<std::wstring> Written() const {
        const std::lock_guard lock(m_mutex);
        std::set<std::wstring> written;
        for (const auto& [path, file] : m_files) written.insert(path);
        return written;
    }
    std::set<std::wstring> Existing() const {
        const std::lock_guard lock(m_mutex);
        std::set<std::wstring> existing;
        for (const auto& [path, file] : m_files) {
            if (file.exists) existing.insert(path);
        }
        return existing;
    }

    std::atomic<int> faults{0};

private:
    struct File {
        bool exists = false;
        int loaded = 0;
        bool busy = false;  // being written or deleted
    };

    // The moment a write or a delete takes: another write, delete or load of the file meanwhile
    // is a fault.
    void Busy(const std::wstring& path) {
        {
            const std::lock_guard lock(m_mutex);
            File& file = m_files[path];
            if (file.busy || file.loaded > 0) ++faults;
            file.busy = true;
        }
        std::this_thread::yield();
        const std::lock_guard lock(m_mutex);
        m_files[path].busy = false;
    }

    mutable std::mutex m_mutex;
    std::map<std::wstring, File> m_files;
};

TEST(ControllerLibraryFile, UsersOnSeveralThreadsEachGetAFileNobodyElseWritesLoadsOrDeletes) {
    ThreadedFileHost host;
    const std::wstring directory = host.TempDirectory();
    constexpr int kThreads = 4;
    constexpr int kRounds = 5000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            ControllerLibraryFile file;
            for (int round = 0; round < kRounds; ++round) {
                std::wstring report;
                if (file.Acquire(host, directory, report) != IControllerHost::WriteResult::kWritten) ++host.faults;
                const std::wstring path = file.Path();
                host.Free(host.Load(path));
                // Half the rounds ask again while holding the file, as a port retrying a load does:
                // the same file, written again.
                if (round % 2) {
                    if (file.Acquire(host, directory, report) != IControllerHost::WriteResult::kWritten) ++host.faults;
                    if (file.Path() != path) ++host.faults;
                    host.Free(host.Load(file.Path()));
                }
                file.Release();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(host.faults, 0);
    EXPECT_TRUE(host.Existing().empty()) << "every user deletes its file";
    // The lowest free name each time: never more names than users at once.
    std::set<std::wstring> names;
    for (int number = 1; number <= kThreads; ++number) names.insert(directory + ControllerLibraryFileName(number));
    const std::set<std::wstring> written = host.Written();
    EXPECT_TRUE(std::includes(names.begin(), names.end(), written.begin(), written.end()));
    EXPECT_TRUE(written.contains(directory + kControllerLibraryFileName));
}

}  // namespace

namespace {

// A port made before start-up registered the platform would reach nothing and never say why: the
// process stops at once with the reason instead.
TEST(DravonPortDeathTest, APortWithoutARegisteredEnvironmentStopsTheProcessSayingWhy) {
    CDravonPort::ClearDefaultEnvironment();
    EXPECT_DEATH({ PortPtr port(new CDravonPort(0x0100007F)); }, "no environment registered");
}

}  // namespace
