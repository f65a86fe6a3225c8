// Binary resources carried inside the program's own module.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct ResourceBytes {
    const std::uint8_t* data = nullptr;  // valid for the life of the module; never freed by readers
    std::uint32_t size = 0;
};

class IResourceSource {
public:
    virtual ~IResourceSource() = default;

    // Finds, loads and locks resource `id` of type `type` in the program's own module. Returns
    // nothing when any of the three steps fails. The bytes stay valid until the module unloads.
    virtual std::optional<ResourceBytes> Find(unsigned id, std::wstring_view type) const = 0;
};

// Resources held in memory, for tests and tools.
class MemoryResources : public IResourceSource {
public:
    void Add(unsigned id, std::wstring type, std::vector<std::uint8_t> bytes) {
        m_items[{id, std::move(type)}] = std::move(bytes);
    }

    std::optional<ResourceBytes> Find(unsigned id, std::wstring_view type) const override {
        const auto it = m_items.find({id, std::wstring(type)});
        if (it == m_items.end()) return std::nullopt;
        return ResourceBytes{it->second.data(), static_cast<std::uint32_t>(it->second.size())};
    }

private:
    std::map<std::pair<unsigned, std::wstring>, std::vector<std::uint8_t>> m_items;
};
