// The installer's resource scripts as the program embeds them: the dialog templates in their
// languages, sizes and fonts with the controls laid out inside the dialogs without overlapping;
// the banner bitmaps and icons as the system loads them; the manifest and the version.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/resource.h"

namespace {

struct RawResource {
    const std::uint8_t* data = nullptr;
    DWORD size = 0;
};

std::optional<RawResource> FindRaw(LPCWSTR type, unsigned id, std::optional<WORD> language = std::nullopt) {
    HMODULE module = ::GetModuleHandleW(nullptr);
    HRSRC info = language ? ::FindResourceExW(module, type, MAKEINTRESOURCEW(id), *language)
                          : ::FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (!info) return std::nullopt;
    HGLOBAL loaded = ::LoadResource(module, info);
    if (!loaded) return std::nullopt;
    return RawResource{static_cast<const std::uint8_t*>(::LockResource(loaded)), ::SizeofResource(module, info)};
}

// --- Extended dialog templates ---------------------------------------------------------------

// A string or an ordinal, as templates store class names, titles and menus.
struct NameOrOrdinal {
    std::wstring text;
    int ordinal = -1;
};

struct DialogItem {
    DWORD id;
    DWORD style, exStyle;
    short x, y, cx, cy;
    NameOrOrdinal className, title;
};

struct DialogTemplate {
    DWORD style, exStyle;
    short x, y, cx, cy;
    std::wstring title;
    WORD pointSize = 0, weight = 0;
    BYTE italic = 0, charset = 0;
    std::wstring typeface;
    std::vector<DialogItem> items;
};

class TemplateReader {
public:
    explicit TemplateReader(const RawResource& raw) : m_data(raw.data), m_size(raw.size) {}

