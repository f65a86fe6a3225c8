// The dialogs' graphics on the real pictures: the banner composed over a background colour, the
// shared font and its application to a dialog's direct children. The windows are message-only,
// so no display is needed.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "app/resource.h"
#include "app/win32/AlphaBitmap.h"
#include "app/win32/DialogFont.h"

namespace {

// --- Banner -------------------------------------------------------------------------------------

// A bitmap resource as a DIB section, with its pixels and colour table at hand.
class Section {
public:
    explicit Section(unsigned id)
        : m_bitmap(static_cast<HBITMAP>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), IMAGE_BITMAP,
                                                     0, 0, LR_CREATEDIBSECTION))) {
        if (!m_bitmap || ::GetObjectW(m_bitmap, sizeof m_section, &m_section) != static_cast<int>(sizeof m_section)) return;
        HDC dc = ::CreateCompatibleDC(nullptr);
        HGDIOBJ previous = ::SelectObject(dc, m_bitmap);
        m_tableSize = ::GetDIBColorTable(dc, 0, 256, m_table);
        ::SelectObject(dc, previous);
        ::DeleteDC(dc);
    }
    ~Section() {
        if (m_bitmap) ::DeleteObject(m_bitmap);
    }
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;

    bool Valid() const { return m_bitmap && m_section.dsBm.bmBits; }
    // The byte of pixel (x, row) where rows count in storage order.
    std::uint8_t At(int x, int row) const {
        return static_cast<const std::uint8_t*>(m_section.dsBm.bmBits)[row * m_section.dsBm.bmWidthBytes + x];
    }
    const RGBQUAD& Entry(std::uint8_t index) const { return m_table[index]; }
    UINT TableSize() const { return m_tableSize; }

private:
    HBITMAP m_bitmap;
    DIBSECTION m_section{};
    RGBQUAD m_table[256] = {};
    UINT m_tableSize = 0;
};

struct Bgr {
    int blue, green, red;
};

// The 24-bit picture that CAlphaBitmap holds, pixel by pixel in storage order.
struct Composed {
    int width = 0, height = 0, bits = 0, stride = 0;
    const std::uint8_t* pixels = nullptr;
    Bgr At(int x, int row) const {
        const std::uint8_t* p = pixels + row * stride + 3 * x;
        return {p[0], p[1], p[2]};
    }
};

Composed Describe(HBITMAP bitmap) {
    Composed composed;
    DIBSECTION section{};
    if (!bitmap || ::GetObjectW(bitmap, sizeof section, &section) != static_cast<int>(sizeof section)) return composed;
    composed.width = section.dsBm.bmWidth;
    composed.height = section.dsBm.bmHeight;
    composed.bits = section.dsBm.bmBitsPixel;
    composed.stride = (composed.width * 3 + 3) / 4 * 4;
    composed.pixels = static_cast<const std::uint8_t*>(section.dsBm.bmBits);
    EXPECT_GT(section.dsBmih.biHeight, 0) << "rows bottom-up";
    return composed;
}

// The first place (x, row) whose opacity is `alpha`.
std::pair<int, int> FindOpacity(const Section& alpha, std::uint8_t value) {
    for (int row = 0; row < 29; ++row) {
        for (int x = 0; x < 144; ++x) {
            if (alpha.At(x, row) == value) return {x, row};
        }
    }
    return {-1, -1};
}

