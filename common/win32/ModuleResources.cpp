// FindResourceW/LoadResource/LockResource/SizeofResource and LoadStringW on one module.
#include "common/win32/ModuleResources.h"

#include <string>

std::optional<ResourceBytes> ModuleResources::Find(unsigned id, std::wstring_view type) const {
    const std::wstring typeName(type);
    HRSRC info = ::FindResourceW(m_module, MAKEINTRESOURCEW(id), typeName.c_str());
    if (!info) return std::nullopt;
    HGLOBAL loaded = ::LoadResource(m_module, info);
    if (!loaded) return std::nullopt;
    const void* data = ::LockResource(loaded);
    if (!data) return std::nullopt;
    return ResourceBytes{static_cast<const std::uint8_t*>(data), static_cast<std::uint32_t>(::SizeofResource(m_module, info))};
}

bool ModuleResources::Load(unsigned id, std::wstring& text) const {
    // With a zero buffer size LoadStringW hands out a pointer into the resource itself.
    const wchar_t* resource = nullptr;
    const int length = ::LoadStringW(m_module, id, reinterpret_cast<LPWSTR>(&resource), 0);
    if (length <= 0 || !resource) {
        text.clear();
        return false;
    }
    text.assign(resource, static_cast<std::size_t>(length));
    return true;
}
