// The printer's side of the controller library's protocol: HELLO first, then any request, one
// response each, until the library closes the connection.
#include "controller/ControllerProtocol.h"
#include "sim/Endpoints.h"
#include "sim/Log.h"

namespace sim {

namespace {

ctl::Response Answer(Printer& printer, const ctl::Request& request, bool& connected) {
    ctl::Response response;
    response.type = request.type;
    response.id = request.id;
    if (!ctl::IsKnownRequestType(request.type)) {
        response.result = ctl::kUnknownType;
        return response;
    }
    if (!request.payloadFits) {
        response.result = ctl::kBadRequest;
        return response;
    }
    if (request.type != ctl::kHello && !connected) {
        response.result = ctl::kNotConnected;
        return response;
    }
    switch (request.type) {
        case ctl::kHello:
            // Only a printer that answers gets this far (ServeController).
            connected = request.address == printer.Address();
            response.answer = connected;
            break;
        case ctl::kGetInfo: response.info = printer.InfoText(); break;
        case ctl::kGetStatus:
            response.answer = true;
            response.statusWord = printer.StatusWord();
            response.detailWord = printer.DetailWord();
            break;
        case ctl::kStartUpdate: response.answer = printer.EnterUpdateMode("controller"); break;
        case ctl::kRequestReboot: response.answer = printer.RequestReboot(); break;
        case ctl::kGetOperationCode: response.operationCode = printer.OperationCode(); break;
    }
    return response;
}

// Counts the connection as open for as long as it is served.
class OpenConnection {
public:
    explicit OpenConnection(Printer& printer) : m_printer(printer) { m_printer.CountControllerConnection(+1); }
    ~OpenConnection() { m_printer.CountControllerConnection(-1); }
    OpenConnection(const OpenConnection&) = delete;
    OpenConnection& operator=(const OpenConnection&) = delete;

private:
    Printer& m_printer;
};

}  // namespace

void ServeController(Printer& printer, Fd socket, std::uint64_t heldId, const EndpointContext& context) {
    const std::unique_ptr<Stream> stream = MakePlainStream(std::move(socket), context.stop);
    HeldConnection held(printer, heldId, context.stop);
    const OpenConnection open(printer);
    const std::string who = printer.Address() + " controller:";
    std::vector<std::uint8_t> received;
    std::uint8_t buffer[4096];
    bool connected = false;
    for (;;) {
        const ctl::RequestDecode decoded = ctl::DecodeRequest(received);
        if (decoded.status == ctl::DecodeStatus::kInvalid) {
            Log(who, "bad request (%s), closing", decoded.error.c_str());
            return;
        }
        if (decoded.status == ctl::DecodeStatus::kComplete) {
            received.erase(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(decoded.consumed));
            // A request that reached a printer about to fall silent is taken up when it answers
            // again, unless a restart has forgotten the connection meanwhile.
            if (!held.AwaitAnswering()) return;
            const ctl::Response response = Answer(printer, decoded.request, connected);
            Log(who, "request %u id %u -> result %u", decoded.request.type, decoded.request.id, response.result);
            // The answer to an accepted restart request is the printer's last word before it goes
            // down; any other answer waits while the printer is silent.
            const bool lastWord = decoded.request.type == ctl::kRequestReboot && response.answer;
            if (!lastWord && !held.AwaitAnswering()) return;
            const std::vector<std::uint8_t> bytes = ctl::EncodeResponse(response);
            if (bytes.empty() || !stream->WriteAll(bytes.data(), bytes.size(), context.idleTimeoutMs)) {
                Log(who, "cannot answer, closing");
                return;
            }
            continue;
        }
        const ssize_t n = stream->Read(buffer, sizeof buffer, context.idleTimeoutMs);
        // A silent printer does not close idle connections either.
        if (n == kTimedOut && !printer.AnsweredThroughout(context.idleTimeoutMs)) continue;
        if (n == kTimedOut) Log(who, "idle, closing");
        if (n <= 0) return;
        received.insert(received.end(), buffer, buffer + n);
    }
}

}  // namespace sim
