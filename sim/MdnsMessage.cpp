// DNS messages of the mDNS responder (RFC 1035 layout, RFC 6762 meaning of the class top bit).
// Queries come from anyone, so reading them checks every length and follows at most a few
// compression pointers.
#include "sim/MdnsMessage.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace sim {
namespace {

using Labels = std::vector<std::string>;

constexpr std::uint16_t kClassIn = 1;
constexpr std::uint16_t kClassAny = 255;
constexpr std::uint16_t kTopBit = 0x8000;  // questions: unicast response; records: cache flush
constexpr std::uint16_t kResponseFlags = 0x8400;  // response, authoritative
constexpr std::uint32_t kHostTtl = 120;           // records that name a host (SRV, A)
constexpr std::uint32_t kOtherTtl = 4500;
constexpr std::uint32_t kLegacyTtl = 10;
constexpr int kMaxPointers = 16;

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

Labels ServiceLabels() { return {"_pdl-datastream", "_tcp", "local"}; }

Labels InstanceLabels(const MdnsRecords& records) {
    Labels labels = ServiceLabels();
    labels.insert(labels.begin(), records.instance);
    return labels;
}

Labels HostLabels(const MdnsRecords& records) { return {records.host, "local"}; }

std::uint16_t Read16(std::span<const std::uint8_t> data, std::size_t at) {
    return static_cast<std::uint16_t>(data[at] << 8 | data[at + 1]);
}

// Reads the name at `pos` as lower-case labels and moves `pos` past it; false when it runs past
// the end, has a label longer than 63 bytes or follows too many pointers.
bool ReadName(std::span<const std::uint8_t> data, std::size_t& pos, Labels& labels) {
    labels.clear();
    std::size_t at = pos;
    bool jumped = false;
    for (int pointers = 0;;) {
        if (at >= data.size()) return false;
        const std::uint8_t length = data[at];
        if (length == 0) {
            if (!jumped) pos = at + 1;
            return true;
        }
        if ((length & 0xC0) == 0xC0) {
            if (at + 1 >= data.size() || ++pointers > kMaxPointers) return false;
            if (!jumped) pos = at + 2;
            jumped = true;
            at = static_cast<std::size_t>(length & 0x3F) << 8 | data[at + 1];
            continue;
        }
        if (length > 63 || at + 1 + length > data.size()) return false;
        labels.push_back(Lower(std::string_view(reinterpret_cast<const char*>(data.data() + at + 1), length)));
        at += 1 + length;
    }
}

// Writes big-endian fields and names, each name compressed against the names written before.
class Writer {
public:
    void U8(std::uint8_t value) { m_out.push_back(value); }
    void U16(std::uint16_t value) {
        U8(static_cast<std::uint8_t>(value >> 8));
        U8(static_cast<std::uint8_t>(value));
    }
    void U32(std::uint32_t value) {
        U16(static_cast<std::uint16_t>(value >> 16));
        U16(static_cast<std::uint16_t>(value));
    }
    void Bytes(const void* data, std::size_t size) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        m_out.insert(m_out.end(), bytes, bytes + size);
    }
    std::size_t Size() const { return m_out.size(); }
    void Patch16(std::size_t at, std::uint16_t value) {
        m_out[at] = static_cast<std::uint8_t>(value >> 8);
        m_out[at + 1] = static_cast<std::uint8_t>(value);
    }

    // Labels until the rest of the name was written before, then a pointer to it.
    void Name(const Labels& labels) {
        for (std::size_t i = 0; i < labels.size(); ++i) {
            Labels suffix;
            for (std::size_t j = i; j < labels.size(); ++j) suffix.push_back(Lower(labels[j]));
            for (const auto& [known, offset] : m_suffixes) {
                if (known == suffix) {
                    U16(static_cast<std::uint16_t>(0xC000 | offset));
                    return;
                }
            }
            if (Size() < 0x3FFF) m_suffixes.emplace_back(std::move(suffix), static_cast<std::uint16_t>(Size()));
            U8(static_cast<std::uint8_t>(labels[i].size()));
            Bytes(labels[i].data(), labels[i].size());
        }
        U8(0);
    }

