// The carried panel application package: located in place, never copied or freed.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "app/resource.h"
#include "common/Resources.h"
#include "images/PanelImage.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr wchar_t kFirmwareType[] = L"FIRMWARE";

const Bytes kPackage = {'P', 'K', 0x03, 0x04, 0x14, 0x00, 0x00, 0x00, 0x08, 0x00, 0xFF, 0x00};

class PanelImageLoad : public testing::Test {
protected:
    bool Load() { return image.Load(IDR_PANEL_IMAGE, kFirmwareType); }
    ResourceBytes Stored() const { return *resources.Find(IDR_PANEL_IMAGE, kFirmwareType); }

    MemoryResources resources;
    CPufPanelImage image{resources};
};

TEST_F(PanelImageLoad, PointsIntoTheResourceWithoutCopying) {
    resources.Add(IDR_PANEL_IMAGE, kFirmwareType, kPackage);
    ASSERT_TRUE(Load());
    EXPECT_EQ(image.m_pData, Stored().data);
    EXPECT_EQ(image.m_nSize, kPackage.size());
    EXPECT_EQ(Bytes(image.m_pData, image.m_pData + image.m_nSize), kPackage);
}

TEST_F(PanelImageLoad, MissingResourceFailsAndChangesNothing) {
    resources.Add(IDR_FIRMWARE_IMAGE, kFirmwareType, kPackage);
    resources.Add(IDR_PANEL_IMAGE, L"OTHER", kPackage);
    EXPECT_FALSE(Load());
    EXPECT_EQ(image.m_pData, nullptr);
    EXPECT_EQ(image.m_nSize, 0u);

    resources.Add(IDR_PANEL_IMAGE, kFirmwareType, kPackage);
    ASSERT_TRUE(Load());
    const std::uint8_t* held = image.m_pData;
    EXPECT_FALSE(image.Load(IDR_PANEL_IMAGE + 100, kFirmwareType));
    EXPECT_EQ(image.m_pData, held);
    EXPECT_EQ(image.m_nSize, kPackage.size());
}

TEST_F(PanelImageLoad, EmptyResourceSucceedsAndLeavesTheMembers) {
    resources.Add(IDR_PANEL_IMAGE, kFirmwareType, {});
    EXPECT_TRUE(Load());
    EXPECT_EQ(image.m_pData, nullptr);
    EXPECT_EQ(image.m_nSize, 0u);

    // Loaded before: an empty resource does not replace what the object points at.
    MemoryResources other;
    other.Add(IDR_PANEL_IMAGE, kFirmwareType, kPackage);
    CPufPanelImage loaded(other);
    ASSERT_TRUE(loaded.Load(IDR_PANEL_IMAGE, kFirmwareType));
    other.Add(IDR_PANEL_IMAGE + 1, kFirmwareType, {});
    EXPECT_TRUE(loaded.Load(IDR_PANEL_IMAGE + 1, kFirmwareType));
    EXPECT_EQ(loaded.m_pData, other.Find(IDR_PANEL_IMAGE, kFirmwareType)->data);
    EXPECT_EQ(loaded.m_nSize, kPackage.size());
}

TEST_F(PanelImageLoad, DestroyingTheObjectLeavesTheResourceIntact) {
    resources.Add(IDR_PANEL_IMAGE, kFirmwareType, kPackage);
    auto owned = std::make_unique<CPufPanelImage>(resources);
    ASSERT_TRUE(owned->Load(IDR_PANEL_IMAGE, kFirmwareType));
    const std::uint8_t* data = owned->m_pData;
    owned.reset();

    const ResourceBytes stored = Stored();
    EXPECT_EQ(stored.data, data);
    EXPECT_EQ(Bytes(stored.data, stored.data + stored.size), kPackage);
    // And it loads again.
    ASSERT_TRUE(Load());
    EXPECT_EQ(Bytes(image.m_pData, image.m_pData + image.m_nSize), kPackage);
}

}  // namespace
