// A randomized soak: a fixed number of Update presses, device events and
// server answers from a seeded generator. However the events fall, the
// program comes to rest whole: no torn file, settings that still parse, no
// worker left, and the tray's Update item working.
#include <gtest/gtest.h>

#include <random>
#include <regex>

#include "app_driver.h"
#include "resources/resource.h"
#include "shell/string_ids.h"

namespace {

// Every answer a body can come from: (size, seed) as the server makes it.
constexpr struct {
    const char* mode;
    size_t size;
    unsigned seed;
} kAnswers[] = {{"file 30000 1", 30000, 1}, {"chunked 40000 2", 40000, 2}, {"close 50000 3", 50000, 3},
                {"slowbody 100000 4 5", 100000, 4}, {"slowheaders 9000 5 300", 9000, 5}, {"cut 60000 6", 0, 0},
                {"status 404", 0, 0}, {"empty", 0, 0}, {"refuse", 0, 0}};

using Soak = AppTest;

TEST_F(Soak, RandomEventsEndAtRestWithWholeFiles) {
    char given[16] = {};
    const unsigned seed = GetEnvironmentVariableA("FENNIK_SOAK_SEED", given, sizeof given)
                              ? static_cast<unsigned>(strtoul(given, nullptr, 10))
                              : static_cast<unsigned>(GetTickCount64());
    std::mt19937 rng(seed);
    ASSERT_TRUE(Launch());
    ASSERT_TRUE(app.TrayDoubleClick());
    int presses = 0, plugs = 0, answers = 0, boxes = 0, events = 0;
    for (; events < 120; ++events) {
        if (HWND box = app.Box()) boxes += PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
        const unsigned kind = rng() % 4;  // Update twice as often as the others
        if (kind < 2) app.Click(IDC_UPDATE);
        ASSERT_TRUE(kind != 2 || (rng() % 2 ? app.Plug(L'E') : app.Unplug(L'E')));
        ASSERT_TRUE(kind != 3 || SetServerMode(kAnswers[rng() % std::size(kAnswers)].mode));
        ++(kind < 2 ? presses : kind == 2 ? plugs : answers);
        PumpUntil([] { return false; }, rng() % 200);
    }
    printf("soak seed %u: %d events, %d Update presses, %d device events, %d answer changes, %d boxes closed\n", seed,
           events, presses, plugs, answers, boxes);

    // At rest: every box answered and the button back to Update.
    const auto atRest = [&] {
        if (HWND box = app.Box()) PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
        return app.Flush() && !app.Box() && app.Text(IDC_UPDATE) == Str(IDS_BTN_UPDATE) && app.Enabled(IDC_UPDATE);
    };
    ASSERT_TRUE(SetServerMode("file 30000 1"));
    ASSERT_TRUE(PumpUntil(atRest, 30000)) << "not at rest: status " << Show(app.Text(IDC_STATUS));

    const auto whole = [](const Bytes& file) {
        for (const auto& a : kAnswers)
            if (a.size != 0 && file == ServedBody(a.size, a.seed)) return true;
        return file.empty();
    };
    EXPECT_TRUE(whole(ReadFileBytes(app.File(L"Ephemeris.ee")))) << "torn local file";
    EXPECT_TRUE(whole(ReadFileBytes(DeviceFile(L'E')))) << "torn device file";
    EXPECT_FALSE(FileExists(app.File(L"packedEphemeris.ee")));
    EXPECT_FALSE(FileExists(L"E:\\Ephemeris.ee.new"));
    const std::wstring settings = FromUtf16(ReadFileBytes(app.File(L"Kelva_config.ini")));
    EXPECT_TRUE(std::regex_match(settings, std::wregex(L"(\\[((DOWNLOAD|EXPIRE|UPDATE) TIME|DEVICE EXPIRY)\\]\r\n\\d{4}/\\d\\d/\\d\\d\t"
                                                       L"\\d\\d:\\d\\d(Z [012])?\r\n|\\[AUTO UPDATE\\]\r\n[01]\r\n)*")))
        << Show(settings);

    // No worker left and the tray's Update item usable: it starts an update,
    // which again ends at rest.
    EXPECT_TRUE(PumpUntil([&] {
        app.TrayCommand(IDM_TRAY_UPDATE);  // ignored only while a worker still ends
        return app.Flush() && (app.Box() || app.Text(IDC_UPDATE) == Str(IDS_BTN_CANCEL));
    })) << "the tray's Update started nothing; status " << Show(app.Text(IDC_STATUS));
    EXPECT_TRUE(PumpUntil(atRest, 30000));
}

}  // namespace
