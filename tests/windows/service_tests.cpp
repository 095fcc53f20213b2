// Dropped files and threads, through both the toolkit's and the task
// services' forms.
#include <gtest/gtest.h>

#include <malloc.h>
#include <shlobj.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/wide_text.h"
#include "tests/names_table.h"
#include "tests/windows/test_support.h"

namespace {

// A drop as the shell makes it: a DROPFILES header followed by the paths,
// each zero-terminated, and one more zero.
HDROP make_drop(const std::vector<std::string>& paths) {
    std::string list;
    for (const std::string& path : paths) list += path + '\0';
    list += '\0';
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + list.size() + 1);
    if (!memory) return nullptr;
    auto* header = static_cast<DROPFILES*>(GlobalLock(memory));
    header->pFiles = sizeof(DROPFILES);
    header->fWide = FALSE;
    std::memcpy(reinterpret_cast<char*>(header) + sizeof(DROPFILES), list.data(), list.size());
    GlobalUnlock(memory);
    return static_cast<HDROP>(memory);
}

TEST(GetDroppedFile, PathsOneByOneInBuffersOfTheirSize) {
    const std::string seventeen = "c:\\swap\\abcde.txt";
    ASSERT_EQ(seventeen.size(), 17u);
    const std::string long_path = "c:\\" + std::string(240, 'q') + ".bin";
    const std::vector<std::string> paths = {"z:\\work\\first file.doc", seventeen, long_path};
    HDROP drop = make_drop(paths);
    ASSERT_NE(drop, nullptr) << last_error();

    struct Case {
        const char* label;
        int index;
        const char* path;  // null: no file
    };
    const Case cases[] = {
        {"index 1", 1, paths[0].c_str()},
        {"index 2, 17 characters in 18 bytes", 2, paths[1].c_str()},
        {"index 3, a long path", 3, paths[2].c_str()},
        {"index 4 is past the end", 4, nullptr},
        {"index 0 names no file", 0, nullptr},
        {"index -1 names no file", -1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        char* buffer = reinterpret_cast<char*>(1);
        std::int32_t size = -1;
        get_dropped_file(drop, c.index, buffer, size);
        if (!c.path) {
            EXPECT_EQ(buffer, nullptr);
            EXPECT_EQ(size, 0);
            continue;
        }
        ASSERT_NE(buffer, nullptr) << last_error();
        EXPECT_EQ(size, static_cast<std::int32_t>(std::strlen(c.path) + 1));
        EXPECT_EQ(_msize(buffer), static_cast<std::size_t>(size)) << "the buffer is not exactly the path";
        EXPECT_STREQ(buffer, c.path);
        free_dropped_file(buffer, size);

        // The same through the task services' handle type.
        get_dropped_file(reinterpret_cast<DropHandle>(drop), c.index, buffer, size);
        ASSERT_NE(buffer, nullptr) << last_error();
        EXPECT_STREQ(buffer, c.path);
        free_dropped_file(buffer, size);
    }
    finish_drop(reinterpret_cast<DropHandle>(drop));
    finish_drop(DropHandle{0});
    finish_drop(static_cast<HDROP>(nullptr));
}

// A drop of UTF-16 paths, as the shell makes it today.
HDROP make_wide_drop(const std::vector<std::wstring>& paths) {
    std::wstring list;
    for (const std::wstring& path : paths) list += path + L'\0';
    list += L'\0';
    std::size_t bytes = list.size() * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + bytes + 2);
    if (!memory) return nullptr;
    auto* header = static_cast<DROPFILES*>(GlobalLock(memory));
    header->pFiles = sizeof(DROPFILES);
    header->fWide = TRUE;
    std::memcpy(reinterpret_cast<char*>(header) + sizeof(DROPFILES), list.data(), bytes);
    GlobalUnlock(memory);
    return static_cast<HDROP>(memory);
}