    template <typename T>
    T Read() {
        T value{};
        if (m_offset + sizeof(T) > m_size) throw std::runtime_error("template ends early");
        std::memcpy(&value, m_data + m_offset, sizeof(T));
        m_offset += sizeof(T);
        return value;
    }
    std::wstring ReadString() {
        std::wstring text;
        for (wchar_t c = Read<wchar_t>(); c; c = Read<wchar_t>()) text.push_back(c);
        return text;
    }
    NameOrOrdinal ReadNameOrOrdinal() {
        const WORD first = Read<WORD>();
        if (first == 0) return {};
        if (first == 0xFFFF) return {L"", Read<WORD>()};
        NameOrOrdinal name{std::wstring(1, static_cast<wchar_t>(first)), -1};
        name.text += ReadString();
        return name;
    }
    void AlignToDword() { m_offset = (m_offset + 3) & ~std::size_t{3}; }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_offset = 0;
};

DialogTemplate ParseTemplate(const RawResource& raw) {
    TemplateReader in(raw);
    DialogTemplate dialog{};
    if (in.Read<WORD>() != 1 || in.Read<WORD>() != 0xFFFF) throw std::runtime_error("not an extended template");
    in.Read<DWORD>();  // help id
    dialog.exStyle = in.Read<DWORD>();
    dialog.style = in.Read<DWORD>();
    const WORD count = in.Read<WORD>();
    dialog.x = in.Read<short>();
    dialog.y = in.Read<short>();
    dialog.cx = in.Read<short>();
    dialog.cy = in.Read<short>();
    in.ReadNameOrOrdinal();  // menu
    in.ReadNameOrOrdinal();  // class
    dialog.title = in.ReadString();
    if (dialog.style & (DS_SETFONT | DS_SHELLFONT)) {
        dialog.pointSize = in.Read<WORD>();
        dialog.weight = in.Read<WORD>();
        dialog.italic = in.Read<BYTE>();
        dialog.charset = in.Read<BYTE>();
        dialog.typeface = in.ReadString();
    }
    for (WORD i = 0; i < count; ++i) {
        in.AlignToDword();
        DialogItem item{};
        in.Read<DWORD>();  // help id
        item.exStyle = in.Read<DWORD>();
        item.style = in.Read<DWORD>();
        item.x = in.Read<short>();
        item.y = in.Read<short>();
        item.cx = in.Read<short>();
        item.cy = in.Read<short>();
        item.id = in.Read<DWORD>();
        item.className = in.ReadNameOrOrdinal();
        item.title = in.ReadNameOrOrdinal();
        const WORD extra = in.Read<WORD>();
        for (WORD b = 0; b < extra; ++b) in.Read<BYTE>();
        dialog.items.push_back(item);
    }
    return dialog;
}

DialogTemplate LoadTemplate(unsigned id, WORD language) {
    const auto raw = FindRaw(RT_DIALOG, id, language);
    if (!raw) throw std::runtime_error("template " + std::to_string(id) + " not found");
    return ParseTemplate(*raw);
}

// The class of an item by name, with the predefined ordinals spelt out.
std::wstring ClassOf(const DialogItem& item) {
    switch (item.className.ordinal) {
        case 0x80: return L"Button";
        case 0x81: return L"Edit";
        case 0x82: return L"Static";
        case 0x83: return L"ListBox";
        case 0x84: return L"ScrollBar";
        case 0x85: return L"ComboBox";
        default: return item.className.text;
    }
}

// Class names compare without regard to case, as the system looks them up (the resource
// compiler writes them in capitals).
bool IsClass(const DialogItem& item, const wchar_t* name) { return ::_wcsicmp(ClassOf(item).c_str(), name) == 0; }

const DialogItem* FindItem(const DialogTemplate& dialog, DWORD id) {
    for (const DialogItem& item : dialog.items) {
        if (item.id == id) return &item;
    }
    return nullptr;
}

const DialogItem* FindItemByPicture(const DialogTemplate& dialog, int picture) {
    for (const DialogItem& item : dialog.items) {
        if (item.title.ordinal == picture) return &item;
    }
    return nullptr;
}

const DialogItem* FindItemByText(const DialogTemplate& dialog, const std::wstring& text) {
    for (const DialogItem& item : dialog.items) {
        if (item.title.ordinal < 0 && item.title.text == text) return &item;
    }
    return nullptr;
}

// How a control may look in a template: its class, its text (or the picture it names) and the
// style bits it must have.
struct ExpectedItem {
    DWORD id;
    const wchar_t* className;
    const wchar_t* text;  // null: a picture named by `picture`
    DWORD styleBits;
    int picture = -1;
};

void ExpectItems(const DialogTemplate& dialog, const std::vector<ExpectedItem>& expected) {
    for (const ExpectedItem& e : expected) {
        const DialogItem* item = e.id != static_cast<DWORD>(-1) ? FindItem(dialog, e.id)
                                : e.text                     ? FindItemByText(dialog, e.text)
                                                             : FindItemByPicture(dialog, e.picture);
        ASSERT_NE(item, nullptr) << "control " << static_cast<int>(e.id) << " " << (e.text ? e.text : L"");
        SCOPED_TRACE(testing::Message() << "control " << static_cast<int>(e.id));
        EXPECT_EQ(item->id, e.id);
        EXPECT_TRUE(IsClass(*item, e.className)) << ClassOf(*item);
        if (e.text) {
            EXPECT_EQ(item->title.ordinal, -1);
            EXPECT_EQ(item->title.text, e.text);
        } else {
            EXPECT_EQ(item->title.ordinal, e.picture);
        }
        EXPECT_EQ(item->style & e.styleBits, e.styleBits);
        EXPECT_TRUE(item->style & WS_VISIBLE);
        EXPECT_TRUE(item->style & WS_CHILD);
    }
}

// Every control lies inside the dialog and no two overlap. A drop-down list's template height is
// the height of its open list; closed it takes one line, counted as 14 units.
void ExpectTidyLayout(const DialogTemplate& dialog) {
    auto rectOf = [](const DialogItem& item) {
        const bool comboBox = IsClass(item, L"ComboBox");
        return RECT{item.x, item.y, item.x + item.cx, item.y + (comboBox ? 14 : item.cy)};
    };
    for (std::size_t i = 0; i < dialog.items.size(); ++i) {
        const RECT a = rectOf(dialog.items[i]);
        SCOPED_TRACE(testing::Message() << "control " << static_cast<int>(dialog.items[i].id) << " at " << a.left
                                        << "," << a.top);
        EXPECT_GE(a.left, 0);
        EXPECT_GE(a.top, 0);
        EXPECT_LE(a.right, dialog.cx);
        EXPECT_LE(a.bottom, dialog.cy);
        for (std::size_t j = i + 1; j < dialog.items.size(); ++j) {
            const RECT b = rectOf(dialog.items[j]);
            RECT overlap{};
            EXPECT_FALSE(::IntersectRect(&overlap, &a, &b))
                << "overlaps control " << static_cast<int>(dialog.items[j].id) << " at " << b.left << "," << b.top;
        }
    }
}

constexpr WORD kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
constexpr WORD kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);
constexpr WORD kNeutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);
constexpr DWORD kStatic = static_cast<DWORD>(-1);

