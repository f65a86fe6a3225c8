// Quiet mode end to end: the installer under Wine started with /q from outside (its output
// redirected, as a script would) on the namespace harness against simulated printers. What each
// result line says is held against what its printer received and reports; the summary, the exit
// code and the history must agree with the lines; a bad command line and a second instance are
// refused before anything reaches a printer, and nothing is ever shown.
#include "tests/e2e/InstallScenario.h"

#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string_view>

#include "tests/e2e/QuietInstaller.h"

namespace install {
namespace {

using Text = std::optional<std::string>;  // a JSON string; nullopt: null

// One line of quiet mode's output: a flat JSON object of strings, numbers, booleans and nulls.
class JsonLine {
public:
    // Nullopt when the line is not one such object (or names a key twice).
    static std::optional<JsonLine> Parse(std::string_view line) {
        JsonLine parsed;
        Reader in{line};
        if (!in.Take('{')) return std::nullopt;
        if (!in.Take('}')) {
            do {
                std::string key;
                Value value;
                if (!in.String(key) || !in.Take(':') || !in.Value(value)) return std::nullopt;
                if (!parsed.m_fields.emplace(std::move(key), std::move(value)).second) return std::nullopt;
            } while (in.Take(','));
            if (!in.Take('}')) return std::nullopt;
        }
        in.Space();
        if (!in.AtEnd()) return std::nullopt;
        return parsed;
    }

    bool Has(const std::string& key) const { return m_fields.count(key) != 0; }

    // A string or null; a missing key or another kind of value fails the test.
    Text String(const std::string& key) const {
        const Value* value = Find(key, "a string or null");
        if (!value || value->kind == Kind::kNull) return std::nullopt;
        if (value->kind != Kind::kString) ADD_FAILURE() << key << " is not a string";
        return value->text;
    }
    // A whole number; -1 (and a failure) when it is missing or something else.
    long long Number(const std::string& key) const {
        const Value* value = Find(key, "a number");
        if (!value) return -1;
        if (value->kind != Kind::kNumber || value->text.find_first_not_of("-0123456789") != std::string::npos) {
            ADD_FAILURE() << key << " is not a whole number: " << value->text;
            return -1;
        }
        return std::stoll(value->text);
    }
    bool True(const std::string& key) const {
        const Value* value = Find(key, "true");
        return value && value->kind == Kind::kLiteral && value->text == "true";
    }

private:
    enum class Kind { kString, kNumber, kLiteral, kNull };
    struct Value {
        Kind kind = Kind::kNull;
        std::string text;  // unescaped, UTF-8
    };

    struct Reader {
        std::string_view s;
        std::size_t at = 0;

        bool AtEnd() const { return at == s.size(); }
        void Space() {
            while (at < s.size() && (s[at] == ' ' || s[at] == '\t')) ++at;
        }
        bool Take(char c) {
            Space();
            if (at < s.size() && s[at] == c) {
                ++at;
                return true;
            }
            return false;
        }
        bool Hex4(unsigned& code) {
            if (s.size() - at < 4) return false;
            code = 0;
            for (int i = 0; i < 4; ++i) {
                const char c = s[at++];
                const int digit = c >= '0' && c <= '9'   ? c - '0'
                                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                         : -1;
                if (digit < 0) return false;
                code = code * 16 + static_cast<unsigned>(digit);
            }
            return true;
        }
        static void AppendUtf8(std::string& out, unsigned code) {
            if (code < 0x80) {
                out += static_cast<char>(code);
            } else if (code < 0x800) {
                out += static_cast<char>(0xC0 | (code >> 6));
                out += static_cast<char>(0x80 | (code & 0x3F));
            } else if (code < 0x10000) {
                out += static_cast<char>(0xE0 | (code >> 12));
                out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (code & 0x3F));
            } else {
                out += static_cast<char>(0xF0 | (code >> 18));
                out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
                out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (code & 0x3F));
            }
        }
        bool String(std::string& out) {
            if (!Take('"')) return false;
            while (at < s.size()) {
                const char c = s[at++];
                if (c == '"') return true;
                if (static_cast<unsigned char>(c) < 0x20) return false;  // a raw control character
                if (c != '\\') {
                    out += c;
                    continue;
                }
                if (at == s.size()) return false;
                const char e = s[at++];
                switch (e) {
                    case '"': case '\\': case '/': out += e; break;
                    case 'b': out += '\b'; break;
                    case 'f': out += '\f'; break;
                    case 'n': out += '\n'; break;
                    case 'r': out += '\r'; break;
                    case 't': out += '\t'; break;
                    case 'u': {
                        unsigned code = 0;
                        if (!Hex4(code)) return false;
                        if (code >= 0xD800 && code < 0xDC00) {
                            unsigned low = 0;
                            if (s.substr(at, 2) != "\\u") return false;
                            at += 2;
                            if (!Hex4(low) || low < 0xDC00 || low >= 0xE000) return false;
                            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                        } else if (code >= 0xDC00 && code < 0xE000) {
                            return false;
                        }
                        AppendUtf8(out, code);
                        break;
                    }
                    default: return false;
                }
            }
            return false;
        }
        bool Value(JsonLine::Value& value) {
            Space();
            if (at < s.size() && s[at] == '"') {
                value.kind = Kind::kString;
                return String(value.text);
            }
            for (const char* literal : {"true", "false", "null"}) {
                if (s.substr(at, std::strlen(literal)) == literal) {
                    at += std::strlen(literal);
                    value.kind = literal[0] == 'n' ? Kind::kNull : Kind::kLiteral;
                    value.text = literal;
                    return true;
                }
            }
            const std::size_t start = at;
            while (at < s.size() && s[at] != '\0' && std::strchr("-+.eE0123456789", s[at])) ++at;
            value.kind = Kind::kNumber;
            value.text = std::string(s.substr(start, at - start));
            return at > start;
        }
    };

