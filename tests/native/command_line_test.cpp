// The quiet command line: lines without q read exactly as ever (the new letters skipped), quiet
// lines with their printers, files of printers, fingerprints, numbers and every error as its text.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/SendStatusDlg.h"
#include "common/Encoding.h"
#include "ports/DravonPort.h"

namespace {

using Args = std::vector<std::wstring>;
using Files = std::map<std::wstring, std::string>;

constexpr char kFingerprint[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::wstring kWideFingerprint(kFingerprint, kFingerprint + 64);

// Files by name; "busy.txt" is there but cannot be read. A file beyond the limit is refused as
// the Windows reader refuses it, without its bytes.
CommandLineFileReader ReaderOf(const Files& files, std::vector<std::wstring>* asked = nullptr) {
    return [&files, asked](const std::wstring& path, std::size_t limit) {
        if (asked) asked->push_back(path);
        EXPECT_EQ(limit, kLargestPrinterFile);
        if (path == L"busy.txt") return CommandLineFile{CommandLineFile::Status::kUnreadable, {}};
        const auto found = files.find(path);
        if (found == files.end()) return CommandLineFile{CommandLineFile::Status::kNotFound, {}};
        if (found->second.size() > limit) return CommandLineFile{CommandLineFile::Status::kTooLarge, {}};
        return CommandLineFile{CommandLineFile::Status::kRead, found->second};
    };
}

std::string Narrow(const std::wstring& text) { return text::ToUtf8(text); }

TEST(CommandLine, WithoutQuietTheLineReadsAsEverAndNoFileIsRead) {
    struct Case {
        Args args;
        std::wstring address, usb, forget;
    } cases[] = {
        {{L"-i", L"10.0.0.5", L"-p", L"4"}, L"10.0.0.5", L"", L""},  // p and its would-be value skipped
        {{L"-l", L"x.txt", L"-o", L"out.json", L"/i1.2.3.4"}, L"1.2.3.4", L"", L""},
        {{L"/accept-new", L"-t", kWideFingerprint, L"-w5", L"-s", L"9", L"-u", L"USB001"}, L"",
         L"USB001", L""},
        {{L"-o", L"-i", L"1.2.3.4"}, L"1.2.3.4", L"", L""},  // o takes no value: -i is still an option
        // q as the value of i, u or f is no option.
        {{L"-i", L"-q"}, L"-q", L"", L""},
        {{L"-u", L"/Q"}, L"", L"/Q", L""},
        {{L"/f", L"-quiet"}, L"", L"", L"-quiet"},
        {{}, L"", L"", L""},
    };
    const Files none;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.args.size() << " arguments, address " << Narrow(c.address));
        std::vector<std::wstring> asked;
        const CommandLineValues values = ReadCommandLine(c.args, ReaderOf(none, &asked));
        EXPECT_FALSE(values.quiet);
        EXPECT_EQ(values.address, c.address);
        EXPECT_EQ(values.usbPort, c.usb);
        EXPECT_EQ(values.forget, c.forget);
        EXPECT_TRUE(asked.empty());
    }

    const Args illegal[] = {
        {L"-p", L"4"},                                  // no printer
        {L"-l", L"printers.txt"},                       // a file of printers means nothing here
        {L"-i1.2.3.4", L"-i", L"5.6.7.8"},              // twice
        {L"-i1.2.3.4", L"-u", L"USB001", L"-a"},        // both
        {L"-i", L"-q", L"-i", L"1.2.3.4"},              // "-q" is the first address
    };
    for (const Args& args : illegal) {
        try {
            ReadCommandLine(args);
            ADD_FAILURE() << "accepted " << Narrow(args.front());
        } catch (VessickExitCode::EXITCODE code) {
            EXPECT_EQ(code, VessickExitCode::ILLEGAL_PARAMETER);
        }
    }
}

TEST(QuietCommandLine, DefaultsAreTheInteractiveInstallersBounds) {
    const CommandLineValues values = ReadCommandLine({L"-q", L"-i", L"10.0.0.5"});
    ASSERT_TRUE(values.quiet);
    ASSERT_EQ(Narrow(values.quietError), "");
    EXPECT_EQ(values.quietOptions.parallel, kDefaultParallelInstalls);
    EXPECT_EQ(values.quietOptions.resultFile, L"");
    EXPECT_TRUE(values.quietOptions.trustedSha256.empty());
    EXPECT_FALSE(values.quietOptions.acceptNew);
    EXPECT_EQ(values.quietOptions.restartWaitMs, kRestartConfirmBoundMs);
    EXPECT_EQ(values.quietOptions.stallMs, kDataPortStallMs);
    EXPECT_TRUE(values.address.empty() && values.usbPort.empty() && values.forget.empty());
}

