// The operation panel's side of the panel exchange on TCP 57602. Every installer command is
// acknowledged; after some commands the panel sends messages of its own and waits for their
// acknowledgement:
//   E000 -> E00A, E00D    E00E -> E00F    E010 -> E011    E008 (digest matches) -> E00C
// The package arrives as E006 (name and size), E007 blocks and E008 (MD5 digest text). A later
// connection's E009 starts installing it, unless the panel refuses: it then closes the
// connection without acknowledging the command. A command sent again with the same sequence number
// (the installer's retry after a lost acknowledgement) is acknowledged again but handled once.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <strings.h>
#include <sys/socket.h>

#include <cstdio>

#include "ports/PanelFrame.h"
#include "sim/Endpoints.h"
#include "sim/FirmwareCheck.h"
#include "sim/Log.h"

namespace sim {
namespace {

// A real panel takes a moment before it speaks; without it a message could share a TCP segment
// with the acknowledgement before it, which only the coalescing fault is meant to do.
constexpr int kThinkMs = 30;

std::string Hex4(std::uint16_t code) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", code);
    return text;
}

std::string TrimmedText(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
    std::size_t first = 0;
    while (first < text.size() && text[first] == ' ') ++first;
    return text.substr(first);
}

class PanelSession {
public:
    PanelSession(Printer& printer, Stream& stream, HeldConnection& held, const EndpointContext& context)
        : m_printer(printer), m_stream(stream), m_held(held), m_context(context), m_who(printer.Address() + " panel:"),
          m_md5(EVP_MD_CTX_new()) {}
    ~PanelSession() { EVP_MD_CTX_free(m_md5); }

    void Run() {
        for (;;) {
            panel::PanelFrame frame;
            if (!ReadFrame(frame)) return;
            // A command that reached a printer about to fall silent is taken up when it answers
            // again, unless a restart has forgotten the connection meanwhile.
            if (!m_held.AwaitAnswering()) return;
            if (!HandleCommand(frame)) return;
        }
    }

private:
    // What becomes of a command the first time it arrives.
    enum class Verdict { Acknowledge, AcknowledgeAndClose, Refuse };

    bool Fill() {
        std::uint8_t buffer[4096];
        ssize_t n;
        // A silent printer does not close idle connections either.
        do {
            n = m_stream.Read(buffer, sizeof buffer, m_context.idleTimeoutMs);
        } while (n == kTimedOut && !m_printer.AnsweredThroughout(m_context.idleTimeoutMs));
        if (n == kTimedOut) Log(m_who, "idle, closing");
        else if (n == kError) Log(m_who, "receive error, closing");
        else if (n == kClosed) Log(m_who, "installer closed the connection");
        if (n <= 0) return false;
        m_in.insert(m_in.end(), buffer, buffer + n);
        return true;
    }

    void Consume(std::size_t count) { m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(count)); }

    bool ReadFrame(panel::PanelFrame& frame) {
        for (;;) {
            if (!m_in.empty()) {
                if (m_in[0] == panel::kAck) {
                    Log(m_who, "acknowledgement where a command was expected, closing");
                    return false;
                }
                panel::PanelFrameDecode decoded = panel::DecodePanelFrame(m_in);
                if (decoded.status == panel::DecodeStatus::kInvalid) {
                    Log(m_who, "bad frame (%s), closing", decoded.error.c_str());
                    return false;
                }
                if (decoded.status == panel::DecodeStatus::kComplete) {
                    Consume(decoded.consumed);
                    frame = std::move(decoded.frame);
                    return true;
                }
            }
            if (!Fill()) return false;
        }
    }

    bool Flush() {
        if (m_out.empty()) return true;
        // Nothing goes out while the printer is silent.
        if (!m_held.AwaitAnswering()) return false;
        const bool ok = m_stream.WriteAll(m_out.data(), m_out.size(), m_context.idleTimeoutMs);
        m_out.clear();
        if (!ok) Log(m_who, "send failed, closing");
        return ok;
    }

    // Sends one panel message and waits for its acknowledgement. False: close the connection.
    bool SendMessage(std::uint16_t code) {
        const Faults faults = m_printer.Settings().faults;
        if (m_silent) return true;
        if (code == faults.withheldMessage) {
            Log(m_who, "withholding message %s (fault); no further messages on this connection", Hex4(code).c_str());
            m_silent = true;
            return Flush();
        }
        if (!faults.coalesceAck && !Flush()) return false;
        if (!Pause(kThinkMs, m_context.stop)) return false;
        const std::uint8_t sequence = m_sequence++;
        const std::vector<std::uint8_t> frame = panel::EncodePanelFrame(code, sequence, 0, {});
        m_out.insert(m_out.end(), frame.begin(), frame.end());
        if (!Flush()) return false;
        m_printer.RecordPanel({PanelEvent::Message, code, sequence, 0});
        Log(m_who, "sent message %s seq %02X", Hex4(code).c_str(), sequence);
        return AwaitMessageAck(code, sequence);
    }

