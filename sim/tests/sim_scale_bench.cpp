// How the simulator serves many printers at once: N printers in one simulator process, and for
// each a client doing what the installer does to it, all at the same time: the update-mode frame,
// then a firmware stream on TCP 9100 and, beside it, the panel transfer on TCP 57602 (the opening
// exchange, the package in 1 KB blocks with one acknowledged round trip each, the digest). The
// wall time of N printers is set against that of one printer in the same run.
//
// Usage: sim_scale_bench [--printers 1,20] [--rounds 3] [--firmware-bytes N] [--package-bytes N]
//                        [--pace-us N]
// --pace-us makes each client wait that long before each panel command, as an installer slower
// than this one (under Wine, say) does: the transfers are then bound by waiting, not by CPU.
// Prints, for each count, the median wall time and the CPU the simulator and the clients used,
// then:  ratio sim_printers_<N>_vs_1 <value>   (waiting is not serialised: near 1 with cores to
//                                               spare; on two cores the CPU of N transfers shows)
// Exit code 1 when a transfer failed or a printer did not take what it was sent.
#include <unistd.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ports/UpdateModeFrame.h"
#include "sim/tests/Clients.h"
#include "sim/tests/SimProcess.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::vector<int> counts = {1, 20};
    int rounds = 3;
    std::size_t firmwareBytes = 5'000'000;
    std::size_t packageBytes = 8'700'000;  // 8,497 blocks of 1 KB, the last one short
    int paceUs = 0;
};

struct Round {
    double wall = 0;       // seconds until every printer's transfers were done
    double simCpu = 0;     // user + system seconds of the simulator process
    double clientCpu = 0;  // of this process (all clients)
    bool ok = true;
};

