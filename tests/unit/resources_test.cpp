// The resources of GpsFennik.exe, read from the built executable loaded as a
// data file: the test executable cannot see them in its own image.
#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "resources/resource.h"
#include "shell/scoped_win.h"
#include "shell/string_ids.h"
#include "win_test_util.h"

namespace {

// GpsFennik.exe lies beside the string module in the distribution folder.
std::wstring ExePath() {
    std::wstring path = L"" FENNIK_STRING_MODULE_PATH;
    const size_t slash = path.find_last_of(L"/\\");
    path.resize(slash == std::wstring::npos ? 0 : slash + 1);
    return path + L"GpsFennik.exe";
}

// Bytes of a resource; empty when the module has no such resource.
std::span<const unsigned char> ResourceBytes(HMODULE module, LPCWSTR type, UINT id) {
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (!info) return {};
    HGLOBAL data = LoadResource(module, info);
    const void* p = data ? LockResource(data) : nullptr;
    if (!p) return {};
    return {static_cast<const unsigned char*>(p), SizeofResource(module, info)};
}

std::wstring ModuleText(HMODULE module, UINT id) {
    wchar_t buf[256] = {};
    const int n = LoadStringW(module, id, buf, static_cast<int>(std::size(buf)));
    return std::wstring(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

class ExeModule : public testing::Test {
protected:
    void SetUp() override {
        const std::wstring path = ExePath();
        module_.Reset(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
        ASSERT_TRUE(module_) << "cannot load " << Narrow(path) << " as a data file (error " << GetLastError()
                             << "); the GpsFennik target must be built before these tests";
    }
    HMODULE Module() const { return module_.Get(); }
    std::span<const unsigned char> Bytes(LPCWSTR type, UINT id) const { return ResourceBytes(Module(), type, id); }

    ScopedModule module_;
};

// ---- little-endian reader for resource formats ----------------------------------

// Reads the packed resource formats field by field; any read past the end
// clears Ok() and yields zeros, so a truncated resource fails the checks.
class ResourceReader {
public:
    explicit ResourceReader(std::span<const unsigned char> bytes) : bytes_(bytes) {}
    bool Ok() const { return ok_; }
    size_t Pos() const { return pos_; }
    void Seek(size_t pos) {
        if (pos > bytes_.size()) ok_ = false;
        pos_ = pos;
    }
    uint8_t Byte() { return static_cast<uint8_t>(Take(1)); }
    uint16_t Word() { return static_cast<uint16_t>(Take(2)); }
    uint32_t Dword() { return static_cast<uint32_t>(Take(4)); }
    int16_t Short() { return static_cast<int16_t>(Word()); }
    std::wstring String() {
        std::wstring s;
        for (uint16_t c = Word(); ok_ && c != 0; c = Word()) s.push_back(static_cast<wchar_t>(c));
        return s;
    }
    void AlignDword() { Seek((pos_ + 3) & ~size_t{3}); }

private:
    uint64_t Take(size_t n) {
        if (!ok_ || pos_ + n > bytes_.size()) {
            ok_ = false;
            return 0;
        }
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) v |= uint64_t{bytes_[pos_ + i]} << (8 * i);
        pos_ += n;
        return v;
    }

    std::span<const unsigned char> bytes_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// ---- dialog templates -------------------------------------------------------------

// A name or an ordinal, as dialog templates store menus, classes and texts.
struct NameOrOrdinal {
    bool isOrdinal = false;
    uint16_t ordinal = 0;
    std::wstring name;
};

NameOrOrdinal ReadNameOrOrdinal(ResourceReader& r) {
    NameOrOrdinal v;
    const uint16_t first = r.Word();
    if (first == 0xFFFF) {
        v.isOrdinal = true;
        v.ordinal = r.Word();
    } else if (first != 0) {
        v.name.push_back(static_cast<wchar_t>(first));
        v.name += r.String();
    }
    return v;
}

std::string Describe(const NameOrOrdinal& v) {
    std::string s(1, v.isOrdinal ? '#' : '"');
    s += v.isOrdinal ? std::to_string(v.ordinal) : Narrow(v.name) + '"';
    return s;
}

struct DialogItem {
    uint32_t style = 0, exStyle = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    int32_t id = 0;
    NameOrOrdinal cls, text;
};

struct DialogTemplate {
    bool extended = false;
    uint32_t style = 0, exStyle = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    NameOrOrdinal menu, cls;
    std::wstring title;
    uint16_t pointSize = 0, weight = 0;
    uint8_t italic = 0, charset = 0;
    std::wstring face;
    std::vector<DialogItem> items;
};

// Parses a DLGTEMPLATE or DLGTEMPLATEEX with its items.
bool ParseDialog(std::span<const unsigned char> bytes, DialogTemplate& d) {
    ResourceReader r(bytes);
    uint16_t count = 0;
    if (bytes.size() >= 4 && bytes[0] == 1 && bytes[1] == 0 && bytes[2] == 0xFF && bytes[3] == 0xFF) {
        d.extended = true;
        r.Seek(4);
        r.Dword();  // help id
        d.exStyle = r.Dword();
        d.style = r.Dword();
    } else {
        d.style = r.Dword();
        d.exStyle = r.Dword();
    }
    count = r.Word();
    d.x = r.Short();
    d.y = r.Short();
    d.cx = r.Short();
    d.cy = r.Short();
    d.menu = ReadNameOrOrdinal(r);
    d.cls = ReadNameOrOrdinal(r);
    d.title = r.String();
    if (d.style & (DS_SETFONT | DS_SHELLFONT)) {
        d.pointSize = r.Word();
        if (d.extended) {
            d.weight = r.Word();
            d.italic = r.Byte();
            d.charset = r.Byte();
        }
        d.face = r.String();
    }
    for (uint16_t i = 0; i < count && r.Ok(); ++i) {
        r.AlignDword();
        DialogItem item;
        if (d.extended) {
            r.Dword();  // help id
            item.exStyle = r.Dword();
            item.style = r.Dword();
        } else {
            item.style = r.Dword();
            item.exStyle = r.Dword();
        }
        item.x = r.Short();
        item.y = r.Short();
        item.cx = r.Short();
        item.cy = r.Short();
        item.id = d.extended ? static_cast<int32_t>(r.Dword()) : r.Short();
        item.cls = ReadNameOrOrdinal(r);
        item.text = ReadNameOrOrdinal(r);
        const uint16_t extra = r.Word();
        r.Seek(r.Pos() + extra);
        d.items.push_back(item);
    }
    return r.Ok() && d.items.size() == count;
}

constexpr uint16_t kButtonOrdinal = 0x0080;
constexpr uint16_t kStaticOrdinal = 0x0082;

// Class names are case-insensitive; the predefined ones may be stored as ordinals.
bool IsClass(const NameOrOrdinal& cls, uint16_t ordinal, const wchar_t* name) {
    if (cls.isOrdinal) return ordinal != 0 && cls.ordinal == ordinal;
    return lstrcmpiW(cls.name.c_str(), name) == 0;
}

struct ExpectedItem {
    int32_t id;
    uint16_t classOrdinal;  // 0 when the class has none
    const wchar_t* className;
    uint32_t style;
    int16_t x, y, cx, cy;
    const wchar_t* text;   // null when the text is the ordinal below
    uint16_t textOrdinal;  // the picture a static control shows
};

void ExpectItems(const DialogTemplate& d, std::span<const ExpectedItem> expected) {
    ASSERT_EQ(d.items.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const DialogItem& got = d.items[i];
        const ExpectedItem& want = expected[i];
        SCOPED_TRACE("control " + std::to_string(i) + " (id " + std::to_string(want.id) + ")");
        EXPECT_EQ(got.id, want.id);
        EXPECT_TRUE(IsClass(got.cls, want.classOrdinal, want.className))
            << "class " << Describe(got.cls) << ", expected " << Narrow(want.className);
        EXPECT_EQ(got.style, want.style) << std::hex << "style 0x" << got.style << ", expected 0x" << want.style;
        EXPECT_EQ(got.exStyle, 0u);
        EXPECT_EQ(got.style & WS_DISABLED, 0u);
        EXPECT_EQ(got.x, want.x);
        EXPECT_EQ(got.y, want.y);
        EXPECT_EQ(got.cx, want.cx);
        EXPECT_EQ(got.cy, want.cy);
        if (want.text) {
            EXPECT_FALSE(got.text.isOrdinal) << Describe(got.text);
            EXPECT_EQ(got.text.name, want.text) << Describe(got.text);
        } else {
            EXPECT_TRUE(got.text.isOrdinal && got.text.ordinal == want.textOrdinal)
                << "text " << Describe(got.text) << ", expected #" << want.textOrdinal;
        }
    }
}

constexpr uint32_t kChild = WS_CHILD | WS_VISIBLE;

class ExeDialogTemplates : public ExeModule {
protected:
    DialogTemplate Dialog(UINT id) {
        DialogTemplate d;
        const auto bytes = Bytes(RT_DIALOG, id);
        EXPECT_FALSE(bytes.empty()) << "no dialog " << id;
        EXPECT_TRUE(bytes.empty() || ParseDialog(bytes, d)) << "dialog " << id << " is malformed";
        return d;
    }
};

TEST_F(ExeDialogTemplates, MainDialogFrameAndFont) {
    const DialogTemplate d = Dialog(IDD_MAIN);
    EXPECT_TRUE(d.extended);
    EXPECT_EQ(d.style, 0x80CA00C8u) << std::hex << "style 0x" << d.style;
    EXPECT_EQ(d.style, static_cast<uint32_t>(WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX |
                                             DS_MODALFRAME | DS_SHELLFONT));
    EXPECT_EQ(d.style & WS_VISIBLE, 0u) << "the dialog must be created hidden";
    EXPECT_EQ(d.exStyle, static_cast<uint32_t>(WS_EX_APPWINDOW)) << std::hex << "exstyle 0x" << d.exStyle;
    EXPECT_EQ(d.x, 0);
    EXPECT_EQ(d.y, 0);
    EXPECT_EQ(d.cx, 202);
    EXPECT_EQ(d.cy, 243);
    EXPECT_FALSE(d.menu.isOrdinal || !d.menu.name.empty()) << "menu " << Describe(d.menu);
    EXPECT_FALSE(d.cls.isOrdinal || !d.cls.name.empty()) << "class " << Describe(d.cls);
    EXPECT_EQ(d.title, L"GPS Fennik");
    EXPECT_EQ(d.pointSize, 11);
    EXPECT_EQ(d.weight, 400);
    EXPECT_EQ(d.italic, 0);
    EXPECT_EQ(d.charset, 1);
    EXPECT_EQ(d.face, L"MS Shell Dlg");
}

TEST_F(ExeDialogTemplates, MainDialogControlsInCreationOrder) {
    const ExpectedItem expected[] = {
        {IDC_STATIC, kStaticOrdinal, L"Static", kChild | SS_BITMAP | SS_REALSIZEIMAGE, 0, 0, 204, 50, nullptr,
         IDB_BANNER},
        {IDC_PROGRESS, 0, L"msctls_progress32", kChild | WS_BORDER | PBS_SMOOTH, 7, 172, 188, 12, L"Progress1", 0},
        {IDC_DOWNLOAD_LABEL, kButtonOrdinal, L"Button", kChild | BS_GROUPBOX, 7, 52, 188, 28,
         L"GPS data was download on", 0},
        {IDC_UPDATE_LABEL, kButtonOrdinal, L"Button", kChild | BS_GROUPBOX, 7, 82, 188, 28,
         L"GPS data was updated on", 0},
        {IDC_EXPIRE_LABEL, kButtonOrdinal, L"Button", kChild | BS_GROUPBOX, 7, 112, 188, 28,
         L"GPS data will expire in", 0},
        {IDC_UPDATE, kButtonOrdinal, L"Button", kChild | WS_TABSTOP | BS_PUSHBUTTON, 145, 151, 50, 14, L"Update", 0},
        {IDC_DOWNLOAD_TIME, kStaticOrdinal, L"Static", kChild | WS_GROUP | SS_LEFT, 32, 65, 157, 13, L"", 0},
        {IDC_UPDATE_TIME, kStaticOrdinal, L"Static", kChild | WS_GROUP | SS_LEFT, 32, 95, 157, 13, L"", 0},
        {IDC_EXPIRE_TIME, kStaticOrdinal, L"Static", kChild | WS_GROUP | SS_LEFT, 32, 125, 157, 13, L"", 0},
        {IDC_STATUS, kStaticOrdinal, L"Static", kChild | WS_GROUP | SS_LEFT, 7, 159, 136, 13, L"", 0},
        {IDC_AUTO_UPDATE, kButtonOrdinal, L"Button", kChild | WS_TABSTOP | BS_AUTOCHECKBOX, 7, 190, 171, 10,
         L"Auto-Update when USB connected to PC", 0},
        {IDC_STARTUP, kButtonOrdinal, L"Button", kChild | WS_TABSTOP | BS_AUTOCHECKBOX, 7, 202, 171, 10,
         L"Start up when windows boot up", 0},
        {IDC_CLOSE, kButtonOrdinal, L"Button", kChild | WS_TABSTOP | BS_PUSHBUTTON, 145, 221, 50, 14, L"Close", 0},
    };
    ExpectItems(Dialog(IDD_MAIN), expected);
}

TEST_F(ExeDialogTemplates, AboutBox) {
    const DialogTemplate d = Dialog(IDD_ABOUTBOX);
    EXPECT_EQ(d.style, static_cast<uint32_t>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT))
        << std::hex << "style 0x" << d.style;
    EXPECT_EQ(d.x, 22);
    EXPECT_EQ(d.y, 17);
    EXPECT_EQ(d.cx, 230);
    EXPECT_EQ(d.cy, 75);
    EXPECT_EQ(d.title, L"About");
    EXPECT_EQ(d.pointSize, 8);
    EXPECT_EQ(d.face, L"System");
    const ExpectedItem expected[] = {
        {IDC_ABOUT_ICON, kStaticOrdinal, L"Static", kChild | SS_ICON, 14, 9, 16, 16, nullptr, IDI_MAIN},
        {IDC_STATIC, kStaticOrdinal, L"Static", kChild | WS_GROUP | SS_LEFT | SS_NOPREFIX, 49, 10, 119, 8,
         L"Kelvara Version 1.0", 0},
        {IDOK, kButtonOrdinal, L"Button", kChild | WS_GROUP | WS_TABSTOP | BS_DEFPUSHBUTTON, 195, 6, 30, 11, L"OK", 0},
    };
    ExpectItems(d, expected);
}

TEST_F(ExeDialogTemplates, SplashIsABarePopupWithItsPicture) {
    const DialogTemplate d = Dialog(IDD_SPLASH);
    EXPECT_TRUE(d.style & WS_POPUP);
    EXPECT_EQ(d.style & (WS_CAPTION | WS_BORDER | WS_THICKFRAME | DS_MODALFRAME | WS_SYSMENU), 0u)
        << std::hex << "style 0x" << d.style;
    EXPECT_EQ(d.exStyle & (WS_EX_DLGMODALFRAME | WS_EX_CLIENTEDGE | WS_EX_WINDOWEDGE), 0u);
    EXPECT_EQ(d.x, 0);
    EXPECT_EQ(d.y, 0);
    EXPECT_EQ(d.cx, 327);
    EXPECT_EQ(d.cy, 174);
    EXPECT_EQ(d.pointSize, 8);
    EXPECT_EQ(d.face, L"MS Shell Dlg");
    const ExpectedItem expected[] = {
        {IDC_STATIC, kStaticOrdinal, L"Static", kChild | SS_BITMAP, 0, 0, 327, 174, nullptr, IDB_SPLASH},
    };
    ExpectItems(d, expected);
}

// ---- pictures ------------------------------------------------------------------------

class ExePictures : public ExeModule {
protected:
    void ExpectBitmap(UINT id, LONG width, LONG height) {
        SCOPED_TRACE("bitmap " + std::to_string(id));
        const auto bytes = Bytes(RT_BITMAP, id);
        ASSERT_GE(bytes.size(), sizeof(BITMAPINFOHEADER));
        BITMAPINFOHEADER h;
        memcpy(&h, bytes.data(), sizeof h);
        EXPECT_EQ(h.biSize, sizeof(BITMAPINFOHEADER));
        EXPECT_EQ(h.biWidth, width);
        EXPECT_EQ(h.biHeight, height);
        EXPECT_EQ(h.biPlanes, 1);
        EXPECT_EQ(h.biBitCount, 24);
        EXPECT_EQ(h.biCompression, static_cast<DWORD>(BI_RGB));
        const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
        EXPECT_GE(bytes.size(), h.biSize + stride * static_cast<size_t>(height)) << "pixel data cut short";
    }

    // The RT_GROUP_ICON directory: header, then 14-byte entries.
    struct IconEntry {
        uint8_t width, height, colours;
        uint16_t planes, bitCount;
        uint32_t bytes;
        uint16_t id;
    };
    std::vector<IconEntry> IconGroup(UINT id) {
        std::vector<IconEntry> entries;
        ResourceReader r(Bytes(RT_GROUP_ICON, id));
        const uint16_t reserved = r.Word(), type = r.Word(), count = r.Word();
        EXPECT_TRUE(r.Ok()) << "no icon group " << id;
        EXPECT_EQ(reserved, 0);
        EXPECT_EQ(type, 1) << "not an icon directory";
        for (uint16_t i = 0; i < count && r.Ok(); ++i) {
            IconEntry e;
            e.width = r.Byte();
            e.height = r.Byte();
            e.colours = r.Byte();
            r.Byte();
            e.planes = r.Word();
            e.bitCount = r.Word();
            e.bytes = r.Dword();
            e.id = r.Word();
            if (r.Ok()) entries.push_back(e);
        }
        EXPECT_EQ(entries.size(), count) << "icon group " << id << " is cut short";
        return entries;
    }
};

TEST_F(ExePictures, BitmapsAre24BitUncompressedAtTheirSizes) {
    ExpectBitmap(IDB_SPLASH, 489, 281);
    ExpectBitmap(IDB_BANNER, 407, 112);
}

TEST_F(ExePictures, BitmapsLoadAtTheirSizes) {
    for (auto [id, width, height] : {std::tuple{IDB_SPLASH, 489, 281}, std::tuple{IDB_BANNER, 407, 112}}) {
        HBITMAP bitmap = static_cast<HBITMAP>(
            LoadImageW(Module(), MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
        ASSERT_NE(bitmap, nullptr) << "bitmap " << id << ", error " << GetLastError();
        BITMAP info = {};
        EXPECT_EQ(GetObjectW(bitmap, sizeof info, &info), static_cast<int>(sizeof info));
        EXPECT_EQ(info.bmWidth, width) << "bitmap " << id;
        EXPECT_EQ(info.bmHeight, height) << "bitmap " << id;
        EXPECT_EQ(info.bmBitsPixel, 24) << "bitmap " << id;
        DeleteObject(bitmap);
    }
}

TEST_F(ExePictures, IconGroupsHoldA32BitTrueColourAndA16Pixel256ColourImage) {
    for (UINT group : {IDI_MAIN, IDI_SMALL}) {
        SCOPED_TRACE("icon group " + std::to_string(group));
        const auto entries = IconGroup(group);
        ASSERT_EQ(entries.size(), 2u);
        const struct {
            uint8_t size;
            uint16_t bits;
        } want[] = {{32, 24}, {16, 8}};
        for (size_t i = 0; i < 2; ++i) {
            const IconEntry& e = entries[i];
            EXPECT_EQ(e.width, want[i].size);
            EXPECT_EQ(e.height, want[i].size);
            EXPECT_EQ(e.bitCount, want[i].bits);
            EXPECT_EQ(e.colours, 0) << "256 colours and true colour are both written as 0";
            // The image itself must agree with its directory entry.
            const auto image = Bytes(RT_ICON, e.id);
            ASSERT_EQ(image.size(), e.bytes) << "icon image " << e.id;
            ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
            BITMAPINFOHEADER h;
            memcpy(&h, image.data(), sizeof h);
            EXPECT_EQ(h.biWidth, want[i].size);
            EXPECT_EQ(h.biHeight, 2 * want[i].size) << "colour and mask";
            EXPECT_EQ(h.biBitCount, want[i].bits);
            EXPECT_EQ(h.biCompression, static_cast<DWORD>(BI_RGB));
            const size_t palette = want[i].bits == 8 ? 256 * sizeof(RGBQUAD) : 0;
            const size_t xorStride = (size_t{want[i].size} * want[i].bits / 8 + 3) & ~size_t{3};
            const size_t andStride = ((size_t{want[i].size} + 31) / 32) * 4;
            EXPECT_EQ(image.size(), h.biSize + palette + (xorStride + andStride) * want[i].size);
        }
    }
}

TEST_F(ExePictures, BothIconGroupsShowTheSamePictures) {
    const auto main = IconGroup(IDI_MAIN);
    const auto small = IconGroup(IDI_SMALL);
    ASSERT_EQ(main.size(), small.size());
    for (size_t i = 0; i < main.size(); ++i) {
        const auto a = Bytes(RT_ICON, main[i].id);
        const auto b = Bytes(RT_ICON, small[i].id);
        EXPECT_TRUE(a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin())) << "image " << i;
    }
}

TEST_F(ExePictures, SmallIconLoadsTheWayTheTrayAsksForIt) {
    const auto group = Bytes(RT_GROUP_ICON, IDI_SMALL);
    ASSERT_FALSE(group.empty());
    // The system picks the 16x16 image for the tray, the 32x32 one for Alt+Tab.
    const int small = LookupIconIdFromDirectoryEx(const_cast<PBYTE>(group.data()), TRUE, 16, 16, LR_DEFAULTCOLOR);
    const int large = LookupIconIdFromDirectoryEx(const_cast<PBYTE>(group.data()), TRUE, 32, 32, LR_DEFAULTCOLOR);
    EXPECT_EQ(small, IconGroup(IDI_SMALL)[1].id);
    EXPECT_EQ(large, IconGroup(IDI_SMALL)[0].id);

    ScopedIcon icon(static_cast<HICON>(
        LoadImageW(Module(), MAKEINTRESOURCEW(IDI_SMALL), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR)));
    ASSERT_TRUE(icon) << "error " << GetLastError();
    ICONINFO info = {};
    ASSERT_TRUE(GetIconInfo(icon.Get(), &info));
    BITMAP colour = {};
    GetObjectW(info.hbmColor, sizeof colour, &colour);
    EXPECT_EQ(colour.bmWidth, 16);
    EXPECT_EQ(colour.bmHeight, 16);
    if (info.hbmColor) DeleteObject(info.hbmColor);
    if (info.hbmMask) DeleteObject(info.hbmMask);
}

// ---- menu, accelerators, strings, manifest, version ------------------------------------

class ExeMenuAndKeys : public ExeModule {};

std::wstring MenuText(HMENU menu, UINT position) {
    wchar_t buf[64] = {};
    GetMenuStringW(menu, position, buf, static_cast<int>(std::size(buf)), MF_BYPOSITION);
    return buf;
}

TEST_F(ExeMenuAndKeys, MainMenuHasFileExitAndHelpAbout) {
    ScopedMenu menu(LoadMenuW(Module(), MAKEINTRESOURCEW(IDR_MAINFRAME)));
    ASSERT_TRUE(menu) << "error " << GetLastError();
    ASSERT_EQ(GetMenuItemCount(menu.Get()), 2);
    EXPECT_EQ(MenuText(menu.Get(), 0), L"&File");
    EXPECT_EQ(MenuText(menu.Get(), 1), L"&Help");
    HMENU file = GetSubMenu(menu.Get(), 0);
    HMENU help = GetSubMenu(menu.Get(), 1);
    ASSERT_NE(file, nullptr);
    ASSERT_NE(help, nullptr);
    ASSERT_EQ(GetMenuItemCount(file), 1);
    EXPECT_EQ(MenuText(file, 0), L"E&xit");
    EXPECT_EQ(GetMenuItemID(file, 0), static_cast<UINT>(IDM_EXIT));
    ASSERT_EQ(GetMenuItemCount(help), 1);
    EXPECT_EQ(MenuText(help, 0), L"&About ...");
    EXPECT_EQ(GetMenuItemID(help, 0), static_cast<UINT>(IDM_ABOUT));
}

TEST_F(ExeMenuAndKeys, AcceleratorsAreAltWithTheCharactersQuestionMarkAndSlash) {
    // ACCELTABLEENTRY: flags, key, command, padding; 0x80 marks the last entry.
    ResourceReader r(Bytes(RT_ACCELERATOR, IDR_MAINFRAME));
    const wchar_t keys[] = {L'?', L'/'};
    for (size_t i = 0; i < std::size(keys); ++i) {
        const uint16_t flags = r.Word(), key = r.Word(), command = r.Word();
        r.Word();
        ASSERT_TRUE(r.Ok()) << "accelerator table has " << i << " entries";
        SCOPED_TRACE("entry " + std::to_string(i));
        EXPECT_EQ(flags & 0x7F, FALT) << "flags 0x" << std::hex << flags << ": Alt with a character, not a virtual key";
        EXPECT_EQ((flags & 0x80) != 0, i + 1 == std::size(keys)) << "end marker";
        EXPECT_EQ(key, keys[i]);
        EXPECT_EQ(command, IDM_ABOUT);
    }
}

LRESULT CALLBACK RecordCommand(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_COMMAND) SetWindowLongPtrW(hwnd, GWLP_USERDATA, static_cast<LONG_PTR>(wParam));
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

TEST_F(ExeMenuAndKeys, AltQuestionMarkAndAltSlashTranslateToAbout) {
    HACCEL table = LoadAcceleratorsW(Module(), MAKEINTRESOURCEW(IDR_MAINFRAME));
    ASSERT_NE(table, nullptr) << "error " << GetLastError();
    WNDCLASSW wc = {};
    wc.lpfnWndProc = RecordCommand;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"FennikAcceleratorProbe";
    RegisterClassW(&wc);
    // A message-only window: the translation needs a target, not a screen.
    HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                                nullptr);
    ASSERT_NE(hwnd, nullptr) << "error " << GetLastError();
    // Alt is held: in the thread's key state (what Wine looks at) and in the
    // context bit of the character message (what Windows looks at).
    BYTE keys[256] = {};
    ASSERT_TRUE(GetKeyboardState(keys));
    const BYTE saved = keys[VK_MENU];
    keys[VK_MENU] = 0x80;
    SetKeyboardState(keys);
    constexpr LPARAM kAltContext = 1 << 29;
    for (wchar_t key : {L'?', L'/'}) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        MSG msg = {hwnd, WM_SYSCHAR, key, kAltContext | 1, 0, {0, 0}};
        EXPECT_NE(TranslateAcceleratorW(hwnd, table, &msg), 0) << "Alt+" << static_cast<char>(key);
        EXPECT_EQ(LOWORD(GetWindowLongPtrW(hwnd, GWLP_USERDATA)), IDM_ABOUT) << "Alt+" << static_cast<char>(key);
    }
    keys[VK_MENU] = 0;
    SetKeyboardState(keys);
    // Without Alt the characters are plain typing.
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    MSG plain = {hwnd, WM_CHAR, L'?', 1, 0, {0, 0}};
    EXPECT_EQ(TranslateAcceleratorW(hwnd, table, &plain), 0);
    EXPECT_EQ(GetWindowLongPtrW(hwnd, GWLP_USERDATA), 0);
    keys[VK_MENU] = saved;
    SetKeyboardState(keys);
    DestroyWindow(hwnd);
    UnregisterClassW(wc.lpszClassName, wc.hInstance);
    DestroyAcceleratorTable(table);
}

class ExeStringsAndManifest : public ExeModule {};

TEST_F(ExeStringsAndManifest, OwnStringsAreTheClassNameAndProductName) {
    EXPECT_EQ(ModuleText(Module(), IDS_EXE_CLASS_NAME), L"KIVAR M415 GPS Fennik");
    EXPECT_EQ(ModuleText(Module(), IDS_EXE_PRODUCT_NAME), L"GPS Fennik");
    // The user interface texts belong to the string module alone.
    for (const StringIdName& entry : kStringIdNames)
        EXPECT_TRUE(ModuleText(Module(), entry.id).empty()) << entry.name << " is in the executable";
}

TEST_F(ExeStringsAndManifest, ManifestIsAnEmptyAssembly) {
    const auto bytes = Bytes(RT_MANIFEST, 1);
    ASSERT_FALSE(bytes.empty()) << "no manifest resource 1";
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(text.find("<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\"/>"),
              std::string::npos)
        << text;
    for (const char* absent : {"dependency", "trustInfo", "requestedExecutionLevel", "Common-Controls"})
        EXPECT_EQ(text.find(absent), std::string::npos) << absent << " in the manifest:\n" << text;
    // No second manifest that the loader might pick instead.
    EXPECT_TRUE(Bytes(RT_MANIFEST, 2).empty());
    EXPECT_TRUE(Bytes(RT_MANIFEST, 3).empty());
}

// Finds the value of a StringFileInfo entry by scanning for its key.
std::wstring VersionString(std::span<const unsigned char> bytes, const std::wstring& key) {
    const std::wstring needle = key + L'\0';
    const auto* words = reinterpret_cast<const wchar_t*>(bytes.data());
    const size_t count = bytes.size() / sizeof(wchar_t);
    for (size_t i = 0; i + needle.size() <= count; ++i) {
        if (std::wstring_view(words + i, needle.size()) != needle) continue;
        size_t at = ((i + needle.size()) * 2 + 3) & ~size_t{3};  // value starts DWORD-aligned
        std::wstring value;
        for (at /= 2; at < count && words[at] != 0; ++at) value.push_back(words[at]);
        return value;
    }
    return {};
}

TEST_F(ExeStringsAndManifest, VersionNamesTheProduct) {
    const auto bytes = Bytes(RT_VERSION, 1);
    ASSERT_GE(bytes.size(), 40u + sizeof(VS_FIXEDFILEINFO));
    // VS_VERSIONINFO: lengths, type, L"VS_VERSION_INFO", padding, then the fixed part.
    VS_FIXEDFILEINFO fixed;
    memcpy(&fixed, bytes.data() + 40, sizeof fixed);
    EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed.dwFileType, static_cast<DWORD>(VFT_APP));
    EXPECT_EQ(HIWORD(fixed.dwProductVersionMS), 1);
    EXPECT_EQ(VersionString(bytes, L"ProductName"), L"GPS Fennik");
    EXPECT_EQ(VersionString(bytes, L"OriginalFilename"), L"GpsFennik.exe");
}

// ---- the templates come alive ------------------------------------------------------------

INT_PTR CALLBACK PlainDialogProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

class ExeDialogsCreate : public ExeModule {
protected:
    void SetUp() override {
        ExeModule::SetUp();
        INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_PROGRESS_CLASS};
        ASSERT_TRUE(InitCommonControlsEx(&icc));
    }
    static SIZE ShownBitmapSize(HWND control) {
        HBITMAP shown = reinterpret_cast<HBITMAP>(SendMessageW(control, STM_GETIMAGE, IMAGE_BITMAP, 0));
        BITMAP info = {};
        if (shown) GetObjectW(shown, sizeof info, &info);
        return {info.bmWidth, info.bmHeight};
    }
};

