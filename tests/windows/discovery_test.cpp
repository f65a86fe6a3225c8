// Printer discovery as the installer runs it, under Wine on a network of its own (with-netns.sh):
// the PC's two adapters, the mDNS search against the simulated printers' responders (@3 answers
// with a malformed message, @4 sends every answer twice), the listening phase's length, a socket
// that cannot be set up, and the registered printers read from DeviceInfo.xml merged with what
// answered.
#include <winsock2.h>
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/Text.h"
#include "common/win32/CodePage.h"
#include "common/win32/UniqueHandle.h"
#include "discovery/DeviceInfoXml.h"
#include "discovery/win32/DeviceInfoPath.h"
#include "discovery/win32/MdnsSocket.h"
#include "tests/native/fakes/HexBytes.h"
#include "tests/windows/SimControl.h"
#include "update/UpdateModel.h"

namespace {

std::vector<std::wstring> PcAddresses() {
    std::vector<std::wstring> addresses;
    std::istringstream in(std::getenv("PC_ADDRESSES") ? std::getenv("PC_ADDRESSES") : "");
    for (std::string a; in >> a;) addresses.push_back(text::WidenBytes(a));
    return addresses;
}

std::uint32_t HostOrder(const std::string& dotted) { return ::ntohl(::inet_addr(dotted.c_str())); }

// The models this build supports, as the installer's firmware description says them.
const CFirmUpdateInfo& Models() {
    static const CFirmUpdateInfo models(340, 41852, L"Zentil-640,Zentil-1640");
    return models;
}

class Discovery : public testing::Test {
protected:
    static void SetUpTestSuite() {
        WSADATA data{};
        ::WSAStartup(MAKEWORD(2, 2), &data);
    }
    void SetUp() override {
        ASSERT_TRUE(m_sim.Connected());
        ASSERT_EQ(PcAddresses().size(), 2u) << "run through with-netns.sh";
    }

    // A whole search over the PC's adapters; its duration in milliseconds.
    DWORD Search(CMDNSSearch& search, BOOL expected = TRUE) {
        const DWORD start = ::GetTickCount();
        EXPECT_EQ(search.Run(), expected);
        return ::GetTickCount() - start;
    }

