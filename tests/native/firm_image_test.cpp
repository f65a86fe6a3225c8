// The carried firmware image: restoring, the byte-sum check, and reading the header.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <string_view>
#include <vector>

#include "app/resource.h"
#include "common/Resources.h"
#include "common/StringTable.h"
#include "images/FirmImage.h"
#include "images/FirmKey.h"
#include "images/FirmRestore.h"
#include "images/Version.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr wchar_t kFirmwareType[] = L"FIRMWARE";

// Deterministic bytes, the same on every platform.
Bytes PseudoRandomBytes(std::size_t n, std::uint32_t seed) {
    Bytes out(n);
    std::uint32_t x = seed | 1u;
    for (auto& byte : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<std::uint8_t>(x >> 24);
    }
    return out;
}

std::uint8_t ByteSum(const std::uint8_t* data, std::size_t n) {
    return static_cast<std::uint8_t>(std::accumulate(data, data + n, 0u));
}

// Restoring written out bit by bit as described: bit b of out[i] is bit b of
// src[(i + n - floor((b + 1) * n / 9)) mod n], then key byte (i mod 501) is subtracted.
Bytes ReferenceRestore(const Bytes& src, const std::uint8_t* keyCycle) {
    const std::uint64_t n = src.size();
    Bytes out(src.size(), 0);
    for (std::uint64_t i = 0; i < n; ++i) {
        std::uint8_t value = 0;
        for (std::uint64_t b = 0; b < 8; ++b) {
            const std::uint64_t shift = (b + 1) * n / 9;
            const std::uint64_t from = (i + n - shift) % n;
            value = static_cast<std::uint8_t>(value | (src[from] & (1u << b)));
        }
        out[i] = static_cast<std::uint8_t>(value - keyCycle[i % 501]);
    }
    return out;
}

Bytes Restore(const Bytes& src, const std::uint8_t* keyCycle, std::uint8_t* sum = nullptr) {
    Bytes out(src.size(), 0xCD);
    const std::uint8_t s = RestoreFirmware(src.data(), out.data(), static_cast<std::uint32_t>(src.size()), keyCycle);
    if (sum) *sum = s;
    return out;
}

Bytes Scramble(const Bytes& restored, const std::uint8_t* keyCycle = FirmKeyCycle()) {
    Bytes out(restored.size(), 0xCD);
    ScrambleFirmware(restored.data(), out.data(), static_cast<std::uint32_t>(restored.size()), keyCycle);
    return out;
}

const std::uint8_t* ZeroKey() {
    static const std::array<std::uint8_t, kFirmKeyCycle> key{};
    return key.data();
}

// A key whose every byte, the 501st included, is arbitrary: shows that the cycle is 501 long and
// that the restore reads the key it is given.
const std::uint8_t* ArbitraryKey() {
    static const Bytes key = PseudoRandomBytes(kFirmKeyCycle, 0x6B6579u);
    return key.data();
}

const std::uint32_t kLengths[] = {0,   1,   2,   3,    7,    8,    9,    10,   17,   18,    19,    26,    27,
                                  500, 501, 502, 1002, 1003, 1004, 4093, 4096, 5003, 65537, 65539, 250007};

TEST(FirmKey, IsFiveHundredPrintableCharactersAndAZero) {
    const std::uint8_t* key = FirmKeyCycle();
    for (std::size_t i = 0; i < kFirmKeyLength; ++i) {
        EXPECT_GE(key[i], 0x20) << i;
        EXPECT_LE(key[i], 0x5F) << i;
    }
    EXPECT_EQ(key[kFirmKeyLength], 0);
}

