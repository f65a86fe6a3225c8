// The texts of printer trust.
#include "app/TrustMessages.h"

#include "app/resource.h"

namespace {

constexpr std::size_t kFingerprintLineChars = 16 * 3 - 1;  // "AB:...:CD", sixteen pairs

std::wstring Load(const IStringTable& strings, unsigned id) {
    std::wstring text;
    strings.Load(id, text);
    return text;
}

}  // namespace

std::wstring FormatMessageTexts(const std::wstring& message, std::initializer_list<std::wstring> values) {
    std::wstring text;
    std::size_t from = 0;
    for (const std::wstring& value : values) {
        const std::size_t at = message.find(L"%s", from);
        if (at == std::wstring::npos) break;
        text.append(message, from, at - from);
        text += value;
        from = at + 2;
    }
    text.append(message, from);
    return text;
}

std::wstring PrinterDescription(const PrinterIdentity& printer) {
    std::wstring inside = printer.serial.empty() ? printer.address : printer.serial + L", " + printer.address;
    if (printer.model.empty()) return printer.serial.empty() ? printer.address : inside;
    return printer.model + L" (" + inside + L")";
}

std::wstring ForgetKey(const PrinterIdentity& printer) { return printer.serial.empty() ? printer.address : printer.serial; }

std::wstring FingerprintLines(const CertificateFingerprint& fingerprint) {
    const std::wstring text = FormatFingerprint(fingerprint);
    return text.substr(0, kFingerprintLineChars) + L"\n" + text.substr(kFingerprintLineChars + 1);
}

std::wstring TrustQuestionText(const IStringTable& strings, const PrinterIdentity& printer,
                               const CertificateFingerprint& presented) {
    constexpr wchar_t kUnknown[] = L"--------";
    return FormatMessageTexts(Load(strings, IDS_CERT_QUESTION),
                              {printer.model.empty() ? kUnknown : printer.model,
                               printer.serial.empty() ? kUnknown : printer.serial, printer.address,
                               FingerprintLines(presented)});
}

TrustMessage TrustRefusalMessage(const IStringTable& strings, const CPrinterTrust& trust) {
    using enum VessickExitCode::EXITCODE;
    const PrinterIdentity& printer = trust.Printer();
    switch (trust.Refusal()) {
        case TrustRefusal::kDeclined:
            return {Load(strings, IDS_CERT_DECLINED), MessageIcon::kInformation, CANCELED};
        case TrustRefusal::kChanged:
            return {FormatMessageTexts(Load(strings, IDS_CERT_CHANGED),
                                       {PrinterDescription(printer), FingerprintLines(trust.RememberedFingerprint()),
                                        FingerprintLines(trust.PresentedFingerprint()), ForgetKey(printer)}),
                    MessageIcon::kStop, INSTALL_FAILED};
        case TrustRefusal::kPlainAfterTls:
            return {FormatMessageTexts(Load(strings, IDS_PLAIN_AFTER_TLS), {PrinterDescription(printer), ForgetKey(printer)}),
                    MessageIcon::kStop, INSTALL_FAILED};
        case TrustRefusal::kNoCertificate:
        case TrustRefusal::kNone:
            break;
    }
    return {Load(strings, IDS_CERT_MISSING), MessageIcon::kStop, INSTALL_FAILED};
}

TrustMessage ForgetPrinter(const IStringTable& strings, CCertificateMemory& memory, std::wstring_view key) {
    const std::wstring printer(key);
    const auto forgotten = memory.Forget(key);
    if (!forgotten) {
        return {FormatMessageTexts(Load(strings, IDS_CERT_FORGET_FAILED), {memory.Location()}), MessageIcon::kStop,
                VessickExitCode::INSTALL_FAILED};
    }
    if (forgotten->empty()) {
        return {FormatMessageTexts(Load(strings, IDS_CERT_NOT_REMEMBERED), {printer}), MessageIcon::kInformation,
                VessickExitCode::SUCCESS};
    }
    // Named as the entries describe it: the model and the other half of serial and address.
    const RememberedCertificate& entry = forgotten->back();
    const PrinterIdentity described{entry.serial, entry.address, entry.model, {}};
    return {FormatMessageTexts(Load(strings, IDS_CERT_FORGOTTEN), {PrinterDescription(described)}),
            MessageIcon::kInformation, VessickExitCode::SUCCESS};
}
