// Resources and the string table of a loaded module (by default the program's own).
#pragma once

#include <windows.h>

#include "common/Resources.h"
#include "common/StringTable.h"

class ModuleResources final : public IResourceSource, public IStringTable {
public:
    explicit ModuleResources(HMODULE module = ::GetModuleHandleW(nullptr)) : m_module(module) {}
    // Strings in `language` (a MAKELANGID value) where the module has them in it, as the thread's
    // user-interface language picks them elsewhere (strings of no language, say).
    ModuleResources(HMODULE module, LANGID language) : m_module(module), m_language(language) {}

    std::optional<ResourceBytes> Find(unsigned id, std::wstring_view type) const override;

    // The string in the table's language, or else in the thread's user-interface language, as
    // the resource lookup picks it.
    bool Load(unsigned id, std::wstring& text) const override;

private:
    bool LoadInLanguage(unsigned id, std::wstring& text) const;

    HMODULE m_module;
    LANGID m_language = 0;  // 0: the thread's
};

// The program's strings in English, whatever language its user reads.
inline ModuleResources EnglishModuleStrings(HMODULE module = ::GetModuleHandleW(nullptr)) {
    return ModuleResources(module, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
}
