// Builds the carried panel application package: an Android package, that is a ZIP archive of
// stored (uncompressed) entries, of exactly the requested size.
//
//   mkpanel --size 8700000 --seed 2 --out panel.apk
#include <algorithm>
#include <cstring>
#include <string>

#include "tools/ToolSupport.h"

namespace {

struct Entry {
    std::string name;
    std::vector<std::uint8_t> data;
    std::uint32_t crc = 0;
    std::uint32_t offset = 0;
};

constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::size_t kCentralHeaderSize = 46;
constexpr std::size_t kEndRecordSize = 22;
// A fixed time stamp (2026-12-01 00:00) keeps the package, and so its digest, the same on every build.
constexpr std::uint16_t kDosTime = 0;
constexpr std::uint16_t kDosDate = ((2026 - 1980) << 9) | (12 << 5) | 1;

std::uint32_t Crc32(const std::vector<std::uint8_t>& data) {
    static std::uint32_t table[256];
    if (table[1] == 0) {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
    }
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::uint8_t b : data) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

class Writer {
public:
    void U16(std::uint32_t v) { for (int i = 0; i < 2; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i))); }
    void U32(std::uint32_t v) { for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i))); }
    void Text(const std::string& s) { bytes.insert(bytes.end(), s.begin(), s.end()); }
    void Bytes(const std::vector<std::uint8_t>& b) { bytes.insert(bytes.end(), b.begin(), b.end()); }
    std::vector<std::uint8_t> bytes;
};

std::vector<std::uint8_t> TextBytes(const std::string& s) {
    return std::vector<std::uint8_t>(s.begin(), s.end());
}

std::vector<std::uint8_t> RandomBytes(tools::ByteGenerator& generator, std::size_t count, const std::string& prefix = {}) {
    std::vector<std::uint8_t> bytes(count);
    generator.Fill(bytes.data(), count);
    std::memcpy(bytes.data(), prefix.data(), std::min(prefix.size(), count));
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    const tools::Options options(argc, argv);
    const std::size_t total = options.Number("--size");
    tools::ByteGenerator generator(options.Number("--seed"));

    std::vector<Entry> entries;
    entries.push_back({"AndroidManifest.xml",
                       TextBytes("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                                 "<manifest package=\"com.corvane.panel\" android:versionName=\"" +
                                 options.Get("--version", "3.0.1") + "\"/>\n")});
    entries.push_back({"META-INF/MANIFEST.MF", TextBytes("Manifest-Version: 1.0\r\nCreated-By: mkpanel\r\n\r\n")});
    entries.push_back({"resources.arsc", RandomBytes(generator, 640 * 1024, std::string("\x02\x00\x0c\x00", 4))});
    entries.push_back({"res/raw/panel_assets.bin", RandomBytes(generator, 1536 * 1024)});

    // classes.dex takes whatever size is left so that the archive has exactly `total` bytes.
    const std::string dexName = "classes.dex";
    std::size_t used = kEndRecordSize + kLocalHeaderSize + kCentralHeaderSize + 2 * dexName.size();
    for (const Entry& e : entries) used += kLocalHeaderSize + kCentralHeaderSize + 2 * e.name.size() + e.data.size();
    if (total < used + 8) tools::Options::Fail("size too small for the package's entries");
    entries.insert(entries.begin() + 1, {dexName, RandomBytes(generator, total - used, std::string("dex\n035\0", 8))});

    Writer zip;
    for (Entry& e : entries) {
        e.crc = Crc32(e.data);
        e.offset = static_cast<std::uint32_t>(zip.bytes.size());
        zip.U32(0x04034b50);
        zip.U16(10);  // version needed: 1.0, stored entries
        zip.U16(0);   // flags
        zip.U16(0);   // method: stored
        zip.U16(kDosTime);
        zip.U16(kDosDate);
        zip.U32(e.crc);
        zip.U32(static_cast<std::uint32_t>(e.data.size()));
        zip.U32(static_cast<std::uint32_t>(e.data.size()));
        zip.U16(static_cast<std::uint32_t>(e.name.size()));
        zip.U16(0);
        zip.Text(e.name);
        zip.Bytes(e.data);
    }
    const std::uint32_t directoryOffset = static_cast<std::uint32_t>(zip.bytes.size());
    for (const Entry& e : entries) {
        zip.U32(0x02014b50);
        zip.U16(0x031E);  // made by: Unix, 3.0
        zip.U16(10);
        zip.U16(0);
        zip.U16(0);
        zip.U16(kDosTime);
        zip.U16(kDosDate);
        zip.U32(e.crc);
        zip.U32(static_cast<std::uint32_t>(e.data.size()));
        zip.U32(static_cast<std::uint32_t>(e.data.size()));
        zip.U16(static_cast<std::uint32_t>(e.name.size()));
        zip.U16(0);  // extra field
        zip.U16(0);  // comment
        zip.U16(0);  // disk
        zip.U16(0);  // internal attributes
        zip.U32(0100644u << 16);
        zip.U32(e.offset);
        zip.Text(e.name);
    }
    const std::uint32_t directorySize = static_cast<std::uint32_t>(zip.bytes.size()) - directoryOffset;
    zip.U32(0x06054b50);
    zip.U16(0);
    zip.U16(0);
    zip.U16(static_cast<std::uint32_t>(entries.size()));
    zip.U16(static_cast<std::uint32_t>(entries.size()));
    zip.U32(directorySize);
    zip.U32(directoryOffset);
    zip.U16(0);

    if (zip.bytes.size() != total) tools::Options::Fail("internal error: package size " + std::to_string(zip.bytes.size()));
    tools::WriteFile(options.Get("--out"), zip.bytes);
    return 0;
}
