// What the executable brings for the displays of today: its manifest, its
// windows' placement and its icon.
#include <gtest/gtest.h>

#include <windows.h>

#include "app_driver.h"
#include "resources/resource.h"
#include "shell/app_state.h"
#include "shell/main_window.h"
#include "workflow/main_dialog.h"

namespace {

// The manifest asks for Common Controls 6 and per-monitor v2 awareness (else
// system), as the loader reads it: Wine 8 runs every process per-monitor. A
// window larger than the work area keeps its title bar in reach. The icon:
// the two first images byte for byte as they were (FNV-1a of the original
// file's), then 20 to 256 pixels with alpha.
TEST(Dialogs, ManifestAndIconsAreForTodaysDisplays) {
    const std::wstring path = WindowsPath(FENNIK_DIST_DIR "/GpsFennik.exe");
    HMODULE exe = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    const auto bytes = [&](const wchar_t* type, int id) {
        HRSRC res = FindResourceW(exe, MAKEINTRESOURCEW(id), type);
        return std::string(static_cast<const char*>(LockResource(LoadResource(exe, res))), res ? SizeofResource(exe, res) : 0);
    };
    EXPECT_NE(bytes(RT_MANIFEST, 1).find(R"("Microsoft.Windows.Common-Controls" version="6.0.0.0")"), std::string::npos);
    ACTCTXW ctx{sizeof ctx, ACTCTX_FLAG_RESOURCE_NAME_VALID, path.c_str(), 0, 0, nullptr, MAKEINTRESOURCEW(1), nullptr, nullptr};
    HANDLE act = CreateActCtxW(&ctx);
    const auto setting = [&](const std::wstring& year, const wchar_t* name) {
        wchar_t value[64] = {};
        const std::wstring ns = L"http://schemas.microsoft.com/SMI/" + year + L"/WindowsSettings";
        return QueryActCtxSettingsW(0, act, ns.c_str(), name, value, 64, nullptr) ? std::wstring(value) : L"-";
    };
    EXPECT_EQ(setting(L"2016", L"dpiAwareness") + L" | " + setting(L"2005", L"dpiAware"), L"PerMonitorV2, System | true");
    ReleaseActCtx(act);
    // The About box's text scales with the display: not the raster "System" font, which stays at 100 %.
    HWND about = CreateDialogParamW(exe, MAKEINTRESOURCEW(IDD_ABOUTBOX), nullptr, nullptr, 0);
    LOGFONTW font{};
    EXPECT_TRUE(GetObjectW(reinterpret_cast<HFONT>(SendMessageW(about, WM_GETFONT, 0, 0)), sizeof font, &font) &&
                wcscmp(font.lfFaceName, L"System") && DestroyWindow(about))
        << Show(font.lfFaceName);
    for (auto [work, w, h, x, y] : {std::tuple{RECT{0, 0, 1024, 728}, 410, 572, 307, 78},
                                    {RECT{-1280, 40, 0, 1064}, 612, 854, -946, 125},
                                    {RECT{0, 0, 1024, 728}, 612, 854, 206, 0}, {RECT{0, 0, 1024, 728}, 1100, 854, 0, 0}}) {
        const POINT at = CenteredPosition(work, w, h);
        EXPECT_EQ(std::pair(at.x, at.y), std::pair(LONG(x), LONG(y))) << w << "x" << h;
    }
    const uint64_t rows[][3] = {{32, 24, 0xc219472c2961c038}, {16, 8, 0x88a14df44a6c7e6e}, {20, 32}, {24, 32}, {40, 32}, {48, 32}, {64, 32}, {256, 32}};
    for (int group : {IDI_MAIN, IDI_SMALL}) {
        const std::string dir = bytes(RT_GROUP_ICON, group);
        ASSERT_EQ(dir.size(), 6 + 14 * std::size(rows)) << "group " << group;
        for (size_t i = 0; i < std::size(rows); ++i) {
            const auto* e = reinterpret_cast<const uint8_t*>(&dir[6 + 14 * i]);
            uint64_t hash = 1469598103934665603u;
            for (uint8_t b : bytes(RT_ICON, e[12] | e[13] << 8)) hash = (hash ^ b) * 1099511628211u;
            EXPECT_TRUE((e[0] ? e[0] : 256) == rows[i][0] && e[6] == rows[i][1] && (!rows[i][2] || hash == rows[i][2]))
                << "image " << i << ": " << int(e[0]) << " px, " << int(e[6]) << " bits, hash " << std::hex << hash;
        }
    }
    FreeLibrary(exe);
}

// A drive without its medium fails the program's call rather than raising the system's box; modes set before stay.
TEST(Dialogs, NoSystemBoxForADriveWithoutItsMedium) {
    SetErrorMode(SEM_NOALIGNMENTFAULTEXCEPT);
    KeepSystemErrorBoxesAway();
    EXPECT_EQ(GetErrorMode(), UINT{SEM_NOALIGNMENTFAULTEXCEPT | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX});
}

}  // namespace
