// TCP 9100. Without TLS a connection that opens with the 25-byte update-mode frame asks for
// update mode; anything else, and everything over TLS, is firmware data, received until the
// peer closes and then checked.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>

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
    const PrinterSettings settings = printer.Settings();
    if (!settings.Secure()) {
        Log(who, "connection");
        return MakePlainStream(std::move(socket), context.stop);
    }
    std::string error;
    std::unique_ptr<Stream> stream;
    if (const std::shared_ptr<TlsServer> tls = context.certificates.For(settings, printer.Address(), error)) {
        stream = tls->Accept(std::move(socket), context.stop, context.idleTimeoutMs, error);
    }
    if (stream) {
        Log(who, "TLS connection");
    } else {
        Log(who, "TLS handshake failed: %s", error.c_str());
    }
    return stream;
}

// A connection that the printer stopped reading (the `data_stall_after` fault) stays open until
// the peer closes or resets it or the simulator stops; after this long it is let go all the
// same, long after any sender has given up, so that forgotten connections do not pile up.
constexpr int kStalledHoldMs = 10 * 60 * 1000;
// Its receive buffer, set before anything is read: small, and fixed, so that the kernel's
// tuning cannot grow the window and take megabytes in while nobody reads; the sender blocks a
// few tens of kilobytes past the point where the printer stopped.
constexpr int kStalledReceiveBuffer = 32 * 1024;

void ServeData(Printer& printer, Fd socket, std::uint64_t heldId, const EndpointContext& context) {
    const std::string who = printer.Address() + " data:";
    const PrinterSettings settings = printer.Settings();
    const long long stallAfter = settings.faults.dataStallAfter;
    if (stallAfter >= 0) {
        setsockopt(socket.Get(), SOL_SOCKET, SO_RCVBUF, &kStalledReceiveBuffer, sizeof kStalledReceiveBuffer);
    }
    std::unique_ptr<Stream> stream;  // outlives `held`: a TLS close waits while the printer is silent
    HeldConnection held(printer, heldId, context.stop);
    stream = AcceptStream(printer, std::move(socket), context, who);
    if (!stream) return;
    printer.CountDataConnection();

    std::vector<std::uint8_t> buffer(64 * 1024);
    std::vector<std::uint8_t> start;  // plain: bytes held until the frame is ruled in or out
    bool deciding = !settings.Secure();
    bool began = false;
    long long received = 0;  // every byte taken from the connection
    FirmwareReceiver receiver(context.maxFirmwareBytes);
    // Bytes that began neither the frame nor firmware for sure are firmware once no more come.
    const auto TakeUndecided = [&] {
        if (!deciding || start.empty()) return;
        if (receiver.Size() == 0) began = printer.BeginFirmware();
        receiver.Feed(start.data(), start.size());
        start.clear();
    };
    // A transfer that ends without the peer closing in order is never accepted.
    const auto Abandon = [&](const char* reason) {
        FirmwareResult result = receiver.Finish(settings.modelCode);
        result.accepted = false;
        result.version.clear();
        result.reason = reason;
        printer.EndFirmware(result, began);
    };

    for (;;) {
        // A silent printer takes nothing in, not even to open the window a read would open; what
        // a restart reset is forgotten.
        if (!held.AwaitAnswering()) return;
        std::size_t want = buffer.size();
        if (stallAfter >= 0) {
            if (received >= stallAfter) {
                Log(who, "stopped reading after %lld bytes (fault): the connection stays open", received);
                printer.CountStalledConnection(+1);
                const int gone = stream->WaitPeerGone(kStalledHoldMs);
                printer.CountStalledConnection(-1);
                if (gone == kStopped) return;
                Log(who, gone == 0 ? "stalled for %d minutes, closing" : "the peer closed or reset the stalled connection",
                    kStalledHoldMs / 60000);
                TakeUndecided();
                if (began || receiver.Size() > 0) Abandon("the printer stopped reading");
                return;
            }
            want = static_cast<std::size_t>(std::min<long long>(static_cast<long long>(want), stallAfter - received));
        }
        const ssize_t n = stream->Read(buffer.data(), want, context.idleTimeoutMs);
        if (n == kStopped) return;
        // A silent printer does not close idle connections either.
        if (n == kTimedOut && !printer.AnsweredThroughout(context.idleTimeoutMs)) continue;
        if (n == kTimedOut || n == kError) {
            Log(who, n == kTimedOut ? "idle, closing" : "receive error, closing");
            if (began || receiver.Size() > 0) Abandon("transfer broken off");
            return;
        }
        if (n == kClosed) break;
        received += n;

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

    // A short connection that is a beginning of the frame but not all of it.
    TakeUndecided();
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