    bool AwaitMessageAck(std::uint16_t code, std::uint8_t sequence) {
        for (;;) {
            if (!m_in.empty()) {
                if (m_in[0] == panel::kStx) {
                    Log(m_who, "command arrived before the acknowledgement of message %s", Hex4(code).c_str());
                    return true;
                }
                const panel::MessageAckDecode decoded = panel::DecodeMessageAck(m_in);
                if (decoded.status == panel::DecodeStatus::kInvalid) {
                    Log(m_who, "bad acknowledgement of message %s (%s), closing", Hex4(code).c_str(), decoded.error.c_str());
                    return false;
                }
                if (decoded.status == panel::DecodeStatus::kComplete) {
                    Consume(decoded.consumed);
                    m_printer.RecordPanel({PanelEvent::MessageAck, code, decoded.sequence, decoded.attempt});
                    if (decoded.sequence != sequence || decoded.attempt != 0) {
                        Log(m_who, "acknowledgement of message %s names seq %02X attempt %02X", Hex4(code).c_str(),
                            decoded.sequence, decoded.attempt);
                    }
                    return true;
                }
            }
            if (!Fill()) return false;
        }
    }

    bool HandleCommand(const panel::PanelFrame& frame) {
        const bool retry = m_haveLast && frame.sequence == m_lastSequence && frame.command == m_lastCommand;
        m_printer.RecordPanel({retry ? PanelEvent::Retry : PanelEvent::Command, frame.command, frame.sequence, frame.attempt});
        Verdict verdict = Verdict::Acknowledge;
        if (retry) {
            Log(m_who, "command %s seq %02X attempt %02X again: acknowledged, not handled twice", Hex4(frame.command).c_str(),
                frame.sequence, frame.attempt);
        } else {
            if (m_haveLast && frame.sequence != m_sequence) {
                Log(m_who, "command %s carries seq %02X, expected %02X", Hex4(frame.command).c_str(), frame.sequence, m_sequence);
            }
            m_haveLast = true;
            m_lastCommand = frame.command;
            m_lastSequence = frame.sequence;
            m_sequence = static_cast<std::uint8_t>(frame.sequence + 1);
            m_followUpDue = true;
            verdict = Process(frame);
        }
        if (verdict == Verdict::Refuse) {
            // No acknowledgement at all: the connection ends, and the command with it.
            m_printer.RecordPanel({PanelEvent::Refused, frame.command, frame.sequence, frame.attempt});
            Log(m_who, "command %s refused: closing without acknowledging it", Hex4(frame.command).c_str());
            Flush();
            return false;
        }
        const bool closeAfter = verdict == Verdict::AcknowledgeAndClose;

        const AckAction action = m_printer.NextCommandAck();
        std::array<std::uint8_t, panel::kCommandAckSize> ack = panel::MakeCommandAck(frame.sequence, frame.attempt);
        switch (action.fault) {
            case AckFault::Drop:
                Log(m_who, "dropping the acknowledgement of %s seq %02X attempt %02X (fault)", Hex4(frame.command).c_str(),
                    frame.sequence, frame.attempt);
                return !closeAfter;
            case AckFault::Corrupt:
                ack = panel::MakeCommandAck(static_cast<std::uint8_t>(frame.sequence + 1), frame.attempt);
                Log(m_who, "corrupting the acknowledgement of %s (fault)", Hex4(frame.command).c_str());
                m_out.insert(m_out.end(), ack.begin(), ack.end());
                return Flush() && !closeAfter;
            case AckFault::Delay:
                Log(m_who, "delaying the acknowledgement of %s by %d ms (fault)", Hex4(frame.command).c_str(), action.delayMs);
                if (!Pause(action.delayMs, m_context.stop)) return false;
                break;
            case AckFault::None: break;
        }
        m_out.insert(m_out.end(), ack.begin(), ack.end());
        if (closeAfter) {
            Flush();
            return false;
        }
        if (!m_followUpDue) return Flush();
        m_followUpDue = false;
        return FollowUp(frame.command) && Flush();
    }

    // The panel's messages after a command has been acknowledged.
    bool FollowUp(std::uint16_t command) {
        switch (command) {
            case 0xE000: return SendMessage(0xE00A) && SendMessage(0xE00D);
            case 0xE00E: return SendMessage(0xE00F);
            case 0xE010: return SendMessage(0xE011);
            case 0xE008: return !m_packageAccepted || SendMessage(0xE00C);
            default: return true;
        }
    }