    const Value* Find(const std::string& key, const char* expected) const {
        const auto found = m_fields.find(key);
        if (found != m_fields.end()) return &found->second;
        ADD_FAILURE() << "no \"" << key << "\" (" << expected << ")";
        return nullptr;
    }

    std::map<std::string, Value> m_fields;
};

// The installation's English messages: a record carries them whatever the interface's language.
const std::string kSucceeded = "The installation of firmware was successful.";
const std::string kUpToDate = "Current version is 3.40. \nInstallation is not necessary.";
const std::string kUnsupported1640 = "This installer doesn't support Zentil-1640.\nDownload a proper installer for your printer.";
const std::string kNotFound = "Cannot find a printer.\nFill in IP address again or turn on main power.";
const std::string kSubPower = "Turn off SUB power.";
const std::string kPanelSendFailed =
    "Failed to send panelapplication.\nTurn off main power and turn it on,\nthen try installation again.";
const std::string kCertificateDeclined =
    "The printer's certificate was not trusted, so the installation has been canceled.\nNothing was sent to the printer.";

// Every outcome the summary counts, as its key.
const char* const kSummaryCounts[] = {"installed",   "up_to_date", "declined", "unsupported_model", "not_found",
                                      "sub_power_on", "certificate_not_trusted", "canceled", "failed"};

constexpr DWORD kRefusalBoundMs = 20000;  // a run that is refused ends at once: this is far beyond

// What a printer of a quiet run must have received.
enum class Receives { kNothing, kFirmwareOnly, kBoth };

std::wstring HistoryPath() {
    PWSTR folder = nullptr;
    if (FAILED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder))) return {};
    std::wstring path = std::wstring(folder) + L"\\Corvane\\Firmware Installer\\history.jsonl";
    ::CoTaskMemFree(folder);
    return path;
}

std::vector<std::string> History() { return quiet::ReadLines(HistoryPath()); }

// The serial number tests/e2e/CMakeLists.txt gives printer @n of these scenarios.
std::string Serial(int n) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "ZT640-0003%02d", n);
    return serial;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

// "3A:F0:..." as an administrator may copy a fingerprint: upper case, colons between the bytes.
std::wstring ColonFingerprint(const std::string& hex) {
    std::wstring text;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        if (i > 0) text += L':';
        text += static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(hex[i])));
        text += static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(hex[i + 1])));
    }
    return text;
}

class QuietMode : public Install {
protected:
    void SetUp() override {
        Install::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_FALSE(m_scratch.Path().empty()) << "no scratch folder";
        ForgetRememberedCertificates();
    }
    void TearDown() override {
        if (!IsSkipped()) ForgetRememberedCertificates();
        Install::TearDown();
    }

