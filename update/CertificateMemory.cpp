// The file of trusted printer certificates: its lines, and the look-ups the trust decision makes.
#include "update/CertificateMemory.h"

#include <algorithm>

#include "common/Encoding.h"

namespace {

constexpr char kHeader[] =
    "# Printer certificates the firmware installer trusts, one printer per line.\n"
    "# To make the installer forget a printer, start it with the option /f and the printer's serial\n"
    "# number or IP address (or delete the printer's line).\n";

// A value as the file holds it: no tab, no line end, no other control character.
std::wstring Field(std::wstring_view value) {
    std::wstring clean(value);
    std::replace_if(clean.begin(), clean.end(), [](wchar_t c) { return c < 0x20 || c == 0x7F; }, L'?');
    return clean;
}

std::optional<RememberedCertificate> ParseEntry(std::string_view line) {
    RememberedCertificate entry;
    bool haveDigest = false;
    bool haveCertificate = false;
    while (!line.empty()) {
        const std::size_t tab = line.find('\t');
        const std::string_view field = line.substr(0, tab);
        line = tab == std::string_view::npos ? std::string_view() : line.substr(tab + 1);
        const std::size_t equals = field.find('=');
        if (equals == std::string_view::npos) return std::nullopt;
        const std::string_view key = field.substr(0, equals);
        const std::string_view value = field.substr(equals + 1);
        if (key == "serial") {
            entry.serial = Field(text::FromUtf8(value));
        } else if (key == "address") {
            entry.address = Field(text::FromUtf8(value));
        } else if (key == "model") {
            entry.model = Field(text::FromUtf8(value));
        } else if (key == "sha256") {
            const auto digest = text::FromHex(value);
            if (!digest || digest->size() != entry.sha256.size()) return std::nullopt;
            std::copy(digest->begin(), digest->end(), entry.sha256.begin());
            haveDigest = true;
        } else if (key == "certificate") {
            auto der = text::FromBase64(value);
            if (!der || der->empty()) return std::nullopt;
            entry.der = std::move(*der);
            haveCertificate = true;
        }
        // Other keys are a later version's: ignored.
    }
    if (!haveDigest || !haveCertificate || entry.address.empty()) return std::nullopt;
    return entry;
}

std::string WriteEntry(const RememberedCertificate& entry) {
    std::string line;
    if (!entry.serial.empty()) line += "serial=" + text::ToUtf8(Field(entry.serial)) + "\t";
    line += "address=" + text::ToUtf8(Field(entry.address));
    if (!entry.model.empty()) line += "\tmodel=" + text::ToUtf8(Field(entry.model));
    line += "\tsha256=" + text::ToHex(entry.sha256);
    line += "\tcertificate=" + text::ToBase64(entry.der);
    return line;
}

wchar_t Lower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool SameSerial(const RememberedCertificate& entry, const std::wstring& serial) {
    return !serial.empty() && Field(entry.serial) == serial;
}

bool AtAddress(const RememberedCertificate& entry, const std::wstring& address) {
    return Field(entry.address) == address;
}

bool SameSerialIgnoringCase(std::wstring_view a, std::wstring_view b) {
    return !a.empty() && a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) { return Lower(x) == Lower(y); });
}

// Dotted IPv4 text without the leading zeros of its numbers; other text as it is.
std::wstring CanonicalAddress(std::wstring_view text) {
    std::wstring out;
    int parts = 0;
    for (std::size_t at = 0; at <= text.size(); ++parts) {
        const std::size_t dot = std::min(text.find(L'.', at), text.size());
        const std::wstring_view part = text.substr(at, dot - at);
        if (part.empty() || part.size() > 3 ||
            !std::all_of(part.begin(), part.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; })) {
            return std::wstring(text);
        }
        int value = 0;
        for (wchar_t c : part) value = value * 10 + (c - L'0');
        if (value > 255) return std::wstring(text);
        if (!out.empty()) out += L'.';
        out += std::to_wstring(value);
        at = dot + 1;
    }
    return parts == 4 ? out : std::wstring(text);
}

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

std::wstring ForgetKeyOf(const RememberedCertificate& entry) {
    return entry.serial.empty() ? entry.address : entry.serial;
}

std::wstring ForgetKeyOf(const PrinterIdentity& printer) {
    return printer.serial.empty() ? printer.address : printer.serial;
}

