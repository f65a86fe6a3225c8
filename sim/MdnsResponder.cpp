// The printer's mDNS responder: it announces the raw-printing service with the printer's
// instance name, host name, data port and address, to whoever asks for the service.
#include <arpa/inet.h>

#include "sim/Endpoints.h"
#include "sim/MdnsMessage.h"

namespace sim {

MdnsReply AnswerMdns(Printer& printer, std::span<const std::uint8_t> datagram, const std::string& peerAddress,
                     int peerPort, int mdnsPort, int dataPort, std::string& note) {
    MdnsReply reply;
    // Another responder's answer, or one of ours coming back through the group: not logged.
    if (IsDnsResponse(datagram)) return reply;
    printer.RecordMdnsQuery(datagram);
    if (!printer.Reachable()) {
        note = "silent (restarting, or the silent fault): no answer";
        return reply;
    }
    const std::optional<MdnsQuestion> question = FindServiceQuestion(datagram);
    if (!question) {
        note = "query (" + std::to_string(datagram.size()) + " bytes) without the service question";
        return reply;
    }
    const PrinterSettings settings = printer.Settings();
    const MdnsFault fault = settings.faults.mdnsFault;
    if (fault == MdnsFault::Silent) {
        note = "service query not answered (fault)";
        return reply;
    }
    if (!settings.mdnsIgnoreFrom.empty() && settings.mdnsIgnoreFrom == peerAddress) {
        note = "service query from an ignored address: not answered";
        return reply;
    }

    // A querier on another port than the mDNS port is a plain DNS client, which can only take
    // an answer sent straight back to it.
    const bool legacy = peerPort != mdnsPort;
    reply.multicast = !legacy && (settings.mdnsReply == MdnsReplyRoute::Multicast || !question->unicastResponse);
    const MdnsReplyForm form{static_cast<std::uint16_t>(reply.multicast ? 0 : question->id), legacy, question->type};

    MdnsRecords records;
    records.instance = MdnsInstanceName(settings);
    records.host = MdnsHostName(settings);
    records.port = static_cast<std::uint16_t>(dataPort);
    records.txt = {"txtvers=1", "ty=Corvane " + settings.model, "product=(" + settings.model + ")", "usb_MFG=Corvane",
                   "usb_MDL=" + settings.model};
    for (std::string& pad : MdnsTxtPadding(settings.mdnsTxtPad)) records.txt.push_back(std::move(pad));
    inet_pton(AF_INET, printer.Address().c_str(), records.address);

    if (fault == MdnsFault::Malformed) {
        reply.datagrams = {BuildMalformedMdnsAnswer(records, form)};
    } else if (settings.mdnsSplit) {
        reply.datagrams = BuildSplitMdnsAnswer(records, form);
    } else {
        reply.datagrams = {BuildMdnsAnswer(records, form)};
    }
    reply.copies = fault == MdnsFault::Twice ? 2 : 1;
    reply.alsoFrom = settings.faults.mdnsAlsoFrom;

    std::string sizes;
    for (const std::vector<std::uint8_t>& d : reply.datagrams) sizes += (sizes.empty() ? "" : ",") + std::to_string(d.size());
    printer.RecordMdnsAnswer(sizes);
    note = std::string(fault == MdnsFault::Malformed ? "malformed answer" : "answer") + " for '" + records.instance +
           "', " + (reply.multicast ? "multicast" : legacy ? "unicast (legacy querier)" : "unicast (asked for)") +
           ", ID " + std::to_string(form.id) + ", " + sizes + " bytes" + (reply.copies > 1 ? ", sent twice" : "") +
           (reply.alsoFrom.empty() ? "" : ", also from " + reply.alsoFrom);
    return reply;
}

}  // namespace sim