    // Starts the installer with `arguments`, its output in files of the scratch folder.
    std::unique_ptr<quiet::Installer> Start(const std::vector<std::wstring>& arguments) {
        const std::wstring name = L"run-" + std::to_wstring(++m_runs);
        auto installer = std::make_unique<quiet::Installer>(GetSettings().installer, arguments,
                                                            m_scratch.File(name + L".out"), m_scratch.File(name + L".err"));
        EXPECT_TRUE(installer->Started()) << ui::Utf8(installer->StartError());
        return installer;
    }

    // Waits for its end within `timeoutMs`; the exit code, nullopt (and a failure) when it was
    // killed at the bound or for showing a window. Its standard error goes with any failure.
    std::optional<DWORD> Finish(quiet::Installer& installer, DWORD timeoutMs, const std::function<void()>& onPoll = {}) {
        const std::optional<DWORD> code = installer.Wait(timeoutMs, onPoll);
        if (installer.WindowSeen()) {
            ADD_FAILURE() << ui::Utf8(installer.CommandLine()) << " showed a window and was killed: "
                          << ui::Utf8(installer.WindowText());
        } else {
            EXPECT_TRUE(code.has_value()) << ui::Utf8(installer.CommandLine()) << " still ran after " << timeoutMs
                                          << " ms and was killed";
        }
        if (HasFailure()) std::printf("standard error of %s:\n%s\n", ui::Utf8(installer.CommandLine()).c_str(), installer.Errors().c_str());
        return code;
    }

    // Each line parsed; a line that is not a JSON object fails the test and is left out.
    static std::vector<JsonLine> Parsed(const std::vector<std::string>& lines) {
        std::vector<JsonLine> parsed;
        for (const std::string& line : lines) {
            std::optional<JsonLine> json = JsonLine::Parse(line);
            EXPECT_TRUE(json.has_value()) << "not a JSON object: " << line;
            if (json) parsed.push_back(std::move(*json));
        }
        return parsed;
    }

    // The summary line: its counts add up to its printers, which are `printers`, and its exit code
    // is `exitCode`; the count of each outcome.
    static std::map<std::string, long long> ExpectSummary(const JsonLine& summary, long long printers, long long exitCode) {
        EXPECT_TRUE(summary.True("summary"));
        EXPECT_EQ(summary.Number("printers"), printers);
        EXPECT_EQ(summary.Number("exit_code"), exitCode);
        EXPECT_FALSE(summary.Has("error"));
        std::map<std::string, long long> counts;
        long long sum = 0;
        for (const char* key : kSummaryCounts) sum += counts[key] = summary.Number(key);
        EXPECT_EQ(sum, printers) << "the outcomes' counts do not add up to the printers";
        ExpectTimes(summary);
        return counts;
    }

    // Both times are there and the run ended no earlier than it started (ISO 8601 in UTC sorts).
    static void ExpectTimes(const JsonLine& line) {
        const Text started = line.String("started"), ended = line.String("ended");
        ASSERT_TRUE(started && ended);
        EXPECT_EQ(started->size(), 24u) << *started;
        EXPECT_LE(*started, *ended);
    }

    // A refused run's only line: a summary with the error (which holds `errorPart`) and `exitCode`.
    static void ExpectRefusal(const std::vector<std::string>& lines, const std::string& errorPart, long long exitCode) {
        ASSERT_EQ(lines.size(), 1u) << Joined(lines);
        const std::optional<JsonLine> summary = JsonLine::Parse(lines[0]);
        ASSERT_TRUE(summary.has_value()) << lines[0];
        EXPECT_TRUE(summary->True("summary"));
        EXPECT_EQ(summary->Number("printers"), 0);
        EXPECT_EQ(summary->Number("exit_code"), exitCode);
        const Text error = summary->String("error");
        ASSERT_TRUE(error.has_value()) << lines[0];
        EXPECT_NE(error->find(errorPart), std::string::npos) << *error;
    }

    // Nothing of an installation reached printer `n` since it was last cleared: not even the
    // search for printers, which every run that gets going multicasts first.
    void ExpectUntouched(int n) {
        EXPECT_EQ(m_sim.Show(Address(n), "mdns_queries"), "0");
        EXPECT_EQ(m_sim.Show(Address(n), "update_mode_requests"), "0");
        EXPECT_EQ(m_sim.Show(Address(n), "data_connections"), "0");
        EXPECT_EQ(m_sim.Show(Address(n), "package_result"), "");
    }

