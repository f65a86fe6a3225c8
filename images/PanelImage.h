// The operation-panel application package carried as resource FIRMWARE/221, used in place.
#pragma once

#include <cstdint>

#include "common/Resources.h"

class CPufPanelImage {
public:
    explicit CPufPanelImage(const IResourceSource& resources) : m_resources(resources) {}
    virtual ~CPufPanelImage() = default;
    CPufPanelImage(const CPufPanelImage&) = delete;
    CPufPanelImage& operator=(const CPufPanelImage&) = delete;

    // Finds resource (id, type) and points at it. False only when the resource cannot be
    // found, loaded or locked; a resource of size 0 leaves both members as they were.
    bool Load(unsigned id, const wchar_t* type);

    // The package bytes inside the module's resource memory: never owned, never freed.
    const std::uint8_t* m_pData = nullptr;
    std::uint32_t m_nSize = 0;

private:
    const IResourceSource& m_resources;
};
