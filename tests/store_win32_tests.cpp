// Where received files land on Windows: a destination the program makes is
// open to its user, SYSTEM and the Administrators only, and no file lands
// outside the destination through a link or junction on the way.
#include <windows.h>
#include <aclapi.h>

#include <algorithm>
#include <thread>

#include "platform/wide_text.h"
#include "tests/engine_fixture.h"

namespace {

// Runs a Unix tool from inside Wine, which starts Unix programs for
// CreateProcess but does not wait for them: done once path is there (or
// gone), within a few seconds. False elsewhere.
bool run_unix_tool(const wchar_t* tool, std::wstring command, const fs::path& path, bool there) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(tool, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    for (int i = 0; i < 500; ++i, Sleep(10))
        if ((GetFileAttributesW(path.wstring().c_str()) != INVALID_FILE_ATTRIBUTES) == there) return true;
    return false;
}

// The Unix name of a path under Wine, quoted for a command line; empty elsewhere.
std::wstring quoted_unix_name(const fs::path& path) {
    using UnixName = char*(WINAPI*)(LPCWSTR);
    FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
    char* name = found ? reinterpret_cast<UnixName>(reinterpret_cast<void*>(found))(path.wstring().c_str()) : nullptr;
    if (!name) return {};
    std::wstring quoted = L"\"" + to_wide(name) + L"\"";
    HeapFree(GetProcessHeap(), 0, name);
    return quoted;
}

// Makes link a directory that leads to target. Wine makes no junctions
// (FSCTL_SET_REPARSE_POINT is not supported) and CreateSymbolicLinkW makes
// nothing, so a Unix link stands in, which Wine shows as a reparse point.
// False off Wine.
bool plant_directory_link(const fs::path& link, const fs::path& target) {
    std::wstring from = quoted_unix_name(target), to = quoted_unix_name(link);
    return !from.empty() && run_unix_tool(L"Z:\\bin\\ln", L"ln -s " + from + L" " + to, link, true);
}

// Takes the link away without entering it; under Wine RemoveDirectoryW
// leaves a Unix link in place.
void remove_link(const fs::path& link) {
    std::wstring unix_name = quoted_unix_name(link);
    if (unix_name.empty()) RemoveDirectoryW(link.wstring().c_str());
    else run_unix_tool(L"Z:\\bin\\rm", L"rm " + unix_name, link, false);
}

class StoreOnWindows : public EngineTest {};

// A link planted in the destination refuses the transfer; Wine shows its
// Unix links as reparse points, so the walk refuses them before any file is made.
TEST_F(StoreOnWindows, NothingLandsThroughALinkInTheDestination) {
    fs::path outside = fresh_dir("outside");
    fs::create_directory(dir / "real");
    if (!plant_directory_link(dir / "linked", outside) || !plant_directory_link(dir / "real" / "inner", outside))
        GTEST_SKIP() << "links are planted through Wine";
    for (const char* name : {"linked\\new.txt", "linked\\sub\\new.txt", "real\\inner\\new.txt"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(receive_from_peer(wire_bytes(5, name + std::string(1, '\0'), "evil")).reply, "");
        expect_engine_at_rest();
    }
    EXPECT_TRUE(entries_of(outside).empty());
    remove_link(dir / "real" / "inner");
    remove_link(dir / "linked");
    fs::remove_all(outside);
}

// A receiver's own folder reached by its short name ("ZEPTRI~1" on NTFS,
// a mangled one under Wine), which the name check can't know: the file's
// handle tells the long name, and the file is refused.
TEST_F(StoreOnWindows, NothingLandsThroughAShortName) {
    fs::create_directory(dir / ".zeptrix-parts");
    wchar_t short_path[MAX_PATH];
    DWORD n = GetShortPathNameW((dir / ".zeptrix-parts").wstring().c_str(), short_path, MAX_PATH);
    std::string short_name = n ? fs::path(std::wstring(short_path, n)).filename().string() : "";
    if (short_name.empty() || short_name == ".zeptrix-parts") GTEST_SKIP() << "no short names here";
    std::string name = short_name + "\\planted";
    EXPECT_EQ(receive_from_peer(wire_bytes(5, name + std::string(1, '\0'), "evil")).reply, "") << name;
    EXPECT_TRUE(entries_of(dir / ".zeptrix-parts").empty());
    expect_engine_at_rest();
    fs::remove_all(dir / ".zeptrix-parts");
}

// A folder swapped for a link after it was checked: the file's own handle
// tells where it landed, and one outside the destination is refused.
TEST_F(StoreOnWindows, FolderSwappedForALinkAfterItsCheck) {
    const struct { const char* label; bool rename; } rows[] = {{"file made", false}, {"file renamed", true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        fs::path outside = fresh_dir("outside");
        fs::create_directory(dir / "sub");
        StoreDirectory store;
        ASSERT_TRUE(open_store_directory(destination_dir, "sub", store));
        if (row.rename) {
            std::FILE* temp = create_stored_file(store, "t.part");
            ASSERT_TRUE(temp);
            std::fclose(temp);
            write_bytes(outside / "t.part", "planted");
        }
        fs::rename(dir / "sub", dir / "away");
        if (!plant_directory_link(dir / "sub", outside))
            GTEST_SKIP() << "links are planted through Wine";
        if (row.rename) {
            EXPECT_FALSE(replace_stored_file(store, "t.part", "final.txt"));
            EXPECT_EQ(entries_of(outside), std::vector<std::string>{"t.part"});
        } else {
            EXPECT_EQ(create_stored_file(store, "x.part"), nullptr);
            EXPECT_TRUE(entries_of(outside).empty());
        }
        remove_link(dir / "sub");
        fs::remove_all(dir / "away");
        fs::remove_all(outside);
    }
}

// Every path reaches the system absolute, normal and in extended form, so
// that no length limit applies; device paths never do.
TEST(SystemPath, AbsoluteNormalAndExtended) {
    wchar_t current[32768];
    DWORD n = GetCurrentDirectoryW(32768, current);
    std::wstring here = L"\\\\?\\" + std::wstring(current, n);
    if (here.back() != L'\\') here.push_back(L'\\');
    std::string deep;
    std::wstring deep_expected = here;
    for (int i = 0; i < 30; ++i) {
        deep.append("folder-with-a-long-name-").append(std::to_string(10 + i)).append("\\x\\..\\");
        deep_expected.append(L"folder-with-a-long-name-").append(std::to_wstring(10 + i)).append(L"\\");
    }
    struct Row { const char* label; std::string path; std::wstring expected; };
    const Row rows[] = {
        {"a drive", "c:\\a\\..\\b\\.\\c", L"\\\\?\\c:\\b\\c"},
        {"slashes, doubled, a trailing one", "c:/a//b/", L"\\\\?\\c:\\a\\b\\"},
        {"above the root", "c:\\..\\..\\x", L"\\\\?\\c:\\x"},
        {"a share", "\\\\server\\share\\x\\..\\y", L"\\\\?\\UNC\\server\\share\\y"},
        {"extended already", "\\\\?\\c:\\x\\..\\y", L"\\\\?\\c:\\x\\..\\y"},
        {"a device", "\\\\.\\pipe\\x", L""},
        {"a device in disguise", "//./c:/x", L""},
        {"relative", "rel\\f", here + L"rel\\f"},
        {"relative, past MAX_PATH", deep + "f", deep_expected + L"f"},
        {"no UTF-8", "c:\\\xff", L""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(system_path(row.path), row.expected);
    }
}

// A rename that another program holds up for a moment (antivirus, the
// indexer, a viewer of the old file) is tried again and goes through.
TEST_F(StoreOnWindows, ARenameWaitsForAFileHeldByAnother) {
    StoreDirectory store;
    ASSERT_TRUE(open_store_directory(destination_dir, "", store));
    std::FILE* temp = create_stored_file(store, "t.part");
    ASSERT_TRUE(temp);
    std::fputs("new", temp);
    std::fclose(temp);
    write_bytes(dir / "held.txt", "old");
    HANDLE holder = CreateFileW((dir / "held.txt").wstring().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    std::thread release([holder] {
        Sleep(400);
        CloseHandle(holder);
    });
    EXPECT_TRUE(replace_stored_file(store, "t.part", "held.txt"));
    release.join();
    EXPECT_EQ(read_bytes(dir / "held.txt"), "new");
    EXPECT_EQ(GetFileAttributesW((dir / "held.txt").wstring().c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u)
        << "hidden while it was a temporary file only";
}

// A received name that is the short name of another file never replaces it.
TEST_F(StoreOnWindows, AShortNameReplacesNoOtherFile) {
    write_bytes(dir / "Report March.pdf", "the user's report");
    wchar_t short_path[MAX_PATH];
    DWORD n = GetShortPathNameW((dir / "Report March.pdf").wstring().c_str(), short_path, MAX_PATH);
    std::string short_name = n ? fs::path(std::wstring(short_path, n)).filename().string() : "";
    if (short_name.empty() || short_name == "Report March.pdf") GTEST_SKIP() << "no short names here";
    EXPECT_EQ(receive_from_peer(wire_bytes(5, short_name + '\0', "evil")).reply, "") << short_name;
    EXPECT_EQ(read_bytes(dir / "Report March.pdf"), "the user's report");
    EXPECT_EQ(entries_of(dir), std::vector<std::string>{"Report March.pdf"});
    expect_engine_at_rest();
}

// A tree far past MAX_PATH below a long destination: stored, and walked
// whole when sent.
TEST_F(StoreOnWindows, PathsOfAnyLength) {
    std::string destination = dir_text(dir).data();
    while (destination.size() < 230) destination.append("a-long-destination-folder\\");
    ASSERT_TRUE(make_directories(Text(destination)));
    destination_dir = Text(destination);
    std::string name;
    for (int i = 0; i < 7; ++i) name.append("folder-name-of-twenty-nine-").append(std::to_string(i)).append("\\");
    name.append("deep.bin");
    EXPECT_EQ(receive_from_peer(wire_bytes(5, name + '\0', "deep!")).reply, CLOSING_MARK);
    std::string stored = destination + name;
    ASSERT_GT(stored.size(), 420u);
    std::FILE* file = open_file_for_reading(stored.c_str());
    ASSERT_TRUE(file) << stored.size() << " characters";
    char got[8] = {};
    EXPECT_EQ(std::fread(got, 1, sizeof got, file), 5u);
    std::fclose(file);
    EXPECT_STREQ(got, "deep!");
    std::vector<std::string> found;
    auto note = [](void* context, FolderItem item, std::string_view path) {
        if (item == FolderItem::file) static_cast<std::vector<std::string>*>(context)->emplace_back(path);
    };
    EXPECT_TRUE(walk_folder(destination.c_str(), 32, note, &found));
    EXPECT_EQ(found, std::vector<std::string>{name});
    destination_dir = dir_text(dir);
    expect_engine_at_rest();
    // The C++ library can't remove a tree past MAX_PATH; under Wine rm does.
    fs::path top = dir / "a-long-destination-folder";
    std::wstring unix_name = quoted_unix_name(top);
    if (unix_name.empty() || !run_unix_tool(L"Z:\\bin\\rm", L"rm -rf " + unix_name, top, false))
        fs::remove_all(fs::path(system_path(top.string())));
}

// A directory's access list in words: "protected" first where it is, then
// per entry whom it allows ("user", "system", "administrators", "other"),
// "all" for full control, and what inherits it or whence it came.
std::vector<std::string> access_list(const fs::path& path) {
    alignas(8) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    alignas(8) unsigned char system[SECURITY_MAX_SID_SIZE], administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof user, system_size = sizeof system, administrators_size = sizeof administrators;
    HANDLE token;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    GetTokenInformation(token, TokenUser, user, size, &size);
    CloseHandle(token);
    CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &system_size);
    CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &administrators_size);
    const PSID owners[] = {reinterpret_cast<TOKEN_USER*>(user)->User.Sid, system, administrators};
    const char* owner_words[] = {"user", "system", "administrators"};
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD got = GetNamedSecurityInfoW(path.wstring().c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                      nullptr, &dacl, nullptr, &descriptor);
    if (got != ERROR_SUCCESS || !dacl) return {"unreadable, error " + std::to_string(got)};
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    std::vector<std::string> words;
    if (control & SE_DACL_PROTECTED) words.push_back("protected");
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* entry = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&entry))) continue;
        std::string word = entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE ? "" : "denied ";
        int whom = 0;
        while (whom < 3 && !EqualSid(&entry->SidStart, owners[whom])) ++whom;
        word += whom < 3 ? owner_words[whom] : "other";
        if (entry->Mask == FILE_ALL_ACCESS) word += " all";
        if (entry->Header.AceFlags & OBJECT_INHERIT_ACE) word += " files";
        if (entry->Header.AceFlags & CONTAINER_INHERIT_ACE) word += " folders";
        if (entry->Header.AceFlags & INHERITED_ACE) word += " inherited";
        words.push_back(word);
    }
    LocalFree(descriptor);
    return words;
}

