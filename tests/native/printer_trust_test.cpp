// The trust decision over the file of remembered certificates, and the encodings the file uses.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/Encoding.h"
#include "common/PeerTrust.h"
#include "update/CertificateMemory.h"
#include "update/PrinterTrust.h"

namespace {

class MemoryFile final : public ICertificateFile {
public:
    std::optional<std::string> Read() override {
        if (unreadable) return std::nullopt;
        return content;
    }
    bool Replace(const std::string& text) override {
        ++replaced;
        if (unwritable) return false;
        content = text;
        return true;
    }
    std::wstring Location() const override { return L"memory"; }

    std::string content;
    bool unreadable = false;
    bool unwritable = false;
    int replaced = 0;
};

PresentedCertificate Certificate(std::uint8_t seed, bool vouched = false) {
    PresentedCertificate certificate;
    certificate.der = {0x30, 0x82, seed, static_cast<std::uint8_t>(seed + 1), 0x00, 0xFF};
    certificate.sha256.fill(seed);
    certificate.vouched = vouched;
    return certificate;
}

const PrinterIdentity kPrinterA{L"ZT640-000001", L"10.0.0.2", L"Zentil-640", L"ZT640000001.local"};
const PrinterIdentity kPrinterB{L"ZT640-000002", L"10.0.0.3", L"Zentil-640", L""};

// One installation after another against the same file; each records the questions it asked.
class PrinterTrustTest : public ::testing::Test {
protected:
    CPrinterTrust Installation(const PrinterIdentity& printer) {
        return CPrinterTrust(printer, m_memory, [this](const PrinterIdentity& asked, const CertificateFingerprint& presented) {
            m_questions.push_back({asked.serial, asked.address, FormatFingerprint(presented)});
            return m_answer;
        });
    }

    struct Question {
        std::wstring serial;
        std::wstring address;
        std::wstring fingerprint;
        bool operator==(const Question&) const = default;
    };