// The Windows edge: every name of the table reaches the system and comes
// back whole, as UTF-16 outside and UTF-8 inside.
TEST(UnicodeEdge, NamesInEveryLanguage) {
    std::vector<NameRow> rows = read_names_table();
    ASSERT_GE(rows.size(), 9u) << ZPX_NAMES_TABLE;
    std::vector<std::wstring> wide_paths;
    for (const NameRow& row : rows) wide_paths.push_back(to_wide("z:\\in\\" + row.name));
    HDROP drop = make_wide_drop(wide_paths);
    ASSERT_NE(drop, nullptr) << last_error();
    constexpr std::int32_t MENU_INDEX = 420;
    create_popup_menu(MENU_INDEX);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const NameRow& row = rows[i];
        SCOPED_TRACE(row.label);
        char* buffer = nullptr;
        std::int32_t size = 0;
        get_dropped_file(drop, static_cast<std::int32_t>(i + 1), buffer, size);
        ASSERT_NE(buffer, nullptr) << last_error();
        EXPECT_EQ(std::string(buffer), "z:\\in\\" + row.name);
        EXPECT_EQ(size, static_cast<std::int32_t>(row.name.size() + 7));
        free_dropped_file(buffer, size);

        set_window_text(toolkit.program_window, Text(row.name));
        wchar_t text[300] = {};
        int length = GetWindowTextW(toolkit.program_window, text, 300);
        EXPECT_EQ(to_utf8(std::wstring_view(text, static_cast<std::size_t>(length))), row.name) << last_error();

        append_menu_item(MENU_INDEX, static_cast<std::int32_t>(i + 1), Text(row.name), "");
        length = GetMenuStringW(static_cast<HMENU>(toolkit.handle_table[MENU_INDEX]), static_cast<UINT>(i), text,
                                300, MF_BYPOSITION);
        EXPECT_EQ(to_utf8(std::wstring_view(text, static_cast<std::size_t>(length))), row.name) << last_error();
    }
    finish_drop(drop);
    set_window_text(toolkit.program_window, "");
}

TEST(GetDroppedFile, EmptyDropAndNoDrop) {
    struct Case {
        const char* label;
        bool empty_drop;
    };
    const Case cases[] = {{"a drop without files", true}, {"drop handle 0", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        HDROP drop = c.empty_drop ? make_drop({}) : nullptr;
        char* buffer = reinterpret_cast<char*>(1);
        std::int32_t size = -1;
        get_dropped_file(drop, 1, buffer, size);
        EXPECT_EQ(buffer, nullptr);
        EXPECT_EQ(size, 0);
        finish_drop(drop);
    }
}

struct ThreadProbe {
    HANDLE done;
    DWORD thread_id;
    bool local_destroyed;
};

struct Local {
    ThreadProbe* probe;
    ~Local() { probe->local_destroyed = true; }
};

void thread_body(ThreadProbe* probe) {
    Local local{probe};
    probe->thread_id = GetCurrentThreadId();
}

DWORD WINAPI thread_entry(LPVOID parameter) {
    auto* probe = static_cast<ThreadProbe*>(parameter);
    thread_body(probe);
    SetEvent(probe->done);
    exit_thread();
}

TEST(StartThread, RunsDetachedWithItsParameter) {
    struct Case {
        const char* label;
        std::int32_t stack_size;
    };
    const Case cases[] = {{"listener stack", 32768}, {"task stack", 40960}, {"default stack", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ThreadProbe probe = {CreateEventA(nullptr, TRUE, FALSE, nullptr), 0, false};
        ASSERT_NE(probe.done, nullptr) << last_error();
        ASSERT_TRUE(start_thread(thread_entry, &probe, c.stack_size)) << last_error();
        ASSERT_EQ(WaitForSingleObject(probe.done, 5000), WAIT_OBJECT_0) << last_error();
        EXPECT_NE(probe.thread_id, GetCurrentThreadId());
        EXPECT_TRUE(probe.local_destroyed);
        CloseHandle(probe.done);
    }
}

TEST(TaskServices, HandlesOfTheToolkitState) {
    EXPECT_EQ(program_window_handle(), reinterpret_cast<WindowHandle>(toolkit.program_window));
    EXPECT_EQ(main_area_handle(), reinterpret_cast<WindowHandle>(toolkit.main_area));
    EXPECT_NE(program_window_handle(), WindowHandle{0});
    seen_messages().clear();
    std::intptr_t answer = send_message(program_window_handle(), USER_MESSAGE, 1278, 5);
    EXPECT_EQ(answer, 0);
    EXPECT_TRUE(was_seen(toolkit.program_window, WM_USER, 1278));
    invalidate_window(WindowHandle{0}, false);  // nothing for window 0
    invalidate_window(main_area_handle(), false);
    RECT dirty = {};
    EXPECT_TRUE(GetUpdateRect(toolkit.main_area, &dirty, FALSE));
    RECT client;
    GetClientRect(toolkit.main_area, &client);
    EXPECT_TRUE(EqualRect(&dirty, &client));
    pump_for(10);
}

}  // namespace
