// String_Table_.dll: every text the program asks for is there and fits the
// buffers it is loaded into, and the module is resources only.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "shell/app_state.h"
#include "base/scoped_win.h"
#include "shell/string_ids.h"
#include "shell/string_table.h"
#include "win_test_util.h"

namespace {

constexpr size_t kTipChars = 128;  // szTip of the tray icon record, terminator included

std::wstring ModuleText(HMODULE module, UINT id) {
    // Larger than the program's buffer, so an over-long text shows its real length.
    wchar_t buf[1024] = {};
    const int n = LoadStringW(module, id, buf, static_cast<int>(std::size(buf)));
    return std::wstring(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

class StringModule : public testing::Test {
protected:
    void SetUp() override {
        module_.Reset(LoadLibraryExW(L"" FENNIK_STRING_MODULE_PATH, nullptr, LOAD_LIBRARY_AS_DATAFILE));
        ASSERT_TRUE(module_) << "cannot load " << FENNIK_STRING_MODULE_PATH << " as a data file, error "
                             << GetLastError();
    }
    std::wstring Text(UINT id) const { return ModuleText(module_.Get(), id); }

    ScopedModule module_;
};

TEST_F(StringModule, EveryIdentifierHasATextThatFitsItsBuffer) {
    for (const StringIdName& entry : kStringIdNames) {
        const std::wstring text = Text(entry.id);
        EXPECT_FALSE(text.empty()) << entry.name << " (" << entry.id << ") has no text";
        EXPECT_LT(text.size(), kTextChars)
            << entry.name << " (" << entry.id << ") would be cut: " << text.size() << " characters";
    }
}

TEST_F(StringModule, TextsLeaveRoomForTheirSuffixes) {
    // Status line: text + "..." (and "...\t100%" when a download ends).
    for (UINT id : {IDS_STATUS_CANCELLING, IDS_STATUS_STARTING, IDS_DOWNLOAD_FAILED, IDS_STATUS_COPYING,
                    IDS_COPY_DONE, IDS_COPY_FAILED}) {
        EXPECT_LT(Text(id).size() + 3, kTextChars) << "text " << id;
    }
    EXPECT_LT(Text(IDS_DOWNLOAD_DONE).size() + 8, kTextChars);
    // Animation: text + a ten-character frame + tab + up to "100%".
    EXPECT_LT(Text(IDS_STATUS_DOWNLOADING).size() + 10 + 5, kTextChars);
    // Tray tooltips are cut at 127 characters: the title and the "..." texts must fit whole.
    EXPECT_LT(Text(IDS_APP_TITLE).size(), kTipChars);
    for (UINT id : {IDS_STATUS_DOWNLOADING, IDS_STATUS_CANCELLING, IDS_TIP_COPYING})
        EXPECT_LT(Text(id).size() + 3, kTipChars) << "tooltip text " << id;
}

TEST_F(StringModule, TextsAreTheEnglishOnes) {
    EXPECT_EQ(Text(IDS_APP_TITLE), L"GPS Fennik");
    // The dialog's captions must match the template defaults where both exist,
    // except for the label whose template default reads "download".
    EXPECT_EQ(Text(IDS_LABEL_DOWNLOADED), L"GPS data was downloaded on");
    EXPECT_EQ(Text(IDS_LABEL_UPDATED), L"GPS data was updated on");
    EXPECT_EQ(Text(IDS_BTN_UPDATE), L"Update");
    EXPECT_EQ(Text(IDS_BTN_CLOSE), L"Close");
    EXPECT_EQ(Text(IDS_CHK_AUTO_UPDATE), L"Auto-Update when USB connected to PC");
    EXPECT_EQ(Text(IDS_CHK_STARTUP), L"Start up when windows boot up");
}

// The PE headers of the file itself: a data file load never runs code, but a
// module with an entry point or imports would run code under a plain load.
struct PeView {
    std::vector<unsigned char> bytes;
    const IMAGE_NT_HEADERS64* nt = nullptr;

    const IMAGE_SECTION_HEADER* Sections() const { return IMAGE_FIRST_SECTION(nt); }
    // File offset of an RVA, or 0 when no section holds it.
    size_t Offset(DWORD rva) const {
        const IMAGE_SECTION_HEADER* s = Sections();
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
            if (rva >= s[i].VirtualAddress && rva < s[i].VirtualAddress + s[i].SizeOfRawData)
                return s[i].PointerToRawData + (rva - s[i].VirtualAddress);
        }
        return 0;
    }
};

bool ReadPe(const std::wstring& path, PeView& pe) {
    pe.bytes = ReadFileBytes(path);
    if (pe.bytes.size() < sizeof(IMAGE_DOS_HEADER)) return false;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(pe.bytes.data());
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0 ||
        static_cast<size_t>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS64) > pe.bytes.size())
        return false;
    pe.nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(pe.bytes.data() + dos->e_lfanew);
    return pe.nt->Signature == IMAGE_NT_SIGNATURE &&
           pe.nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
}

TEST(StringModuleImage, IsAResourceOnlyDllWithoutEntryPointOrImports) {
    PeView pe;
    ASSERT_TRUE(ReadPe(L"" FENNIK_STRING_MODULE_PATH, pe)) << "not a 64-bit PE file: " << FENNIK_STRING_MODULE_PATH;
    EXPECT_TRUE(pe.nt->FileHeader.Characteristics & IMAGE_FILE_DLL);
    EXPECT_EQ(pe.nt->OptionalHeader.AddressOfEntryPoint, 0u);

    const IMAGE_DATA_DIRECTORY& imports = pe.nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress != 0 && imports.Size != 0) {
        // The linker may leave an import directory that holds only its terminator.
        const size_t at = pe.Offset(imports.VirtualAddress);
        ASSERT_NE(at, 0u);
        ASSERT_LE(at + sizeof(IMAGE_IMPORT_DESCRIPTOR), pe.bytes.size());
        const auto* first = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(pe.bytes.data() + at);
        EXPECT_EQ(first->Name, 0u) << "the string module imports a DLL";
    }
    EXPECT_NE(pe.nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].Size, 0u);
    EXPECT_EQ(pe.nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS].Size, 0u);
}

}  // namespace

// Workers may still look texts up while the program ends and releases the
// module: every lookup then yields a whole text or an empty one, never a crash.
TEST(StringModuleRelease, LookupsRacingTheReleaseStaySafe) {
    for (int round = 0; round < 20; ++round) {
        app.stringModule = LoadLibraryExW(L"" FENNIK_STRING_MODULE_PATH, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(app.stringModule, nullptr);
        std::atomic<bool> stop{false};
        std::atomic<int> whole{0}, empty{0}, torn{0};
        std::thread reader([&] {
            while (!stop.load()) {
                wchar_t text[kTextChars];
                LoadUiText(IDS_BTN_UPDATE, text);
                const std::wstring got(text);
                (got == L"Update" ? whole : got.empty() ? empty : torn)++;
            }
        });
        Sleep(2);
        ReleaseStringModule();
        stop = true;
        reader.join();
        EXPECT_EQ(torn.load(), 0) << "round " << round;
        EXPECT_EQ(app.stringModule, nullptr);
    }
}
