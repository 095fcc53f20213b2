// Popup menus built by the toolkit, read back from the platform.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/windows/test_support.h"

namespace {

constexpr int MENU_INDEX = 1;

HMENU menu_at(int index) {
    return static_cast<HMENU>(toolkit.handle_table[index]);
}

TEST(AppendMenuItem, LettersAndEmptyLabels) {
    struct Case {
        const char* label;
        int identifier;
        const char* text;
        const char* letters;
        bool separator, checked, grayed;
    };
    const Case cases[] = {
        {"plain item", 97, "about", "", false, false, false},
        {"c checks", 101, "office (10.0.0.1)", "c", false, true, false},
        {"upper-case C checks", 102, "home (10.0.0.2)", "C", false, true, false},
        {"g greys", 50, "abort send", "g", false, false, true},
        {"upper-case G greys", 51, "abort receive", "G", false, false, true},
        {"C and G anywhere in the letters", 103, "both", "xGyCz", false, true, true},
        {"other letters change nothing", 104, "other", "abdefh", false, false, false},
        {"empty label is a separator despite letters and identifier", 77, "", "cg", true, false, false},
        {"empty label without letters", 0, "", "", true, false, false},
        {"an ampersand text", 105, "save & send", "", false, false, false},
    };
    create_popup_menu(MENU_INDEX);
    HMENU menu = menu_at(MENU_INDEX);
    ASSERT_NE(menu, nullptr) << last_error();
    for (const Case& c : cases) append_menu_item(MENU_INDEX, c.identifier, c.text, c.letters);
    ASSERT_EQ(GetMenuItemCount(menu), static_cast<int>(std::size(cases))) << last_error();

    for (UINT position = 0; position < std::size(cases); ++position) {
        const Case& c = cases[position];
        SCOPED_TRACE(c.label);
        UINT state = GetMenuState(menu, position, MF_BYPOSITION);
        ASSERT_NE(state, 0xFFFFFFFFu) << last_error();
        EXPECT_EQ((state & MF_SEPARATOR) != 0, c.separator);
        EXPECT_EQ((state & MF_CHECKED) != 0, c.checked);
        // A separator's greyed state is the platform's business.
        if (!c.separator) {
            EXPECT_EQ((state & MF_GRAYED) != 0, c.grayed);
        }
        char label[256] = {};
        GetMenuStringA(menu, position, label, sizeof label, MF_BYPOSITION);
        if (c.separator) {
            EXPECT_STREQ(label, "");
            EXPECT_EQ(GetMenuItemID(menu, static_cast<int>(position)), 0u);
        } else {
            EXPECT_STREQ(label, c.text);
            EXPECT_EQ(GetMenuItemID(menu, static_cast<int>(position)), static_cast<UINT>(c.identifier));
        }
    }
}

TEST(AppendMenuItem, LongLabelsReachThePlatformCutTo254) {
    create_popup_menu(MENU_INDEX);
    Text long_label;
    for (int i = 0; i < 300; ++i) long_label += static_cast<char>('a' + i % 26);
    append_menu_item(MENU_INDEX, 9, long_label, "");
    char label[512] = {};
    int length = GetMenuStringA(menu_at(MENU_INDEX), 0, label, sizeof label, MF_BYPOSITION);
    EXPECT_EQ(length, 254) << last_error();
}

TEST(CreatePopupMenu, ReplacesTheMenuAtTheIndex) {
    create_popup_menu(MENU_INDEX);
    HMENU first = menu_at(MENU_INDEX);
    append_menu_item(MENU_INDEX, 97, "about", "");
    create_popup_menu(MENU_INDEX);
    HMENU second = menu_at(MENU_INDEX);
    ASSERT_NE(second, nullptr) << last_error();
    EXPECT_FALSE(IsMenu(first)) << "the old menu was not released";
    EXPECT_EQ(GetMenuItemCount(second), 0);
}

TEST(Menus, IndexesOutsideTheTableAreIgnored) {
    struct Case {
        const char* label;
        int index;
    };
    const Case cases[] = {{"index -1", -1}, {"index 501", 501}, {"index 100000", 100000}};
    std::vector<HANDLE> before(std::begin(toolkit.handle_table), std::end(toolkit.handle_table));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        create_popup_menu(c.index);
        append_menu_item(c.index, 1, "x", "");
        track_popup_menu(0, 0, c.index);
        load_bitmap(c.index, "ZPXBACK1");
        delete_bitmap(c.index);
        blit_bitmap(c.index, toolkit.main_area, 0, 0, 1, 1);
        create_popup_window(0, 0, 10, 10, c.index, false);
    }
    std::vector<HANDLE> after(std::begin(toolkit.handle_table), std::end(toolkit.handle_table));
    EXPECT_EQ(before, after) << "the handle table changed";
}

}  // namespace

