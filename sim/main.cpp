// The printer simulator: serves one or more simulated printers until SIGINT, SIGTERM or the
// control port's "stop". Prints "ready" (with the control port) on standard output once every
// socket is bound, so scripts and tests know when to start.
#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <cstdio>

#include "sim/Log.h"
#include "sim/Simulator.h"

namespace {

std::atomic<sim::Simulator*> g_simulator{nullptr};

extern "C" void OnSignal(int) {
    if (sim::Simulator* simulator = g_simulator.load()) simulator->Stop();  // an eventfd write: safe here
}

void Usage() {
    std::fprintf(stderr,
                 "usage: printer-sim --printer ADDRESS[,key=value...] ... | --scenario FILE\n"
                 "                   [--control ADDRESS:PORT] [--log FILE] [--cert PEM --key PEM | --cert-expired]\n"
                 "                   [--issuer-out FILE] [--idle-timeout-ms N] [--max-firmware-bytes N]\n"
                 "                   [--snmp-port N] [--data-port N] [--panel-port N] [--controller-port N] [--mdns-port N]\n"
                 "see sim/README.md\n");
}

}  // namespace

int main(int argc, char** argv) {
    sim::SimOptions options;
    const std::string error = sim::ParseCommandLine(argc, argv, options);
    if (!error.empty()) {
        std::fprintf(stderr, "printer-sim: %s\n", error.c_str());
        Usage();
        return 2;
    }
    if (!options.logFile.empty() && !sim::OpenLogFile(options.logFile)) {
        std::fprintf(stderr, "printer-sim: cannot open log file %s\n", options.logFile.c_str());
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Each printer holds nine descriptors and each of its connections two (the printer keeps a
    // duplicate): 32 printers with a few connections each come near the usual soft limit of 1024.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    sim::Simulator simulator(std::move(options));
    const std::string startError = simulator.Start();
    if (!startError.empty()) {
        std::fprintf(stderr, "printer-sim: %s\n", startError.c_str());
        return 1;
    }
    g_simulator.store(&simulator);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    if (simulator.ControlPort() >= 0) std::printf("ready control=%d\n", simulator.ControlPort());
    else std::printf("ready\n");
    std::fflush(stdout);

    simulator.Run();
    g_simulator.store(nullptr);
    return 0;
}