std::vector<ExpectedItem> MainDialogItems(const wchar_t* cancel, const wchar_t* back, const wchar_t* ok) {
    return {
        {IDC_BANNER, L"Static", nullptr, SS_BITMAP, IDB_BANNER},
        {kStatic, L"Static", L"Model:", 0},
        {IDC_MODEL_NAME, L"Static", L"", 0},
        {kStatic, L"Static", L"Firm Version:", 0},
        {IDC_FIRM_VERSION, L"Static", L"", 0},
        {kStatic, L"Static", L"Panel Version:", 0},
        {IDC_PANEL_VERSION, L"Static", L"", 0},
        {kStatic, L"Static", L"Port:", 0},
        {IDC_PORT_NAME, L"Static", L"", 0},
        {IDC_PRINTER_LIST, L"ComboBox", L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP},
        {kStatic, L"Static", L"IP Address:", 0},
        {IDC_IP_ADDRESS, WC_IPADDRESSW, L"", WS_TABSTOP},
        {IDCANCEL, L"Button", cancel, BS_PUSHBUTTON | WS_TABSTOP},
        {IDC_BACK, L"Button", back, BS_PUSHBUTTON | WS_TABSTOP},
        {IDOK, L"Button", ok, BS_DEFPUSHBUTTON | WS_TABSTOP},
    };
}

void ExpectMainDialogFrame(const DialogTemplate& dialog) {
    EXPECT_EQ(dialog.title, L"Corvane Firmware Installer");
    const DWORD frame = DS_MODALFRAME | WS_CAPTION | WS_SYSMENU;
    EXPECT_EQ(dialog.style & frame, frame);
    EXPECT_TRUE(dialog.exStyle & WS_EX_APPWINDOW);
    // A drop-down list, not a combo box with an edit field; its list shows several rows.
    const DialogItem* list = FindItem(dialog, IDC_PRINTER_LIST);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->style & 3, static_cast<DWORD>(CBS_DROPDOWNLIST));
    EXPECT_GE(list->cy, 60);
    // The rows: each label on the line of its value, the value to its right.
    const std::pair<const wchar_t*, DWORD> rows[] = {{L"Model:", IDC_MODEL_NAME},
                                                     {L"Firm Version:", IDC_FIRM_VERSION},
                                                     {L"Panel Version:", IDC_PANEL_VERSION},
                                                     {L"Port:", IDC_PORT_NAME},
                                                     {L"IP Address:", IDC_IP_ADDRESS}};
    const DialogItem* banner = FindItem(dialog, IDC_BANNER);
    ASSERT_NE(banner, nullptr);
    for (const auto& [label, id] : rows) {
        const DialogItem* l = FindItemByText(dialog, label);
        const DialogItem* v = FindItem(dialog, id);
        ASSERT_TRUE(l && v) << label;
        EXPECT_LE(l->x + l->cx, v->x) << label;
        EXPECT_LT(std::abs(l->y - v->y), 4) << label;
        EXPECT_GT(l->y, banner->y + banner->cy) << label;
    }
    // The buttons share one line at the bottom, in the order Back, OK, Cancel from left to right.
    const DialogItem* back = FindItem(dialog, IDC_BACK);
    const DialogItem* ok = FindItem(dialog, IDOK);
    const DialogItem* cancel = FindItem(dialog, IDCANCEL);
    ASSERT_TRUE(back && ok && cancel);
    EXPECT_EQ(back->y, ok->y);
    EXPECT_EQ(ok->y, cancel->y);
    EXPECT_LT(back->x, ok->x);
    EXPECT_LT(ok->x, cancel->x);
    for (const DialogItem& item : dialog.items) {
        if (&item == back || &item == ok || &item == cancel) continue;
        EXPECT_LT(item.y, back->y) << item.id;
    }
}

