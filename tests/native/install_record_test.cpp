// The result line of an installation and the summary of a quiet run: exact lines for fixtures,
// every text read back by a small JSON reader of the test's own, the words, the exit code and the
// times.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/InstallRecord.h"
#include "common/Encoding.h"

namespace {

// A flat JSON object, its values as text: strings decoded, numbers, true and null as written.
using JsonObject = std::vector<std::pair<std::string, std::string>>;

// Reads a flat object of strings, integers, true and null as RFC 8259 has them; none when the line
// is not exactly that (also for bytes that are not UTF-8, and for anything after the object).
class FlatJsonReader {
public:
    explicit FlatJsonReader(std::string_view line) : m_in(line) {}

    std::optional<JsonObject> Read() {
        JsonObject object;
        if (!Take('{')) return std::nullopt;
        if (!Take('}')) {
            do {
                std::string key, value;
                if (!String(key) || !Take(':') || !Value(value)) return std::nullopt;
                object.emplace_back(std::move(key), std::move(value));
            } while (Take(','));
            if (!Take('}')) return std::nullopt;
        }
        if (m_at != m_in.size()) return std::nullopt;
        return object;
    }

private:
    bool Take(char c) {
        if (m_at >= m_in.size() || m_in[m_at] != c) return false;
        ++m_at;
        return true;
    }

    bool Value(std::string& out) {
        if (m_at < m_in.size() && m_in[m_at] == '"') return String(out);
        for (const std::string_view word : {"null", "true"}) {
            if (m_in.substr(m_at).starts_with(word)) {
                out = word;
                m_at += word.size();
                return true;
            }
        }
        const std::size_t first = m_at;
        if (m_at < m_in.size() && m_in[m_at] == '-') ++m_at;
        const std::size_t digits = m_at;
        while (m_at < m_in.size() && m_in[m_at] >= '0' && m_in[m_at] <= '9') ++m_at;
        if (m_at == digits || (m_in[digits] == '0' && m_at - digits > 1)) return false;
        out = m_in.substr(first, m_at - first);
        return true;
    }

    bool String(std::string& out) {
        if (!Take('"')) return false;
        while (m_at < m_in.size()) {
            const auto c = static_cast<unsigned char>(m_in[m_at]);
            if (c == '"') {
                ++m_at;
                return true;
            }
            if (c < 0x20) return false;
            if (c == '\\') {
                if (!Escape(out)) return false;
            } else if (!Utf8Character(out)) {
                return false;
            }
        }
        return false;
    }

    bool Escape(std::string& out) {
        ++m_at;
        if (m_at >= m_in.size()) return false;
        const char c = m_in[m_at++];
        const std::string_view simple = "\"\\/bfnrt";
        const std::string_view meant = "\"\\/\b\f\n\r\t";
        if (const std::size_t at = simple.find(c); at != std::string_view::npos) {
            out += meant[at];
            return true;
        }
        if (c != 'u' || m_at + 4 > m_in.size()) return false;
        const auto value = text::FromHex(m_in.substr(m_at, 4));
        if (!value) return false;
        m_at += 4;
        const unsigned code = (*value)[0] * 256u + (*value)[1];
        if (code >= 0xD800 && code <= 0xDFFF) return false;  // the lines never need a pair of escapes
        out += text::ToUtf8(std::wstring(1, static_cast<wchar_t>(code)));
        return true;
    }