    void Header(std::uint16_t id, std::uint16_t questions, std::uint16_t answers, std::uint16_t additional) {
        U16(id);
        U16(kResponseFlags);
        U16(questions);
        U16(answers);
        U16(0);
        U16(additional);
    }

    // Owner, type, class, TTL and a zero RDLENGTH; returns where RDLENGTH stands, for EndData.
    std::size_t RecordStart(const Labels& owner, std::uint16_t type, std::uint16_t klass, std::uint32_t ttl) {
        Name(owner);
        U16(type);
        U16(klass);
        U32(ttl);
        U16(0);
        return Size() - 2;
    }
    void EndData(std::size_t lengthAt) { Patch16(lengthAt, static_cast<std::uint16_t>(Size() - lengthAt - 2)); }

    std::vector<std::uint8_t> Take() { return std::move(m_out); }

private:
    std::vector<std::uint8_t> m_out;
    std::vector<std::pair<Labels, std::uint16_t>> m_suffixes;
};

struct Classes {
    std::uint16_t shared;  // PTR: many responders may hold it
    std::uint16_t unique;  // SRV, TXT, A: this responder's own, so the cache flush bit
    std::uint32_t hostTtl;
    std::uint32_t otherTtl;
};

Classes ClassesFor(const MdnsReplyForm& form) {
    if (form.legacy) return {kClassIn, kClassIn, kLegacyTtl, kLegacyTtl};
    return {kClassIn, kClassIn | kTopBit, kHostTtl, kOtherTtl};
}

// The header and the repeated question of a legacy answer.
void WriteHeader(Writer& w, const MdnsReplyForm& form, std::uint16_t answers, std::uint16_t additional) {
    w.Header(form.id, form.legacy ? 1 : 0, answers, additional);
    if (form.legacy) {
        w.Name(ServiceLabels());
        w.U16(form.questionType);
        w.U16(kClassIn);
    }
}

void WritePtr(Writer& w, const MdnsRecords& records, const Classes& c) {
    const std::size_t ptr = w.RecordStart(ServiceLabels(), kDnsTypePtr, c.shared, c.otherTtl);
    w.Name(InstanceLabels(records));
    w.EndData(ptr);
}

void WriteSrv(Writer& w, const MdnsRecords& records, const Classes& c) {
    const std::size_t srv = w.RecordStart(InstanceLabels(records), kDnsTypeSrv, c.unique, c.hostTtl);
    w.U16(0);  // priority
    w.U16(0);  // weight
    w.U16(records.port);
    w.Name(HostLabels(records));
    w.EndData(srv);
}

void WriteTxt(Writer& w, const MdnsRecords& records, const Classes& c) {
    const std::size_t txt = w.RecordStart(InstanceLabels(records), kDnsTypeTxt, c.unique, c.otherTtl);
    for (const std::string& text : records.txt) {
        const std::size_t size = std::min<std::size_t>(text.size(), 255);
        w.U8(static_cast<std::uint8_t>(size));
        w.Bytes(text.data(), size);
    }
    if (records.txt.empty()) w.U8(0);  // a TXT record holds at least one string
    w.EndData(txt);
}

void WriteA(Writer& w, const MdnsRecords& records, const Classes& c) {
    const std::size_t a = w.RecordStart(HostLabels(records), kDnsTypeA, c.unique, c.hostTtl);
    w.Bytes(records.address, 4);
    w.EndData(a);
}

}  // namespace

bool IsDnsResponse(std::span<const std::uint8_t> datagram) { return datagram.size() > 2 && (datagram[2] & 0x80); }

