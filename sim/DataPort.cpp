// TCP 9100. Without TLS a connection that opens with the 25-byte update-mode frame asks for
// update mode; anything else, and everything over TLS, is firmware data, received until the
// peer closes and then checked.
#include <poll.h>
#include <sys/socket.h>

#include "ports/UpdateModeFrame.h"
#include "sim/Endpoints.h"
#include "sim/FirmwareCheck.h"
#include "sim/Log.h"

namespace sim {

bool Pause(int ms, const StopEvent& stop) {
    pollfd p{stop.Fd(), POLLIN, 0};
    return poll(&p, 1, ms) == 0;
}

std::unique_ptr<Stream> AcceptStream(Printer& printer, Fd socket, const EndpointContext& context,
                                     const std::string& who) {
    if (!printer.Settings().Secure()) {
        Log(who, "connection");
        return MakePlainStream(std::move(socket), context.stop);
    }
    std::string error;
    std::unique_ptr<Stream> stream = context.tls.Accept(std::move(socket), context.stop, context.idleTimeoutMs, error);
    if (stream) {
        Log(who, "TLS connection");
    } else {
        Log(who, "TLS handshake failed: %s", error.c_str());
    }
    return stream;
}

// A connection of a printer that stopped reading: kept open, read no more, until the simulator
// stops or the time a sender could wait is well past.
constexpr int kStalledHoldMs = 10 * 60 * 1000;
// The receive buffer of such a connection: small, so that the sender really blocks.
constexpr int kStalledReceiveBuffer = 32 * 1024;

void ServeData(Printer& printer, Fd socket, const EndpointContext& context) {
    const std::string who = printer.Address() + " data:";
    const PrinterSettings settings = printer.Settings();
    const long long stallAfter = settings.faults.dataStallAfter;
    if (stallAfter >= 0) {
        setsockopt(socket.Get(), SOL_SOCKET, SO_RCVBUF, &kStalledReceiveBuffer, sizeof kStalledReceiveBuffer);
    }
    std::unique_ptr<Stream> stream = AcceptStream(printer, std::move(socket), context, who);
    if (!stream) return;
    printer.CountDataConnection();

    std::vector<std::uint8_t> buffer(64 * 1024);
    std::vector<std::uint8_t> start;  // plain: bytes held until the frame is ruled in or out
    bool deciding = !settings.Secure();
    bool began = false;
    FirmwareReceiver receiver(context.maxFirmwareBytes);
    // A transfer that ends without the peer closing in order is never accepted.
    const auto Abandon = [&](const char* reason) {
        FirmwareResult result = receiver.Finish(settings.modelCode);
        result.accepted = false;
        result.version.clear();
        result.reason = reason;
        printer.EndFirmware(result, began);
    };

    for (;;) {
        const ssize_t n = stream->Read(buffer.data(), buffer.size(), context.idleTimeoutMs);
        if (n == kStopped) return;
        if (n == kTimedOut || n == kError) {
            Log(who, n == kTimedOut ? "idle, closing" : "receive error, closing");
            if (began || receiver.Size() > 0) Abandon("transfer broken off");
            return;
        }
        if (n == kClosed) break;
        if (stallAfter >= 0 && static_cast<long long>(receiver.Size() + start.size()) + n >= stallAfter) {
            Log(who, "stopped reading after %lld bytes (fault setting)", static_cast<long long>(receiver.Size() + start.size()) + n);
            Pause(kStalledHoldMs, context.stop);
            Abandon("the printer stopped reading");
            return;
        }

        const std::uint8_t* data = buffer.data();
        std::size_t size = static_cast<std::size_t>(n);
        if (deciding) {
            start.insert(start.end(), data, data + size);
            const UpdateModeMatch match = MatchUpdateModeFrame(start);
            if (match == UpdateModeMatch::kNeedMore) continue;
            if (match == UpdateModeMatch::kFrame) {
                Log(who, "update-mode frame%s", start.size() > kUpdateModeFrameSize ? " (bytes after it ignored)" : "");
                printer.EnterUpdateMode("frame");
                return;
            }
            deciding = false;
            data = start.data();
            size = start.size();
        }
        if (receiver.Size() == 0) began = printer.BeginFirmware();
        if (!receiver.Feed(data, size)) {
            Log(who, "more than %zu bytes, closing", context.maxFirmwareBytes);
            Abandon("larger than the size limit");
            return;
        }
        start.clear();
    }

    if (deciding && !start.empty()) {
        // A short connection that is a beginning of the frame but not all of it.
        if (receiver.Size() == 0) began = printer.BeginFirmware();
        receiver.Feed(start.data(), start.size());
    }
    if (receiver.Size() == 0 && !began) {
        Log(who, "connection closed without data");
        return;
    }
    FirmwareResult result = receiver.Finish(settings.modelCode);
    if (result.accepted && !began) {
        result.accepted = false;
        result.reason = "not in update mode";
    }
    if (result.accepted && printer.Settings().faults.rejectFirmware) {
        result.accepted = false;
        result.reason = "rejected by fault setting";
    }
    if (!result.accepted) result.version.clear();
    printer.EndFirmware(result, began);
}

}  // namespace sim
