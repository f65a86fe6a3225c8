// Writes the string-table entry that carries the MD5 digest of the embedded panel package, as
// 32 lowercase hexadecimal digits, so that the digest always belongs to the package built.
//
//   mkdigestrc --package panel.apk --id 207 --out panel_digest.rc
#include <openssl/evp.h>

#include <fstream>

#include "tools/ToolSupport.h"

int main(int argc, char** argv) {
    const tools::Options options(argc, argv);
    const std::vector<std::uint8_t> package = tools::ReadFile(options.Get("--package"));

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    if (!EVP_Digest(package.data(), package.size(), digest, &digestSize, EVP_md5(), nullptr) || digestSize != 16) {
        tools::Options::Fail("MD5 failed");
    }
    char hex[2 * 16 + 1];
    for (unsigned i = 0; i < digestSize; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);

    std::ofstream out(options.Get("--out"), std::ios::trunc);
    out << "// Generated at build time from " << options.Get("--package") << "; do not edit.\n"
        << "LANGUAGE LANG_NEUTRAL, SUBLANG_NEUTRAL\n"
        << "STRINGTABLE\nBEGIN\n    " << options.Get("--id") << ", \"" << hex << "\"\nEND\n";
    if (!out) tools::Options::Fail("cannot write " + options.Get("--out"));
    return 0;
}
