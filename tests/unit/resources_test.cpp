// The resources of GpsFennik.exe, read from the built executable loaded as a
// data file: the test executable cannot see them in its own image. Dialogs are
// checked as the system creates them, not byte by byte.
#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "resources/resource.h"
#include "base/scoped_win.h"
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

std::wstring ModuleText(HMODULE module, UINT id) {
    wchar_t buf[256] = {};
    const int n = LoadStringW(module, id, buf, static_cast<int>(std::size(buf)));
    return std::wstring(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

// A fixed-size head of resource bytes; zeros when they are too short.
template <typename T>
T Header(std::span<const unsigned char> bytes) {
    T value = {};
    if (bytes.size() >= sizeof value) memcpy(&value, bytes.data(), sizeof value);
    return value;
}

class ExeModule : public testing::Test {
protected:
    void SetUp() override {
        const std::wstring path = ExePath();
        module_.Reset(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
        ASSERT_TRUE(module_) << "cannot load " << Narrow(path) << " as a data file (error " << GetLastError()
                             << "); the GpsFennik target must be built before these tests";
        INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_PROGRESS_CLASS};
        ASSERT_TRUE(InitCommonControlsEx(&icc));
    }
    HMODULE Module() const { return module_.Get(); }
    // Bytes of a resource; empty when the module has no such resource.
    std::span<const unsigned char> Bytes(LPCWSTR type, UINT id) const {
        HRSRC info = FindResourceW(Module(), MAKEINTRESOURCEW(id), type);
        HGLOBAL data = info ? LoadResource(Module(), info) : nullptr;
        const void* p = data ? LockResource(data) : nullptr;
        if (!p) return {};
        return {static_cast<const unsigned char*>(p), SizeofResource(Module(), info)};
    }
    HWND CreateDialogOf(UINT id) {
        // x64 has a single calling convention, so a plain lambda serves as the procedure.
        return CreateDialogParamW(Module(), MAKEINTRESOURCEW(id), nullptr,
                                  [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; }, 0);
    }
    static SIZE ShownBitmapSize(HWND control) {
        HBITMAP shown = reinterpret_cast<HBITMAP>(SendMessageW(control, STM_GETIMAGE, IMAGE_BITMAP, 0));
        BITMAP info = {};
        if (shown) GetObjectW(shown, sizeof info, &info);
        return {info.bmWidth, info.bmHeight};
    }

    ScopedModule module_;
};

using ExeDialogTemplates = ExeModule;
using ExeDialogsCreate = ExeModule;
using ExePictures = ExeModule;
using ExeMenuAndKeys = ExeModule;
using ExeStringsAndManifest = ExeModule;

// The fixed head of a DLGTEMPLATEEX: the frame the window manager is given.
#pragma pack(push, 1)
struct DialogExHead {
    WORD version, signature;
    DWORD helpId, exStyle, style;
    WORD count;
    short x, y, cx, cy;
};
#pragma pack(pop)

TEST_F(ExeDialogTemplates, MainDialogFrame) {
    const auto d = Header<DialogExHead>(Bytes(RT_DIALOG, IDD_MAIN));
    ASSERT_EQ(d.signature, 0xFFFF) << "not an extended template";
    EXPECT_EQ(d.style, 0x80CA00C8u) << std::hex << "style 0x" << d.style;
    EXPECT_EQ(d.exStyle, static_cast<DWORD>(WS_EX_APPWINDOW)) << std::hex << "exstyle 0x" << d.exStyle;
    EXPECT_EQ(d.cx, 202);
    EXPECT_EQ(d.cy, 243);
}

TEST_F(ExeDialogsCreate, MainDialogCreatesItsControlsHiddenInOrder) {
    HWND dlg = CreateDialogOf(IDD_MAIN);
    ASSERT_NE(dlg, nullptr) << "error " << GetLastError();
    EXPECT_FALSE(IsWindowVisible(dlg));
    EXPECT_TRUE(GetWindowLongW(dlg, GWL_EXSTYLE) & WS_EX_APPWINDOW);
    const struct {
        int id;
        const wchar_t* cls;
        DWORD type;  // the low style bits: button kind or static kind
    } want[] = {
        {IDC_STATIC, L"Static", SS_BITMAP},           {IDC_PROGRESS, PROGRESS_CLASSW, PBS_SMOOTH},
        {IDC_DOWNLOAD_LABEL, L"Button", BS_GROUPBOX}, {IDC_UPDATE_LABEL, L"Button", BS_GROUPBOX},
        {IDC_EXPIRE_LABEL, L"Button", BS_GROUPBOX},   {IDC_UPDATE, L"Button", BS_PUSHBUTTON},
        {IDC_DOWNLOAD_TIME, L"Static", SS_LEFT},      {IDC_UPDATE_TIME, L"Static", SS_LEFT},
        {IDC_EXPIRE_TIME, L"Static", SS_LEFT},        {IDC_STATUS, L"Static", SS_LEFT},
        {IDC_AUTO_UPDATE, L"Button", BS_AUTOCHECKBOX}, {IDC_STARTUP, L"Button", BS_AUTOCHECKBOX},
        {IDC_CLOSE, L"Button", BS_PUSHBUTTON},
    };
    std::vector<HWND> children;
    for (HWND c = GetWindow(dlg, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) children.push_back(c);
    ASSERT_EQ(children.size(), std::size(want));
    for (size_t i = 0; i < children.size(); ++i) {
        wchar_t cls[64] = {};
        GetClassNameW(children[i], cls, static_cast<int>(std::size(cls)));
        const DWORD style = static_cast<DWORD>(GetWindowLongW(children[i], GWL_STYLE));
        EXPECT_EQ(static_cast<int16_t>(GetDlgCtrlID(children[i])), want[i].id) << "child " << i;
        EXPECT_EQ(lstrcmpiW(cls, want[i].cls), 0) << "child " << i << ": " << Narrow(cls);
        EXPECT_EQ(style & 0x1F, want[i].type) << "child " << i << std::hex << ": style 0x" << style;
        EXPECT_TRUE(IsWindowEnabled(children[i])) << "child " << i;
    }
    // The banner is drawn at the bitmap's own size, whatever the dialog units come to.
    const SIZE banner = ShownBitmapSize(children[0]);
    EXPECT_EQ(banner.cx, 407);
    EXPECT_EQ(banner.cy, 112);
    DestroyWindow(dlg);
}

TEST_F(ExeDialogsCreate, SplashIsABarePopupShowingItsBitmap) {
    HWND dlg = CreateDialogOf(IDD_SPLASH);
    ASSERT_NE(dlg, nullptr) << "error " << GetLastError();
    const SIZE size = ShownBitmapSize(GetWindow(dlg, GW_CHILD));
    EXPECT_EQ(size.cx, 489);
    EXPECT_EQ(size.cy, 281);
    EXPECT_EQ(GetWindowLongW(dlg, GWL_STYLE) & (WS_CAPTION | WS_BORDER | WS_THICKFRAME), 0);
    DestroyWindow(dlg);
}

TEST_F(ExeDialogsCreate, AboutBoxShowsTheIconAndDefaultsToOk) {
    HWND dlg = CreateDialogOf(IDD_ABOUTBOX);
    ASSERT_NE(dlg, nullptr) << "error " << GetLastError();
    EXPECT_NE(SendDlgItemMessageW(dlg, IDC_ABOUT_ICON, STM_GETICON, 0, 0), 0);
    EXPECT_EQ(LOWORD(SendMessageW(dlg, DM_GETDEFID, 0, 0)), IDOK);
    wchar_t caption[32] = {};
    GetWindowTextW(dlg, caption, static_cast<int>(std::size(caption)));
    EXPECT_STREQ(caption, L"About");
    DestroyWindow(dlg);
}

TEST_F(ExePictures, BitmapsAre24BitUncompressedAtTheirSizes) {
    for (auto [id, width, height] : {std::tuple{IDB_SPLASH, 489, 281}, std::tuple{IDB_BANNER, 407, 112}}) {
        SCOPED_TRACE("bitmap " + std::to_string(id));
        const auto bytes = Bytes(RT_BITMAP, id);
        const auto h = Header<BITMAPINFOHEADER>(bytes);
        EXPECT_EQ(h.biWidth, width);
        EXPECT_EQ(h.biHeight, height);
        EXPECT_EQ(h.biBitCount, 24);
        EXPECT_EQ(h.biCompression, static_cast<DWORD>(BI_RGB));
        const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
        EXPECT_GE(bytes.size(), sizeof h + stride * static_cast<size_t>(height)) << "pixel data cut short";
    }
}

// An RT_GROUP_ICON directory: a 6-byte head, then 14-byte entries.
#pragma pack(push, 1)
struct IconEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST_F(ExePictures, IconGroupsHoldA32Pixel24BitAndA16Pixel256ColourImage) {
    const struct {
        BYTE size;
        WORD bits;
    } want[] = {{32, 24}, {16, 8}};
    for (UINT group : {IDI_MAIN, IDI_SMALL}) {
        SCOPED_TRACE("icon group " + std::to_string(group));
        const auto dir = Bytes(RT_GROUP_ICON, group);
        ASSERT_EQ(dir.size(), 6 + 2 * sizeof(IconEntry));
        ASSERT_EQ(dir[4], 2) << "image count";
        for (size_t i = 0; i < 2; ++i) {
            const auto e = Header<IconEntry>(dir.subspan(6 + i * sizeof(IconEntry)));
            EXPECT_EQ(e.width, want[i].size);
            EXPECT_EQ(e.height, want[i].size);
            EXPECT_EQ(e.bitCount, want[i].bits);
                    const auto image = Bytes(RT_ICON, e.id);
            EXPECT_EQ(image.size(), e.bytes) << "icon image " << e.id;
            const auto h = Header<BITMAPINFOHEADER>(image);
            EXPECT_EQ(h.biWidth, want[i].size);
            EXPECT_EQ(h.biHeight, 2 * want[i].size) << "colour and mask";
            EXPECT_EQ(h.biBitCount, want[i].bits);
        }
    }
}

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
    HMENU file = GetSubMenu(menu.Get(), 0), help = GetSubMenu(menu.Get(), 1);
    ASSERT_TRUE(GetMenuItemCount(file) == 1 && GetMenuItemCount(help) == 1);
    EXPECT_EQ(MenuText(file, 0), L"E&xit");
    EXPECT_EQ(GetMenuItemID(file, 0), static_cast<UINT>(IDM_EXIT));
    EXPECT_EQ(MenuText(help, 0), L"&About ...");
    EXPECT_EQ(GetMenuItemID(help, 0), static_cast<UINT>(IDM_ABOUT));
}

LRESULT CALLBACK RecordCommand(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_COMMAND) SetWindowLongPtrW(hwnd, GWLP_USERDATA, static_cast<LONG_PTR>(wParam));
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

TEST_F(ExeMenuAndKeys, AltQuestionMarkAndAltSlashTranslateToAbout) {
    HACCEL table = LoadAcceleratorsW(Module(), MAKEINTRESOURCEW(IDR_MAINFRAME));
    ASSERT_NE(table, nullptr) << "error " << GetLastError();
    // Characters with Alt, not virtual keys: the same whatever the keyboard layout.
    ACCEL entries[4] = {};
    ASSERT_EQ(CopyAcceleratorTableW(table, entries, 4), 2);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(entries[i].fVirt, FALT) << "key " << entries[i].key << std::hex << ": flags 0x" << int{entries[i].fVirt};

    WNDCLASSW wc = {};
    wc.lpfnWndProc = RecordCommand;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"FennikAcceleratorProbe";
    RegisterClassW(&wc);
    HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                                nullptr);
    ASSERT_NE(hwnd, nullptr) << "error " << GetLastError();
    // Alt held in the key state (what Wine looks at) and the message's context bit (what Windows looks at).
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
    keys[VK_MENU] = saved;
    SetKeyboardState(keys);
    DestroyWindow(hwnd);
    UnregisterClassW(wc.lpszClassName, wc.hInstance);
    DestroyAcceleratorTable(table);
}

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

TEST_F(ExeStringsAndManifest, VersionIsOfAnApplication) {
    const auto bytes = Bytes(RT_VERSION, 1);
    ASSERT_GE(bytes.size(), 40u + sizeof(VS_FIXEDFILEINFO));  // the fixed part follows L"VS_VERSION_INFO"
    const auto fixed = Header<VS_FIXEDFILEINFO>(bytes.subspan(40));
    EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed.dwFileType, static_cast<DWORD>(VFT_APP));
}

}  // namespace