    // One well-formed UTF-8 character (no surrogates, no overlong forms, nothing past U+10FFFF).
    bool Utf8Character(std::string& out) {
        const auto lead = static_cast<unsigned char>(m_in[m_at]);
        std::size_t length = 0;
        char32_t code = 0;
        if (lead < 0x80) {
            length = 1, code = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3, code = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, code = lead & 0x07;
        } else {
            return false;
        }
        if (m_at + length > m_in.size()) return false;
        for (std::size_t i = 1; i < length; ++i) {
            const auto next = static_cast<unsigned char>(m_in[m_at + i]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        out.append(m_in.substr(m_at, length));
        m_at += length;
        return true;
    }

    std::string_view m_in;
    std::size_t m_at = 0;
};

std::string Field(const JsonObject& object, std::string_view key) {
    for (const auto& [name, value] : object) {
        if (name == key) return value;
    }
    return "<absent>";
}

std::vector<std::string> Keys(const JsonObject& object) {
    std::vector<std::string> keys;
    for (const auto& field : object) keys.push_back(field.first);
    return keys;
}

InstallRecord Fixture() {
    InstallRecord record;
    record.address = L"192.168.1.20";
    record.model = L"Zentil-640";
    record.serial = L"ZT640-000001";
    record.firmwareFound = L"3.30";
    record.panelFound = L"3.0.0";
    record.firmwareInstalled = L"3.40";
    record.panelInstalled = L"3.0.1";
    record.outcome = RecordOutcome::kInstalled;
    record.stage = InstallStage::kDone;
    record.messageId = 301;
    record.message = L"The installation of firmware was successful.";
    record.exitCode = 0;
    record.startedMs = 1796981400123;  // 2026-12-11T09:30:00.123Z
    record.endedMs = 1796981700000;
    return record;
}

TEST(RecordJsonLine, WholeLinesForAFullAndAnEmptyRecord) {
    EXPECT_EQ(RecordJsonLine(Fixture()),
              R"({"address":"192.168.1.20","model":"Zentil-640","serial":"ZT640-000001","firmware_found":"3.30",)"
              R"("panel_found":"3.0.0","firmware_installed":"3.40","panel_installed":"3.0.1","outcome":"installed",)"
              R"("stage":"done","message_id":301,"message":"The installation of firmware was successful.",)"
              R"("certificate_sha256":null,"exit_code":0,"started":"2026-12-11T09:30:00.123Z",)"
              R"("ended":"2026-12-11T09:35:00.000Z"})");

    // A printer that was never reached: every text unknown is null, not an empty string.
    InstallRecord unknown;
    unknown.certificateSha256 = L"00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff";
    EXPECT_EQ(RecordJsonLine(unknown),
              R"({"address":null,"model":null,"serial":null,"firmware_found":null,"panel_found":null,)"
              R"("firmware_installed":null,"panel_installed":null,"outcome":"failed","stage":"identification",)"
              R"("message_id":0,"message":null,)"
              R"("certificate_sha256":"00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff",)"
              R"("exit_code":4,"started":"1970-01-01T00:00:00.000Z","ended":"1970-01-01T00:00:00.000Z"})");
}

TEST(RecordJsonLine, TextIsEscapedAndReadsBackAsItsUtf8) {
    struct Case {
        std::wstring text;
        std::string escaped;  // as it stands in the line, quotes included
        std::string meant;    // what a JSON reader makes of it
    };
    std::wstring everyControl;
    for (wchar_t c = 0; c < 0x20; ++c) everyControl += c;
    std::string everyControlEscaped = "\"";
    for (int c = 0; c < 0x20; ++c) {
        everyControlEscaped += "\\u00";
        everyControlEscaped += "0123456789abcdef"[c >> 4];
        everyControlEscaped += "0123456789abcdef"[c & 15];
    }
    everyControlEscaped += '"';

    const Case cases[] = {
        {L"say \"hi\"", R"("say \"hi\"")", "say \"hi\""},
        {L"C:\\Temp\\x.txt", R"("C:\\Temp\\x.txt")", "C:\\Temp\\x.txt"},
        {L"a\r\nb\tc", R"("a\u000d\u000ab\u0009c")", "a\r\nb\tc"},
        {std::wstring(L"nul\0end", 7), R"("nul\u0000end")", std::string("nul\0end", 7)},
        {everyControl, everyControlEscaped, std::string(everyControl.begin(), everyControl.end())},
        // Not control characters in JSON: written as they are.
        {L"\x7F/</script>", "\"\x7F/</script>\"", "\x7F/</script>"},
        {L"Zentil\u00E9 \u00B5", "\"Zentil\xC3\xA9 \xC2\xB5\"", "Zentil\xC3\xA9 \xC2\xB5"},
        {L"\u30D7\u30EA\u30F3\u30BF\u30FC", "\"\xE3\x83\x97\xE3\x83\xAA\xE3\x83\xB3\xE3\x82\xBF\xE3\x83\xBC\"",
         "\xE3\x83\x97\xE3\x83\xAA\xE3\x83\xB3\xE3\x82\xBF\xE3\x83\xBC"},
        {L"\U0001F5A8", "\"\xF0\x9F\x96\xA8\"", "\xF0\x9F\x96\xA8"},  // a surrogate pair in UTF-16
        // A lone surrogate is not text: U+FFFD, so that the line stays UTF-8.
        {std::wstring(L"a") + static_cast<wchar_t>(0xD800) + L"b", "\"a\xEF\xBF\xBD" "b\"", "a\xEF\xBF\xBD" "b"},
        {std::wstring(1, static_cast<wchar_t>(0xDC00)) + L"\"", "\"\xEF\xBF\xBD\\\"\"", "\xEF\xBF\xBD\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.escaped);
        InstallRecord record;
        record.message = c.text;
        record.model = c.text;
        const std::string line = RecordJsonLine(record);
        EXPECT_NE(line.find("\"message\":" + c.escaped + ","), std::string::npos) << line;
        EXPECT_EQ(line.find('\n'), std::string::npos);
        const std::optional<JsonObject> object = FlatJsonReader(line).Read();
        ASSERT_TRUE(object.has_value()) << line;
        EXPECT_EQ(Field(*object, "message"), c.meant);
        EXPECT_EQ(Field(*object, "model"), c.meant);
    }
}

TEST(RecordJsonLine, EveryOutcomeAndStageHasItsWord) {
    const std::pair<RecordOutcome, std::string_view> outcomes[] = {
        {RecordOutcome::kInstalled, "installed"},
        {RecordOutcome::kUpToDate, "up to date"},
        {RecordOutcome::kDeclined, "declined"},
        {RecordOutcome::kUnsupportedModel, "unsupported model"},
        {RecordOutcome::kNotFound, "not found"},
        {RecordOutcome::kSubPowerOn, "sub power on"},
        {RecordOutcome::kCertificateNotTrusted, "certificate not trusted"},
        {RecordOutcome::kCanceled, "canceled"},
        {RecordOutcome::kFailed, "failed"},
    };
    const std::pair<InstallStage, std::string_view> stages[] = {
        {InstallStage::kCommandLine, "command line"},   {InstallStage::kIdentification, "identification"},
        {InstallStage::kConfirmation, "confirmation"},  {InstallStage::kStateCheck, "state check"},
        {InstallStage::kCertificate, "certificate"},    {InstallStage::kUpdateMode, "update mode"},
        {InstallStage::kFirmware, "firmware"},          {InstallStage::kPanel, "panel application"},
        {InstallStage::kRestart, "restart"},            {InstallStage::kDone, "done"},
    };
    for (const auto& [outcome, word] : outcomes) {
        EXPECT_EQ(OutcomeWord(outcome), word);
        InstallRecord record;
        record.outcome = outcome;
        const std::optional<JsonObject> object = FlatJsonReader(RecordJsonLine(record)).Read();
        ASSERT_TRUE(object.has_value());
        EXPECT_EQ(Field(*object, "outcome"), word);
    }
    for (const auto& [stage, word] : stages) {
        EXPECT_EQ(StageWord(stage), word);
        InstallRecord record;
        record.stage = stage;
        const std::optional<JsonObject> object = FlatJsonReader(RecordJsonLine(record)).Read();
        ASSERT_TRUE(object.has_value());
        EXPECT_EQ(Field(*object, "stage"), word);
    }
}

TEST(SummaryJsonLine, CountsEveryOutcomeAndAddsTheErrorOnlyWhenThereIsOne) {
    RunSummary summary;
    summary.printers = 5;
    summary.outcomes = {{RecordOutcome::kInstalled, 3}, {RecordOutcome::kCertificateNotTrusted, 1},
                        {RecordOutcome::kFailed, 1}};
    summary.exitCode = 4;
    summary.startedMs = 1796981400123;
    summary.endedMs = 1796982000000;
    EXPECT_EQ(SummaryJsonLine(summary),
              R"({"summary":true,"printers":5,"installed":3,"up_to_date":0,"declined":0,"unsupported_model":0,)"
              R"("not_found":0,"sub_power_on":0,"certificate_not_trusted":1,"canceled":0,"failed":1,"exit_code":4,)"
              R"("started":"2026-12-11T09:30:00.123Z","ended":"2026-12-11T09:40:00.000Z"})");

    RunSummary refused;
    refused.exitCode = 3;
    refused.error = L"line 3 of \"x.txt\": \"10.1.2\" is not a printer's IPv4 address";
    const std::string line = SummaryJsonLine(refused);
    const std::optional<JsonObject> object = FlatJsonReader(line).Read();
    ASSERT_TRUE(object.has_value()) << line;
    EXPECT_EQ(Keys(*object), (std::vector<std::string>{"summary", "printers", "installed", "up_to_date", "declined",
                                                       "unsupported_model", "not_found", "sub_power_on",
                                                       "certificate_not_trusted", "canceled", "failed", "exit_code",
                                                       "started", "ended", "error"}));
    EXPECT_EQ(Field(*object, "error"), "line 3 of \"x.txt\": \"10.1.2\" is not a printer's IPv4 address");
    EXPECT_EQ(Field(*object, "exit_code"), "3");
    EXPECT_EQ(Field(*object, "printers"), "0");
}

TEST(RunExitCode, ZeroOnlyWhenEveryPrinterEndedInstalledOrUpToDate) {
    const auto records = [](std::initializer_list<RecordOutcome> outcomes) {
        std::vector<InstallRecord> list;
        for (const RecordOutcome outcome : outcomes) {
            InstallRecord record;
            record.outcome = outcome;
            list.push_back(record);
        }
        return list;
    };
    EXPECT_EQ(RunExitCode(records({RecordOutcome::kInstalled})), 0);
    EXPECT_EQ(RunExitCode(records({RecordOutcome::kInstalled, RecordOutcome::kUpToDate, RecordOutcome::kInstalled})),
              0);
    for (const RecordOutcome other : {RecordOutcome::kDeclined, RecordOutcome::kUnsupportedModel,
                                      RecordOutcome::kNotFound, RecordOutcome::kSubPowerOn,
                                      RecordOutcome::kCertificateNotTrusted, RecordOutcome::kCanceled,
                                      RecordOutcome::kFailed}) {
        SCOPED_TRACE(OutcomeWord(other));
        EXPECT_EQ(RunExitCode(records({RecordOutcome::kInstalled, other, RecordOutcome::kUpToDate})), 4);
        EXPECT_EQ(RunExitCode(records({other})), 4);
    }
    EXPECT_EQ(RunExitCode({}), 4) << "a run that confirmed nothing is no success";
}

TEST(FormatUtcTime, CalendarDatesAndMillisecondsWithoutRounding) {
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    const std::pair<std::int64_t, const char*> cases[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {1, "1970-01-01T00:00:00.001Z"},
        {999, "1970-01-01T00:00:00.999Z"},
        {1000, "1970-01-01T00:00:01.000Z"},
        {86399999, "1970-01-01T23:59:59.999Z"},
        {1796981400123, "2026-12-11T09:30:00.123Z"},
        // Leap days: 2024 and 2000 have one, 1900 and 2100 do not.
        {1709251199999, "2024-02-29T23:59:59.999Z"},
        {1709251200000, "2024-03-01T00:00:00.000Z"},
        {951825600000, "2000-02-29T12:00:00.000Z"},
        {4107542399999, "2100-02-28T23:59:59.999Z"},
        {4107542400000, "2100-03-01T00:00:00.000Z"},
        // Before 1970 the milliseconds still count forwards within their second.
        {-1, "1969-12-31T23:59:59.999Z"},
        {-1000, "1969-12-31T23:59:59.000Z"},
        {-1001, "1969-12-31T23:59:58.999Z"},
        {-2203891200001, "1900-02-28T23:59:59.999Z"},
        {-2203891200000, "1900-03-01T00:00:00.000Z"},
        {-11670998400000, "1600-02-29T00:00:00.000Z"},
        // Four-digit years only: the bounds, and anything beyond them written as the bound.
        {-62167219200000, "0000-01-01T00:00:00.000Z"},
        {-62167219200001, "0000-01-01T00:00:00.000Z"},
        {kMin, "0000-01-01T00:00:00.000Z"},
        {253402300799999, "9999-12-31T23:59:59.999Z"},
        {253402300800000, "9999-12-31T23:59:59.999Z"},
        {kMax, "9999-12-31T23:59:59.999Z"},
    };
    for (const auto& [ms, expected] : cases) EXPECT_EQ(FormatUtcTime(ms), expected) << ms;
}

}  // namespace