namespace {

// Waits for the popup menu's window, notes where it is, and picks the
// item at the given position with the keyboard.
struct MenuDriver {
    int picks;  // how many times to press "down" before "return"
    RECT where;
    bool found;
};

DWORD WINAPI drive_menu(LPVOID parameter) {
    auto* driver = static_cast<MenuDriver*>(parameter);
    for (int waited = 0; waited < 5000; waited += 20) {
        HWND menu = FindWindowA("#32768", nullptr);
        if (menu && IsWindowVisible(menu)) {
            driver->found = true;
            GetWindowRect(menu, &driver->where);
            for (int i = 0; i < driver->picks; ++i) PostMessageA(menu, WM_KEYDOWN, VK_DOWN, 0);
            PostMessageA(menu, WM_KEYDOWN, VK_RETURN, 0);
            return 0;
        }
        Sleep(20);
    }
    return 0;
}

TEST(TrackPopupMenu, ChosenItemArrivesAtTheMainAreaAndTheMenuIsCentred) {
    struct Case {
        const char* label;
        int x, y, picks;
        WPARAM command;
    };
    const Case cases[] = {
        {"first item", 400, 300, 1, 97},
        {"the item past the separator", 600, 200, 2, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        create_popup_menu(MENU_INDEX);
        append_menu_item(MENU_INDEX, 97, "about", "");
        append_menu_item(MENU_INDEX, 0, "", "");
        append_menu_item(MENU_INDEX, 100, "exit", "");
        pump_for(5);
        seen_messages().clear();
        MenuDriver driver = {c.picks, {}, false};
        HANDLE thread = CreateThread(nullptr, 0, drive_menu, &driver, 0, nullptr);
        ASSERT_NE(thread, nullptr) << last_error();
        track_popup_menu(c.x, c.y, MENU_INDEX);
        WaitForSingleObject(thread, 6000);
        CloseHandle(thread);
        pump_for(20);
        ASSERT_TRUE(driver.found) << "no menu window appeared";
        EXPECT_LE(std::abs((driver.where.left + driver.where.right) / 2 - c.x), 1)
            << "menu from " << driver.where.left << " to " << driver.where.right;
        EXPECT_EQ(driver.where.top, c.y);
        EXPECT_TRUE(was_seen(toolkit.main_area, WM_COMMAND, c.command));
    }
}

TEST(SetCursorShape, NumbersToSystemCursors) {
    struct Case {
        const char* label;
        int shape;
        LPCSTR cursor;
    };
    const Case cases[] = {{"1 wait", 1, IDC_WAIT},   {"2 cross", 2, IDC_CROSS}, {"3 no", 3, IDC_NO},
                          {"0 arrow", 0, IDC_ARROW}, {"4 arrow", 4, IDC_ARROW}, {"-1 arrow", -1, IDC_ARROW}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        set_cursor_shape(c.shape);
        EXPECT_EQ(GetCursor(), LoadCursorA(nullptr, c.cursor));
    }
    set_cursor_shape(0);
}

}  // namespace
