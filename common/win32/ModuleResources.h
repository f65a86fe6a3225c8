// Resources and the string table of a loaded module (by default the program's own).
#pragma once

#include <windows.h>

#include "common/Resources.h"
#include "common/StringTable.h"

class ModuleResources final : public IResourceSource, public IStringTable {
public:
    explicit ModuleResources(HMODULE module = ::GetModuleHandleW(nullptr)) : m_module(module) {}

    std::optional<ResourceBytes> Find(unsigned id, std::wstring_view type) const override;

    // The string in the thread's user-interface language, as the resource lookup picks it.
    bool Load(unsigned id, std::wstring& text) const override;

private:
    HMODULE m_module;
};