TEST(InstallerDialogs, MainDialogInEnglish) {
    const DialogTemplate dialog = LoadTemplate(IDD_VESSICK_DIALOG, kEnglish);
    EXPECT_EQ(dialog.cx, 179);
    EXPECT_EQ(dialog.cy, 141);
    EXPECT_EQ(dialog.pointSize, 8);
    EXPECT_EQ(dialog.typeface, L"Arial");
    ExpectMainDialogFrame(dialog);
    ExpectItems(dialog, MainDialogItems(L"Cancel", L"&Back", L"OK"));
    ExpectTidyLayout(dialog);
}

TEST(InstallerDialogs, MainDialogInJapanese) {
    const DialogTemplate dialog = LoadTemplate(IDD_VESSICK_DIALOG, kJapanese);
    EXPECT_EQ(dialog.cx, 179);
    EXPECT_EQ(dialog.cy, 152);
    EXPECT_EQ(dialog.pointSize, 9);
    EXPECT_EQ(dialog.typeface, L"MS UI Gothic");
    ExpectMainDialogFrame(dialog);
    ExpectItems(dialog, MainDialogItems(L"キャンセル", L"戻る(&B)", L"インストール"));
    ExpectTidyLayout(dialog);
}

TEST(InstallerDialogs, AboutBox) {
    const DialogTemplate dialog = LoadTemplate(IDD_ABOUTBOX, kNeutral);
    EXPECT_EQ(dialog.title, L"About Firmware Installer");
    EXPECT_EQ(dialog.cx, 239);
    EXPECT_EQ(dialog.cy, 63);
    EXPECT_EQ(dialog.pointSize, 9);
    EXPECT_EQ(dialog.typeface, L"MS UI Gothic");
    ExpectItems(dialog, {
                            {kStatic, L"Static", nullptr, SS_ICON, IDR_MAINFRAME},
                            {kStatic, L"Static", L"Corvane Firmware Installer Version 3.00", 0},
                            {kStatic, L"Static", L"\u00A9 2026 Corvane. All rights reserved.", 0},
                            {IDOK, L"Button", L"OK", BS_DEFPUSHBUTTON | WS_TABSTOP},
                            {IDC_ABOUT_TEXT, L"Static", L"", 0},
                        });
    ExpectTidyLayout(dialog);
}

TEST(InstallerDialogs, ProgressDialog) {
    const DialogTemplate dialog = LoadTemplate(IDD_SEND_STATUS, kNeutral);
    EXPECT_EQ(dialog.title, L"Vessick");
    EXPECT_EQ(dialog.cx, 227);
    EXPECT_EQ(dialog.cy, 87);
    EXPECT_EQ(dialog.pointSize, 9);
    EXPECT_EQ(dialog.typeface, L"MS UI Gothic");
    EXPECT_EQ(dialog.style & (WS_POPUP | WS_CAPTION), static_cast<DWORD>(WS_POPUP | WS_CAPTION));
    EXPECT_FALSE(dialog.style & WS_SYSMENU) << "no system menu, so no close box";
    ExpectItems(dialog, {
                            {IDC_STATUS_TEXT, L"Static", L"", 0},
                            {IDC_ANIMATION, L"Static", nullptr, SS_ICON, IDI_ANIMATION_1},
                            {IDC_PROGRESS, PROGRESS_CLASSW, L"", 0},
                            {IDC_PERCENT, L"Static", L"0%", SS_RIGHT},
                            {IDC_STEP_LABEL, L"Static", L"/", SS_RIGHT},
                        });
    ExpectTidyLayout(dialog);
}

// --- Pictures -----------------------------------------------------------------------------------

struct BitmapCase {
    unsigned id;
    DWORD compression;
};