TEST(QuietCommandLine, ReadsEveryOption) {
    const std::wstring colons = L"01:23:45:67:89:AB:CD:EF:01:23:45:67:89:ab:cd:ef:"
                                L"01:23:45:67:89:ab:cd:ef:01:23:45:67:89:AB:CD:EF";
    const std::wstring spaced = L"FF EE DD CC BB AA 99 88 77 66 55 44 33 22 11 00 "
                                L"ff ee dd cc bb aa 99 88 77 66 55 44 33 22 11 00";
    const CommandLineValues values =
        ReadCommandLine({L"/quiet", L"-i", L"10.0.0.5", L"/I010.000.000.006", L"-p32", L"-o", L"C:\\out\\results.json",
                         L"-t", colons, L"/T" + spaced, L"-t", kWideFingerprint,
                         L"/accept-new", L"-w", L"3600", L"-S1", L"-Q"});
    ASSERT_TRUE(values.quiet);
    ASSERT_EQ(Narrow(values.quietError), "");
    const QuietOptions& options = values.quietOptions;
    EXPECT_EQ(options.printers, (std::vector<std::uint32_t>{0x0A000005u, 0x0A000006u}));
    EXPECT_EQ(options.printerTexts, (std::vector<std::wstring>{L"10.0.0.5", L"010.000.000.006"}));
    EXPECT_EQ(options.parallel, 32u);
    EXPECT_EQ(options.resultFile, L"C:\\out\\results.json");
    // Lower case without separators, each once.
    EXPECT_EQ(options.trustedSha256,
              (std::vector<std::string>{kFingerprint,
                                        "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100"}));
    EXPECT_TRUE(options.acceptNew);
    EXPECT_EQ(options.restartWaitMs, 3600000u);
    EXPECT_EQ(options.stallMs, 1000u);
}

TEST(QuietCommandLine, PrintersFromTheLineAndFilesEachOnceInTheOrderFirstGiven) {
    const Files files{
        // A byte-order mark, CRLF, comments, blank lines, spaces and tabs around, no final line break.
        {L"a.txt", "\xEF\xBB\xBF# line 2 of the plant\r\n10.0.0.3\r\n\r\n  10.0.0.1\t# again\r\n\t10.0.0.4  \r\n#\r\n"
                   "10.0.0.2"},
        {L"b.txt", "10.0.0.4\n10.0.0.5\n010.0.0.1\n"},
    };
    const CommandLineValues values =
        ReadCommandLine({L"-q", L"-i10.0.0.1", L"-l", L"a.txt", L"-i", L"10.0.0.2", L"/Lb.txt", L"-l", L"a.txt"},
                        ReaderOf(files));
    ASSERT_EQ(Narrow(values.quietError), "");
    EXPECT_EQ(values.quietOptions.printers,
              (std::vector<std::uint32_t>{0x0A000001u, 0x0A000003u, 0x0A000004u, 0x0A000002u, 0x0A000005u}));
    EXPECT_EQ(values.quietOptions.printerTexts,
              (std::vector<std::wstring>{L"10.0.0.1", L"10.0.0.3", L"10.0.0.4", L"10.0.0.2", L"10.0.0.5"}));
}

TEST(QuietCommandLine, AsManyPrintersAsAllowedAndNoMore) {
    std::string most;
    for (std::size_t n = 0; n < kMostQuietPrinters; ++n) {
        most += "10.1." + std::to_string(n / 256) + "." + std::to_string(n % 256) + "\n";
    }
    const Files files{{L"most.txt", most}, {L"again.txt", most + "# the same again\n" + most}};
    for (const wchar_t* name : {L"most.txt", L"again.txt"}) {
        const CommandLineValues values = ReadCommandLine({L"-q", L"-l", name}, ReaderOf(files));
        ASSERT_EQ(Narrow(values.quietError), "");
        EXPECT_EQ(values.quietOptions.printers.size(), kMostQuietPrinters);
    }
    const CommandLineValues over = ReadCommandLine({L"-q", L"-l", L"most.txt", L"-i", L"10.9.9.9"}, ReaderOf(files));
    EXPECT_EQ(Narrow(over.quietError), "more than 4096 printers are given");
    EXPECT_TRUE(over.quietOptions.printers.empty()) << "nothing of a refused line is left to run";
}