TEST(AlphaBitmap, ComposesTheBannerOverTheBackground) {
    CAlphaBitmap banner;
    ASSERT_TRUE(banner.LoadSources());
    ASSERT_TRUE(banner.Compose(RGB(240, 240, 240)));
    const Composed composed = Describe(banner.GetSafeHandle());
    ASSERT_NE(composed.pixels, nullptr);
    EXPECT_EQ(composed.width, 144);
    EXPECT_EQ(composed.height, 29);
    EXPECT_EQ(composed.bits, 24);

    const Section colour(IDB_BANNER_COLOR), alpha(IDB_BANNER_ALPHA);
    ASSERT_TRUE(colour.Valid() && alpha.Valid());
    EXPECT_EQ(colour.TableSize(), 256u);

    // Where the opacity is 0: the background exactly.
    const auto [clearX, clearRow] = FindOpacity(alpha, 0);
    ASSERT_GE(clearX, 0);
    const Bgr clear = composed.At(clearX, clearRow);
    EXPECT_EQ(clear.blue, 240);
    EXPECT_EQ(clear.green, 240);
    EXPECT_EQ(clear.red, 240);

    // Where it is 255: the colour table's entry for the pixel's index.
    const auto [solidX, solidRow] = FindOpacity(alpha, 255);
    ASSERT_GE(solidX, 0);
    const RGBQUAD& entry = colour.Entry(colour.At(solidX, solidRow));
    const Bgr solid = composed.At(solidX, solidRow);
    EXPECT_EQ(solid.blue, entry.rgbBlue);
    EXPECT_EQ(solid.green, entry.rgbGreen);
    EXPECT_EQ(solid.red, entry.rgbRed);
    EXPECT_NE(solid.blue + solid.green + solid.red, 3 * 240) << "an opaque place shows the picture";

    // Every place: the blend of its entry over the background with its opacity.
    int mismatches = 0;
    for (int row = 0; row < 29; ++row) {
        for (int x = 0; x < 144; ++x) {
            const RGBQUAD& e = colour.Entry(colour.At(x, row));
            const int a = alpha.At(x, row);
            const Bgr p = composed.At(x, row);
            auto blend = [a](int back, int fore) { return ((255 - a) * back + fore * a) / 255; };
            mismatches += p.blue != blend(240, e.rgbBlue) || p.green != blend(240, e.rgbGreen) ||
                          p.red != blend(240, e.rgbRed);
        }
    }
    EXPECT_EQ(mismatches, 0);
}

// Bitmap 137 is what the template shows before the composition: the same banner over the usual
// dialog grey, so the two agree but for the 256-colour reduction of 137.
TEST(AlphaBitmap, AgreesWithTheTemplatePicture) {
    CAlphaBitmap banner;
    ASSERT_TRUE(banner.LoadSources());
    ASSERT_TRUE(banner.Compose(RGB(240, 240, 240)));
    const Composed composed = Describe(banner.GetSafeHandle());
    const Section shown(IDB_BANNER);
    ASSERT_TRUE(composed.pixels && shown.Valid());
    long total = 0;
    int worst = 0;
    for (int row = 0; row < 29; ++row) {
        for (int x = 0; x < 144; ++x) {
            const RGBQUAD& e = shown.Entry(shown.At(x, row));
            const Bgr p = composed.At(x, row);
            for (int d : {p.blue - e.rgbBlue, p.green - e.rgbGreen, p.red - e.rgbRed}) {
                total += std::abs(d);
                worst = std::max(worst, std::abs(d));
            }
        }
    }
    EXPECT_LT(static_cast<double>(total) / (144 * 29 * 3), 3.0);
    EXPECT_LT(worst, 64);
}

TEST(AlphaBitmap, ComposingAgainReplacesThePicture) {
    CAlphaBitmap banner;
    ASSERT_TRUE(banner.LoadSources());
    ASSERT_TRUE(banner.Compose(RGB(240, 240, 240)));
    ASSERT_TRUE(banner.Compose(RGB(10, 20, 30)));
    const Section alpha(IDB_BANNER_ALPHA);
    const auto [x, row] = FindOpacity(alpha, 0);
    const Bgr p = Describe(banner.GetSafeHandle()).At(x, row);
    EXPECT_EQ(p.red, 10);
    EXPECT_EQ(p.green, 20);
    EXPECT_EQ(p.blue, 30);
}

TEST(AlphaBitmap, NothingToComposeWithoutSources) {
    CAlphaBitmap notLoaded;
    EXPECT_FALSE(notLoaded.Compose(RGB(240, 240, 240)));
    EXPECT_EQ(notLoaded.GetSafeHandle(), nullptr);

    // A module without the banner's bitmaps.
    CAlphaBitmap elsewhere(::GetModuleHandleW(L"kernel32.dll"));
    EXPECT_FALSE(elsewhere.LoadSources());
    EXPECT_FALSE(elsewhere.Compose(RGB(240, 240, 240)));
    EXPECT_EQ(elsewhere.GetSafeHandle(), nullptr);
}

