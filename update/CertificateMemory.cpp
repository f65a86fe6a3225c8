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

bool SameSerial(const RememberedCertificate& entry, const std::wstring& serial) {
    return !serial.empty() && Field(entry.serial) == serial;
}

bool AtAddress(const RememberedCertificate& entry, const std::wstring& address) {
    return Field(entry.address) == address;
}

}  // namespace

CertificateFileText CertificateFileText::Parse(std::string_view text) {
    CertificateFileText file;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // written back without
        Line parsed;
        if (!line.empty() && line.front() != '#') parsed.entry = ParseEntry(line);
        if (!parsed.entry) parsed.text = std::string(line);
        file.m_lines.push_back(std::move(parsed));
    }
    return file;
}

std::string CertificateFileText::Write() const {
    std::string text;
    for (const Line& line : m_lines) {
        text += line.entry ? WriteEntry(*line.entry) : line.text;
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
    if (!file) return lookup;

    const std::wstring serial = Field(printer.serial);
    const std::wstring address = Field(printer.address);
    const std::vector<RememberedCertificate> entries = file->Entries();
    const auto find = [&](auto matches) -> std::optional<RememberedCertificate> {
        // The latest line wins: an entry written later describes the printer as it is now.
        const auto found = std::find_if(entries.rbegin(), entries.rend(), matches);
        if (found == entries.rend()) return std::nullopt;
        return *found;
    };
    const auto unboundAtAddress = [&](const RememberedCertificate& e) {
        return e.serial.empty() && AtAddress(e, address);
    };
    if (!serial.empty()) {
        lookup.own = find([&](const RememberedCertificate& e) { return SameSerial(e, serial); });
        if (!lookup.own) lookup.unbound = find(unboundAtAddress);
    } else {
        lookup.own = find(unboundAtAddress);
        if (!lookup.own) lookup.own = find([&](const RememberedCertificate& e) { return AtAddress(e, address); });
    }
    lookup.seenWithTls = std::any_of(entries.begin(), entries.end(), [&](const RememberedCertificate& e) {
        return SameSerial(e, serial) || AtAddress(e, address);
    });
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
    const auto matches = [&](const RememberedCertificate& e) { return SameSerial(e, key) || AtAddress(e, key); };
    std::vector<RememberedCertificate> forgotten;
    for (const RememberedCertificate& entry : file->Entries()) {
        if (matches(entry)) forgotten.push_back(entry);
    }
    if (forgotten.empty()) return forgotten;
    file->RemoveEntries(matches);
    if (!m_file.Replace(file->Write())) return std::nullopt;
    return forgotten;
}