TEST_F(ExeDialogsCreate, MainDialogCreatesItsControlsHiddenInOrder) {
    HWND dlg = CreateDialogParamW(Module(), MAKEINTRESOURCEW(IDD_MAIN), nullptr, PlainDialogProc, 0);
    ASSERT_NE(dlg, nullptr) << "error " << GetLastError();
    EXPECT_FALSE(IsWindowVisible(dlg));
    EXPECT_TRUE(GetWindowLongW(dlg, GWL_EXSTYLE) & WS_EX_APPWINDOW);

    const int order[] = {IDC_STATIC,        IDC_PROGRESS,    IDC_DOWNLOAD_LABEL, IDC_UPDATE_LABEL, IDC_EXPIRE_LABEL,
                         IDC_UPDATE,        IDC_DOWNLOAD_TIME, IDC_UPDATE_TIME,  IDC_EXPIRE_TIME,  IDC_STATUS,
                         IDC_AUTO_UPDATE,   IDC_STARTUP,     IDC_CLOSE};
    std::vector<HWND> children;
    for (HWND c = GetWindow(dlg, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) children.push_back(c);
    ASSERT_EQ(children.size(), std::size(order));
    for (size_t i = 0; i < children.size(); ++i) {
        EXPECT_EQ(static_cast<int16_t>(GetDlgCtrlID(children[i])), order[i]) << "child " << i;
        EXPECT_TRUE(IsWindowEnabled(children[i])) << "child " << i;
    }
    wchar_t cls[64] = {};
    GetClassNameW(GetDlgItem(dlg, IDC_PROGRESS), cls, static_cast<int>(std::size(cls)));
    EXPECT_EQ(lstrcmpiW(cls, PROGRESS_CLASSW), 0) << Narrow(cls);

    // The banner is drawn at the bitmap's own size, whatever the dialog units come to.
    const SIZE banner = ShownBitmapSize(children[0]);
    EXPECT_EQ(banner.cx, 407);
    EXPECT_EQ(banner.cy, 112);
    RECT rc = {};
    GetClientRect(children[0], &rc);
    EXPECT_EQ(rc.right, 407);
    EXPECT_EQ(rc.bottom, 112);
    DestroyWindow(dlg);
}

TEST_F(ExeDialogsCreate, SplashShowsItsBitmap) {
    HWND dlg = CreateDialogParamW(Module(), MAKEINTRESOURCEW(IDD_SPLASH), nullptr, PlainDialogProc, 0);
    ASSERT_NE(dlg, nullptr) << "error " << GetLastError();
    HWND picture = GetWindow(dlg, GW_CHILD);
    ASSERT_NE(picture, nullptr);
    const SIZE size = ShownBitmapSize(picture);
    EXPECT_EQ(size.cx, 489);
    EXPECT_EQ(size.cy, 281);
    EXPECT_EQ(GetWindowLongW(dlg, GWL_STYLE) & (WS_CAPTION | WS_BORDER | WS_THICKFRAME), 0);
    DestroyWindow(dlg);
}

TEST_F(ExeDialogsCreate, AboutBoxShowsTheIconAndDefaultsToOk) {
    HWND dlg = CreateDialogParamW(Module(), MAKEINTRESOURCEW(IDD_ABOUTBOX), nullptr, PlainDialogProc, 0);
    ASSERT_NE(dlg, nullptr) << "error " << GetLastError();
    EXPECT_NE(SendDlgItemMessageW(dlg, IDC_ABOUT_ICON, STM_GETICON, 0, 0), 0);
    EXPECT_EQ(LOWORD(SendMessageW(dlg, DM_GETDEFID, 0, 0)), IDOK);
    wchar_t caption[32] = {};
    GetWindowTextW(dlg, caption, static_cast<int>(std::size(caption)));
    EXPECT_STREQ(caption, L"About");
    DestroyWindow(dlg);
}

}  // namespace
