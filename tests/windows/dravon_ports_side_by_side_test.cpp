// Installations side by side: two printer ports, each on a thread of its own, asking their own
// printers at the same time, with the real controller library from the program's resource DLL/146
// against the printer simulator (through with-sim.sh). The two printers answer every question
// differently: @2 is a ready Zentil-640; @3 a Zentil-540 of another serial and other versions that
// has taken its firmware (state code 6) and whose operator aborted at the panel (operation code 1).
// The library keeps one connection per loaded module: ports sharing a module would hear each
// other's printers.
//
// No message box can be answered here: one fails the test at once with its text. Afterwards no
// file of the library is left in the temporary directory.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/Clock.h"
#include "common/win32/CodePage.h"
#include "common/win32/UniqueHandle.h"
#include "common/win32/UserMessage.h"
#include "ports/DravonPort.h"
#include "ports/SnmpQuery.h"
#include "ports/win32/ControllerHost.h"
#include "network/win32/WinsockNetwork.h"
#include "tests/windows/SimControl.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kRounds = 300;
// A round is three library operations of a few milliseconds each; a worker still busy after this
// long has a port that hangs.
constexpr ULONGLONG kWorkersBoundMs = 240000;

struct FindTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) noexcept { ::FindClose(h); }
};

std::string Utf8(const std::wstring& text) { return WideToCodePage(CP_UTF8, text); }

// The names of the library's files in the temporary directory.
std::set<std::wstring> LibraryFiles() {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW found{};
    const UniqueHandle<FindTraits> search(
        ::FindFirstFileW((ProcessControllerHost().TempDirectory() + L"Tessaro*.DLL").c_str(), &found));
    if (!search) return names;
    do {
        names.insert(found.cFileName);
    } while (::FindNextFileW(search.get(), &found));
    return names;
}

std::string Names(const std::set<std::wstring>& names) {
    std::string text;
    for (const std::wstring& name : names) text += Utf8(name) + " ";
    return text;
}