    MemoryFile m_file;
    CCertificateMemory m_memory{m_file};
    std::vector<Question> m_questions;
    bool m_answer = true;
};

TEST_F(PrinterTrustTest, TheFirstCertificateIsShownThenRememberedAndTheNextInstallationAsksNothing) {
    const PresentedCertificate certificate = Certificate(0xA1);
    {
        CPrinterTrust first = Installation(kPrinterA);
        EXPECT_TRUE(first.Trust(&certificate));
        EXPECT_TRUE(first.Trust(&certificate)) << "the panel's connection after the firmware's";
        EXPECT_EQ(first.Refusal(), TrustRefusal::kNone);
    }
    ASSERT_EQ(m_questions.size(), 1u);
    EXPECT_EQ(m_questions[0], (Question{L"ZT640-000001", L"10.0.0.2", FormatFingerprint(certificate.sha256)}));
    EXPECT_NE(m_file.content.find("serial=ZT640-000001\taddress=10.0.0.2\tmodel=Zentil-640\tsha256=" +
                                  text::ToHex(certificate.sha256) + "\tcertificate=" + text::ToBase64(certificate.der)),
              std::string::npos)
        << m_file.content;
    EXPECT_EQ(m_file.content.front(), '#') << "a new file says what it is";

    CPrinterTrust second = Installation(kPrinterA);
    EXPECT_TRUE(second.Trust(&certificate));
    EXPECT_EQ(m_questions.size(), 1u);
}

TEST_F(PrinterTrustTest, NoToTheQuestionRefusesAndRemembersNothing) {
    m_answer = false;
    const PresentedCertificate certificate = Certificate(0xA1);
    CPrinterTrust installation = Installation(kPrinterA);
    EXPECT_FALSE(installation.Trust(&certificate));
    EXPECT_EQ(installation.Refusal(), TrustRefusal::kDeclined);
    EXPECT_FALSE(installation.Trust(&certificate)) << "refused once, refused for the installation";
    EXPECT_EQ(m_questions.size(), 1u);
    EXPECT_EQ(m_file.replaced, 0);
    EXPECT_FALSE(installation.AllowPlain());
}

TEST_F(PrinterTrustTest, AChangedCertificateIsRefusedWithBothFingerprintsAndNotRemembered) {
    const PresentedCertificate old = Certificate(0xA1);
    const PresentedCertificate renewed = Certificate(0xB2);
    EXPECT_TRUE(Installation(kPrinterA).Trust(&old));
    const std::string before = m_file.content;

    CPrinterTrust installation = Installation(kPrinterA);
    EXPECT_FALSE(installation.Trust(&renewed));
    EXPECT_EQ(installation.Refusal(), TrustRefusal::kChanged);
    EXPECT_EQ(installation.RememberedFingerprint(), old.sha256);
    EXPECT_EQ(installation.PresentedFingerprint(), renewed.sha256);
    EXPECT_EQ(m_questions.size(), 1u) << "only the first installation asked";
    EXPECT_EQ(m_file.content, before);
}

TEST_F(PrinterTrustTest, OnePrintersCertificateIsNewToAnother) {
    const PresentedCertificate shared = Certificate(0xA1);
    EXPECT_TRUE(Installation(kPrinterA).Trust(&shared));
    m_answer = false;
    CPrinterTrust other = Installation(kPrinterB);
    EXPECT_FALSE(other.Trust(&shared));
    EXPECT_EQ(other.Refusal(), TrustRefusal::kDeclined);
    ASSERT_EQ(m_questions.size(), 2u);
    EXPECT_EQ(m_questions[1].serial, L"ZT640-000002");
}

// A printer is known by its serial where one is known: its entry follows it to a new address, and
// an entry made while only its address was known becomes its own once the serial is known.
TEST_F(PrinterTrustTest, ThePrinterIsKnownByItsSerialWhereverItsAddressIs) {
    const PresentedCertificate certificate = Certificate(0xA1);
    const PrinterIdentity typedIn{L"", L"10.0.0.2", L"Zentil-640", L""};
    EXPECT_TRUE(Installation(typedIn).Trust(&certificate));
    EXPECT_TRUE(Installation(kPrinterA).Trust(&certificate));
    EXPECT_EQ(m_questions.size(), 1u);
    EXPECT_EQ(m_file.content.find("\naddress=10.0.0.2"), std::string::npos) << "the entry without a serial is gone";

    PrinterIdentity moved = kPrinterA;
    moved.address = L"10.0.0.9";
    EXPECT_TRUE(Installation(moved).Trust(&certificate));
    EXPECT_EQ(m_questions.size(), 1u);
    EXPECT_NE(m_file.content.find("serial=ZT640-000001\taddress=10.0.0.9"), std::string::npos) << m_file.content;

    // Typed in at its new address, the printer is the one remembered there.
    const PresentedCertificate other = Certificate(0xC3);
    CPrinterTrust byAddress = Installation(PrinterIdentity{L"", L"10.0.0.9", L"", L""});
    EXPECT_FALSE(byAddress.Trust(&other));
    EXPECT_EQ(byAddress.Refusal(), TrustRefusal::kChanged);
}

TEST_F(PrinterTrustTest, AVouchedCertificateIsTrustedWithoutAQuestionAndMakesThePrinterATlsPrinter) {
    const PresentedCertificate issued = Certificate(0xD4, true);
    EXPECT_TRUE(Installation(kPrinterA).Trust(&issued));
    const PresentedCertificate reissued = Certificate(0xD5, true);
    EXPECT_TRUE(Installation(kPrinterA).Trust(&reissued)) << "a renewal the roots vouch for";
    EXPECT_TRUE(m_questions.empty());

    const PresentedCertificate selfSigned = Certificate(0xE6);
    CPrinterTrust downgraded = Installation(kPrinterA);
    EXPECT_FALSE(downgraded.Trust(&selfSigned));
    EXPECT_EQ(downgraded.Refusal(), TrustRefusal::kChanged);
    EXPECT_EQ(downgraded.RememberedFingerprint(), reissued.sha256);
}

TEST_F(PrinterTrustTest, APrinterSeenWithTlsIsNeverAllowedPlainText) {
    EXPECT_TRUE(Installation(kPrinterA).AllowPlain());
    const PresentedCertificate certificate = Certificate(0xA1);
    CPrinterTrust same = Installation(kPrinterA);
    EXPECT_TRUE(same.Trust(&certificate));
    EXPECT_FALSE(same.AllowPlain()) << "seen with TLS in this very installation";

    struct Case {
        PrinterIdentity printer;
        bool allowed;
    };
    const Case cases[] = {
        {kPrinterA, false},
        {{L"ZT640-000001", L"10.0.0.50", L"", L""}, false},  // by serial, at another address
        {{L"", L"10.0.0.2", L"", L""}, false},               // by address
        {{L"ZT640-999999", L"10.0.0.2", L"", L""}, false},   // whatever now answers at that address
        {kPrinterB, true},
    };
    for (const Case& c : cases) {
        CPrinterTrust installation = Installation(c.printer);
        EXPECT_EQ(installation.AllowPlain(), c.allowed) << std::string(c.printer.address.begin(), c.printer.address.end());
        EXPECT_EQ(installation.Refusal(), c.allowed ? TrustRefusal::kNone : TrustRefusal::kPlainAfterTls);
    }
}

TEST_F(PrinterTrustTest, NoCertificateIsRefused) {
    CPrinterTrust installation = Installation(kPrinterA);
    PresentedCertificate empty;
    EXPECT_FALSE(installation.Trust(nullptr));
    EXPECT_EQ(installation.Refusal(), TrustRefusal::kNoCertificate);
    EXPECT_FALSE(Installation(kPrinterA).Trust(&empty));
    EXPECT_TRUE(m_questions.empty());
}

// Within one installation the printer has one certificate, even when none could be remembered.
TEST_F(PrinterTrustTest, AFileThatCannotBeKeptAsksEachTimeAndLosesNothing) {
    m_file.content = "serial=ZT640-000001\tbroken line\n";
    m_file.unwritable = true;
    const PresentedCertificate certificate = Certificate(0xA1);
    CPrinterTrust installation = Installation(kPrinterA);
    EXPECT_TRUE(installation.Trust(&certificate));
    EXPECT_TRUE(installation.Trust(&certificate));
    const PresentedCertificate other = Certificate(0xB2);
    EXPECT_FALSE(installation.Trust(&other));
    EXPECT_EQ(installation.Refusal(), TrustRefusal::kChanged);

    m_file.unwritable = false;
    m_file.unreadable = true;
    EXPECT_TRUE(Installation(kPrinterA).Trust(&certificate));
    EXPECT_EQ(m_questions.size(), 2u);
    EXPECT_EQ(m_file.content, "serial=ZT640-000001\tbroken line\n") << "an unreadable file is not replaced";
}

TEST(CertificateFile, EntriesAndOtherLinesSurviveARewrite) {
    const PresentedCertificate certificate = Certificate(0x10);
    const std::string entry = "address=10.0.0.2\tsha256=" + text::ToHex(certificate.sha256) +
                              "\tcertificate=" + text::ToBase64(certificate.der);
    const std::string text = "# mine\r\n" + entry + "\tfuture=kept-out\r\n\nnot an entry\naddress=1.2.3.4\tsha256=zz\n";
    CertificateFileText file = CertificateFileText::Parse(text);
    const std::vector<RememberedCertificate> entries = file.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].address, L"10.0.0.2");
    EXPECT_EQ(entries[0].der, certificate.der);
    EXPECT_EQ(entries[0].sha256, certificate.sha256);
    EXPECT_EQ(file.Write(), "# mine\n" + entry + "\n\nnot an entry\naddress=1.2.3.4\tsha256=zz\n");

    // A serial or model from the network cannot break the file's lines.
    file.Add(RememberedCertificate{L"A\tB\nC", L"10.0.0.3", L"M\r", certificate.sha256, certificate.der});
    const std::vector<RememberedCertificate> again = CertificateFileText::Parse(file.Write()).Entries();
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(again[1].serial, L"A?B?C");
    EXPECT_EQ(again[1].model, L"M?");
}

