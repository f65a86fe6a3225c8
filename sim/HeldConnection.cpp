// A connection held by its printer: a printer that has fallen silent (restarting, or the
// `silent` fault) sends nothing on it, not even a close, until it answers again.
#include "sim/Endpoints.h"

namespace sim {
namespace {

// How often a connection looks whether its printer answers again.
constexpr int kSilencePollMs = 20;

}  // namespace

HeldConnection::HeldConnection(Printer& printer, std::uint64_t id, const StopEvent& stop)
    : m_printer(printer), m_stop(stop), m_id(id) {}

HeldConnection::~HeldConnection() {
    AwaitAnswering();
    m_printer.ReleaseSocket(m_id);
}

bool HeldConnection::AwaitAnswering() {
    while (!m_printer.Reachable()) {
        if (!Pause(kSilencePollMs, m_stop)) return false;
    }
    return !m_printer.SocketReset(m_id);
}

}  // namespace sim