TEST(InstallerPictures, BannerBitmaps) {
    for (const BitmapCase& c : {BitmapCase{IDB_BANNER, BI_RLE8}, BitmapCase{IDB_BANNER_COLOR, BI_RLE8},
                                BitmapCase{IDB_BANNER_ALPHA, BI_RGB}}) {
        SCOPED_TRACE(testing::Message() << "bitmap " << c.id);
        const auto raw = FindRaw(RT_BITMAP, c.id);
        ASSERT_TRUE(raw);
        ASSERT_GE(raw->size, sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD));
        BITMAPINFOHEADER header;
        std::memcpy(&header, raw->data, sizeof header);
        EXPECT_EQ(header.biSize, sizeof header);
        EXPECT_EQ(header.biWidth, 144);
        EXPECT_EQ(header.biHeight, 29);
        EXPECT_EQ(header.biBitCount, 8);
        EXPECT_EQ(header.biCompression, c.compression);
        EXPECT_TRUE(header.biClrUsed == 0 || header.biClrUsed == 256) << header.biClrUsed;

        HBITMAP bitmap = static_cast<HBITMAP>(
            ::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(c.id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
        ASSERT_NE(bitmap, nullptr);
        DIBSECTION section{};
        ASSERT_EQ(::GetObjectW(bitmap, sizeof section, &section), static_cast<int>(sizeof section));
        EXPECT_EQ(section.dsBm.bmWidth, 144);
        EXPECT_EQ(section.dsBm.bmHeight, 29);
        EXPECT_EQ(section.dsBm.bmBitsPixel, 8);
        EXPECT_NE(section.dsBm.bmBits, nullptr);
        ::DeleteObject(bitmap);
    }
}

// The opacity plane is the picture's own: fully transparent and fully opaque places, and soft
// edges between them.
TEST(InstallerPictures, BannerOpacityHasSoftEdges) {
    const auto raw = FindRaw(RT_BITMAP, IDB_BANNER_ALPHA);
    ASSERT_TRUE(raw);
    const std::uint8_t* pixels = raw->data + sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD);
    ASSERT_GE(raw->size, sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD) + 144 * 29);
    int transparent = 0, opaque = 0, between = 0;
    for (int i = 0; i < 144 * 29; ++i) {
        (pixels[i] == 0 ? transparent : pixels[i] == 255 ? opaque : between)++;
    }
    EXPECT_GT(transparent, 500);
    EXPECT_GT(opaque, 500);
    EXPECT_GT(between, 200);
}

struct GroupEntry {
    int size;
    int bits;
    WORD id;
};

// The entries of an icon group: size, colour depth and the id of each image.
std::vector<GroupEntry> IconGroup(unsigned id) {
    std::vector<GroupEntry> entries;
    const auto raw = FindRaw(RT_GROUP_ICON, id);
    if (!raw || raw->size < 6) return entries;
    WORD count;
    std::memcpy(&count, raw->data + 4, 2);
    for (WORD i = 0; i < count && 6u + 14u * (i + 1u) <= raw->size; ++i) {
        const std::uint8_t* e = raw->data + 6 + 14 * i;
        WORD bits, imageId;
        std::memcpy(&bits, e + 6, 2);
        std::memcpy(&imageId, e + 12, 2);
        entries.push_back({e[0] ? e[0] : 256, bits, imageId});
    }
    return entries;
}

bool HasEntry(const std::vector<GroupEntry>& group, int size, int bits) {
    for (const GroupEntry& e : group) {
        if (e.size == size && e.bits == bits) return true;
    }
    return false;
}

// Loads an icon at `size` pixels and returns the size of its colour picture.
SIZE LoadedIconSize(unsigned id, int size) {
    SIZE result{};
    HICON icon = static_cast<HICON>(
        ::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), IMAGE_ICON, size, size, 0));
    if (!icon) return result;
    ICONINFO info{};
    if (::GetIconInfo(icon, &info)) {
        BITMAP bitmap{};
        if (info.hbmColor && ::GetObjectW(info.hbmColor, sizeof bitmap, &bitmap)) result = {bitmap.bmWidth, bitmap.bmHeight};
        if (info.hbmColor) ::DeleteObject(info.hbmColor);
        if (info.hbmMask) ::DeleteObject(info.hbmMask);
    }
    ::DestroyIcon(icon);
    return result;
}

