// DeviceInfo.xml: plain text search for elements, and the printer records built from them.
//
// The file belongs to other software and is read with plain text search, not an XML parser:
// "<tag" followed by a space or '>' opens an element, its content runs to the first "</tag>"
// after it, and the search goes on from the start of each content, so nested same-named
// elements are found too. Every search remembers its last answer, so that one pass over a text
// costs a few scans of it whatever the file holds; a naive search for each closing tag from each
// content start would take time quadratic in the number of unclosed opening tags.
#include "discovery/DeviceInfoXml.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>

#include "common/Text.h"

namespace {

constexpr std::size_t npos = std::wstring_view::npos;

// Finds `needle` at or after a position. The last answer is kept: a query that starts at or after
// the last search's start and not beyond its answer has the same answer, so the rising queries of
// one pass scan the text once. npos is the largest position, so "none after here" is kept too.
class MemoFind {
public:
    MemoFind(std::wstring_view text, std::wstring_view needle) : m_text(text), m_needle(needle) {}

    std::size_t From(std::size_t from) {
        if (m_searched && from >= m_from && from <= m_found) return m_found;
        m_searched = true;
        m_from = from;
        m_found = m_text.find(m_needle, from);
        return m_found;
    }

private:
    std::wstring_view m_text;
    std::wstring_view m_needle;
    bool m_searched = false;
    std::size_t m_from = 0;
    std::size_t m_found = npos;
};

// The elements of one tag name in a whole text. Queries may be limited to a part of the text that
// ends at `end` (the content of an enclosing element); the answers are those a search of that part
// alone would give.
class ElementScanner {
public:
    ElementScanner(std::wstring_view text, std::wstring_view tag)
        : m_text(text),
          m_open(L"<" + std::wstring(tag)),
          m_close(L"</" + std::wstring(tag) + L">"),
          m_closeFind(m_text, m_close),
          m_gtFind(m_text, L">") {}
    // The finders look into the scanner's own tag texts.
    ElementScanner(const ElementScanner&) = delete;
    ElementScanner& operator=(const ElementScanner&) = delete;

    // Where the content of the first element opened at or after `from` starts, or npos when no
    // opening tag ends before `end`.
    std::size_t NextContentStart(std::size_t from, std::size_t end) {
        const std::size_t open = OpenTagFrom(from);
        if (open == npos) return npos;
        const std::size_t after = open + m_open.size();
        // The character that decides must lie in the part too; otherwise the part ends the name.
        if (after >= end) return npos;
        if (m_text[after] == L'>') return after + 1;
        const std::size_t gt = m_gtFind.From(after + 1);
        if (gt == npos || gt >= end) return npos;
        return gt + 1;
    }

    // Where the content starting at `start` ends (its closing tag), or npos when no closing tag
    // after it ends by `end`.
    std::size_t ContentEnd(std::size_t start, std::size_t end) {
        const std::size_t close = m_closeFind.From(start);
        if (close == npos || close > end || end - close < m_close.size()) return npos;
        return close;
    }

    // Calls `take` with each content in [from, end), in the order the opening tags come, while
    // it returns true.
    template <typename Take>
    void ForEach(std::size_t from, std::size_t end, Take take) {
        std::size_t pos = from;
        for (;;) {
            const std::size_t start = NextContentStart(pos, end);
            if (start == npos) return;
            const std::size_t close = ContentEnd(start, end);
            if (close != npos && !take(m_text.substr(start, close - start))) return;
            pos = start;
        }
    }

    // The first content in [from, end). When the first opening tag there has no closing tag,
    // no later one has either: it would have to lie after the first one's content start.
    std::optional<std::wstring_view> First(std::size_t from, std::size_t end) {
        const std::size_t start = NextContentStart(from, end);
        if (start == npos) return std::nullopt;
        const std::size_t close = ContentEnd(start, end);
        if (close == npos) return std::nullopt;
        return m_text.substr(start, close - start);
    }

private:
    // The first "<tag" at or after `from` followed by a space or '>'; anything else after the name
    // (a longer name, '/', a tab, a line break) is not this element and is searched past.
    std::size_t OpenTagFrom(std::size_t from) {
        if (m_openSearched && from >= m_openFrom && from <= m_openFound) return m_openFound;
        m_openSearched = true;
        m_openFrom = from;
        std::size_t pos = from;
        for (;;) {
            const std::size_t open = m_text.find(m_open, pos);
            if (open == npos) break;
            const std::size_t after = open + m_open.size();
            if (after < m_text.size() && (m_text[after] == L' ' || m_text[after] == L'>')) {
                m_openFound = open;
                return open;
            }
            pos = after;
        }
        m_openFound = npos;
        return npos;
    }

