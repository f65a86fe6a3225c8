// Reading the maker's print-management software's DeviceInfo.xml: the printers its user registered.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/ModelInfo.h"
#include "discovery/PrinterInfo.h"

// The most entries one DeviceInfo.xml adds to the list of printers. The list is for a person to
// pick one printer from, and a site registers a few dozen printers of a series at most; a
// thousand rows still fill the list at once and cost well under a megabyte, while a damaged or
// generated file of millions of blocks can neither flood the list nor hold the search up.
constexpr int kMostRegisteredPrinters = 1000;

// Appends the contents of every element `tag` in `text` to `contents`; the number appended.
// Plain, case-sensitive text search: "<tag" followed by a space (attributes, up to the next '>')
// or by '>' opens the element, its content runs to the first "</tag>" after it, and the search
// goes on from the content's start, so a same-named element nested inside is found as well (and
// the contents then overlap). An element without its closing tag has no content. Entities are
// left as written and nothing is trimmed.
int FindXmlElements(std::wstring_view text, std::vector<std::wstring>& contents, std::wstring_view tag);

// The first content of the element `tag` in `text`, else empty.
std::wstring GetXmlElement(std::wstring_view text, std::wstring_view tag);

// Appends one CPrinterInfo per usable DeviceInfo block of `text` whose strLongModelName `models`
// serves (a name that ends with one of its models; every model when null) to `list`, in file
// order, and at most `most` of them: the reading stops once that many are appended. A block is a
// network printer when its ePortType is empty or 0 (it needs a uchIP other than 0), a USB printer
// when it is 1 (it needs a strUSBPortName), and skipped otherwise. The blocks are read one at a
// time in place; only the fields of appended entries are copied.
//
// Returns the number of usable blocks read, those of models refused included, so that a file
// that registers printers, supported or not, tells so by a result above 0 (a caller that moves
// on to another file only when this one registers nothing). Running out of memory ends the
// reading with the entries appended so far.
int ParseDeviceInfoXml(std::wstring_view text, CPrinterInfoList& list, const IModelInfo* models = nullptr,
                       int most = kMostRegisteredPrinters);

// UTF-8 to UTF-16 in pieces as they come: the text of all pieces fed is the same as Utf8FileText
// of them joined. A sequence cut by the end of a piece is completed by the next one.
class Utf8Decoder {
public:
    // Appends to `out`, which must outlive the decoder.
    explicit Utf8Decoder(std::wstring& out) : m_out(out) {}

    // Decodes the next bytes. False once a zero byte has ended the text; what follows it, in this
    // piece or later ones, is not read.
    bool Feed(std::string_view bytes);
    // The input has ended: a sequence left incomplete becomes U+FFFD.
    void Finish();

private:
    void Replace() {
        m_out.push_back(static_cast<wchar_t>(0xFFFD));
        m_atStart = false;
    }
    void Append(char32_t c);

    std::wstring& m_out;
    bool m_ended = false;
    bool m_atStart = true;  // no character decoded yet: a U+FEFF here is the byte-order mark
    int m_need = 0;         // continuation bytes still missing of the sequence under way
    char32_t m_code = 0;
    unsigned char m_low = 0x80;  // the range the next continuation byte must lie in
    unsigned char m_high = 0xBF;
};

// The whole file content as UTF-16, from UTF-8 with or without a byte-order mark. A zero byte
// ends the text; malformed UTF-8 becomes U+FFFD. The result is UTF-16 code units on every build,
// so a character outside the basic plane is a surrogate pair even where wchar_t has 32 bits.
std::wstring Utf8FileText(std::string_view bytes);
