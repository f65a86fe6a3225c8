// Builds the carried firmware image: a header for the given model code and version, a payload,
// a trailer with the payload's digest and a check byte that makes the byte sum 127; writes it
// as it is restored (for tests) and scrambled with the product key (the resource).
//
//   mkfirmware --model-code 041852 --version 3.40 --image-size 5000000 --seed 1
//              --restored firmware.img --scrambled firmware.bin
#include <openssl/evp.h>

#include <cstring>
#include <numeric>

#include "images/FirmKey.h"
#include "images/FirmRestore.h"
#include "tools/FirmwareFormat.h"
#include "tools/ToolSupport.h"

namespace {

using namespace firmware_format;

std::vector<std::uint8_t> Header(const std::string& modelCode, const std::string& version) {
    if (modelCode.size() != 6) tools::Options::Fail("the model code has six digits");
    const std::string field = "MAIN FIRMWARE V" + version;
    if (field.size() > 22) tools::Options::Fail("version text too long");
    std::string text = "PUF1" + modelCode + field;
    text.resize(kHeaderSize, ' ');
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

}  // namespace

int main(int argc, char** argv) {
    const tools::Options options(argc, argv);
    const std::size_t imageSize = options.Number("--image-size");
    if (imageSize < kHeaderSize + kTrailerSize + 1 || imageSize > 0xFFFFFFFFu) tools::Options::Fail("bad image size");
    const std::size_t payloadSize = imageSize - kHeaderSize - kTrailerSize - 1;

    std::vector<std::uint8_t> image = Header(options.Get("--model-code"), options.Get("--version"));
    image.resize(imageSize);
    tools::ByteGenerator(options.Number("--seed")).Fill(image.data() + kHeaderSize, payloadSize);

    std::uint8_t* trailer = image.data() + kHeaderSize + payloadSize;
    std::memcpy(trailer, kTrailerMagic, 4);
    for (int i = 0; i < 4; ++i) trailer[4 + i] = static_cast<std::uint8_t>(payloadSize >> (8 * i));
    unsigned int digestSize = 0;
    if (!EVP_Digest(image.data(), kHeaderSize + payloadSize, trailer + 8, &digestSize, EVP_sha256(), nullptr) ||
        digestSize != kDigestSize) {
        tools::Options::Fail("SHA-256 failed");
    }

    // The check byte: the restored bytes, this one included, add up to 127 modulo 256.
    const std::uint8_t partial = static_cast<std::uint8_t>(std::accumulate(image.begin(), image.end() - 1, 0u));
    image.back() = static_cast<std::uint8_t>(0x7F - partial);

    std::vector<std::uint8_t> scrambled(imageSize);
    ScrambleFirmware(image.data(), scrambled.data(), static_cast<std::uint32_t>(imageSize), FirmKeyCycle());

    // The restored file holds what the printer receives: the image without its check byte,
    // which restoring sets to zero.
    image.back() = 0;
    image.pop_back();
    tools::WriteFile(options.Get("--restored"), image);
    tools::WriteFile(options.Get("--scrambled"), scrambled);
    return 0;
}
