// What one installation onto one printer came to, as one line of JSON: the line quiet mode writes
// per printer and every installation appends to the history file, and the summary line that ends a
// quiet run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// How an installation ended. (InstallOutcome is the main dialog's own, finer enumeration.)
enum class RecordOutcome {
    kInstalled,
    kUpToDate,
    kDeclined,
    kUnsupportedModel,
    kNotFound,
    kSubPowerOn,
    kCertificateNotTrusted,
    kCanceled,
    kFailed,
};

// The step an installation had reached when it ended.
enum class InstallStage {
    kCommandLine,
    kIdentification,
    kConfirmation,
    kStateCheck,
    kCertificate,
    kUpdateMode,
    kFirmware,
    kPanel,
    kRestart,
    kDone,
};

struct InstallRecord {
    std::wstring address;            // dotted IPv4, or the text given when it did not parse
    std::wstring model, serial;      // empty: not known
    std::wstring firmwareFound, panelFound;          // versions the printer reported; empty: not known
    std::wstring firmwareInstalled, panelInstalled;  // versions this installation installs; empty: not installed
    RecordOutcome outcome = RecordOutcome::kFailed;
    InstallStage stage = InstallStage::kIdentification;
    unsigned messageId = 0;          // the string id of the message the dialogs showed (0: none)
    std::wstring message;            // its English text
    std::wstring certificateSha256;  // the fingerprint the printer presented when a certificate decided
                                     // the outcome (64 lower-case hex digits); empty otherwise
    int exitCode = 4;
    std::int64_t startedMs = 0, endedMs = 0;  // milliseconds since 1970-01-01 UTC
};

// "installed", "up to date", "declined", "unsupported model", "not found", "sub power on",
// "certificate not trusted", "canceled", "failed".
std::string_view OutcomeWord(RecordOutcome outcome);
// "command line", "identification", "confirmation", "state check", "certificate", "update mode",
// "firmware", "panel application", "restart", "done".
std::string_view StageWord(InstallStage stage);

// One line of JSON in UTF-8, without a line break inside or at its end:
// {"address":..,"model":..,"serial":..,"firmware_found":..,"panel_found":..,
//  "firmware_installed":..,"panel_installed":..,"outcome":..,"stage":..,"message_id":N,
//  "message":..,"certificate_sha256":..,"exit_code":N,"started":"2026-12-11T09:30:00.123Z","ended":..}
// Empty text is null. Strings are escaped as RFC 8259 asks: quotation mark and backslash with a
// backslash, control characters as \u00XX, everything else as UTF-8 (a lone surrogate of the wide
// text becomes U+FFFD).
std::string RecordJsonLine(const InstallRecord& record);

struct RunSummary {
    std::size_t printers = 0;
    std::map<RecordOutcome, std::size_t> outcomes;  // an outcome not in the map counts 0
    int exitCode = 0;
    std::int64_t startedMs = 0, endedMs = 0;
    std::wstring error;  // a bad command line: what is wrong, in English; empty otherwise
};

// The last line of a quiet run: {"summary":true,"printers":N,"installed":N,"up_to_date":N, ... one
// count for every outcome, its word with underscores for spaces ...,"exit_code":N,"started":..,
// "ended":..} with ,"error":".." before the closing brace when there is an error.
std::string SummaryJsonLine(const RunSummary& summary);

// The exit code of a quiet run over its printers: 0 when every printer ended installed or up to
// date, else 4. No printer at all is 4 too: a run that confirmed nothing must not read as success
// (the command line refuses to start one, so this is a runner's fault, not a user's).
int RunExitCode(const std::vector<InstallRecord>& records);

// "2026-12-11T09:30:00.123Z". Times before 0000-01-01T00:00:00.000Z or after
// 9999-12-31T23:59:59.999Z are written as those bounds.
std::string FormatUtcTime(std::int64_t unixMs);