    std::wstring_view m_text;
    std::wstring m_open;
    std::wstring m_close;
    MemoFind m_closeFind;
    MemoFind m_gtFind;
    bool m_openSearched = false;
    std::size_t m_openFrom = 0;
    std::size_t m_openFound = npos;
};

// ntohl of the number as the file stores it: its least significant byte is the first octet,
// whatever the byte order of the machine reading it.
std::uint32_t AddressFromFileNumber(std::int32_t number) {
    const auto n = static_cast<std::uint32_t>(number);
    return (n & 0xFFu) << 24 | (n & 0xFF00u) << 8 | (n >> 8 & 0xFF00u) | n >> 24;
}

void AppendUtf16(std::wstring& out, char32_t c) {
    if (c < 0x10000) {
        out.push_back(static_cast<wchar_t>(c));
        return;
    }
    c -= 0x10000;
    out.push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
}

}  // namespace

int FindXmlElements(std::wstring_view text, std::vector<std::wstring>& contents, std::wstring_view tag) {
    int count = 0;
    ElementScanner(text, tag).ForEach(0, text.size(), [&](std::wstring_view content) {
        contents.emplace_back(content);
        ++count;
        return true;
    });
    return count;
}

std::wstring GetXmlElement(std::wstring_view text, std::wstring_view tag) {
    return std::wstring(ElementScanner(text, tag).First(0, text.size()).value_or(std::wstring_view()));
}

int ParseDeviceInfoXml(std::wstring_view text, CPrinterInfoList& list, const IModelInfo* models, int most) {
    int usable = 0;
    if (text.empty()) return 0;

    // Nested blocks share their fields, so their records could hold text quadratic in the file's
    // length. Blocks that do not nest hold at most four stored fields of their own text each, so
    // a file past this budget is not one the print-management software wrote: reading stops there.
    constexpr std::size_t kFieldsPerBlock = 4;
    const std::size_t storeBudget = text.size() > std::numeric_limits<std::size_t>::max() / kFieldsPerBlock
                                        ? std::numeric_limits<std::size_t>::max()
                                        : text.size() * kFieldsPerBlock;
    std::size_t stored = 0;
    int appended = 0;

    try {
        // The fields are searched in the whole text, limited to each block; one scanner per field
        // keeps nested or unclosed blocks from rescanning the text once per block.
        ElementScanner blocks(text, L"DeviceInfo");
        ElementScanner nickNames(text, L"strNickName");
        ElementScanner modelNames(text, L"strLongModelName");
        ElementScanner serials(text, L"strSerialNum");
        ElementScanner portTypes(text, L"ePortType");
        ElementScanner usbPorts(text, L"strUSBPortName");
        ElementScanner addresses(text, L"uchIP");

        blocks.ForEach(0, text.size(), [&](std::wstring_view block) {
            const auto from = static_cast<std::size_t>(block.data() - text.data());
            const std::size_t end = from + block.size();
            auto field = [&](ElementScanner& scanner) {
                return scanner.First(from, end).value_or(std::wstring_view());
            };

            const std::wstring_view portType = field(portTypes);
            const std::int32_t port = portType.empty() ? CPrinterInfo::kNetwork : text::ReadLong(portType, 10);

            std::wstring_view usbPort;
            std::int32_t address = 0;
            if (port == CPrinterInfo::kUsb) {
                usbPort = field(usbPorts);
                if (usbPort.empty()) return true;
            } else if (port == CPrinterInfo::kNetwork) {
                const std::wstring_view addressText = field(addresses);
                if (addressText.empty()) return true;
                address = text::ReadLong(addressText, 10);
                if (address == 0) return true;
            } else {
                return true;
            }

            // Counted as read: a block refused for its model, and one the bound leaves out (the
            // reading ends there). A block past the store budget is not: the reading ends before it.
            const std::wstring_view model = field(modelNames);
            if (models && !models->IsSupportedModel(model, true)) {
                ++usable;
                return true;
            }
            if (appended >= most) {
                ++usable;
                return false;
            }

            const std::wstring_view nickName = field(nickNames);
            const std::wstring_view serial = field(serials);
            const std::size_t size = nickName.size() + model.size() + serial.size() + usbPort.size();
            if (size > storeBudget - stored) return false;
            stored += size;

            if (port == CPrinterInfo::kUsb) {
                list.Add(std::make_unique<CPrinterInfo>(std::wstring(model), std::wstring(usbPort),
                                                        std::wstring(nickName), std::wstring(serial)));
            } else {
                list.Add(std::make_unique<CPrinterInfo>(std::wstring(model), AddressFromFileNumber(address),
                                                        std::wstring(nickName), std::wstring(), std::wstring(serial)));
            }
            ++appended;
            ++usable;
            return appended < most;
        });
    } catch (const std::bad_alloc&) {
        // Out of memory ends the reading; the printers appended so far stay in the list.
    }
    return usable;
}

