// Test support: the DNS decoder and the query builder.
#include "sim/tests/DnsDecode.h"

#include <cstdio>
#include <set>

namespace simtest {
namespace {

class Reader {
public:
    Reader(std::span<const std::uint8_t> data, DnsMessage& message) : m_data(data), m_message(message) {}

    bool Has(std::size_t at, std::size_t size) const { return at <= m_data.size() && size <= m_data.size() - at; }

    bool U16(std::size_t& at, std::uint16_t& out) {
        if (!Has(at, 2)) return Problem("16-bit field past the end at " + std::to_string(at));
        out = static_cast<std::uint16_t>(m_data[at] << 8 | m_data[at + 1]);
        at += 2;
        return true;
    }

    bool U32(std::size_t& at, std::uint32_t& out) {
        std::uint16_t high = 0, low = 0;
        if (!U16(at, high) || !U16(at, low)) return false;
        out = static_cast<std::uint32_t>(high) << 16 | low;
        return true;
    }

    // The name at `at`; `at` moves past it (past the first pointer when there is one) as long as
    // the name's own bytes are there, even when a pointer of it leads nowhere.
    bool Name(std::size_t& at, std::string& name) {
        name.clear();
        std::size_t pos = at;
        bool jumped = false;
        std::set<std::size_t> visited;
        for (;;) {
            if (!Has(pos, 1)) return Problem("name runs past the end at " + std::to_string(pos));
            visited.insert(pos);  // a pointer back to any byte of this name read so far is a loop
            const std::uint8_t length = m_data[pos];
            if (length == 0) {
                if (!jumped) at = pos + 1;
                return true;
            }
            if ((length & 0xC0) == 0xC0) {
                if (!Has(pos, 2)) return Problem("pointer cut off at " + std::to_string(pos));
                const std::size_t target = static_cast<std::size_t>(length & 0x3F) << 8 | m_data[pos + 1];
                ++m_message.compressionPointers;
                if (!jumped) at = pos + 2;
                jumped = true;
                if (target >= m_data.size()) return Problem("pointer past the end: " + std::to_string(target));
                if (visited.count(target)) return Problem("pointer loop at " + std::to_string(target));
                pos = target;
                continue;
            }
            if ((length & 0xC0) != 0) return Problem("bad label type at " + std::to_string(pos));
            if (!Has(pos + 1, length)) return Problem("label past the end at " + std::to_string(pos));
            if (!name.empty()) name += '.';
            name.append(reinterpret_cast<const char*>(m_data.data() + pos + 1), length);
            pos += 1 + length;
        }
    }

    bool Record(std::size_t& at, DnsRecord& r) {
        const std::size_t start = at;
        if (!Name(at, r.name) && at == start) return false;  // no way past the owner name
        if (!U16(at, r.type) || !U16(at, r.klass) || !U32(at, r.ttl)) return false;
        std::uint16_t length = 0;
        if (!U16(at, length)) return false;
        r.dataOffset = at;
        r.dataLength = length;
        const bool whole = Has(at, length);
        if (!whole) Problem("record data past the end: " + std::to_string(at) + "+" + std::to_string(length));
        std::size_t pos = at;
        switch (r.type) {
            case 1:
                if (length == 4 && whole) {
                    char text[16];
                    std::snprintf(text, sizeof text, "%u.%u.%u.%u", m_data[pos], m_data[pos + 1], m_data[pos + 2],
                                  m_data[pos + 3]);
                    r.address = text;
                } else if (whole) {
                    Problem("A record of " + std::to_string(length) + " bytes");
                }
                break;
            case 12: Name(pos, r.target); break;
            case 33:
                if (U16(pos, r.priority) && U16(pos, r.weight) && U16(pos, r.port)) Name(pos, r.target);
                break;
            case 16:
                while (whole && pos < at + length) {
                    const std::size_t size = m_data[pos];
                    if (pos + 1 + size > at + length) {
                        Problem("TXT string past its record");
                        break;
                    }
                    r.texts.emplace_back(reinterpret_cast<const char*>(m_data.data() + pos + 1), size);
                    pos += 1 + size;
                }
                break;
            default: break;
        }
        if (!whole) return false;
        at += length;
        return true;
    }

    bool Problem(const std::string& what) {
        m_message.problems.push_back(what);
        return false;
    }

private:
    std::span<const std::uint8_t> m_data;
    DnsMessage& m_message;
};

}  // namespace

DnsMessage DecodeDns(std::span<const std::uint8_t> datagram) {
    DnsMessage m;
    Reader reader(datagram, m);
    std::size_t at = 0;
    std::uint16_t counts[4] = {};
    if (!reader.U16(at, m.id) || !reader.U16(at, m.flags)) return m;
    for (std::uint16_t& count : counts) {
        if (!reader.U16(at, count)) return m;
    }
    for (std::uint16_t i = 0; i < counts[0]; ++i) {
        DnsQuestion q;
        const std::size_t before = m.problems.size();
        reader.Name(at, q.name);
        if (m.problems.size() != before || !reader.U16(at, q.type) || !reader.U16(at, q.klass)) return m;
        m.questions.push_back(q);
    }
    std::vector<DnsRecord>* sections[] = {&m.answers, &m.authority, &m.additional};
    for (int s = 0; s < 3; ++s) {
        for (std::uint16_t i = 0; i < counts[s + 1]; ++i) {
            DnsRecord r;
            const bool whole = reader.Record(at, r);
            sections[s]->push_back(r);
            if (!whole) return m;
        }
    }
    if (at != datagram.size()) reader.Problem(std::to_string(datagram.size() - at) + " bytes after the last record");
    return m;
}

std::vector<std::uint8_t> ServiceQuery(std::uint16_t id, std::uint16_t type, std::uint16_t klass, const std::string& name) {
    std::vector<std::uint8_t> q = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t dot = name.find('.', start);
        if (dot == std::string::npos) dot = name.size();
        q.push_back(static_cast<std::uint8_t>(dot - start));
        q.insert(q.end(), name.begin() + static_cast<std::ptrdiff_t>(start), name.begin() + static_cast<std::ptrdiff_t>(dot));
        start = dot + 1;
    }
    q.push_back(0);
    for (std::uint16_t v : {type, klass}) {
        q.push_back(static_cast<std::uint8_t>(v >> 8));
        q.push_back(static_cast<std::uint8_t>(v));
    }
    return q;
}

std::string Hex(std::span<const std::uint8_t> bytes) {
    std::string out;
    char pair[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        out += pair;
    }
    return out;
}

}  // namespace simtest
