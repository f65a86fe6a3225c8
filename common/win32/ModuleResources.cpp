// FindResourceW/LoadResource/LockResource/SizeofResource and LoadStringW on one module.
#include "common/win32/ModuleResources.h"

#include <cstdint>
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

bool ModuleResources::LoadInLanguage(unsigned id, std::wstring& text) const {
    // Strings are stored sixteen to a block; block n holds ids 16(n-1) to 16n-1, each a length
    // and that many UTF-16 code units.
    constexpr unsigned kPerBlock = 16;
    HRSRC info = ::FindResourceExW(m_module, MAKEINTRESOURCEW(6) /* RT_STRING */,
                                   MAKEINTRESOURCEW(id / kPerBlock + 1), m_language);
    if (!info) return false;
    HGLOBAL loaded = ::LoadResource(m_module, info);
    const auto* data = static_cast<const std::uint8_t*>(loaded ? ::LockResource(loaded) : nullptr);
    if (!data) return false;
    const DWORD size = ::SizeofResource(m_module, info);
    std::size_t at = 0;
    for (unsigned index = 0; index < kPerBlock; ++index) {
        if (at + 2 > size) return false;
        const std::size_t length = data[at] | (data[at + 1] << 8);
        at += 2;
        if (at + length * 2 > size) return false;
        if (index == id % kPerBlock) {
            if (length == 0) return false;
            text.resize(length);
            for (std::size_t i = 0; i < length; ++i) {
                text[i] = static_cast<wchar_t>(data[at + 2 * i] | (data[at + 2 * i + 1] << 8));
            }
            return true;
        }
        at += length * 2;
    }
    return false;
}

bool ModuleResources::Load(unsigned id, std::wstring& text) const {
    if (m_language != 0 && LoadInLanguage(id, text)) return true;
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