// Malformed input becomes U+FFFD, one for each maximal part of a sequence that could still have
// begun a character (the Unicode recommendation, also what Windows' own conversion does).
// Characters outside the basic plane become surrogate pairs whatever the width of wchar_t, so the
// text is the same UTF-16 on every build. The state between two pieces is the sequence under way:
// its value so far, how many bytes it still needs and the range its next byte must lie in.
bool Utf8Decoder::Feed(std::string_view bytes) {
    if (m_ended) return false;
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b == 0) {
            // The file is read into a zero-terminated buffer, so a zero byte ends the text.
            Finish();
            m_ended = true;
            return false;
        }
        if (m_need > 0) {
            if (b >= m_low && b <= m_high) {
                m_code = m_code << 6 | (b & 0x3Fu);
                m_low = 0x80;
                m_high = 0xBF;
                if (--m_need == 0) Append(m_code);
                ++i;
                continue;
            }
            // The sequence breaks off here; this byte starts afresh.
            m_need = 0;
            Replace();
        }
        ++i;
        if (b < 0x80) {
            m_out.push_back(static_cast<wchar_t>(b));
            m_atStart = false;
            // The rest of a run of ASCII without the state machine.
            while (i < n) {
                const auto next = static_cast<unsigned char>(bytes[i]);
                if (next == 0 || next >= 0x80) break;
                m_out.push_back(static_cast<wchar_t>(next));
                ++i;
            }
            continue;
        }
        m_low = 0x80;
        m_high = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            m_need = 1;
            m_code = b & 0x1Fu;
        } else if (b >= 0xE0 && b <= 0xEF) {
            m_need = 2;
            m_code = b & 0x0Fu;
            if (b == 0xE0) m_low = 0xA0;   // no overlong forms
            if (b == 0xED) m_high = 0x9F;  // no surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            m_need = 3;
            m_code = b & 0x07u;
            if (b == 0xF0) m_low = 0x90;   // no overlong forms
            if (b == 0xF4) m_high = 0x8F;  // nothing above U+10FFFF
        } else {
            Replace();
        }
    }
    return true;
}

void Utf8Decoder::Finish() {
    if (m_ended || m_need == 0) return;
    m_need = 0;
    Replace();
}

void Utf8Decoder::Append(char32_t c) {
    // A byte-order mark may only open the file, and is no part of the text.
    const bool mark = m_atStart && c == 0xFEFF;
    m_atStart = false;
    if (!mark) AppendUtf16(m_out, c);
}

std::wstring Utf8FileText(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size());  // never more code units than bytes
    Utf8Decoder decoder(out);
    decoder.Feed(bytes);
    decoder.Finish();
    return out;
}
