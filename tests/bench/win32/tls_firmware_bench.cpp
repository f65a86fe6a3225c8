// The firmware transfer over TLS against the same transfer in plain TCP: the restored 5 MB image
// goes through CDravonPort::sendData to the printer simulator on loopback, alternately to a plain
// printer and to one that asks for TLS, several times each in the same run. What TLS adds is the
// handshake, the trust step, the encryption and decryption of every record and the orderly close.
//
// A transfer is timed until the printer holds the whole image, as the simulator's control port
// reports it: a plain sendData returns as soon as the system has taken the bytes, long before the
// printer has read them, while the TLS one ends with the printer's close.
//
// Usage: tls_firmware_bench PLAIN_PRINTER TLS_PRINTER   (run by `make bench` through with-sim.sh)
// Prints: ratio tls_vs_plain_firmware <value>   (target: at most 2)
//
// The first TLS transfer, which also asks about the simulator's certificate (answered Yes here, as
// the user would) and remembers it, is left out of the figure: it is the one-time cost of a
// printer met for the first time. The later ones find it remembered.
//
// Nobody can answer a message box here: a port that shows one ends the run at once, with the
// box's text.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "common/win32/CodePage.h"
#include "common/win32/UserMessage.h"
#include "ports/DravonPort.h"
#include "ports/win32/ControllerHost.h"
#include "ports/win32/TlsStream.h"
#include "network/win32/WinsockNetwork.h"
#include "tests/native/fakes/MemoryCertificateFile.h"
#include "tests/windows/SimControl.h"
#include "update/CertificateMemory.h"
#include "update/PrinterTrust.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRounds = 7;
constexpr DWORD kSettleMs = 300;

// The message boxes the ports asked for, answered at once with Cancel.
class BoxRecorder {
public:
    BoxRecorder() {
        SetUserMessagePresenter([this](const std::wstring& text, const std::wstring& title, unsigned) {
            const std::lock_guard lock(m_mutex);
            m_boxes.push_back(WideToCodePage(CP_UTF8, L"[" + title + L"] " + text));
            return IDCANCEL;
        });
    }
    ~BoxRecorder() { SetUserMessagePresenter({}); }

    // False, after saying what they said, when a box was asked for since the last call.
    bool NoneSince(const char* when) {
        const std::lock_guard lock(m_mutex);
        for (const std::string& box : m_boxes) {
            std::fprintf(stderr, "tls_firmware_bench: %s, a port showed a message box: %s\n", when, box.c_str());
        }
        const bool none = m_boxes.empty();
        m_boxes.clear();
        return none;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_boxes;
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Seconds for one whole transfer, connection and close included; negative when it failed. Each
// starts with the simulator idle: on two cores its work on the transfer before would otherwise
// land on the one measured next.
double TimeTransfer(SimControl& sim, const std::string& printer, CPort& port, const std::vector<std::uint8_t>& firmware) {
    sim.Command("clear " + printer);
    ::Sleep(kSettleMs);
    const std::string size = std::to_string(firmware.size());
    const Clock::time_point start = Clock::now();
    if (!port.sendData(firmware.data(), static_cast<std::uint32_t>(firmware.size()), 0)) return -1;
    for (;;) {
        if (sim.Show(printer, "firmware_size") == size) break;
        if (Clock::now() - start > std::chrono::seconds(10)) return -1;
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: tls_firmware_bench PLAIN_PRINTER TLS_PRINTER\n");
        return 2;
    }
    std::ifstream in(RESTORED_FIRMWARE_PATH, std::ios::binary);
    const std::vector<std::uint8_t> firmware{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (firmware.size() < 1000000) {
        std::fprintf(stderr, "the restored firmware is missing\n");
        return 1;
    }

    MemoryCertificateFile file;
    CCertificateMemory memory(file);
    int questions = 0;
    const auto trust = [&](const std::string& printer) {
        return std::make_shared<CPrinterTrust>(PrinterIdentity{L"", std::wstring(printer.begin(), printer.end()), L"", L""},
                                               memory, [&](const PrinterIdentity&, const CertificateFingerprint&) {
                                                   ++questions;
                                                   return true;
                                               });
    };
    DravonEnvironment environment{ProcessControllerHost(), ProcessNetwork(), SystemClock(), &SystemAnsiToWide,
                                  [] { return std::make_unique<TlsStream>(); }};
    SimControl sim;
    if (!sim.Connected()) return 1;
    BoxRecorder boxes;
    const std::string plainPrinter = argv[1];
    const std::string tlsPrinter = argv[2];
    PortPtr plain(new CDravonPort(::inet_addr(argv[1]), environment));
    PortPtr secure(new CDravonPort(::inet_addr(argv[2]), environment));
    plain->setPeerTrust(trust(plainPrinter));
    secure->setPeerTrust(trust(tlsPrinter));
    if (!boxes.NoneSince("making the ports")) return 1;
    if (static_cast<CDravonPort&>(*plain).isSecure() || !static_cast<CDravonPort&>(*secure).isSecure()) {
        std::fprintf(stderr, "the first printer must be plain and the second ask for TLS\n");
        return 1;
    }
    const double firstTls = TimeTransfer(sim, tlsPrinter, *secure, firmware);
    if (!boxes.NoneSince("in the first TLS transfer") || firstTls < 0) {
        std::fprintf(stderr, "the first TLS transfer failed\n");
        return 1;
    }

    std::vector<double> plainTimes;
    std::vector<double> tlsTimes;
    for (int round = 0; round < kRounds; ++round) {
        const double p = TimeTransfer(sim, plainPrinter, *plain, firmware);
        const double t = TimeTransfer(sim, tlsPrinter, *secure, firmware);
        if (!boxes.NoneSince("in a transfer")) return 1;
        if (p < 0 || t < 0) {
            std::fprintf(stderr, "a transfer failed in round %d (plain %s, TLS %s)\n", round, p < 0 ? "failed" : "ok",
                         t < 0 ? "failed" : "ok");
            return 1;
        }
        plainTimes.push_back(p);
        tlsTimes.push_back(t);
    }
    if (questions != 1) {
        std::fprintf(stderr, "the certificate was asked about %d times, not once\n", questions);
        return 1;
    }
    const double plainSeconds = Median(plainTimes);
    const double tlsSeconds = Median(tlsTimes);
    std::printf("firmware %zu bytes delivered: plain %.1f ms, TLS %.1f ms (medians of %d)\n", firmware.size(), plainSeconds * 1e3,
                tlsSeconds * 1e3, kRounds);
    std::printf("ratio tls_vs_plain_firmware %.2f\n", tlsSeconds / plainSeconds);
    return 0;
}
