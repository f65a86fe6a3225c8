// Locating the carried panel application package.
#include "images/PanelImage.h"

bool CPufPanelImage::Load(unsigned id, const wchar_t* type) {
    const std::optional<ResourceBytes> resource = m_resources.Find(id, type);
    if (!resource) return false;
    if (resource->size != 0 && resource->data != nullptr) {
        m_pData = resource->data;
        m_nSize = resource->size;
    }
    return true;
}
