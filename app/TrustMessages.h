// What the user reads about printer certificates: the question about a certificate nobody vouches
// for, the messages that end an installation the trust refused, and what forgetting a printer did.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "app/DialogView.h"
#include "app/ExitCode.h"
#include "common/StringTable.h"
#include "update/CertificateMemory.h"
#include "update/PrinterTrust.h"

struct TrustMessage {
    std::wstring text;
    MessageIcon icon;
    VessickExitCode::EXITCODE exitCode;
    unsigned id = 0;  // the string the message is made from
};

// Each "%s" of `message` in turn replaced by the next of `values`; the rest stay.
std::wstring FormatMessageTexts(const std::wstring& message, std::initializer_list<std::wstring> values);

// The printer as the messages name it: "model (serial, address)", without what is unknown. What
// the printer and the network said is shown on one line and cut at a sensible length.
std::wstring PrinterDescription(const PrinterIdentity& printer);

// A fingerprint over two lines of sixteen bytes each, so that a message box does not break it.
std::wstring FingerprintLines(const CertificateFingerprint& fingerprint);

// The question about `presented`, a certificate of `printer` that no trusted root vouches for.
std::wstring TrustQuestionText(const IStringTable& strings, const PrinterIdentity& printer,
                               const CertificateFingerprint& presented);

// The message that ends an installation whose trust refused the printer (Refusal() not kNone).
// Before update mode it says that nothing was sent; after it, that the printer waits in update
// mode and wants its main power turned off and on.
TrustMessage TrustRefusalMessage(const IStringTable& strings, const CPrinterTrust& trust, bool updateModeEntered);

// The message for a certificate that could not be read, or for no trust at all.
TrustMessage CertificateMissingMessage(const IStringTable& strings, bool updateModeEntered);

// Forgets the printers whose serial or address is `key`, and says so.
TrustMessage ForgetPrinter(const IStringTable& strings, CCertificateMemory& memory, std::wstring_view key);
