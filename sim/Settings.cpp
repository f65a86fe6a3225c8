// Reading printer settings from "key = value" text: scenario files, the command line and the
// control port all go through ApplySetting, so a key means the same everywhere.
#include "sim/Settings.h"

#include <arpa/inet.h>

#include <cctype>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>

namespace sim {
namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

bool ReadInt(std::string_view text, int& out, int low, int high) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) return false;
    out = value;
    return true;
}

bool ReadFlag(std::string_view text, bool& out) {
    if (text == "on" || text == "1" || text == "yes" || text == "true") return out = true, true;
    if (text == "off" || text == "0" || text == "no" || text == "false") return out = false, true;
    return false;
}

bool AllOf(std::string_view text, const char* allowed) {
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)) && !std::strchr(allowed, c)) return false;
    }
    return true;
}

// Text that goes into the information reply must not break its "key:value;" layout.
bool IsReplySafe(std::string_view text) {
    for (char c : text) {
        if (c == ';' || c == ':' || static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) return false;
    }
    return true;
}

// A DNS label: 1 to 63 bytes, none of them a control character.
bool IsLabelText(std::string_view text) {
    if (text.size() > 63) return false;
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    }
    return true;
}

bool IsHostLabel(std::string_view text) {
    if (text.size() > 63 || text.front() == '-' || text.back() == '-') return false;
    for (char c : text) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
    }
    return true;
}

// A certificate's name: 1 to 32 letters, digits and '-'.
bool IsCertificateName(std::string_view text) {
    if (text.empty() || text.size() > 32) return false;
    for (char c : text) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
    }
    return true;
}

int CountOf(std::string_view text, char c) {
    int n = 0;
    for (char x : text) n += x == c;
    return n;
}

}  // namespace

bool IsDottedIpv4(std::string_view text) {
    in_addr address{};
    return text.size() < 16 && inet_pton(AF_INET, std::string(text).c_str(), &address) == 1;
}

std::string MdnsInstanceName(const PrinterSettings& settings) {
    if (!settings.mdnsName.empty()) return settings.mdnsName;
    std::string name = "Corvane " + settings.model + " (" + settings.serial + ")";
    if (name.size() > 63) name = name.substr(0, 62) + ")";
    return name;
}

std::string MdnsHostName(const PrinterSettings& settings) {
    if (!settings.mdnsHost.empty()) return settings.mdnsHost;
    std::string host;
    for (char c : settings.serial) {
        if (std::isalnum(static_cast<unsigned char>(c)) && host.size() < 63) host += c;
    }
    return host.empty() ? "printer" : host;
}