    quiet::ScratchFolder m_scratch{L"quiet-scenarios"};
    int m_runs = 0;
};

// Twenty printers in one quiet run with the defaults (eight at once, the waits unchanged): each
// result line says what its printer received and reports, the lines come as the printers end,
// and the summary, the exit code and the history agree with them.
TEST_F(QuietMode, TwentyPrintersInOneRunEachGetWhatItsLineSays) {
    struct Case {
        const char* what;
        int printer;  // @n; 0: an address of the harness's network that nobody holds
        std::vector<std::string> settings;
        const char* outcome;
        const char* stage;
        unsigned messageId;
        int exitCode;
        std::string message;
        const char* model;  // nullptr: not known
        const char* firmwareFound;
        const char* panelFound;
        Receives receives;
        bool trusted = false;  // TLS: its fingerprint given with /t
    };
    std::vector<Case> cases = {
        // The quick ones first: their lines must come while the installations still run.
        {"up to date", 13, {"firmware 3.40", "panel 3.0.1"}, "up to date", "identification", IDS_UP_TO_DATE, 0,
         kUpToDate, "Zentil-640", "3.40", "3.0.1", Receives::kNothing},
        {"another model", 14, {"model Zentil-1640"}, "unsupported model", "identification", IDS_UNSUPPORTED_MODEL, 4,
         kUnsupported1640, "Zentil-1640", "3.30", "3.0.0", Receives::kNothing},
        {"sub power on", 15, {"sub_power on"}, "sub power on", "state check", IDS_SUB_POWER_ON, 4, kSubPower,
         "Zentil-640", "3.30", "3.0.0", Receives::kNothing},
        {"TLS, not trusted", 16, {"tls on", "certificate quiet-untrusted"}, "certificate not trusted", "certificate",
         IDS_CERT_DECLINED, 1, kCertificateDeclined, "Zentil-640", "3.30", "3.0.0", Receives::kNothing},
        {"nobody there", 0, {}, "not found", "identification", IDS_PRINTER_NOT_FOUND, 4, kNotFound, nullptr, nullptr,
         nullptr, Receives::kNothing},
        {"panel drops the connection", 17, {"close_after_blocks 40"}, "failed", "panel application",
         IDS_PANEL_SEND_FAILED, 4, kPanelSendFailed, "Zentil-640", "3.30", "3.0.0", Receives::kFirmwareOnly},
        {"TLS, trusted by /t", 18, {"tls on", "certificate quiet-trusted-a"}, "installed", "done",
         IDS_INSTALL_SUCCEEDED, 0, kSucceeded, "Zentil-640", "3.30", "3.0.0", Receives::kBoth, true},
        {"TLS, trusted by another /t", 19, {"tls on", "certificate quiet-trusted-b"}, "installed", "done",
         IDS_INSTALL_SUCCEEDED, 0, kSucceeded, "Zentil-640", "3.30", "3.0.0", Receives::kBoth, true},
    };
    for (int n = 1; n <= 12; ++n) {
        cases.push_back({"both parts", n, {}, "installed", "done", IDS_INSTALL_SUCCEEDED, 0, kSucceeded, "Zentil-640",
                         "3.30", "3.0.0", Receives::kBoth});
    }
    ASSERT_EQ(cases.size(), 20u);
    const auto addressOf = [&](const Case& c) { return c.printer ? Address(c.printer) : GetSettings().simNet + ".200"; };

    std::vector<std::wstring> arguments{L"/q"};
    std::vector<std::string> trusted;
    for (const Case& c : cases) {
        if (c.printer) Prepare(c.printer, c.settings);
        arguments.insert(arguments.end(), {L"-i", Widen(addressOf(c))});
        if (c.trusted) {
            trusted.push_back(m_sim.Show(Address(c.printer), "certificate_sha256"));
            arguments.insert(arguments.end(), {L"/t", ColonFingerprint(trusted.back())});
        }
    }
    ASSERT_FALSE(HasFailure());
    const std::string untrusted = m_sim.Show(Address(16), "certificate_sha256");
    ASSERT_EQ(std::set<std::string>({trusted[0], trusted[1], untrusted}).size(), 3u) << "the certificates must differ";
    const std::size_t historyBefore = History().size();

    const auto installer = Start(arguments);
    ASSERT_TRUE(installer->Started());
    std::size_t linesWhileRunning = 0;
    const std::optional<DWORD> code = Finish(*installer, 400000, [&] {
        if (installer->Running()) linesWhileRunning = std::max(linesWhileRunning, installer->OutputLines().size());
    });
    EXPECT_EQ(code, std::optional<DWORD>(4));
    const std::vector<std::string> lines = installer->OutputLines();
    ASSERT_EQ(lines.size(), 21u) << Joined(lines);
    // Each line is written as its printer ends: the four that end at once were out long before the run ended.
    // (The summary may come out between a look at the process and the look at its output, so
    // that all 21 lines are seen while it runs: nothing is held against that.)
    EXPECT_GE(linesWhileRunning, 4u);

    const std::vector<JsonLine> parsed = Parsed(lines);
    ASSERT_EQ(parsed.size(), 21u);
    std::map<std::string, const JsonLine*> byAddress;
    for (std::size_t i = 0; i < 20; ++i) {
        const Text address = parsed[i].String("address");
        ASSERT_TRUE(address.has_value()) << lines[i];
        EXPECT_TRUE(byAddress.emplace(*address, &parsed[i]).second) << "a second line for " << *address;
    }
    const auto toText = [](const char* text) { return text ? Text(text) : Text(); };
    for (const Case& c : cases) {
        const std::string address = addressOf(c);
        SCOPED_TRACE(std::string(c.what) + " at " + address);
        const auto found = byAddress.find(address);
        ASSERT_NE(found, byAddress.end()) << "no line";
        const JsonLine& line = *found->second;
        EXPECT_EQ(line.String("outcome"), Text(c.outcome));
        EXPECT_EQ(line.String("stage"), Text(c.stage));
        EXPECT_EQ(line.Number("message_id"), static_cast<long long>(c.messageId));
        EXPECT_EQ(line.String("message"), Text(c.message));
        EXPECT_EQ(line.Number("exit_code"), c.exitCode);
        EXPECT_EQ(line.String("model"), toText(c.model));
        // The serial comes from the search, which lists the supported models only.
        if (c.printer != 14) {
            EXPECT_EQ(line.String("serial"), c.printer ? Text(Serial(c.printer)) : Text());
        }
        EXPECT_EQ(line.String("firmware_found"), toText(c.firmwareFound));
        EXPECT_EQ(line.String("panel_found"), toText(c.panelFound));
        const bool installed = std::string_view(c.outcome) == "installed";
        EXPECT_EQ(line.String("firmware_installed"), installed ? Text("3.40") : Text());
        EXPECT_EQ(line.String("panel_installed"), installed ? Text("3.0.1") : Text());
        // Only a certificate that decided the outcome is named: the one not trusted.
        EXPECT_EQ(line.String("certificate_sha256"), c.printer == 16 ? Text(untrusted) : Text());
        ExpectTimes(line);

        if (!c.printer) continue;
        switch (c.receives) {
            case Receives::kBoth:
                ExpectFirmwareReceivedWhole(c.printer);
                ExpectPackageReceivedWhole(c.printer);
                EXPECT_EQ(m_sim.Show(address, "update_mode_requests"), "1");
                ExpectVersions(c.printer, "3.40", "3.0.1");
                break;
            case Receives::kFirmwareOnly:
                ExpectFirmwareReceivedWhole(c.printer);
                EXPECT_NE(m_sim.Show(address, "package_result"), "accepted");
                EXPECT_EQ(m_sim.Show(address, "restarts"), "0");
                break;
            case Receives::kNothing:
                EXPECT_EQ(m_sim.Show(address, "update_mode_requests"), "0");
                EXPECT_EQ(m_sim.Show(address, "firmware_connections"), "0");
                EXPECT_EQ(m_sim.Show(address, "firmware_result"), "");
                EXPECT_EQ(m_sim.Show(address, "package_result"), "");
                ExpectVersions(c.printer, c.firmwareFound, c.panelFound);
                break;
        }
    }

    const JsonLine& summary = parsed.back();
    const std::map<std::string, long long> counts = ExpectSummary(summary, 20, 4);
    std::map<std::string, long long> expected;
    for (const char* key : kSummaryCounts) expected[key] = 0;
    for (const Case& c : cases) {
        std::string key = c.outcome;
        std::replace(key.begin(), key.end(), ' ', '_');
        ++expected[key];
    }
    EXPECT_EQ(counts, expected);

    // The history holds the same twenty lines, in the same order, after what it held before.
    const std::vector<std::string> history = History();
    ASSERT_EQ(history.size(), historyBefore + 20) << ui::Utf8(HistoryPath());
    EXPECT_EQ(std::vector<std::string>(history.end() - 20, history.end()), std::vector<std::string>(lines.begin(), lines.end() - 1));

    // The certificates trusted by /t are remembered for their printers; the other one is not.
    EXPECT_EQ(RememberedCertificates(), 2) << CertificateFile();
    for (const std::string& sha256 : trusted) EXPECT_NE(CertificateFile().find("sha256=" + sha256), std::string::npos);
    EXPECT_EQ(CertificateFile().find("sha256=" + untrusted), std::string::npos);
}

