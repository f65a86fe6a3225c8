// The texts of printer trust.
#include "app/TrustMessages.h"

#include "app/resource.h"

namespace {

constexpr std::size_t kFingerprintLineChars = 16 * 3 - 1;  // "AB:...:CD", sixteen pairs
constexpr std::size_t kLongestShown = 64;

// Text from the printer or the network as a message shows it: on one line (a line end could draw
// lines of its own into the question), and not longer than any model or serial really is.
std::wstring Shown(std::wstring_view text) {
    std::wstring shown(text.substr(0, kLongestShown));
    for (wchar_t& c : shown) {
        if (c < 0x20 || c == 0x7F) c = L'?';
    }
    if (text.size() > kLongestShown) shown += L"...";
    return shown;
}

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
    const std::wstring serial = Shown(printer.serial);
    const std::wstring model = Shown(printer.model);
    const std::wstring inside = serial.empty() ? printer.address : serial + L", " + printer.address;
    if (model.empty()) return serial.empty() ? printer.address : inside;
    return model + L" (" + inside + L")";
}

std::wstring FingerprintLines(const CertificateFingerprint& fingerprint) {
    const std::wstring text = FormatFingerprint(fingerprint);
    return text.substr(0, kFingerprintLineChars) + L"\n" + text.substr(kFingerprintLineChars + 1);
}

std::wstring TrustQuestionText(const IStringTable& strings, const PrinterIdentity& printer,
                               const CertificateFingerprint& presented) {
    constexpr wchar_t kUnknown[] = L"--------";
    const std::wstring model = Shown(printer.model);
    const std::wstring serial = Shown(printer.serial);
    return FormatMessageTexts(Load(strings, IDS_CERT_QUESTION), {model.empty() ? kUnknown : model,
                                                                  serial.empty() ? kUnknown : serial, printer.address,
                                                                  FingerprintLines(presented)});
}

namespace {

// What the printer was left with: nothing, or update mode.
std::wstring StateText(const IStringTable& strings, bool updateModeEntered) {
    return Load(strings, updateModeEntered ? IDS_TRUST_IN_UPDATE_MODE : IDS_TRUST_NOTHING_SENT);
}

}  // namespace

TrustMessage CertificateMissingMessage(const IStringTable& strings, bool updateModeEntered) {
    return {FormatMessageTexts(Load(strings, IDS_CERT_MISSING), {StateText(strings, updateModeEntered)}),
            MessageIcon::kStop, VessickExitCode::INSTALL_FAILED, IDS_CERT_MISSING};
}

TrustMessage TrustRefusalMessage(const IStringTable& strings, const CPrinterTrust& trust, bool updateModeEntered) {
    using enum VessickExitCode::EXITCODE;
    const PrinterIdentity& printer = trust.Printer();
    const std::wstring state = StateText(strings, updateModeEntered);
    const std::wstring key = trust.ForgetKey().empty() ? ForgetKeyOf(printer) : trust.ForgetKey();
    switch (trust.Refusal()) {
        case TrustRefusal::kDeclined:
            return {FormatMessageTexts(Load(strings, IDS_CERT_DECLINED), {state}), MessageIcon::kInformation, CANCELED,
                    IDS_CERT_DECLINED};
        case TrustRefusal::kChanged:
            return {FormatMessageTexts(Load(strings, IDS_CERT_CHANGED),
                                       {PrinterDescription(printer), state, FingerprintLines(trust.RememberedFingerprint()),
                                        FingerprintLines(trust.PresentedFingerprint()), Shown(key)}),
                    MessageIcon::kStop, INSTALL_FAILED, IDS_CERT_CHANGED};
        case TrustRefusal::kPlainAfterTls:
            return {FormatMessageTexts(Load(strings, IDS_PLAIN_AFTER_TLS), {PrinterDescription(printer), state, Shown(key)}),
                    MessageIcon::kStop, INSTALL_FAILED, IDS_PLAIN_AFTER_TLS};
        case TrustRefusal::kMemoryUnreadable:
            return {FormatMessageTexts(Load(strings, IDS_CERT_FILE_UNREADABLE), {state, trust.MemoryLocation()}),
                    MessageIcon::kStop, INSTALL_FAILED, IDS_CERT_FILE_UNREADABLE};
        case TrustRefusal::kNoCertificate:
        case TrustRefusal::kNone:
            break;
    }
    return CertificateMissingMessage(strings, updateModeEntered);
}

TrustMessage ForgetPrinter(const IStringTable& strings, CCertificateMemory& memory, std::wstring_view key) {
    const auto forgotten = memory.Forget(key);
    if (!forgotten) {
        return {FormatMessageTexts(Load(strings, IDS_CERT_FORGET_FAILED), {memory.Location()}), MessageIcon::kStop,
                VessickExitCode::INSTALL_FAILED, IDS_CERT_FORGET_FAILED};
    }
    if (forgotten->empty()) {
        return {FormatMessageTexts(Load(strings, IDS_CERT_NOT_REMEMBERED), {L"\"" + Shown(key) + L"\""}),
                MessageIcon::kInformation, VessickExitCode::SUCCESS, IDS_CERT_NOT_REMEMBERED};
    }
    // Each printer as its entry describes it: the model and the other half of serial and address.
    std::wstring printers;
    for (const RememberedCertificate& entry : *forgotten) {
        if (!printers.empty()) printers += L", ";
        printers += PrinterDescription(PrinterIdentity{entry.serial, entry.address, entry.model, {}});
    }
    return {FormatMessageTexts(Load(strings, IDS_CERT_FORGOTTEN), {printers}), MessageIcon::kInformation,
            VessickExitCode::SUCCESS, IDS_CERT_FORGOTTEN};
}