std::string ApplySetting(PrinterSettings& settings, std::string_view key, std::string_view value) {
    PrinterSettings s = settings;
    Faults& f = s.faults;
    bool ok = true;
    const int kMaxMs = 3600 * 1000;
    if (key == "model") {
        ok = !value.empty() && value.size() <= 64 && IsReplySafe(value);
        s.model = value;
    } else if (key == "serial") {
        ok = value.size() <= 64 && IsReplySafe(value);
        s.serial = value;
    } else if (key == "firmware") {
        ok = !value.empty() && value.size() <= 10 && AllOf(value, ".");
        s.firmware = value;
    } else if (key == "panel") {
        ok = value.size() <= 15 && AllOf(value, ".") && CountOf(value, '.') == 2;
        s.panel = value;
    } else if (key == "model_code") {
        ok = value.size() == 6 && AllOf(value, "");
        s.modelCode = value;
    } else if (key == "security") {
        ok = !value.empty() && value.size() <= 16 && IsReplySafe(value);
        s.security = value;
    } else if (key == "tls") {
        bool on = false;
        ok = ReadFlag(value, on);
        s.security = on ? "1.00" : "0.00";
    } else if (key == "sub_power") {
        ok = ReadFlag(value, s.subPower);
    } else if (key == "ipl_mode") {
        ok = ReadFlag(value, s.iplMode);
    } else if (key == "install_ms") {
        ok = ReadInt(value, s.installMs, 0, kMaxMs);
    } else if (key == "restart_ms") {
        ok = ReadInt(value, s.restartMs, 0, kMaxMs);
    } else if (key == "communities") {
        if (value == "both") s.communities = Communities::Both;
        else if (value == "public") s.communities = Communities::DefaultOnly;
        else if (value == "maker") s.communities = Communities::MakerOnly;
        else if (value == "none") s.communities = Communities::None;
        else ok = false;
    } else if (key == "ack_fault") {
        if (value == "none") f.ackFault = AckFault::None;
        else if (value == "drop") f.ackFault = AckFault::Drop;
        else if (value == "delay") f.ackFault = AckFault::Delay;
        else if (value == "corrupt") f.ackFault = AckFault::Corrupt;
        else ok = false;
    } else if (key == "ack_fault_at") {
        ok = ReadInt(value, f.ackFaultAt, 1, 1 << 30);
    } else if (key == "ack_delay_ms") {
        ok = ReadInt(value, f.ackDelayMs, 0, 60000);
    } else if (key == "coalesce_ack") {
        ok = ReadFlag(value, f.coalesceAck);
    } else if (key == "withhold_message") {
        int code = 0;
        if (value == "none") {
            f.withheldMessage = 0;
        } else {
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), code, 16);
            ok = ec == std::errc() && end == value.data() + value.size() && code > 0 && code <= 0xFFFF;
            f.withheldMessage = static_cast<std::uint16_t>(code);
        }
    } else if (key == "close_after_blocks") {
        ok = value == "none" ? (f.closeAfterBlocks = -1, true) : ReadInt(value, f.closeAfterBlocks, 0, 1 << 30);
    } else if (key == "reject_digest") {
        ok = ReadFlag(value, f.rejectDigest);
    } else if (key == "reject_firmware") {
        ok = ReadFlag(value, f.rejectFirmware);
    } else if (key == "opcode45_ms") {
        ok = ReadInt(value, f.opcode45Ms, 0, kMaxMs);
    } else if (key == "opcode1") {
        ok = ReadFlag(value, f.opcode1);
    } else if (key == "refuse_reboots") {
        ok = value == "all" ? (f.refuseReboots = Faults::kRefuseAll, true) : ReadInt(value, f.refuseReboots, 0, 1 << 30);
    } else if (key == "never_back") {
        ok = ReadFlag(value, f.neverBack);
    } else if (key == "refuse_install") {
        ok = ReadFlag(value, f.refuseInstall);
    } else if (key == "silent") {
        ok = ReadFlag(value, f.silent);
    } else if (key == "data_stall_after") {
        int bytes = 0;
        ok = value == "none" ? (f.dataStallAfter = -1, true) : ReadInt(value, bytes, 0, 1 << 30);
        if (ok && value != "none") f.dataStallAfter = bytes;
    } else if (key == "snmp_error") {
        ok = value == "none" ? (f.snmpError = 0, true) : ReadInt(value, f.snmpError, 1, 18);
    } else if (key == "keep_old_version") {
        ok = ReadFlag(value, f.keepOldVersion);
    } else if (key == "mdns_name") {
        ok = IsLabelText(value);
        s.mdnsName = value;
    } else if (key == "mdns_host") {
        ok = value.empty() || IsHostLabel(value);
        s.mdnsHost = value;
    } else if (key == "mdns_reply") {
        if (value == "asked") s.mdnsReply = MdnsReplyRoute::Asked;
        else if (value == "multicast") s.mdnsReply = MdnsReplyRoute::Multicast;
        else ok = false;
    } else if (key == "mdns_split") {
        ok = ReadFlag(value, s.mdnsSplit);
    } else if (key == "mdns_txt_pad") {
        ok = ReadInt(value, s.mdnsTxtPad, 0, 9000);
    } else if (key == "mdns_ignore_from") {
        ok = value.empty() || value == "none" || IsDottedIpv4(value);
        s.mdnsIgnoreFrom = value == "none" ? std::string() : std::string(value);
    } else if (key == "certificate") {
        ok = IsCertificateName(value);
        s.certificate = value;
    } else if (key == "mdns_fault") {
        if (value == "none") f.mdnsFault = MdnsFault::None;
        else if (value == "silent") f.mdnsFault = MdnsFault::Silent;
        else if (value == "twice") f.mdnsFault = MdnsFault::Twice;
        else if (value == "malformed") f.mdnsFault = MdnsFault::Malformed;
        else ok = false;
    } else if (key == "mdns_also_from") {
        ok = value.empty() || value == "none" || IsDottedIpv4(value);
        f.mdnsAlsoFrom = value == "none" ? std::string() : std::string(value);
    } else {
        return "unknown key '" + std::string(key) + "'";
    }
    if (!ok) return "bad value '" + std::string(value) + "' for " + std::string(key);
    settings = s;
    return {};
}