TEST_F(PrinterTrustTest, ForgettingTakesThePrinterBySerialOrAddress) {
    const PresentedCertificate certificate = Certificate(0xA1);
    EXPECT_TRUE(Installation(kPrinterA).Trust(&certificate));
    EXPECT_TRUE(Installation(kPrinterB).Trust(&certificate));

    auto forgotten = m_memory.Forget(L"ZT640-000001");
    ASSERT_TRUE(forgotten);
    ASSERT_EQ(forgotten->size(), 1u);
    EXPECT_EQ((*forgotten)[0].address, L"10.0.0.2");
    forgotten = m_memory.Forget(L"10.0.0.3");
    ASSERT_TRUE(forgotten);
    EXPECT_EQ(forgotten->size(), 1u);
    forgotten = m_memory.Forget(L"10.0.0.3");
    ASSERT_TRUE(forgotten);
    EXPECT_TRUE(forgotten->empty());

    m_answer = false;
    EXPECT_FALSE(Installation(kPrinterA).Trust(&certificate)) << "asked again, as new";
    EXPECT_EQ(m_questions.size(), 3u);
}

TEST(Encodings, Base64RoundTripsAndRefusesWhatIsNotBase64) {
    for (const std::string& plain : {std::string(), std::string("f"), std::string("fo"), std::string("foo"),
                                     std::string("foob"), std::string("\xff\x00\x80", 3)}) {
        const std::vector<std::uint8_t> bytes(plain.begin(), plain.end());
        const std::string encoded = text::ToBase64(bytes);
        EXPECT_EQ(text::FromBase64(encoded), bytes) << encoded;
    }
    EXPECT_EQ(text::ToBase64(std::vector<std::uint8_t>{'f', 'o', 'o', 'b'}), "Zm9vYg==");
    for (const char* bad : {"Zm9", "Zm9vY===", "Z=9v", "Zm9vYh==", "Zm9v\nYg==", "Zm!v"}) {
        EXPECT_FALSE(text::FromBase64(bad)) << bad;
    }
}