    // Handles a command the first time it arrives.
    Verdict Process(const panel::PanelFrame& frame) {
        const std::vector<std::uint8_t>& data = frame.data;
        switch (frame.command) {
            case 0xE000:
                if (data.size() >= 15) {
                    m_installerVersion = TrimmedText(data.data(), 5);
                    m_announcedPanel = TrimmedText(data.data() + 5, 10);
                }
                Log(m_who, "session start: installer %s, panel application %s", m_installerVersion.c_str(),
                    m_announcedPanel.c_str());
                return Verdict::Acknowledge;
            case 0xE00E:
                Log(m_who, "installer host %s", TrimmedText(data.data(), data.size()).c_str());
                return Verdict::Acknowledge;
            case 0xE010:
            case 0xE012:
            case 0xE005:
                Log(m_who, "command %s", Hex4(frame.command).c_str());
                return Verdict::Acknowledge;
            case 0xE006: Header(data); return Verdict::Acknowledge;
            case 0xE007: return Block(data) ? Verdict::Acknowledge : Verdict::AcknowledgeAndClose;
            case 0xE008: Digest(data); return Verdict::Acknowledge;
            case 0xE009:
                Log(m_who, "install request");
                return m_printer.StartPanelInstall() ? Verdict::Acknowledge : Verdict::Refuse;
            default:
                Log(m_who, "unknown command %s, acknowledged and ignored", Hex4(frame.command).c_str());
                return Verdict::Acknowledge;
        }
    }

    void Header(const std::vector<std::uint8_t>& data) {
        if (data.size() != 40) {
            Log(m_who, "file header of %zu bytes, expected 40", data.size());
            m_headerSeen = false;
            return;
        }
        m_packageName = TrimmedText(data.data(), 30);
        const std::string size = TrimmedText(data.data() + 30, 10);
        char* end = nullptr;
        const unsigned long long value = std::strtoull(size.c_str(), &end, 10);
        m_headerSeen = !size.empty() && *end == '\0';
        m_announcedSize = m_headerSeen ? static_cast<std::size_t>(value) : 0;
        m_received = 0;
        m_blocks = 0;
        m_packageAccepted = false;
        EVP_DigestInit_ex(m_md5, EVP_md5(), nullptr);
        Log(m_who, "file header: %s, %s bytes", m_packageName.c_str(), size.c_str());
    }

    // False: close after acknowledging this block (`close_after_blocks`).
    bool Block(const std::vector<std::uint8_t>& data) {
        if (!m_headerSeen) {
            Log(m_who, "data block before a file header, ignored");
            return true;
        }
        EVP_DigestUpdate(m_md5, data.data(), data.size());
        m_received += data.size();
        ++m_blocks;
        const int closeAfter = m_printer.Settings().faults.closeAfterBlocks;
        if (closeAfter >= 0 && m_blocks >= closeAfter) {
            Log(m_who, "closing after %d data blocks (fault)", m_blocks);
            return false;
        }
        return true;
    }

    void Digest(const std::vector<std::uint8_t>& data) {
        PackageResult result;
        result.digest = TrimmedText(data.data(), data.size());
        result.size = m_received;
        result.announcedSize = m_announcedSize;
        result.blocks = m_blocks;
        if (m_headerSeen) {
            std::uint8_t digest[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            EVP_DigestFinal_ex(m_md5, digest, &length);
            result.md5 = ToHex(digest, length);
        }
        const bool reject = m_printer.Settings().faults.rejectDigest;
        result.accepted = m_headerSeen && m_received == m_announcedSize && result.digest.size() == 32 &&
                          strcasecmp(result.md5.c_str(), result.digest.c_str()) == 0 && !reject;
        if (reject) Log(m_who, "rejecting the package digest (fault)");
        else if (!m_headerSeen) Log(m_who, "digest without a file header");
        else if (m_received != m_announcedSize) Log(m_who, "received %zu bytes, announced %zu", m_received, m_announcedSize);
        else if (!result.accepted) Log(m_who, "digest mismatch: computed %s, announced %s", result.md5.c_str(), result.digest.c_str());
        m_packageAccepted = result.accepted;
        m_headerSeen = false;
        m_printer.RecordPackage(result, m_announcedPanel);
    }

    Printer& m_printer;
    Stream& m_stream;
    HeldConnection& m_held;
    const EndpointContext& m_context;
    const std::string m_who;
    std::vector<std::uint8_t> m_in;
    std::vector<std::uint8_t> m_out;

    bool m_haveLast = false;
    std::uint16_t m_lastCommand = 0;
    std::uint8_t m_lastSequence = 0;
    std::uint8_t m_sequence = 0;   // the next sequence number: the panel's messages use it
    bool m_followUpDue = false;    // the last command's messages wait for its acknowledgement
    bool m_silent = false;         // a message was withheld: the panel says nothing more

    std::string m_installerVersion;
    std::string m_announcedPanel;
    std::string m_packageName;
    bool m_headerSeen = false;
    bool m_packageAccepted = false;
    std::size_t m_announcedSize = 0;
    std::size_t m_received = 0;
    int m_blocks = 0;
    EVP_MD_CTX* m_md5;
};

}  // namespace

void ServePanel(Printer& printer, Fd socket, std::uint64_t heldId, const EndpointContext& context) {
    const std::string who = printer.Address() + " panel:";
    std::unique_ptr<Stream> stream;  // outlives `held`: a TLS close waits while the printer is silent
    HeldConnection held(printer, heldId, context.stop);
    stream = AcceptStream(printer, std::move(socket), context, who);
    if (!stream) return;
    PanelSession(printer, *stream, held, context).Run();
}

}  // namespace sim
