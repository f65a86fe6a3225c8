// The file of trusted printer certificates, of any content (it is the user's, and anything may
// have written it): read, looked up, written back. Whatever is read survives a rewrite unchanged,
// entries and other lines alike, and a rewritten file reads back to the same entries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tests/native/fakes/MemoryCertificateFile.h"
#include "update/CertificateMemory.h"

namespace {


bool SameEntries(const std::vector<RememberedCertificate>& a, const std::vector<RememberedCertificate>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].serial != b[i].serial || a[i].address != b[i].address || a[i].model != b[i].model ||
            a[i].sha256 != b[i].sha256 || a[i].der != b[i].der) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const CertificateFileText file = CertificateFileText::Parse(text);
    const std::string written = file.Write();
    const CertificateFileText again = CertificateFileText::Parse(written);
    if (!SameEntries(file.Entries(), again.Entries()) || again.Write() != written) std::abort();

    MemoryCertificateFile store;
    store.content = text;
    CCertificateMemory memory(store);
    const PrinterIdentity printer{L"ZT640-000001", L"10.0.0.2", L"Zentil-640", L""};
    memory.Find(printer);
    memory.Find(PrinterIdentity{L"", L"10.0.0.2", L"", L""});
    memory.Forget(L"10.0.0.2");
    return 0;
}