// One up-to-date printer, named twice on the command line and twice in a file of printers (a
// name that is not ASCII; a byte-order mark, a comment, CRLF and a blank line in it): one line,
// exit code 0, and the result in the file of /o alone.
TEST_F(QuietMode, AnUpToDatePrinterAloneEndsWithCodeZero) {
    const int n = 23;
    Prepare(n, {"firmware 3.40", "panel 3.0.1"});
    const std::wstring list =
        m_scratch.Write(L"プリンター一覧.txt", "\xEF\xBB\xBF# line 3\r\n" + Address(n) + "\r\n\r\n  " + Address(n) + "  \r\n");
    ASSERT_FALSE(list.empty());
    const std::wstring results = m_scratch.File(L"results.jsonl");
    const std::size_t historyBefore = History().size();

    const auto installer = Start({L"/q", L"-i", Widen(Address(n)), L"/l", list, L"-i", Widen(Address(n)), L"/o", results});
    ASSERT_TRUE(installer->Started());
    EXPECT_EQ(Finish(*installer, 60000), std::optional<DWORD>(0));
    EXPECT_EQ(installer->OutputLines(), std::vector<std::string>{}) << "with /o nothing goes to standard output";

    const std::vector<std::string> lines = quiet::ReadLines(results);
    ASSERT_EQ(lines.size(), 2u) << Joined(lines);
    const std::vector<JsonLine> parsed = Parsed(lines);
    ASSERT_EQ(parsed.size(), 2u);
    const JsonLine& line = parsed[0];
    EXPECT_EQ(line.String("address"), Text(Address(n)));
    EXPECT_EQ(line.String("outcome"), Text("up to date"));
    EXPECT_EQ(line.String("stage"), Text("identification"));
    EXPECT_EQ(line.Number("message_id"), IDS_UP_TO_DATE);
    EXPECT_EQ(line.String("message"), Text(kUpToDate)) << "a record's message is English on any system";
    EXPECT_EQ(line.Number("exit_code"), 0);
    EXPECT_EQ(line.String("firmware_found"), Text("3.40"));
    EXPECT_EQ(line.String("panel_found"), Text("3.0.1"));
    EXPECT_EQ(line.String("firmware_installed"), Text());
    const std::map<std::string, long long> counts = ExpectSummary(parsed[1], 1, 0);
    EXPECT_EQ(counts.at("up_to_date"), 1);

    EXPECT_EQ(m_sim.Show(Address(n), "update_mode_requests"), "0");
    const std::vector<std::string> history = History();
    ASSERT_EQ(history.size(), historyBefore + 1);
    EXPECT_EQ(history.back(), lines[0]);
}

