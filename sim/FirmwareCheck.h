// Checks a firmware image as it arrives over the data port, without holding it: the "PUF1"
// header, the model code, and the "PUFD" trailer's length and SHA-256 (tools/FirmwareFormat.h).
#pragma once

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/Printer.h"

namespace sim {

class FirmwareReceiver {
public:
    explicit FirmwareReceiver(std::size_t limit);

    // Takes the next bytes; false once more than the limit has arrived (the bytes past it are
    // not taken).
    bool Feed(const std::uint8_t* data, std::size_t size);
    std::size_t Size() const { return m_size; }

    // The verdict on everything received, for a printer of `modelCode` (six digits).
    FirmwareResult Finish(const std::string& modelCode);

private:
    struct CtxFree {
        void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
    };
    using Ctx = std::unique_ptr<EVP_MD_CTX, CtxFree>;

    std::size_t m_limit;
    std::size_t m_size = 0;
    std::array<std::uint8_t, 32> m_header{};
    std::vector<std::uint8_t> m_tail;  // the last bytes, not yet in the body digest
    Ctx m_all;                         // every byte
    Ctx m_body;                        // every byte but the trailer
};

std::string ToHex(const std::uint8_t* data, std::size_t size);

}  // namespace sim
