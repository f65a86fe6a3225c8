// The printer certificates the installer trusts, one per printer, remembered in a text file of the
// user's own (never among the system's trusted roots). A printer is known by its serial number
// where one is known (its address can change), and by its address otherwise.
//
// The file is UTF-8, one printer per line, tab-separated key=value fields:
//
//   serial=ZT640-000001	address=10.0.0.2	model=Zentil-640	sha256=<64 hex digits>	certificate=<Base64 DER>
//
// Lines starting with '#', blank lines, lines that are not entries and the entries not changed are
// written back as they were read (a later version's fields too).
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/PeerTrust.h"

// Which printer an installation talks to.
struct PrinterIdentity {
    std::wstring serial;    // empty when neither discovery nor the registered list gave one
    std::wstring address;   // dotted IPv4
    std::wstring model;     // for the user's eyes; may be empty
    std::wstring hostName;  // the host name discovery gave; may be empty
};

struct RememberedCertificate {
    std::wstring serial;  // empty: the printer is known by its address
    std::wstring address;
    std::wstring model;
    CertificateFingerprint sha256{};
    std::vector<std::uint8_t> der;
};

// The whole file, as lines.
class CertificateFileText {
public:
    // The file's text; a file that is not valid UTF-8 in places still reads (those characters
    // become U+FFFD in what is kept).
    static CertificateFileText Parse(std::string_view text);
    std::string Write() const;

    std::vector<RememberedCertificate> Entries() const;
    // Removes the entries `drop` selects; how many went.
    template <typename Predicate>
    std::size_t RemoveEntries(Predicate drop) {
        const std::size_t before = m_lines.size();
        std::erase_if(m_lines, [&](const Line& line) { return line.entry && drop(*line.entry); });
        return before - m_lines.size();
    }
    void Add(RememberedCertificate entry);

private:
    struct Line {
        std::string text;  // the line as read; empty for an entry added since
        std::optional<RememberedCertificate> entry;
    };
    std::vector<Line> m_lines;
};

// The file itself: read whole, replaced whole.
class ICertificateFile {
public:
    virtual ~ICertificateFile() = default;
    // The file's bytes; empty when it does not exist; none when it exists but cannot be read.
    virtual std::optional<std::string> Read() = 0;
    // Replaces the content as a whole: a reader sees the old content or the new, never a part.
    virtual bool Replace(const std::string& content) = 0;
    // Where the file is, for the user's eyes.
    virtual std::wstring Location() const = 0;
};

// What is remembered about one printer.
struct CertificateLookup {
    // False when the file exists but could not be read: nothing is known then, not even that the
    // printer was never seen.
    bool readable = true;
    // The entry of this printer: by its serial when it has one, otherwise the entry at its address
    // (one without a serial first).
    std::optional<RememberedCertificate> own;
    // A printer with a serial that has no entry of its own yet: the latest entry at its address
    // (one from a time its serial was not known, or another printer's that had this address).
    std::optional<RememberedCertificate> atAddress;
    // The printer has been seen with TLS: an entry has its serial or its address. `seenAs` is what
    // forgets it (ForgetKey of that entry).
    bool seenWithTls = false;
    std::wstring seenAs;
};

// What forgets `entry` (the option /f): the serial when the printer has one, otherwise its address.
std::wstring ForgetKeyOf(const RememberedCertificate& entry);
std::wstring ForgetKeyOf(const PrinterIdentity& printer);

// The file's content, safe to use from several threads. Every operation reads the file afresh.
class CCertificateMemory {
public:
    // The largest file read; a larger one is left alone and counts as unreadable.
    static constexpr std::size_t kLargestFile = 8u << 20;

    explicit CCertificateMemory(ICertificateFile& file) : m_file(file) {}

    CertificateLookup Find(const PrinterIdentity& printer);

    // Remembers `certificate` for `printer`, in place of its own entry (and, when it has a serial,
    // of the entry without a serial at its address). False when the file cannot be written, or
    // could not be read (it is then left as it is, so nothing in it is lost).
    bool Remember(const PrinterIdentity& printer, const PresentedCertificate& certificate);

    // Forgets the printers whose serial (compared without regard to case) or address (leading
    // zeros of its numbers ignored) is `serialOrAddress`; the entries forgotten, or none when the
    // file could not be read or written.
    std::optional<std::vector<RememberedCertificate>> Forget(std::wstring_view serialOrAddress);

    std::wstring Location() const { return m_file.Location(); }

private:
    std::optional<CertificateFileText> Load();

    ICertificateFile& m_file;
    std::mutex m_mutex;
};