// A made destination has its own protected list, which what a transfer
// makes inside inherits; one that was there keeps its own. Wine keeps no
// lists but derives one from the Unix mode, without inheritance: there a
// made destination shows only entries of the three, and one that was
// there an entry for others.
TEST_F(StoreOnWindows, MadeDestinationIsOpenToItsUserSystemAndAdministrators) {
    using Words = std::vector<std::string>;
    const Words made_list = {"protected", "user all files folders", "system all files folders",
                             "administrators all files folders"};
    const Words inherited = {"user all files folders inherited", "system all files folders inherited",
                             "administrators all files folders inherited"};
    bool wine = !quoted_unix_name(dir).empty();
    for (const char* made : {"made", "a\\b\\c"}) {
        SCOPED_TRACE(made);
        fs::path path = dir / made;
        ASSERT_TRUE(make_directories(dir_text(path)));
        destination_dir = dir_text(path);
        EXPECT_EQ(receive_from_peer(wire_bytes(5, std::string("inner\\f.txt") + '\0', "data")).reply, CLOSING_MARK);
        EXPECT_EQ(read_bytes(path / "inner" / "f.txt"), "data");
        if (!wine) {
            EXPECT_EQ(access_list(path), made_list);
            EXPECT_EQ(access_list(path / "inner"), inherited);
        }
        for (const std::string& word : access_list(path))
            EXPECT_EQ(std::count(made_list.begin(), made_list.end(), word), 1) << word;
    }
    fs::create_directory(dir / "there");
    ASSERT_TRUE(make_directories(dir_text(dir / "there")));
    Words there = access_list(dir / "there");
    auto for_others = [](const std::string& word) { return word.rfind("other", 0) == 0; };
    bool others = std::any_of(there.begin(), there.end(), for_others);
    EXPECT_EQ(std::count(there.begin(), there.end(), "protected"), 0) << testing::PrintToString(there);
    EXPECT_TRUE(others || !wine) << testing::PrintToString(there);
}

}  // namespace