TEST(BitPlaneOffsets, NinthsOfTheLengthWithoutOverflow) {
    using Offsets = std::array<std::uint32_t, 8>;
    EXPECT_EQ(BitPlaneOffsets(0), (Offsets{0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(BitPlaneOffsets(8), (Offsets{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(BitPlaneOffsets(9), (Offsets{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(BitPlaneOffsets(17), (Offsets{1, 3, 5, 7, 9, 11, 13, 15}));
    EXPECT_EQ(BitPlaneOffsets(1003), (Offsets{111, 222, 334, 445, 557, 668, 780, 891}));
    // (b + 1) * n overflows 32 bits here.
    EXPECT_EQ(BitPlaneOffsets(0xFFFFFFFFu), (Offsets{477218588u, 954437176u, 1431655765u, 1908874353u,
                                                      2386092941u, 2863311530u, 3340530118u, 3817748706u}));
}

TEST(RestoreFirmware, MatchesABitByBitRestore) {
    for (const std::uint8_t* key : {FirmKeyCycle(), ArbitraryKey()}) {
        for (std::uint32_t n : kLengths) {
            SCOPED_TRACE(testing::Message() << "n " << n << (key == FirmKeyCycle() ? " product key" : " arbitrary key"));
            const Bytes src = PseudoRandomBytes(n, 1000 + n);
            std::uint8_t sum = 0;
            const Bytes restored = Restore(src, key, &sum);
            const Bytes expected = ReferenceRestore(src, key);
            ASSERT_EQ(restored, expected);
            EXPECT_EQ(sum, ByteSum(expected.data(), expected.size()));
        }
    }
}

TEST(RestoreFirmware, IsTheExactInverseOfScrambling) {
    for (const std::uint8_t* key : {FirmKeyCycle(), ArbitraryKey()}) {
        for (std::uint32_t n : kLengths) {
            SCOPED_TRACE(testing::Message() << "n " << n);
            const Bytes original = PseudoRandomBytes(n, 77 + n);
            EXPECT_EQ(Restore(Scramble(original, key), key), original);
            EXPECT_EQ(Scramble(Restore(original, key), key), original);
        }
    }
}

TEST(RestoreFirmware, NineBytesRotatePlaneBByBPlusOne) {
    const Bytes src = {0xFF, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Restore(src, ZeroKey()), (Bytes{0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80}));
    const Bytes last = {0, 0, 0, 0, 0, 0, 0, 0, 0xFF};
    EXPECT_EQ(Restore(last, ZeroKey()), (Bytes{0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x00}));
}

TEST(RestoreFirmware, FewerThanNineBytesLeaveBitZeroInPlace) {
    for (std::uint32_t n = 1; n < 9; ++n) {
        SCOPED_TRACE(testing::Message() << "n " << n);
        const Bytes src = PseudoRandomBytes(n, n);
        const Bytes restored = Restore(src, ZeroKey());
        for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(restored[i] & 1, src[i] & 1) << i;
    }
    // With one byte nothing moves at all; only the key is taken off.
    EXPECT_EQ(Restore({0xDD}, FirmKeyCycle()), (Bytes{static_cast<std::uint8_t>(0xDD - FirmKeyCycle()[0])}));
}

TEST(RestoreFirmware, EveryFiveHundredFirstByteIsLeftByTheKey) {
    const Bytes src = PseudoRandomBytes(2100, 42);
    const Bytes keyed = Restore(src, FirmKeyCycle());
    const Bytes unkeyed = Restore(src, ZeroKey());
    for (std::size_t i : {500u, 1001u, 1502u, 2003u}) EXPECT_EQ(keyed[i], unkeyed[i]) << i;
    // Every key character is at least a space, so all the others change.
    for (std::size_t i : {0u, 499u, 501u, 1000u, 1002u, 2002u, 2004u}) EXPECT_NE(keyed[i], unkeyed[i]) << i;
}

// A restored image: `header` first, then arbitrary body bytes, then a last byte that makes the
// byte sum `sum`.
Bytes MakeRestoredImage(std::string_view header, std::size_t n, std::uint8_t sum = 0x7F) {
    Bytes image = PseudoRandomBytes(n, static_cast<std::uint32_t>(n) * 7u);
    std::memcpy(image.data(), header.data(), std::min(header.size(), n));
    image[n - 1] = 0;
    image[n - 1] = static_cast<std::uint8_t>(sum - ByteSum(image.data(), n));
    return image;
}

constexpr std::string_view kHeader = "PUF1041852Firmware Ver 3.40     ";
static_assert(kHeader.size() == kFirmHeaderSize);

class FirmImageLoad : public testing::Test {
protected:
    void Add(const Bytes& scrambled, unsigned id = IDR_FIRMWARE_IMAGE) { resources.Add(id, kFirmwareType, scrambled); }
    bool Load() { return image.Load(IDR_FIRMWARE_IMAGE, kFirmwareType); }

    // The image holds `restored` with its last byte replaced by zero.
    void ExpectHolds(const Bytes& restored) {
        ASSERT_NE(image.m_pData, nullptr);
        ASSERT_EQ(image.m_nSize, restored.size() - 1);
        EXPECT_EQ(std::memcmp(image.m_pData.get(), restored.data(), image.m_nSize), 0);
        EXPECT_EQ(image.m_pData[image.m_nSize], 0);
    }

    MemoryResources resources;
    CPufFirmImage image{resources};
};

TEST_F(FirmImageLoad, RestoresAGoodImage) {
    for (std::size_t n : {2u, 33u, 501u, 502u, 5003u, 100003u}) {
        SCOPED_TRACE(testing::Message() << "n " << n);
        const Bytes restored = MakeRestoredImage(kHeader, n);
        Add(Scramble(restored));
        ASSERT_TRUE(Load());
        ExpectHolds(restored);
    }
}

TEST_F(FirmImageLoad, MissingResourceFails) {
    Add(Scramble(MakeRestoredImage(kHeader, 100)), IDR_PANEL_IMAGE);
    resources.Add(IDR_FIRMWARE_IMAGE, L"OTHER", Scramble(MakeRestoredImage(kHeader, 100)));
    EXPECT_FALSE(Load());
    EXPECT_EQ(image.m_pData, nullptr);
    EXPECT_EQ(image.m_nSize, 0u);
}

TEST_F(FirmImageLoad, EmptyResourceFailsItsByteSum) {
    Add({});
    EXPECT_FALSE(Load());
    EXPECT_EQ(image.m_pData, nullptr);
    EXPECT_EQ(image.m_nSize, 0u);
}

TEST_F(FirmImageLoad, OneByteImagePassesButHoldsNothing) {
    Add(Scramble({0x7F}));
    EXPECT_TRUE(Load());
    EXPECT_EQ(image.m_pData, nullptr);
    EXPECT_EQ(image.m_nSize, 0u);
}

TEST_F(FirmImageLoad, BadByteSumFails) {
    for (std::uint8_t sum : {0x00, 0x7E, 0x80, 0xFF}) {
        SCOPED_TRACE(testing::Message() << "sum " << int(sum));
        Add(Scramble(MakeRestoredImage(kHeader, 1003, sum)));
        EXPECT_FALSE(Load());
        EXPECT_EQ(image.m_pData, nullptr);
    }
    // One flipped bit anywhere in the resource changes one restored byte, and so the sum.
    Bytes scrambled = Scramble(MakeRestoredImage(kHeader, 1003));
    scrambled[700] ^= 0x10;
    Add(scrambled);
    EXPECT_FALSE(Load());
    Add(Scramble({0x7E}));
    EXPECT_FALSE(Load());
}

TEST_F(FirmImageLoad, FailedOrEmptyLoadKeepsThePreviousImage) {
    const Bytes good = MakeRestoredImage(kHeader, 600);
    Add(Scramble(good));
    ASSERT_TRUE(Load());
    const std::uint8_t* held = image.m_pData.get();

    Add(Scramble(MakeRestoredImage(kHeader, 800, 0x7E)));
    EXPECT_FALSE(Load());
    EXPECT_EQ(image.m_pData.get(), held);
    ExpectHolds(good);

    // A one-byte image passes the check but has nothing to replace the held image with.
    Add(Scramble({0x7F}));
    EXPECT_TRUE(Load());
    EXPECT_EQ(image.m_pData.get(), held);
    ExpectHolds(good);

    resources = MemoryResources{};
    EXPECT_FALSE(Load());
    ExpectHolds(good);

    // A second good image replaces the first.
    const Bytes other = MakeRestoredImage("PUF1041852 3.41", 900);
    Add(Scramble(other));
    ASSERT_TRUE(Load());
    ExpectHolds(other);
}

// The header as ParseFirmHeader receives it: 33 bytes on the heap, so that reading beyond them
// is caught; `bytes` are placed as given (a zero among them included), the rest is zero.
std::vector<char> HeaderBuffer(std::string_view bytes) {
    std::vector<char> buffer(kFirmHeaderSize + 1, '\0');
    std::memcpy(buffer.data(), bytes.data(), std::min(bytes.size(), kFirmHeaderSize));
    return buffer;
}

// "PUF1", the model code, then the version field padded to its 22 bytes with `pad`.
std::string Header(std::string_view modelCode, std::string_view versionField, char pad = ' ') {
    std::string header = "PUF1";
    header += modelCode;
    header += versionField;
    header.resize(kFirmHeaderSize, pad);
    return header;
}

TEST(ParseFirmHeader, RejectsAnyOtherMagicAndLeavesTheOutputAlone) {
    const std::string_view headers[] = {
        "puf1041852 3.40", "PUF2041852 3.40", "XUF1041852 3.40", "PuF1041852 3.40",
        " PUF1041852 3.40", "PUF 041852 3.40", std::string_view("PUF\0" "041852 3.40", 15), "",
    };
    for (std::string_view h : headers) {
        SCOPED_TRACE(testing::Message() << "header \"" << std::string(h) << "\"");
        const std::vector<char> buffer = HeaderBuffer(h);
        FirmHeaderInfo info{111, 222};
        EXPECT_FALSE(ParseFirmHeader(buffer.data(), &info));
        EXPECT_EQ(info.nModelCode, 111);
        EXPECT_EQ(info.nVersion, 222);
    }
}

TEST(ParseFirmHeader, VersionIsTheLastRunOfDigitsAndPoints) {
    const struct {
        std::string header;
        std::int32_t version;
    } cases[] = {
        {Header("041852", "Firmware 3.40"), 340},
        {Header("041852", "Firmware 3.40", '\0'), 340},
        {Header("041852", "1.2x3.40"), 340},
        {Header("041852", "3.40a"), 340},
        {Header("041852", "3.40\xE9\xFF"), 340},
        {Header("041852", "3.4"), 340},
        {Header("041852", "V1.2.3"), 120},
        {Header("041852", "Firmware"), 0},
        {Header("041852", "", '\0'), 0},
        {Header("041852", "Ver ."), 0},
        // The run stops at the field: the model code's digits right before it are not part of it.
        {Header("041852", "3.40"), 340},
        {Header("041852", "3.40", '\0'), 340},
        {Header("041852", "", '7'), -1},
        {Header("041852", "V0000003.40"), 340},   // 10 characters
        {Header("041852", "V00000003.40"), -1},   // 11 characters
        {Header("041852", "V1234567.890"), -1},
        {Header("041852", "0000000000000000000340"), -1},
        {Header("041852", "Ver 9.99 ABCDEFGHIJKLM"), 999},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "header \"" << c.header.c_str() << "\"");
        ASSERT_EQ(c.header.size(), kFirmHeaderSize);
        const std::vector<char> buffer = HeaderBuffer(c.header);
        FirmHeaderInfo info{111, 222};
        ASSERT_TRUE(ParseFirmHeader(buffer.data(), &info));
        EXPECT_EQ(info.nVersion, c.version);
        EXPECT_EQ(info.nModelCode, 41852);
    }
}

TEST(ParseFirmHeader, ModelCodeIsTheDecimalValueOfSixCharacters) {
    const struct {
        std::string_view modelCode;
        std::int32_t value;
    } cases[] = {
        {"041852", 41852}, {"A41852", 0},      {" 41852", 41852}, {"-41852", -41852},
        {"0418x2", 418},   {"000000", 0},      {"999999", 999999}, {"  +  1", 0},
        {"\xE9" "41852", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "model code \"" << std::string(c.modelCode) << "\"");
        // The version digits that follow must not be read as part of the model code.
        const std::vector<char> buffer = HeaderBuffer(Header(c.modelCode, "340"));
        FirmHeaderInfo info;
        ASSERT_TRUE(ParseFirmHeader(buffer.data(), &info));
        EXPECT_EQ(info.nModelCode, c.value);
        EXPECT_EQ(info.nVersion, 34000);
    }
}

TEST(ParseFirmHeader, AZeroByteEndsTheHeaderText) {
    FirmHeaderInfo info;
    // Whatever follows the zero counts as zero, even if the buffer holds more.
    std::vector<char> buffer = HeaderBuffer(std::string_view("PUF1041852 2.05\0 9.99", 21));
    ASSERT_TRUE(ParseFirmHeader(buffer.data(), &info));
    EXPECT_EQ(info.nModelCode, 41852);
    EXPECT_EQ(info.nVersion, 205);

    buffer = HeaderBuffer(std::string_view("PUF10418\0" "52 Ver 3.40", 20));
    ASSERT_TRUE(ParseFirmHeader(buffer.data(), &info));
    EXPECT_EQ(info.nModelCode, 418);
    EXPECT_EQ(info.nVersion, 0);

    buffer = HeaderBuffer("PUF1");
    info = {111, 222};
    ASSERT_TRUE(ParseFirmHeader(buffer.data(), &info));
    EXPECT_EQ(info.nModelCode, 0);
    EXPECT_EQ(info.nVersion, 0);
}

// An image object holding exactly `bytes` as its m_nSize firmware bytes, with nothing after them,
// so that a read beyond m_nSize is caught.
void Hold(CPufFirmImage& image, std::string_view bytes) {
    image.m_pData.reset(new std::uint8_t[bytes.size()]);
    std::memcpy(image.m_pData.get(), bytes.data(), bytes.size());
    image.m_nSize = static_cast<std::uint32_t>(bytes.size());
}

TEST(CopyFirmHeaderText, CopiesUpToThirtyTwoBytesAsText) {
    const MemoryResources resources;
    CPufFirmImage image(resources);
    std::array<char, kFirmHeaderSize + 1> expected{};
    EXPECT_EQ(CopyFirmHeaderText(image), expected);

    Hold(image, "PUF10");
    std::memcpy(expected.data(), "PUF10", 5);
    EXPECT_EQ(CopyFirmHeaderText(image), expected);

    const std::string longImage(40, 'A');
    Hold(image, longImage);
    expected.fill('A');
    expected[kFirmHeaderSize] = '\0';
    EXPECT_EQ(CopyFirmHeaderText(image), expected);

    Hold(image, std::string_view("PUF1041852\0" "3.40 and more bytes after it", 39));
    expected = {};
    std::memcpy(expected.data(), "PUF1041852", 10);
    EXPECT_EQ(CopyFirmHeaderText(image), expected);
}

TEST(FirmImage, LoadedHeaderMatchesTheProductConfiguration) {
    MemoryResources resources;
    resources.Add(IDR_FIRMWARE_IMAGE, kFirmwareType, Scramble(MakeRestoredImage(kHeader, 4096)));
    CPufFirmImage image(resources);
    ASSERT_TRUE(image.Load(IDR_FIRMWARE_IMAGE, kFirmwareType));

    const std::array<char, kFirmHeaderSize + 1> header = CopyFirmHeaderText(image);
    FirmHeaderInfo info;
    ASSERT_TRUE(ParseFirmHeader(header.data(), &info));

    const MapStringTable strings{{IDS_CFG_MODEL_CODE, L"041852"}, {IDS_CFG_FIRM_VERSION, L"3.40"}};
    std::wstring version;
    ASSERT_TRUE(strings.Load(IDS_CFG_FIRM_VERSION, version));
    EXPECT_EQ(info.nModelCode, GetProductModelCode(strings));
    EXPECT_EQ(info.nVersion, VersionTextToInt(version));
}

}  // namespace