double ProcessCpu(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double OwnCpu() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

bool SendFirmware(const std::string& address, const std::vector<std::uint8_t>& image) {
    const sim::Fd fd = simtest::ConnectTcp(address, 9100);
    return fd.Valid() && simtest::SendAll(fd.Get(), image);
}

Round RunOnce(int count, const Options& options, const std::vector<std::uint8_t>& firmware,
              const std::vector<std::uint8_t>& package, const std::string& md5) {
    Round round;
    const std::vector<std::string> addresses = simtest::PrinterAddresses(count);
    std::vector<std::string> args;
    for (const std::string& address : addresses) {
        args.push_back("--printer");
        args.push_back(address + ",install_ms=600000");
    }
    args.insert(args.end(), {"--idle-timeout-ms", "30000", "--log", "/dev/null"});
    simtest::SimProcess sim(args);
    if (!sim.Started()) {
        std::fprintf(stderr, "the simulator did not start\n");
        round.ok = false;
        return round;
    }
    // Update mode first, outside the measurement.
    for (const std::string& address : addresses) {
        const auto frame = UpdateModeFrame();
        if (!SendFirmware(address, std::vector<std::uint8_t>(frame.begin(), frame.end())) ||
            !sim.WaitFor(address, "state", "update-mode")) {
            std::fprintf(stderr, "%s did not enter update mode\n", address.c_str());
            round.ok = false;
            return round;
        }
    }

    std::vector<int> results(2 * static_cast<std::size_t>(count), 0);
    const double simBefore = ProcessCpu(sim.Pid());
    const double clientBefore = OwnCpu();
    const Clock::time_point start = Clock::now();
    {
        std::vector<std::jthread> clients;
        for (int i = 0; i < count; ++i) {
            const std::string& address = addresses[static_cast<std::size_t>(i)];
            int* firmwareDone = &results[2 * static_cast<std::size_t>(i)];
            int* panelDone = firmwareDone + 1;
            clients.emplace_back([&, address, firmwareDone] {
                *firmwareDone = SendFirmware(address, firmware) ? 1 : 0;
            });
            clients.emplace_back([&, address, panelDone] {
                simtest::InstallerPanel installer(address);
                installer.SetPace(std::chrono::microseconds(options.paceUs));
                *panelDone = installer.Connected() && installer.Transfer(package, md5) && installer.Receive(0xE00C);
            });
        }
    }
    round.wall = std::chrono::duration<double>(Clock::now() - start).count();
    round.clientCpu = OwnCpu() - clientBefore;

    for (int i = 0; i < count; ++i) {
        const std::string& address = addresses[static_cast<std::size_t>(i)];
        if (!results[2 * static_cast<std::size_t>(i)] || !results[2 * static_cast<std::size_t>(i) + 1]) {
            std::fprintf(stderr, "%s: a transfer failed (firmware %d, panel %d)\n", address.c_str(),
                         results[2 * static_cast<std::size_t>(i)], results[2 * static_cast<std::size_t>(i) + 1]);
            round.ok = false;
        }
        // The firmware's verdict comes once the simulator has read the stream to its end.
        if (!sim.WaitFor(address, "state", "installing") || sim.Show(address, "package_result") != "accepted" ||
            sim.Show(address, "package_md5") != md5) {
            std::fprintf(stderr, "%s: firmware %s, package %s\n", address.c_str(),
                         sim.Show(address, "firmware_result").c_str(), sim.Show(address, "package_result").c_str());
            round.ok = false;
        }
    }
    round.simCpu = ProcessCpu(sim.Pid()) - simBefore;
    return round;
}

std::vector<int> ReadCounts(const char* text) {
    std::vector<int> counts;
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) counts.push_back(std::atoi(item.c_str()));
    return counts;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        const bool hasValue = i + 1 < argc;
        if (name == "--printers" && hasValue) options.counts = ReadCounts(argv[++i]);
        else if (name == "--rounds" && hasValue) options.rounds = std::atoi(argv[++i]);
        else if (name == "--firmware-bytes" && hasValue) options.firmwareBytes = std::strtoull(argv[++i], nullptr, 10);
        else if (name == "--package-bytes" && hasValue) options.packageBytes = std::strtoull(argv[++i], nullptr, 10);
        else if (name == "--pace-us" && hasValue) options.paceUs = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: sim_scale_bench [--printers 1,20] [--rounds 3] [--firmware-bytes N] "
                                 "[--package-bytes N] [--pace-us N]\n");
            return 2;
        }
    }
    for (const int count : options.counts) {
        if (count < 1 || count > 32) {
            std::fprintf(stderr, "sim_scale_bench: 1 to 32 printers, not %d\n", count);
            return 2;
        }
    }
    if (options.rounds < 1 || options.firmwareBytes < 1024 || options.packageBytes < 1 || options.paceUs < 0) {
        std::fprintf(stderr, "sim_scale_bench: bad --rounds, --firmware-bytes, --package-bytes or --pace-us\n");
        return 2;
    }

    const std::vector<std::uint8_t> firmware = simtest::MakeFirmware("041852", "3.40", options.firmwareBytes - 80);
    const std::vector<std::uint8_t> package = simtest::Package(options.packageBytes);
    const std::string md5 = simtest::Md5Hex(package);
    std::printf("each printer: firmware %zu bytes, package %zu bytes in %zu blocks, %d us before each command\n",
                firmware.size(), package.size(), (package.size() + 1023) / 1024, options.paceUs);

    bool ok = true;
    std::vector<double> medians;
    for (const int count : options.counts) {
        std::vector<Round> rounds;
        for (int r = 0; r < options.rounds; ++r) {
            rounds.push_back(RunOnce(count, options, firmware, package, md5));
            ok = ok && rounds.back().ok;
        }
        std::sort(rounds.begin(), rounds.end(), [](const Round& a, const Round& b) { return a.wall < b.wall; });
        const Round& median = rounds[rounds.size() / 2];
        medians.push_back(median.wall);
        std::printf("printers %2d: wall %.2f s (rounds %.2f to %.2f), simulator CPU %.2f s, clients CPU %.2f s\n", count,
                    median.wall, rounds.front().wall, rounds.back().wall, median.simCpu, median.clientCpu);
        std::fflush(stdout);
    }
    for (std::size_t i = 0; i < options.counts.size(); ++i) {
        if (options.counts[i] == 1) continue;
        const auto one = std::find(options.counts.begin(), options.counts.end(), 1);
        if (one == options.counts.end()) break;
        std::printf("ratio sim_printers_%d_vs_1 %.2f\n", options.counts[i],
                    medians[i] / medians[static_cast<std::size_t>(one - options.counts.begin())]);
    }
    return ok ? 0 : 1;
}