// --- Font ---------------------------------------------------------------------------------------

TEST(DialogFont, OneFontFromTheIconTitleFont) {
    LOGFONTW system{};
    ASSERT_TRUE(::SystemParametersInfoW(SPI_GETICONTITLELOGFONT, sizeof system, &system, 0));

    std::vector<HFONT> seen(4);
    std::vector<std::thread> threads;
    for (HFONT& slot : seen) threads.emplace_back([&slot] { slot = GetSystemUIFont(); });
    for (std::thread& t : threads) t.join();
    const HFONT font = GetSystemUIFont();
    ASSERT_NE(font, nullptr);
    for (HFONT f : seen) EXPECT_EQ(f, font);

    LOGFONTW made{};
    ASSERT_EQ(::GetObjectW(font, sizeof made, &made), static_cast<int>(sizeof made));
    EXPECT_STREQ(made.lfFaceName, system.lfFaceName);
    EXPECT_EQ(made.lfHeight, system.lfHeight);
    EXPECT_EQ(made.lfWeight, system.lfWeight);
}

// A window class that records every WM_SETFONT it receives.
std::map<HWND, std::vector<std::pair<WPARAM, LPARAM>>> g_fontsSet;

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SETFONT) {
        g_fontsSet[window].emplace_back(wParam, lParam);
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

class ApplyFont : public testing::Test {
protected:
    void SetUp() override {
        WNDCLASSW windowClass{};
        // CS_IME: Wine gives every other child window an input-method window, which without a
        // display cannot be made, and then fails the child.
        windowClass.style = CS_IME;
        windowClass.lpfnWndProc = RecordingProc;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"FontRecordingWindow";
        ::RegisterClassW(&windowClass);
        g_fontsSet.clear();
        // The dialog stands in as a message-only window; its children and a grandchild as children.
        m_dialog = Create(HWND_MESSAGE, 0, 0);
        m_first = Create(m_dialog, WS_CHILD, 101);
        m_second = Create(m_dialog, WS_CHILD, 102);
        m_grandchild = Create(m_first, WS_CHILD, 201);
        ASSERT_TRUE(m_dialog && m_first && m_second && m_grandchild)
            << m_dialog << " " << m_first << " " << m_second << " " << m_grandchild << " error " << ::GetLastError();
        ASSERT_EQ(::GetParent(m_grandchild), m_first);
    }
    void TearDown() override {
        if (m_dialog) ::DestroyWindow(m_dialog);
    }
    static HWND Create(HWND parent, DWORD style, int id) {
        return ::CreateWindowExW(0, L"FontRecordingWindow", L"", style, 0, 0, 10, 10, parent,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ::GetModuleHandleW(nullptr), nullptr);
    }

    HWND m_dialog = nullptr, m_first = nullptr, m_second = nullptr, m_grandchild = nullptr;
};

TEST_F(ApplyFont, TheDialogAndItsChildrenButNotTheirChildren) {
    HFONT font = GetSystemUIFont();
    ASSERT_NE(font, nullptr);
    ApplyFontToDialog(font, m_dialog);

    const std::vector<std::pair<WPARAM, LPARAM>> once = {{reinterpret_cast<WPARAM>(font), TRUE}};
    EXPECT_EQ(g_fontsSet[m_dialog], once);
    EXPECT_EQ(g_fontsSet[m_first], once);
    EXPECT_EQ(g_fontsSet[m_second], once);
    EXPECT_TRUE(g_fontsSet[m_grandchild].empty());
}

TEST_F(ApplyFont, NothingWithoutAFontOrADialog) {
    ApplyFontToDialog(nullptr, m_dialog);
    ApplyFontToDialog(GetSystemUIFont(), nullptr);
    for (HWND window : {m_dialog, m_first, m_second, m_grandchild}) EXPECT_TRUE(g_fontsSet[window].empty());
}

}  // namespace