// A command line quiet mode cannot carry out (a result file that cannot be made among them) is
// refused with its reason before anything is done: no search for printers, nothing sent, nothing
// in the history, no window.
TEST_F(QuietMode, BadCommandLinesAreRefusedBeforeAnythingIsSent) {
    const int n = 24;
    Prepare(n, {});
    const std::wstring printer = Widen(Address(n));
    const std::wstring empty = m_scratch.Write(L"empty.txt", "");
    ASSERT_FALSE(empty.empty());
    const std::wstring results = m_scratch.File(L"refused.jsonl");
    const std::string listText = "# kept\r\n" + Address(n) + "\r\n";
    const std::wstring list = m_scratch.Write(L"printers.txt", listText);
    ASSERT_FALSE(list.empty());
    const struct {
        const char* what;
        std::vector<std::wstring> arguments;
        std::string errorPart;
        std::wstring resultFile = {};  // where the line goes; empty: standard output
    } cases[] = {
        {"an empty file of printers", {L"/q", L"-i", printer, L"/l", empty}, "lists no printer"},
        {"a file of printers that does not exist", {L"/q", L"-i", printer, L"/l", m_scratch.File(L"missing.txt")},
         "does not exist"},
        {"an address that does not parse", {L"/q", L"-i", printer, L"-i", L"10.1.2.256"},
         "\"10.1.2.256\" is not a printer's IPv4 address"},
        {"no installation at once", {L"/q", L"-i", printer, L"/p", L"0"}, "option p"},
        {"no installation at once, the results asked for in a file", {L"/q", L"-i", printer, L"/p", L"0", L"/o", results},
         "option p", results},
        {"a result file in a folder that does not exist",
         {L"/q", L"-i", printer, L"/o", m_scratch.File(L"missing\\results.jsonl")}, "cannot be written"},
        {"a result file that is the list of printers", {L"/q", L"/l", list, L"/o", list}, "is the printer list"},
    };
    const std::size_t historyBefore = History().size();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto installer = Start(c.arguments);
        ASSERT_TRUE(installer->Started());
        EXPECT_EQ(Finish(*installer, kRefusalBoundMs), std::optional<DWORD>(3));
        if (c.resultFile.empty()) {
            ExpectRefusal(installer->OutputLines(), c.errorPart, 3);
        } else {
            ExpectRefusal(quiet::ReadLines(c.resultFile), c.errorPart, 3);
            EXPECT_EQ(installer->OutputLines(), std::vector<std::string>{});
        }
    }
    ExpectUntouched(n);
    EXPECT_EQ(History().size(), historyBefore);
    EXPECT_EQ(quiet::ReadLines(list), (std::vector<std::string>{"# kept", Address(n)})) << "the list was overwritten";
}

