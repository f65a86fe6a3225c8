// The string table of the program: configuration values and user-visible messages by id.
#pragma once

#include <initializer_list>
#include <map>
#include <string>
#include <utility>

class IStringTable {
public:
    virtual ~IStringTable() = default;

    // Loads string `id` in the user-interface language into `text`. Returns false, and leaves
    // `text` empty, when the table holds no such string (an empty entry counts as missing: the
    // resource compiler cannot store one). Reads the table every time; nothing is cached.
    virtual bool Load(unsigned id, std::wstring& text) const = 0;
};

// A string table held in memory, for tests and tools.
class MapStringTable : public IStringTable {
public:
    MapStringTable() = default;
    MapStringTable(std::initializer_list<std::pair<const unsigned, std::wstring>> entries) : m_entries(entries) {}

    void Set(unsigned id, std::wstring text) { m_entries[id] = std::move(text); }
    void Remove(unsigned id) { m_entries.erase(id); }

    bool Load(unsigned id, std::wstring& text) const override {
        const auto it = m_entries.find(id);
        if (it == m_entries.end() || it->second.empty()) {
            text.clear();
            return false;
        }
        text = it->second;
        return true;
    }

private:
    std::map<unsigned, std::wstring> m_entries;
};