std::string ParseScenario(std::string_view text, SimOptions& options) {
    int lineNumber = 0;
    PrinterEntry* current = nullptr;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++lineNumber;
        const std::string where = "line " + std::to_string(lineNumber) + ": ";
        if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
        line = Trim(line);
        if (line.empty()) continue;
        if (line.front() == '[') {
            if (line.back() != ']') return where + "unclosed section";
            const std::string_view address = Trim(line.substr(1, line.size() - 2));
            if (!IsDottedIpv4(address)) return where + "not an IPv4 address: " + std::string(address);
            options.printers.push_back({std::string(address), {}});
            current = &options.printers.back();
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) return where + "expected key = value";
        if (!current) return where + "setting before the first [address] section";
        const std::string error = ApplySetting(current->settings, Trim(line.substr(0, equals)), Trim(line.substr(equals + 1)));
        if (!error.empty()) return where + error;
    }
    return {};
}

std::string LoadScenario(const std::string& path, SimOptions& options) {
    std::ifstream in(path);
    if (!in) return "cannot read " + path;
    std::ostringstream text;
    text << in.rdbuf();
    const std::string error = ParseScenario(text.str(), options);
    return error.empty() ? error : path + ": " + error;
}

std::string ParseCommandLine(int argc, const char* const* argv, SimOptions& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (name == "--cert-expired") {  // the one option without a value
            options.certExpired = true;
            continue;
        }
        if (i + 1 >= argc) return "option without a value: " + std::string(name);
        const std::string_view value = argv[++i];
        int number = 0;
        auto port = [&](int& out) { return ReadInt(value, out, 1, 65535); };
        if (name == "--printer") {
            // ADDRESS[,key=value...]
            const std::size_t comma = value.find(',');
            const std::string_view address = value.substr(0, comma);
            if (!IsDottedIpv4(address)) return "not an IPv4 address: " + std::string(address);
            PrinterEntry entry{std::string(address), {}};
            std::string_view rest = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
            while (!rest.empty()) {
                const std::size_t next = rest.find(',');
                const std::string_view pair = rest.substr(0, next);
                rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
                const std::size_t equals = pair.find('=');
                if (equals == std::string_view::npos) return "expected key=value in " + std::string(value);
                const std::string error = ApplySetting(entry.settings, pair.substr(0, equals), pair.substr(equals + 1));
                if (!error.empty()) return error;
            }
            options.printers.push_back(std::move(entry));
        } else if (name == "--scenario") {
            const std::string error = LoadScenario(std::string(value), options);
            if (!error.empty()) return error;
        } else if (name == "--control") {
            // ADDRESS:PORT on this machine's loopback
            const std::size_t colon = value.rfind(':');
            if (colon == std::string_view::npos || !IsDottedIpv4(value.substr(0, colon)) ||
                !ReadInt(value.substr(colon + 1), options.controlPort, 0, 65535)) {
                return "--control takes ADDRESS:PORT";
            }
            options.controlAddress = value.substr(0, colon);
        } else if (name == "--log") {
            options.logFile = value;
        } else if (name == "--cert") {
            options.certFile = value;
        } else if (name == "--key") {
            options.keyFile = value;
        } else if (name == "--issuer-out") {
            if (value.empty()) return "--issuer-out takes a file name";
            options.issuerOut = value;
        } else if (name == "--idle-timeout-ms") {
            if (!ReadInt(value, options.idleTimeoutMs, 100, 3600 * 1000)) return "bad --idle-timeout-ms";
        } else if (name == "--max-firmware-bytes") {
            if (!ReadInt(value, number, 1024, 1 << 30)) return "bad --max-firmware-bytes";
            options.maxFirmwareBytes = static_cast<std::size_t>(number);
        } else if (name == "--snmp-port") {
            if (!port(options.snmpPort)) return "bad --snmp-port";
        } else if (name == "--data-port") {
            if (!port(options.dataPort)) return "bad --data-port";
        } else if (name == "--panel-port") {
            if (!port(options.panelPort)) return "bad --panel-port";
        } else if (name == "--controller-port") {
            if (!port(options.controllerPort)) return "bad --controller-port";
        } else if (name == "--mdns-port") {
            if (!port(options.mdnsPort)) return "bad --mdns-port";
        } else {
            return "unknown option " + std::string(name);
        }
    }
    if (options.certExpired && (!options.certFile.empty() || !options.keyFile.empty())) {
        return "--cert-expired makes its own certificate: not with --cert or --key";
    }
    if (options.printers.empty()) return "no printer: give --printer ADDRESS or --scenario FILE";
    for (std::size_t i = 0; i < options.printers.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (options.printers[i].address == options.printers[j].address) {
                return "two printers on " + options.printers[i].address;
            }
        }
    }
    return {};
}

}  // namespace sim
