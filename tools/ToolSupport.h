// Small helpers shared by the product-data tools: arguments, files and a repeatable generator.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace tools {

// "--name value" pairs; a missing required option ends the tool with a message.
class Options {
public:
    Options(int argc, char** argv) {
        for (int i = 1; i + 1 < argc; i += 2) m_values[argv[i]] = argv[i + 1];
        if (argc % 2 == 0) Fail(std::string("option without a value: ") + argv[argc - 1]);
    }
    std::string Get(const std::string& name) const {
        const auto it = m_values.find(name);
        if (it == m_values.end()) Fail("missing option " + name);
        return it->second;
    }
    std::string Get(const std::string& name, const std::string& fallback) const {
        const auto it = m_values.find(name);
        return it == m_values.end() ? fallback : it->second;
    }
    std::uint64_t Number(const std::string& name) const { return std::strtoull(Get(name).c_str(), nullptr, 0); }

    [[noreturn]] static void Fail(const std::string& message) {
        std::fprintf(stderr, "error: %s\n", message.c_str());
        std::exit(2);
    }

private:
    std::map<std::string, std::string> m_values;
};

inline void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) Options::Fail("cannot write " + path);
}

inline std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) Options::Fail("cannot read " + path);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// xorshift64*: the same bytes for the same seed on every machine, so both build trees embed
// identical images.
class ByteGenerator {
public:
    explicit ByteGenerator(std::uint64_t seed) : m_state(seed ? seed : 0x9E3779B97F4A7C15ull) {}
    void Fill(std::uint8_t* out, std::size_t count) {
        for (std::size_t i = 0; i < count; i += 8) {
            m_state ^= m_state >> 12;
            m_state ^= m_state << 25;
            m_state ^= m_state >> 27;
            std::uint64_t word = m_state * 0x2545F4914F6CDD1Dull;
            for (std::size_t j = 0; j < 8 && i + j < count; ++j, word >>= 8) out[i + j] = static_cast<std::uint8_t>(word);
        }
    }

private:
    std::uint64_t m_state;
};

}  // namespace tools