CertificateFileText CertificateFileText::Parse(std::string_view text) {
    CertificateFileText file;
    while (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());  // an editor's
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // written back without
        Line parsed{std::string(line), std::nullopt};
        if (!line.empty() && line.front() != '#') parsed.entry = ParseEntry(line);
        file.m_lines.push_back(std::move(parsed));
    }
    return file;
}

std::string CertificateFileText::Write() const {
    std::string text;
    for (const Line& line : m_lines) {
        text += line.entry && line.text.empty() ? WriteEntry(*line.entry) : line.text;
        text += '\n';
    }
    return text;
}

std::vector<RememberedCertificate> CertificateFileText::Entries() const {
    std::vector<RememberedCertificate> entries;
    for (const Line& line : m_lines) {
        if (line.entry) entries.push_back(*line.entry);
    }
    return entries;
}

void CertificateFileText::Add(RememberedCertificate entry) {
    if (m_lines.empty()) *this = Parse(kHeader);  // a new file says what it is
    m_lines.push_back(Line{{}, std::move(entry)});
}

std::optional<CertificateFileText> CCertificateMemory::Load() {
    const std::optional<std::string> content = m_file.Read();
    if (!content || content->size() > kLargestFile) return std::nullopt;
    return CertificateFileText::Parse(*content);
}

CertificateLookup CCertificateMemory::Find(const PrinterIdentity& printer) {
    const std::lock_guard lock(m_mutex);
    CertificateLookup lookup;
    const std::optional<CertificateFileText> file = Load();
    if (!file) {
        lookup.readable = false;
        return lookup;
    }

    const std::wstring serial = Field(printer.serial);
    const std::wstring address = Field(printer.address);
    const std::vector<RememberedCertificate> entries = file->Entries();
    const auto find = [&](auto matches) -> std::optional<RememberedCertificate> {
        // The latest line wins: an entry written later describes the printer as it is now.
        const auto found = std::find_if(entries.rbegin(), entries.rend(), matches);
        if (found == entries.rend()) return std::nullopt;
        return *found;
    };
    const auto atAddress = [&](const RememberedCertificate& e) { return AtAddress(e, address); };
    if (!serial.empty()) {
        lookup.own = find([&](const RememberedCertificate& e) { return SameSerial(e, serial); });
        if (!lookup.own) lookup.atAddress = find(atAddress);
    } else {
        lookup.own = find([&](const RememberedCertificate& e) { return e.serial.empty() && AtAddress(e, address); });
        if (!lookup.own) lookup.own = find(atAddress);
    }
    if (const auto bySerial = find([&](const RememberedCertificate& e) { return SameSerial(e, serial); })) {
        lookup.seenWithTls = true;
        lookup.seenAs = bySerial->serial;
    } else if (const auto byAddress = find(atAddress)) {
        lookup.seenWithTls = true;
        lookup.seenAs = byAddress->address;
    }
    return lookup;
}

bool CCertificateMemory::Remember(const PrinterIdentity& printer, const PresentedCertificate& certificate) {
    const std::lock_guard lock(m_mutex);
    std::optional<CertificateFileText> file = Load();
    if (!file) return false;

    const std::wstring serial = Field(printer.serial);
    const std::wstring address = Field(printer.address);
    file->RemoveEntries([&](const RememberedCertificate& e) {
        if (!serial.empty() && SameSerial(e, serial)) return true;
        return e.serial.empty() && AtAddress(e, address);
    });
    file->Add(RememberedCertificate{serial, address, Field(printer.model), certificate.sha256, certificate.der});
    return m_file.Replace(file->Write());
}

std::optional<std::vector<RememberedCertificate>> CCertificateMemory::Forget(std::wstring_view serialOrAddress) {
    const std::lock_guard lock(m_mutex);
    std::optional<CertificateFileText> file = Load();
    if (!file) return std::nullopt;

    const std::wstring key = Field(serialOrAddress);
    const std::wstring address = CanonicalAddress(key);
    const auto matches = [&](const RememberedCertificate& e) {
        return SameSerialIgnoringCase(Field(e.serial), key) || CanonicalAddress(Field(e.address)) == address;
    };
    std::vector<RememberedCertificate> forgotten;
    for (const RememberedCertificate& entry : file->Entries()) {
        if (matches(entry)) forgotten.push_back(entry);
    }
    if (forgotten.empty()) return forgotten;
    file->RemoveEntries(matches);
    if (!m_file.Replace(file->Write())) return std::nullopt;
    return forgotten;
}
