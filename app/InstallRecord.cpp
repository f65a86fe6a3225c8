// The result line of an installation and the summary of a quiet run, as JSON.
#include "app/InstallRecord.h"

#include <algorithm>
#include <chrono>
#include <iterator>

#include "app/ExitCode.h"
#include "common/Encoding.h"

namespace {

struct OutcomeName {
    RecordOutcome outcome;
    std::string_view word;
    std::string_view key;  // the summary's field
};

constexpr OutcomeName kOutcomes[] = {
    {RecordOutcome::kInstalled, "installed", "installed"},
    {RecordOutcome::kUpToDate, "up to date", "up_to_date"},
    {RecordOutcome::kDeclined, "declined", "declined"},
    {RecordOutcome::kUnsupportedModel, "unsupported model", "unsupported_model"},
    {RecordOutcome::kNotFound, "not found", "not_found"},
    {RecordOutcome::kSubPowerOn, "sub power on", "sub_power_on"},
    {RecordOutcome::kCertificateNotTrusted, "certificate not trusted", "certificate_not_trusted"},
    {RecordOutcome::kCanceled, "canceled", "canceled"},
    {RecordOutcome::kFailed, "failed", "failed"},
};

constexpr std::string_view kStages[] = {
    "command line", "identification", "confirmation", "state check", "certificate",
    "update mode",  "firmware",       "panel application", "restart", "done",
};
static_assert(std::size(kStages) == static_cast<std::size_t>(InstallStage::kDone) + 1);

void AppendQuoted(std::string& out, std::string_view utf8) {
    constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            out += "\\u00";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
    out += '"';
}

// A text field: null when empty.
void AppendText(std::string& out, std::string_view key, const std::wstring& value) {
    out += '"';
    out += key;
    out += "\":";
    if (value.empty()) {
        out += "null";
    } else {
        AppendQuoted(out, text::ToUtf8(value));
    }
}

void AppendWord(std::string& out, std::string_view key, std::string_view word) {
    out += '"';
    out += key;
    out += "\":";
    AppendQuoted(out, word);
}

template <typename Number>
void AppendNumber(std::string& out, std::string_view key, Number value) {
    out += '"';
    out += key;
    out += "\":";
    out += std::to_string(value);
}

void AppendTime(std::string& out, std::string_view key, std::int64_t unixMs) {
    AppendWord(out, key, FormatUtcTime(unixMs));
}

void AppendDigits(std::string& out, long long value, int width) {
    std::string digits(static_cast<std::size_t>(width), '0');
    for (std::size_t i = digits.size(); i > 0 && value > 0; --i, value /= 10) {
        digits[i - 1] = static_cast<char>('0' + value % 10);
    }
    out += digits;
}

}  // namespace

std::string_view OutcomeWord(RecordOutcome outcome) {
    for (const OutcomeName& name : kOutcomes) {
        if (name.outcome == outcome) return name.word;
    }
    return "failed";  // not a value of the enumeration
}

std::string_view StageWord(InstallStage stage) {
    const auto index = static_cast<std::size_t>(stage);
    return index < std::size(kStages) ? kStages[index] : std::string_view("done");
}

std::string RecordJsonLine(const InstallRecord& record) {
    std::string out = "{";
    AppendText(out, "address", record.address);
    out += ',';
    AppendText(out, "model", record.model);
    out += ',';
    AppendText(out, "serial", record.serial);
    out += ',';
    AppendText(out, "firmware_found", record.firmwareFound);
    out += ',';
    AppendText(out, "panel_found", record.panelFound);
    out += ',';
    AppendText(out, "firmware_installed", record.firmwareInstalled);
    out += ',';
    AppendText(out, "panel_installed", record.panelInstalled);
    out += ',';
    AppendWord(out, "outcome", OutcomeWord(record.outcome));
    out += ',';
    AppendWord(out, "stage", StageWord(record.stage));
    out += ',';
    AppendNumber(out, "message_id", record.messageId);
    out += ',';
    AppendText(out, "message", record.message);
    out += ',';
    AppendText(out, "certificate_sha256", record.certificateSha256);
    out += ',';
    AppendNumber(out, "exit_code", record.exitCode);
    out += ',';
    AppendTime(out, "started", record.startedMs);
    out += ',';
    AppendTime(out, "ended", record.endedMs);
    out += '}';
    return out;
}

std::string SummaryJsonLine(const RunSummary& summary) {
    std::string out = "{\"summary\":true,";
    AppendNumber(out, "printers", summary.printers);
    for (const OutcomeName& name : kOutcomes) {
        const auto counted = summary.outcomes.find(name.outcome);
        out += ',';
        AppendNumber(out, name.key, counted == summary.outcomes.end() ? std::size_t{0} : counted->second);
    }
    out += ',';
    AppendNumber(out, "exit_code", summary.exitCode);
    out += ',';
    AppendTime(out, "started", summary.startedMs);
    out += ',';
    AppendTime(out, "ended", summary.endedMs);
    if (!summary.error.empty()) {
        out += ',';
        AppendText(out, "error", summary.error);
    }
    out += '}';
    return out;
}

int RunExitCode(const std::vector<InstallRecord>& records) {
    if (records.empty()) return VessickExitCode::INSTALL_FAILED;
    const bool allDone = std::all_of(records.begin(), records.end(), [](const InstallRecord& record) {
        return record.outcome == RecordOutcome::kInstalled || record.outcome == RecordOutcome::kUpToDate;
    });
    return allDone ? VessickExitCode::SUCCESS : VessickExitCode::INSTALL_FAILED;
}

std::string FormatUtcTime(std::int64_t unixMs) {
    using namespace std::chrono;
    // Four-digit years only: what ISO 8601 writes without an agreed expansion.
    constexpr std::int64_t kEarliest =
        duration_cast<milliseconds>(sys_days{year{0} / January / 1}.time_since_epoch()).count();
    constexpr std::int64_t kLatest =
        duration_cast<milliseconds>(sys_days{year{10000} / January / 1}.time_since_epoch()).count() - 1;
    const sys_time<milliseconds> time{milliseconds{std::clamp(unixMs, kEarliest, kLatest)}};
    const sys_days day = floor<days>(time);
    const year_month_day date{day};
    const long long msOfDay = (time - day).count();

    std::string out;
    out.reserve(24);
    AppendDigits(out, static_cast<int>(date.year()), 4);
    out += '-';
    AppendDigits(out, static_cast<unsigned>(date.month()), 2);
    out += '-';
    AppendDigits(out, static_cast<unsigned>(date.day()), 2);
    out += 'T';
    AppendDigits(out, msOfDay / 3600000, 2);
    out += ':';
    AppendDigits(out, msOfDay / 60000 % 60, 2);
    out += ':';
    AppendDigits(out, msOfDay / 1000 % 60, 2);
    out += '.';
    AppendDigits(out, msOfDay % 1000, 3);
    out += 'Z';
    return out;
}