    SimControl m_sim;
};

TEST_F(Discovery, TheLocalAddressesAreThePcsAdaptersWithoutLoopback) {
    CMDNSSearch search;
    search.EnumLocalAddresses();
    EXPECT_EQ(search.m_addresses, PcAddresses());
}

TEST_F(Discovery, TheSimulatedPrintersAnswerWithinTheListeningPhase) {
    for (int n : {1, 2}) m_sim.Command("clear " + m_sim.Printer(n));
    CMDNSSearch search;
    search.EnumLocalAddresses();
    const DWORD elapsed = Search(search);
    EXPECT_GE(elapsed, 2000u);
    EXPECT_LT(elapsed, 2600u);

    // Each printer heard on both adapters, and twice, is one service, from its own address. Of the
    // malformed answer, what lies within the datagram counts: its SRV target points past the end,
    // so the instance is there without a host.
    std::vector<std::wstring> texts;
    for (const CMDNSService& service : search.m_services) texts.push_back(service.m_strText + L" from " + service.m_strSource);
    std::sort(texts.begin(), texts.end());
    const auto from = [&](int n) { return L" from " + text::WidenBytes(m_sim.Printer(n)); };
    EXPECT_EQ(texts, (std::vector<std::wstring>{L"Corvane_Zentil-1640_(ZT1640-000002) ZT1640000002.local" + from(2),
                                                L"Corvane_Zentil-640_(ZT640-000001) ZT640000001.local" + from(1),
                                                L"Corvane_Zentil-640_(ZT640-000003) " + from(3),
                                                L"Corvane_Zentil-640_(ZT640-000004) ZT640000004.local" + from(4)}));

    // The query each printer got is the 44-byte PTR query, whatever its first two bytes.
    const MdnsQuery query = BuildQuery(0);
    const std::string expected = LowerHexText(query.data() + 2, query.size() - 2);
    for (int n : {1, 2}) {
        const std::string received = m_sim.Show(m_sim.Printer(n), "mdns_last_query");
        ASSERT_EQ(received.size(), 88u) << received;
        EXPECT_EQ(received.substr(4), expected);
        EXPECT_EQ(m_sim.Show(m_sim.Printer(n), "mdns_queries"), "2") << "one query from each adapter";
    }

    CPrinterInfoList list;
    search.AddCandidates(list, &Models());
    ASSERT_EQ(list.GetSize(), 4u);
    for (std::size_t i = 0; i < list.GetSize(); ++i) {
        const std::wstring& serial = list[i].m_strSerialNum;
        const int n = serial == L"ZT640-000001"    ? 1
                      : serial == L"ZT1640-000002" ? 2
                      : serial == L"ZT640-000003"  ? 3
                      : serial == L"ZT640-000004"  ? 4
                                                   : 0;
        ASSERT_NE(n, 0) << list[i].m_strService;
        EXPECT_EQ(list[i].m_dwIPAddress, HostOrder(m_sim.Printer(n)));
    }
}

TEST_F(Discovery, TheListeningPhaseLastsItsTimeWithOrWithoutSockets) {
    for (bool withSockets : {false, true}) {
        SCOPED_TRACE(withSockets ? "with sockets" : "without sockets");
        CMDNSSearch search;
        search.m_dwTimeout = 1000;
        if (withSockets) search.EnumLocalAddresses();
        const DWORD elapsed = Search(search);
        EXPECT_GE(elapsed, 1000u);
        EXPECT_LT(elapsed, 1500u);
    }
}

TEST_F(Discovery, ASocketThatCannotBeSetUpEndsTheSearchWithNothingFound) {
    const std::vector<std::wstring> pc = PcAddresses();
    // Port 5353 of the second adapter taken by a socket that shares it with no one.
    UniqueSocket holder(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    BOOL exclusive = TRUE;
    ::setsockopt(holder.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(kMdnsPort);
    address.sin_addr.s_addr = ::inet_addr(WideToCodePage(CP_ACP, pc[1]).c_str());
    ASSERT_EQ(::bind(holder.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    m_sim.Command("clear " + m_sim.Printer(1));
    CMDNSSearch search;
    search.m_addresses = {pc[0], pc[1], pc[0]};
    const DWORD elapsed = Search(search, FALSE);
    EXPECT_LT(elapsed, 1000u) << "no listening phase";
    EXPECT_TRUE(search.m_services.empty());
    // The first adapter asked before the second failed; nothing went out on the third. The
    // simulator records a query once it has read it: wait for that, then make sure no other
    // query follows.
    EXPECT_TRUE(m_sim.WaitFor(m_sim.Printer(1), "mdns_queries", "1"));
    ::Sleep(300);
    EXPECT_EQ(m_sim.Show(m_sim.Printer(1), "mdns_queries"), "1");
}

// The registered printers, read from DeviceInfo.xml where the maker's software keeps it, are
// updated by what answers, and what else answers is added.
TEST_F(Discovery, RegisteredPrintersAreMergedWithThoseThatAnswer) {
    wchar_t shared[MAX_PATH] = {};
    ASSERT_TRUE(::SHGetSpecialFolderPathW(nullptr, shared, CSIDL_COMMON_APPDATA, TRUE));
    const std::wstring folder = std::wstring(shared) + L"\\Corvane Quillmark\\Quillmark\\Device";
    ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    const std::wstring file = folder + L"\\DeviceInfo.xml";
    const std::uint32_t one = HostOrder(m_sim.Printer(1));
    {
        // uchIP holds the address's octets from the least significant byte up.
        const std::int32_t uchIP = static_cast<std::int32_t>(::htonl(one));
        std::ofstream out(file.c_str(), std::ios::binary);
        out << "\xEF\xBB\xBF<DeviceInfoList><DeviceInfo><strNickName>\xE4\xBA\x8B\xE5\x8B\x99\xE6\x89\x80</strNickName>"
               "<strLongModelName>Corvane Zentil-640</strLongModelName><strSerialNum>OLD</strSerialNum>"
               "<ePortType>0</ePortType><uchIP>"
            << uchIP << "</uchIP></DeviceInfo></DeviceInfoList>";
    }

    CPrinterInfoList list;
    CDeviceInfoPath path;
    for (int attempt = 0; attempt < CDeviceInfoPath::kAttempts; ++attempt) {
        if (ParseDeviceInfoXml(ReadUtf8File(path.Find(attempt).value_or(L"")), list) > 0) break;
    }
    ::DeleteFileW(file.c_str());
    ASSERT_EQ(list.GetSize(), 1u);
    EXPECT_EQ(path.m_strFile, file);

    CMDNSSearch search;
    search.EnumLocalAddresses();
    Search(search);
    search.AddCandidates(list, &Models());
    ASSERT_EQ(list.GetSize(), 4u);
    EXPECT_EQ(list[0].m_dwIPAddress, one);
    EXPECT_EQ(list[0].m_strNickName, L"事務所");
    EXPECT_EQ(list[0].m_strModel, L"Zentil-640");
    EXPECT_EQ(list[0].m_strSerialNum, L"ZT640-000001");
    for (std::size_t i = 1; i < list.GetSize(); ++i) {
        EXPECT_NE(list[i].m_dwIPAddress, one);
        EXPECT_TRUE(list[i].m_strNickName.empty());
    }
}

}  // namespace