std::optional<MdnsQuestion> FindServiceQuestion(std::span<const std::uint8_t> datagram) {
    if (datagram.size() < 12 || IsDnsResponse(datagram)) return std::nullopt;
    if ((datagram[2] & 0x78) != 0) return std::nullopt;  // opcode: only standard queries
    const std::uint16_t questions = Read16(datagram, 4);
    const Labels service = ServiceLabels();
    std::size_t pos = 12;
    Labels name;
    for (std::uint16_t i = 0; i < questions; ++i) {
        if (!ReadName(datagram, pos, name) || pos + 4 > datagram.size()) return std::nullopt;
        const std::uint16_t type = Read16(datagram, pos);
        const std::uint16_t klass = Read16(datagram, pos + 2);
        pos += 4;
        const std::uint16_t plainClass = klass & ~kTopBit;
        if (name == service && (type == kDnsTypePtr || type == kDnsTypeAny) &&
            (plainClass == kClassIn || plainClass == kClassAny)) {
            return MdnsQuestion{Read16(datagram, 0), type, (klass & kTopBit) != 0};
        }
    }
    return std::nullopt;
}

std::vector<std::uint8_t> BuildMdnsAnswer(const MdnsRecords& records, const MdnsReplyForm& form) {
    const Classes c = ClassesFor(form);
    Writer w;
    WriteHeader(w, form, 1, 3);
    WritePtr(w, records, c);
    WriteSrv(w, records, c);
    WriteTxt(w, records, c);
    WriteA(w, records, c);
    return w.Take();
}

std::vector<std::vector<std::uint8_t>> BuildSplitMdnsAnswer(const MdnsRecords& records, const MdnsReplyForm& form) {
    const Classes c = ClassesFor(form);
    std::vector<std::vector<std::uint8_t>> datagrams;
    Writer ptr;
    WriteHeader(ptr, form, 1, 0);
    WritePtr(ptr, records, c);
    datagrams.push_back(ptr.Take());
    Writer service;
    WriteHeader(service, form, 0, 2);
    WriteSrv(service, records, c);
    WriteTxt(service, records, c);
    datagrams.push_back(service.Take());
    Writer address;
    WriteHeader(address, form, 0, 1);
    WriteA(address, records, c);
    datagrams.push_back(address.Take());
    return datagrams;
}

std::vector<std::string> MdnsTxtPadding(int bytes) {
    // Each string is "pNN=" and a value, with its length byte 5 to 256 bytes.
    constexpr int kLeast = 5, kMost = 256;
    std::vector<int> sizes;
    for (int left = bytes; left > 0; left -= sizes.back()) sizes.push_back(std::min(left, kMost));
    if (!sizes.empty() && sizes.back() < kLeast) {
        // The last string borrows from the one before, or is the shortest there is.
        const int missing = kLeast - sizes.back();
        if (sizes.size() > 1) sizes[sizes.size() - 2] -= missing;
        sizes.back() = kLeast;
    }
    std::vector<std::string> strings;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        char key[8];
        std::snprintf(key, sizeof key, "p%02zu=", (i + 1) % 100);
        strings.push_back(key + std::string(static_cast<std::size_t>(sizes[i] - kLeast), 'x'));
    }
    return strings;
}

std::vector<std::uint8_t> BuildMalformedMdnsAnswer(const MdnsRecords& records, const MdnsReplyForm& form) {
    const Classes c = ClassesFor(form);
    Writer w;
    WriteHeader(w, form, 1, 3);
    WritePtr(w, records, c);

    // TXT owned by "loop" followed by a pointer to that very label: "loop.loop.loop..."
    const std::size_t loopAt = w.Size();
    w.U8(4);
    w.Bytes("loop", 4);
    w.U16(static_cast<std::uint16_t>(0xC000 | loopAt));
    w.U16(kDnsTypeTxt);
    w.U16(c.unique);
    w.U32(c.otherTtl);
    w.U16(1);
    w.U8(0);

    // SRV of the instance: its data claims 512 bytes and its target points to the last offset a
    // pointer can name, both far past the end.
    w.Name(InstanceLabels(records));
    w.U16(kDnsTypeSrv);
    w.U16(c.unique);
    w.U32(c.hostTtl);
    w.U16(512);
    w.U16(0);
    w.U16(0);
    w.U16(records.port);
    w.U16(0xFFFF);

    const std::size_t a = w.RecordStart(HostLabels(records), kDnsTypeA, c.unique, c.hostTtl);
    w.Bytes(records.address, 4);
    w.EndData(a);
    return w.Take();
}

}  // namespace sim