Bytes ReadAll(const wchar_t* path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The printer's information reply as its SNMP agent gives it: what the library must have said.
std::wstring SnmpText(const std::string& printer) {
    std::string text;
    EXPECT_TRUE(QuerySnmpStatus(ProcessNetwork(), SystemClock(), printer, text));
    return SystemAnsiToWide(text);
}

// What an installation asks its printer over and over, each question a load of the library of its
// own: the information reply, the status words, the operation code.
struct Answers {
    std::wstring information;
    std::uint32_t status = 0;
    std::uint32_t detail = 0;
    int operationCode = 0;
    bool operator==(const Answers&) const = default;
};

std::string Describe(const Answers& answers) {
    std::ostringstream text;
    text << Utf8(answers.information) << " status " << std::hex << answers.status << " detail " << answers.detail
         << std::dec << " operation code " << answers.operationCode;
    return text.str();
}

// The answers, or what failed.
std::optional<Answers> Ask(CPort& port, std::string& failure) {
    Answers answers;
    if (!port.queryInformation(answers.information)) {
        failure = "no information reply";
        return std::nullopt;
    }
    if (!port.getStatusWords(answers.status, answers.detail)) {
        failure = "no status words";
        return std::nullopt;
    }
    answers.operationCode = port.getOperationCode();
    return answers;
}

class PortsSideBySide : public testing::Test {
protected:
    void SetUp() override {
        SetUserMessagePresenter([this](const std::wstring& text, const std::wstring&, unsigned) {
            ADD_FAILURE() << "message box: " << Utf8(text);
            m_stop = true;
            return IDCANCEL;
        });
        ASSERT_TRUE(m_sim.Connected());
        // What an earlier run that did not end left behind would pass for this run's.
        for (const std::wstring& name : LibraryFiles()) {
            ::DeleteFileW((ProcessControllerHost().TempDirectory() + name).c_str());
        }
        ASSERT_TRUE(LibraryFiles().empty()) << "cannot clear " << Names(LibraryFiles());
    }
    void TearDown() override { SetUserMessagePresenter({}); }

    // A port on the process's host and network, as start-up wires them; both printers are plain,
    // so it needs no TLS streams.
    PortPtr Port(const std::string& printer) {
        const DravonEnvironment environment{ProcessControllerHost(), ProcessNetwork(), SystemClock(),
                                            &SystemAnsiToWide, {}};
        return PortPtr(new CDravonPort(::inet_addr(printer.c_str()), environment));
    }

    SimControl m_sim;
    std::atomic<bool> m_stop{false};
};

TEST_F(PortsSideBySide, EachPortHearsOnlyItsOwnPrinter) {
    const std::array<std::string, 2> printers = {m_sim.Printer(2), m_sim.Printer(3)};
    std::array<PortPtr, 2> ports = {Port(printers[0]), Port(printers[1])};
    // Both keep the library their construction loaded: two files, two modules, two connections.
    EXPECT_EQ(LibraryFiles(), (std::set<std::wstring>{L"Tessaro.DLL", L"Tessaro-2.DLL"}))
        << Names(LibraryFiles());
    ASSERT_TRUE(m_sim.WaitFor(printers[1], "controller_connections", "1"));
    EXPECT_EQ(m_sim.Show(printers[0], "controller_connections"), "1")
        << "the second port's connect closed the first one's connection";

    // The second printer takes its firmware and waits for the restart request; then its operator
    // aborts at the panel.
    ASSERT_TRUE(ports[1]->startUpdate());
    const Bytes firmware = ReadAll(RESTORED_FIRMWARE_PATH);
    ASSERT_GT(firmware.size(), 1000000u);
    ASSERT_TRUE(ports[1]->sendData(firmware.data(), static_cast<std::uint32_t>(firmware.size()), 0));
    ASSERT_TRUE(m_sim.WaitFor(printers[1], "state", "accepted")) << m_sim.Show(printers[1], "firmware_reason");
    m_sim.Command("set " + printers[1] + " opcode1 on");

    // Each printer's answers, asked alone: every one of them tells the two apart.
    std::array<Answers, 2> alone;
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(printers[i]);
        std::string failure;
        const std::optional<Answers> answers = Ask(*ports[i], failure);
        ASSERT_TRUE(answers) << failure;
        alone[i] = *answers;
        EXPECT_EQ(alone[i].information, SnmpText(printers[i]));
    }
    EXPECT_EQ(alone[0].status, 0u);
    EXPECT_EQ(alone[1].status, 0x86000000u);
    EXPECT_EQ(alone[0].operationCode, 0);
    EXPECT_EQ(alone[1].operationCode, 1);
    ASSERT_NE(alone[0].information, alone[1].information);
    ASSERT_NE(alone[0].detail, alone[1].detail);
    ASSERT_FALSE(HasFailure());

    // Side by side. A worker stops at the first answer that is not its own printer's, and both
    // stop at a message box.
    struct Outcome {
        int rounds = 0;
        std::string wrong;  // the first wrong answer or failure
        ULONGLONG started = 0;
        ULONGLONG ended = 0;
    };
    std::array<Outcome, 2> outcomes;
    std::atomic<int> waiting{2};
    const ULONGLONG deadline = ::GetTickCount64() + kWorkersBoundMs;
    const auto work = [&](int i) {
        Outcome& outcome = outcomes[i];
        // Both start together.
        --waiting;
        while (waiting > 0 && ::GetTickCount64() < deadline) std::this_thread::yield();
        outcome.started = ::GetTickCount64();
        for (; outcome.rounds < kRounds && !m_stop; ++outcome.rounds) {
            if (::GetTickCount64() > deadline) {
                outcome.wrong = "still busy after " + std::to_string(kWorkersBoundMs) + " ms";
                break;
            }
            std::string failure;
            const std::optional<Answers> answers = Ask(*ports[i], failure);
            if (!answers) {
                outcome.wrong = failure;
            } else if (*answers != alone[i]) {
                outcome.wrong = "answered " + Describe(*answers) +
                                (answers->information == alone[1 - i].information ? " (the other printer's text)" : "");
            }
            if (!outcome.wrong.empty()) {
                m_stop = true;
                break;
            }
        }
        outcome.ended = ::GetTickCount64();
    };
    std::thread first(work, 0);
    std::thread second(work, 1);
    first.join();
    second.join();

    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(printers[i]);
        EXPECT_EQ(outcomes[i].wrong, "") << "in round " << outcomes[i].rounds + 1 << "; its own printer answers "
                                         << Describe(alone[i]);
        EXPECT_EQ(outcomes[i].rounds, kRounds);
        std::printf("port of %s: %d rounds in %llu ms\n", printers[i].c_str(), outcomes[i].rounds,
                    outcomes[i].ended - outcomes[i].started);
    }
    EXPECT_LT(std::max(outcomes[0].started, outcomes[1].started), std::min(outcomes[0].ended, outcomes[1].ended))
        << "the two ports never asked at the same time";

    ports = {};
    EXPECT_TRUE(LibraryFiles().empty()) << "left behind: " << Names(LibraryFiles());
    EXPECT_TRUE(ProcessControllerHost().PendingDeletes().empty());
}

}  // namespace
