// The trust decision over the file of remembered certificates, and the encodings the file uses.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "common/Encoding.h"
#include "common/PeerTrust.h"
#include "tests/native/fakes/MemoryCertificateFile.h"
#include "update/CertificateMemory.h"
#include "update/PrinterTrust.h"

namespace {


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

    MemoryCertificateFile m_file;
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

// A certificate a trusted root vouches for is trusted without a question. Vouched for by a host
// name (which mDNS announces, unauthenticated) it never displaces another remembered certificate;
// vouched for by the printer's address it does (a renewal).
TEST_F(PrinterTrustTest, AVouchedCertificateIsTrustedWithoutAQuestionButDisplacesOnlyByTheAddress) {
    const PresentedCertificate issued = Certificate(0xD4, true);
    EXPECT_TRUE(Installation(kPrinterA).Trust(&issued));
    EXPECT_TRUE(m_questions.empty());

    const PresentedCertificate otherName = Certificate(0xD5, true);
    CPrinterTrust byName = Installation(kPrinterA);
    EXPECT_FALSE(byName.Trust(&otherName));
    EXPECT_EQ(byName.Refusal(), TrustRefusal::kChanged);
    EXPECT_EQ(byName.RememberedFingerprint(), issued.sha256);

    PresentedCertificate renewed = Certificate(0xD6, true);
    renewed.vouchedForAddress = true;
    EXPECT_TRUE(Installation(kPrinterA).Trust(&renewed));
    EXPECT_TRUE(m_questions.empty());

    const PresentedCertificate selfSigned = Certificate(0xE6);
    CPrinterTrust downgraded = Installation(kPrinterA);
    EXPECT_FALSE(downgraded.Trust(&selfSigned));
    EXPECT_EQ(downgraded.Refusal(), TrustRefusal::kChanged);
    EXPECT_EQ(downgraded.RememberedFingerprint(), renewed.sha256);
}

// Only a ".local" host name is offered for vouching: no public authority issues those.
TEST_F(PrinterTrustTest, TheNamesAreTheAddressAndALocalHostName) {
    EXPECT_EQ(Installation(kPrinterA).Names(), (std::vector<std::wstring>{L"10.0.0.2", L"ZT640000001.local"}));
    for (const wchar_t* host : {L"", L"printer.example.com", L"local", L".local", L"evil.local.example.com"}) {
        PrinterIdentity printer = kPrinterA;
        printer.hostName = host;
        EXPECT_EQ(Installation(printer).Names(), std::vector<std::wstring>{L"10.0.0.2"});
    }
    PrinterIdentity upper = kPrinterA;
    upper.hostName = L"ZT640000001.LOCAL";
    EXPECT_EQ(Installation(upper).Names().size(), 2u);
}

// Another serial announced at a printer's address, with another certificate than the one
// remembered there, is refused rather than asked about: the serial comes from the network.
TEST_F(PrinterTrustTest, ANewSerialAtAKnownAddressWithAnotherCertificateIsRefused) {
    const PresentedCertificate certificate = Certificate(0xA1);
    EXPECT_TRUE(Installation(kPrinterA).Trust(&certificate));
    const PrinterIdentity impostor{L"ZT640-999999", L"10.0.0.2", L"Zentil-640", L""};
    const PresentedCertificate other = Certificate(0xB2);
    CPrinterTrust installation = Installation(impostor);
    EXPECT_FALSE(installation.Trust(&other));
    EXPECT_EQ(installation.Refusal(), TrustRefusal::kChanged);
    EXPECT_EQ(installation.ForgetKey(), L"10.0.0.2") << "what forgets the entry that refused";
    EXPECT_EQ(m_questions.size(), 1u);

    CPrinterTrust plain = Installation(impostor);
    EXPECT_FALSE(plain.AllowPlain());
    EXPECT_EQ(plain.ForgetKey(), L"10.0.0.2");
    CPrinterTrust known = Installation(kPrinterA);
    EXPECT_FALSE(known.AllowPlain());
    EXPECT_EQ(known.ForgetKey(), L"ZT640-000001");
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
TEST_F(PrinterTrustTest, AFileThatCannotBeWrittenAsksEachTime) {
    m_file.unwritable = true;
    const PresentedCertificate certificate = Certificate(0xA1);
    CPrinterTrust installation = Installation(kPrinterA);
    EXPECT_TRUE(installation.Trust(&certificate));
    EXPECT_TRUE(installation.Trust(&certificate));
    const PresentedCertificate other = Certificate(0xB2);
    EXPECT_FALSE(installation.Trust(&other));
    EXPECT_EQ(installation.Refusal(), TrustRefusal::kChanged);
    EXPECT_TRUE(Installation(kPrinterA).Trust(&certificate));
    EXPECT_EQ(m_questions.size(), 2u);
}

// A file that cannot be read says nothing, not even that a printer was never seen: nothing it
// would have to confirm is trusted, and it is left as it is.
TEST_F(PrinterTrustTest, AFileThatCannotBeReadTrustsNothingAndIsLeftAlone) {
    m_file.content = "serial=ZT640-000001\tbroken line\n";
    m_file.unreadable = true;
    const PresentedCertificate certificate = Certificate(0xA1);
    CPrinterTrust tls = Installation(kPrinterA);
    EXPECT_FALSE(tls.Trust(&certificate));
    EXPECT_EQ(tls.Refusal(), TrustRefusal::kMemoryUnreadable);
    CPrinterTrust plain = Installation(kPrinterB);
    EXPECT_FALSE(plain.AllowPlain());
    EXPECT_EQ(plain.Refusal(), TrustRefusal::kMemoryUnreadable);
    EXPECT_TRUE(m_questions.empty());
    EXPECT_EQ(m_file.replaced, 0);
    EXPECT_FALSE(m_memory.Forget(L"ZT640-000001")) << "nor is anything forgotten from it";
}

// The question is open without anything of the trust locked: a second connection waits for its
// answer (and is not asked again), and the installation's state can be read meanwhile.
TEST_F(PrinterTrustTest, TwoConnectionsAtOnceAskOnce) {
    std::promise<void> asked;
    std::promise<bool> answer;
    const std::shared_future<bool> answered = answer.get_future().share();
    CPrinterTrust installation(kPrinterA, m_memory, [&](const PrinterIdentity&, const CertificateFingerprint&) {
        asked.set_value();  // a second question would throw here
        return answered.get();
    });
    const PresentedCertificate certificate = Certificate(0xA1);
    auto first = std::async(std::launch::async, [&] { return installation.Trust(&certificate); });
    asked.get_future().wait();
    auto second = std::async(std::launch::async, [&] { return installation.Trust(&certificate); });
    EXPECT_EQ(installation.Refusal(), TrustRefusal::kNone);
    EXPECT_EQ(second.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout) << "waits for the answer";
    answer.set_value(true);
    EXPECT_TRUE(first.get());
    EXPECT_TRUE(second.get());
}

TEST(CertificateFile, EntriesAndOtherLinesSurviveARewrite) {
    const PresentedCertificate certificate = Certificate(0x10);
    const std::string entry = "address=10.0.0.2\tsha256=" + text::ToHex(certificate.sha256) +
                              "\tcertificate=" + text::ToBase64(certificate.der);
    const std::string text = "\xEF\xBB\xBF" + entry + "\tfuture=kept\r\n# mine\r\n\nnot an entry\naddress=1.2.3.4\tsha256=zz\n";
    CertificateFileText file = CertificateFileText::Parse(text);
    const std::vector<RememberedCertificate> entries = file.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].address, L"10.0.0.2");
    EXPECT_EQ(entries[0].der, certificate.der);
    EXPECT_EQ(entries[0].sha256, certificate.sha256);
    EXPECT_EQ(file.Write(), entry + "\tfuture=kept\n# mine\n\nnot an entry\naddress=1.2.3.4\tsha256=zz\n")
        << "a later version's field stays; an editor's byte-order mark does not";

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