TEST(InstallerPictures, ApplicationIcon) {
    const std::vector<GroupEntry> group = IconGroup(IDR_MAINFRAME);
    for (int size : {16, 32, 48}) {
        SCOPED_TRACE(testing::Message() << size << " pixels");
        EXPECT_TRUE(HasEntry(group, size, 8));
        EXPECT_TRUE(HasEntry(group, size, 32));
        const SIZE loaded = LoadedIconSize(IDR_MAINFRAME, size);
        EXPECT_EQ(loaded.cx, size);
        EXPECT_EQ(loaded.cy, size);
    }
    EXPECT_EQ(group.size(), 6u);
}

// The four frames: 48 pixels with alpha each, and each one different from the one before it.
TEST(InstallerPictures, AnimationFrames) {
    std::vector<std::vector<std::uint8_t>> frames;
    for (unsigned id = IDI_ANIMATION_1; id <= IDI_ANIMATION_4; ++id) {
        SCOPED_TRACE(testing::Message() << "icon " << id);
        const std::vector<GroupEntry> group = IconGroup(id);
        ASSERT_EQ(group.size(), 1u);
        EXPECT_EQ(group[0].size, 48);
        EXPECT_EQ(group[0].bits, 32);
        const SIZE loaded = LoadedIconSize(id, 48);
        EXPECT_EQ(loaded.cx, 48);
        EXPECT_EQ(loaded.cy, 48);
        const auto image = FindRaw(RT_ICON, group[0].id);
        ASSERT_TRUE(image);
        ASSERT_GE(image->size, sizeof(BITMAPINFOHEADER) + 48 * 48 * 4);
        const std::uint8_t* bgra = image->data + sizeof(BITMAPINFOHEADER);
        frames.emplace_back(bgra, bgra + 48 * 48 * 4);
    }
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const auto& a = frames[i];
        const auto& b = frames[(i + 1) % frames.size()];
        int differing = 0;
        for (std::size_t p = 0; p < a.size(); p += 4) differing += std::memcmp(&a[p], &b[p], 4) != 0;
        EXPECT_GT(differing, 40) << "frames " << i << " and " << (i + 1) % frames.size();
    }
}

// --- Manifest and version -----------------------------------------------------------------------

TEST(InstallerManifest, CommonControlsSixAsInvokerDpiAware) {
    const auto raw = FindRaw(RT_MANIFEST, 1);  // CREATEPROCESS_MANIFEST_RESOURCE_ID;
    ASSERT_TRUE(raw);
    const std::string text(reinterpret_cast<const char*>(raw->data), raw->size);
    for (const char* part : {"name=\"Microsoft.Windows.Common-Controls\"", "version=\"6.0.0.0\"",
                             "publicKeyToken=\"6595b64144ccf1df\"", "level=\"asInvoker\"", ">true</dpiAware>",
                             "<dpiAwareness"}) {
        EXPECT_NE(text.find(part), std::string::npos) << part;
    }
}

std::wstring VersionString(const std::vector<std::uint8_t>& block, const wchar_t* translation, const wchar_t* name) {
    const std::wstring path = std::wstring(L"\\StringFileInfo\\") + translation + L"\\" + name;
    void* value = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(block.data(), path.c_str(), &value, &length) || !value) return L"<missing>";
    return std::wstring(static_cast<const wchar_t*>(value), length ? length - 1 : 0);
}

TEST(InstallerVersion, FileAndProduct) {
    const auto raw = FindRaw(RT_VERSION, VS_VERSION_INFO);
    ASSERT_TRUE(raw);
    const std::vector<std::uint8_t> block(raw->data, raw->data + raw->size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00030000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    for (const wchar_t* translation : {L"040904b0", L"041104b0"}) {
        SCOPED_TRACE(testing::Message() << translation);
        EXPECT_EQ(VersionString(block, translation, L"FileVersion"), L"3.0.0.0");
        EXPECT_EQ(VersionString(block, translation, L"ProductName"), L"Corvane Firmware Installer");
        EXPECT_EQ(VersionString(block, translation, L"FileDescription"), L"Corvane Firmware Installer");
        EXPECT_EQ(VersionString(block, translation, L"CompanyName"), L"Corvane");
        EXPECT_EQ(VersionString(block, translation, L"LegalCopyright"),
                  L"\u00A9 2026 Corvane. All rights reserved.");
    }
}

}  // namespace