TEST(Encodings, Utf8RoundTripsAndMalformedBytesBecomeReplacementCharacters) {
    const std::wstring wide = L"Zentil-640 \u00e9\u3042";
    EXPECT_EQ(text::FromUtf8(text::ToUtf8(wide)), wide);
    EXPECT_EQ(text::ToUtf8(L"\u3042"), "\xe3\x81\x82");
    EXPECT_EQ(text::FromUtf8("a\xe3\x81z"), L"a\ufffdz");
    EXPECT_EQ(text::FromUtf8("\xc0\xaf"), L"\ufffd") << "overlong";
    EXPECT_EQ(text::FromUtf8("\xff"), L"\ufffd");
}

TEST(Encodings, FingerprintsShowAsColonSeparatedUpperCaseHex) {
    CertificateFingerprint fingerprint{};
    fingerprint[0] = 0xAB;
    fingerprint[1] = 0x01;
    fingerprint[31] = 0xF0;
    const std::wstring shown = FormatFingerprint(fingerprint);
    EXPECT_EQ(shown.size(), 95u);
    EXPECT_EQ(shown.substr(0, 9), L"AB:01:00:");
    EXPECT_EQ(shown.substr(92), L":F0");
    EXPECT_EQ(text::FromHex("aB01"), (std::vector<std::uint8_t>{0xAB, 0x01}));
    EXPECT_FALSE(text::FromHex("a"));
    EXPECT_FALSE(text::FromHex("zz"));
}

}  // namespace
