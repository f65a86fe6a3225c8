// The product data the build makes: the scrambled resource restores to an image whose header
// names this build's model and version and whose trailer digest holds for the bytes a printer
// receives.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "images/FirmImage.h"
#include "tools/FirmwareFormat.h"

namespace {

std::vector<std::uint8_t> ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(ProductData, FirmwareRestoresToAnImageWithAValidTrailer) {
    using namespace firmware_format;
    MemoryResources resources;
    resources.Add(220, L"FIRMWARE", ReadFile(SCRAMBLED_FIRMWARE_PATH));
    CPufFirmImage image(resources);
    ASSERT_TRUE(image.Load(220, L"FIRMWARE"));
    ASSERT_GT(image.m_nSize, 4'500'000u);
    EXPECT_EQ(ReadFile(RESTORED_FIRMWARE_PATH), std::vector<std::uint8_t>(image.m_pData.get(), image.m_pData.get() + image.m_nSize));

    FirmHeaderInfo header;
    ASSERT_TRUE(ParseFirmHeader(CopyFirmHeaderText(image).data(), &header));
    EXPECT_EQ(header.nModelCode, 41852);
    EXPECT_EQ(header.nVersion, 340);

    const std::uint8_t* trailer = image.m_pData.get() + image.m_nSize - kTrailerSize;
    ASSERT_EQ(0, std::memcmp(trailer, kTrailerMagic, 4));
    const std::uint32_t payload = trailer[4] | (trailer[5] << 8) | (trailer[6] << 16) | (std::uint32_t{trailer[7]} << 24);
    EXPECT_EQ(kHeaderSize + payload + kTrailerSize, image.m_nSize);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    ASSERT_TRUE(EVP_Digest(image.m_pData.get(), kHeaderSize + payload, digest, &digestSize, EVP_sha256(), nullptr));
    ASSERT_EQ(digestSize, kDigestSize);
    EXPECT_EQ(0, std::memcmp(digest, trailer + 8, kDigestSize));
}