TEST(QuietCommandLine, EveryErrorSaysWhatAndWhere) {
    struct Case {
        Args args;
        std::string error;
    };
    std::string tooLarge(kLargestPrinterFile + 1, '#');
    const Files files{
        {L"bad.txt", "10.0.0.1\n\n10.1.2\n10.0.0.3\n"},
        {L"two.txt", "10.0.0.1 10.0.0.2\n"},
        {L"comments.txt", "\xEF\xBB\xBF# nothing yet\r\n\r\n   \r\n"},
        {L"empty.txt", ""},
        {L"utf16.txt", std::string("\xFF\xFE" "1\0000\0", 6)},
        {L"huge.txt", tooLarge},
        {L"long.txt", std::string(200, '9') + "\n"},
    };
    const Case cases[] = {
        {{L"-q"}, "no printer is given: name one with option i, or a file of them with option l"},
        {{L"-q", L"-p", L"4"}, "no printer is given: name one with option i, or a file of them with option l"},
        {{L"-q", L"-i", L"10.1.2"}, "option i: \"10.1.2\" is not a printer's IPv4 address"},
        {{L"-q", L"-i0.0.0.0"}, "option i: \"0.0.0.0\" is not a printer's IPv4 address"},
        {{L"-q", L"-i", L"0.1.2.3"}, "option i: \"0.1.2.3\" is not a printer's IPv4 address"},
        {{L"-q", L"-i", L"127.0.0.1"}, "option i: \"127.0.0.1\" is not a printer's IPv4 address"},
        {{L"-q", L"-i", L"224.0.0.251"}, "option i: \"224.0.0.251\" is not a printer's IPv4 address"},
        {{L"-q", L"-i", L"255.255.255.255"}, "option i: \"255.255.255.255\" is not a printer's IPv4 address"},
        {{L"-q", L"-i"}, "option i needs a value"},
        {{L"-q", L"-i", L""}, "option i has an empty value"},
        {{L"-q", L"-i1.2.3.4", L"10.0.0.2"}, "\"10.0.0.2\" is not an option (each printer needs its own option i)"},
        {{L"-q", L"-i1.2.3.4", L"-x"}, "\"-x\" is not an option of quiet mode"},
        {{L"-q", L"-i1.2.3.4", L"-"}, "\"-\" is not an option (each printer needs its own option i)"},
        {{L"-q", L"-u", L"USB001"}, "option u cannot be used with option q"},
        {{L"-f", L"ZT640-000001", L"/q"}, "option f cannot be used with option q"},
        {{L"-q", L"-l", L"missing.txt"}, "the file \"missing.txt\" does not exist"},
        {{L"-q", L"-l", L"busy.txt"}, "the file \"busy.txt\" cannot be read"},
        {{L"-q", L"-l", L"huge.txt"}, "the file \"huge.txt\" is larger than 1048576 bytes"},
        {{L"-q", L"-l", L"bad.txt"}, "line 3 of \"bad.txt\": \"10.1.2\" is not a printer's IPv4 address"},
        {{L"-q", L"-l", L"two.txt"}, "line 1 of \"two.txt\": \"10.0.0.1 10.0.0.2\" is not a printer's IPv4 address"},
        {{L"-q", L"-l", L"long.txt"},
         "line 1 of \"long.txt\": \"" + std::string(100, '9') + "...\" is not a printer's IPv4 address"},
        {{L"-q", L"-i1.2.3.4", L"-l", L"comments.txt"}, "the file \"comments.txt\" lists no printer"},
        {{L"-q", L"-i1.2.3.4", L"-l", L"empty.txt"}, "the file \"empty.txt\" lists no printer"},
        {{L"-q", L"-l", L"utf16.txt"}, "the file \"utf16.txt\" is in UTF-16: save it as UTF-8"},
        {{L"-q", L"-i1.2.3.4", L"-p", L"0"}, "option p: 0 is not between 1 and 32"},
        {{L"-q", L"-i1.2.3.4", L"-p33"}, "option p: 33 is not between 1 and 32"},
        {{L"-q", L"-i1.2.3.4", L"-p", L"99999999999999999999999"},
         "option p: 99999999999999999999999 is not between 1 and 32"},
        {{L"-q", L"-i1.2.3.4", L"-p", L"-4"}, "option p: \"-4\" is not a whole number"},
        {{L"-q", L"-i1.2.3.4", L"-parallel"}, "option p: \"arallel\" is not a whole number"},
        {{L"-q", L"-i1.2.3.4", L"-p", L"4", L"-p", L"4"}, "option p is given twice"},
        {{L"-q", L"-i1.2.3.4", L"-w", L"3601"}, "option w: 3601 is not between 1 and 3600"},
        {{L"-q", L"-i1.2.3.4", L"-s0"}, "option s: 0 is not between 1 and 3600"},
        {{L"-q", L"-i1.2.3.4", L"-s", L"1.5"}, "option s: \"1.5\" is not a whole number"},
        {{L"-q", L"-i1.2.3.4", L"-s", L"5", L"-s5"}, "option s is given twice"},
        {{L"-q", L"-i1.2.3.4", L"-w", L"5", L"-W5"}, "option w is given twice"},
        {{L"-q", L"-i1.2.3.4", L"-o", L"a.json", L"-o", L"b.json"}, "option o is given twice"},
        {{L"-q", L"-i1.2.3.4", L"-o"}, "option o needs a value"},
        // The first reading takes "-q" as option q; the quiet one as the value of o.
        {{L"-i1.2.3.4", L"-o", L"-q"}, "option o takes \"-q\" as its value; give it a value of its own"},
        {{L"-q", L"-i1.2.3.4", L"-t", L"0123"},
         "option t: \"0123\" is not a SHA-256 fingerprint (64 hexadecimal digits)"},
        {{L"-q", L"-i1.2.3.4", L"-t", kWideFingerprint.substr(0, 63) + L"g"},
         "option t: \"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdeg\" is not a SHA-256 fingerprint "
         "(64 hexadecimal digits)"},
        {{L"-q", L"-i1.2.3.4", L"-t", L"0" + kWideFingerprint},
         "option t: \"00123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\" is not a SHA-256 "
         "fingerprint (64 hexadecimal digits)"},
        // Separators only between pairs, one at a time, not at either end.
        {{L"-q", L"-i1.2.3.4", L"-t", L"0:" + kWideFingerprint.substr(1)},
         "option t: \"0:123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\" is not a SHA-256 "
         "fingerprint (64 hexadecimal digits)"},
        {{L"-q", L"-i1.2.3.4", L"-t", L"01::" + kWideFingerprint.substr(2)},
         "option t: \"01::23456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\" is not a SHA-256 "
         "fingerprint (64 hexadecimal digits)"},
        {{L"-q", L"-i1.2.3.4", L"-t", kWideFingerprint + L":"},
         "option t: \"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef:\" is not a SHA-256 "
         "fingerprint (64 hexadecimal digits)"},
        {{L"-q", L"-i1.2.3.4", L"-t", L" " + kWideFingerprint},
         "option t: \" 0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\" is not a SHA-256 "
         "fingerprint (64 hexadecimal digits)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        const CommandLineValues values = ReadCommandLine(c.args, ReaderOf(files));
        EXPECT_TRUE(values.quiet);
        EXPECT_EQ(Narrow(values.quietError), c.error);
        EXPECT_TRUE(values.quietOptions.printers.empty());
    }

    // Without a reader a file cannot be read, and nothing is thrown.
    EXPECT_EQ(Narrow(ReadCommandLine({L"-q", L"-l", L"a.txt"}).quietError), "the file \"a.txt\" cannot be read");

    // A refused line keeps its result file, wherever option o stands, so that the refusal goes
    // where the results were asked for (and an old file there does not pass for this run's).
    for (const std::vector<std::wstring>& args :
         {std::vector<std::wstring>{L"-q", L"-o", L"out.jsonl", L"-p", L"0", L"-i1.2.3.4"},
          std::vector<std::wstring>{L"-q", L"-p", L"0", L"-i1.2.3.4", L"/oout.jsonl"},
          std::vector<std::wstring>{L"-q", L"-l", L"-o", L"-o", L"out.jsonl"}}) {
        const CommandLineValues refused = ReadCommandLine(args, ReaderOf(files));
        EXPECT_FALSE(refused.quietError.empty());
        EXPECT_EQ(refused.quietOptions.resultFile, L"out.jsonl");
    }
}

TEST(QuietCommandLine, AReaderThatHandsBackMoreThanTheLimitIsRefusedToo) {
    const CommandLineFileReader careless = [](const std::wstring&, std::size_t limit) {
        return CommandLineFile{CommandLineFile::Status::kRead, std::string(limit + 1, '#')};
    };
    EXPECT_EQ(Narrow(ReadCommandLine({L"-q", L"-l", L"x.txt"}, careless).quietError),
              "the file \"x.txt\" is larger than 1048576 bytes");
}

}  // namespace