// While a quiet run goes on, a second one ends at once with its error line and exit code 2,
// shows nothing and touches no printer; the first carries on to its end undisturbed.
TEST_F(QuietMode, ASecondInstanceEndsAtOnceWithoutAWindow) {
    const int held = 21, other = 22;
    // The first run waits in its firmware step while someone works at the printer's panel.
    Prepare(held, {"opcode45_ms 600000"});
    Prepare(other, {});
    const std::size_t historyBefore = History().size();
    const auto first = Start({L"/q", L"-i", Widen(Address(held))});
    ASSERT_TRUE(first->Started());
    ASSERT_TRUE(ui::WaitUntil([&] { return !first->Running() || m_sim.Show(Address(held), "state") == "update-mode"; },
                              60000, 200));
    ASSERT_TRUE(first->Running()) << first->Errors();
    // The first run's search reached every printer; from here on the other one must hear nothing.
    m_sim.Command("clear " + Address(other));

    const auto second = Start({L"/q", L"-i", Widen(Address(other))});
    ASSERT_TRUE(second->Started());
    EXPECT_EQ(Finish(*second, kRefusalBoundMs), std::optional<DWORD>(2));
    EXPECT_LT(second->Seconds(), 10.0) << "the second instance did not end at once";
    ExpectRefusal(second->OutputLines(), "another installer is running", 2);
    ExpectUntouched(other);
    EXPECT_EQ(History().size(), historyBefore);
    EXPECT_TRUE(first->Running());

    m_sim.Command("set " + Address(held) + " opcode45_ms 0");
    EXPECT_EQ(Finish(*first, 240000), std::optional<DWORD>(0));
    const std::vector<std::string> lines = first->OutputLines();
    ASSERT_EQ(lines.size(), 2u) << Joined(lines);
    const std::vector<JsonLine> parsed = Parsed(lines);
    ASSERT_EQ(parsed.size(), 2u);
    EXPECT_EQ(parsed[0].String("outcome"), Text("installed"));
    ExpectSummary(parsed[1], 1, 0);
    ExpectFirmwareReceivedWhole(held);
    ExpectPackageReceivedWhole(held);
    EXPECT_EQ(History().size(), historyBefore + 1);
}

}  // namespace
}  // namespace install
