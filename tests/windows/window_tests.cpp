// The toolkit's windows: placement, areas, styles, the handle table, fonts.
#include <gtest/gtest.h>

#include "tests/windows/test_support.h"
#include "text/text_utils.h"

namespace {

TEST(DefaultWindowPlacement, SizesThenThirdsDividedBeforeDoubling) {
    struct Case {
        const char* label;
        int x, y, width, height, work_width, work_height;
        WindowPlacement expected;
    };
    const Case cases[] = {
        {"all defaults on 1024x768", -1, -1, 0, 0, 1024, 768, {174, 278, 500, 350}},
        {"free height 101 gives 66, not 67", -1, -1, 200, 100, 1024, 201, {274, 66, 200, 100}},
        {"negative sizes take the defaults", -5, -7, -1, -20, 1024, 768, {174, 278, 500, 350}},
        {"given values stay", 10, 0, 250, 19, 1024, 768, {10, 0, 250, 19}},
        {"x 0 is not a default", 0, -1, 250, 19, 1024, 768, {0, 498, 250, 19}},
        {"window wider than the work area: toward zero", -1, -1, 1030, 775, 1024, 768, {-2, -4, 1030, 775}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        WindowPlacement p =
            default_window_placement(c.x, c.y, c.width, c.height, c.work_width, c.work_height);
        EXPECT_EQ(p.x, c.expected.x);
        EXPECT_EQ(p.y, c.expected.y);
        EXPECT_EQ(p.width, c.expected.width);
        EXPECT_EQ(p.height, c.expected.height);
    }
}

TEST(CreateProgramWindow, DefaultsOnThisScreen) {
    const int work_width = GetSystemMetrics(SM_CXFULLSCREEN);
    const int work_height = GetSystemMetrics(SM_CYFULLSCREEN);
    EXPECT_EQ(toolkit.work_width, work_width);
    EXPECT_EQ(toolkit.work_height, work_height);
    EXPECT_EQ(toolkit.screen_width, GetSystemMetrics(SM_CXSCREEN));
    EXPECT_EQ(toolkit.screen_height, GetSystemMetrics(SM_CYSCREEN));
    HWND window = toolkit.program_window;
    ASSERT_NE(window, nullptr);
    RECT rect;
    ASSERT_TRUE(GetWindowRect(window, &rect)) << last_error();
    EXPECT_EQ(rect.right - rect.left, 500);
    EXPECT_EQ(rect.bottom - rect.top, 350);
    EXPECT_EQ(rect.left, (work_width - 500) / 3) << "work area " << work_width << "x" << work_height;
    EXPECT_EQ(rect.top, (work_height - 350) / 3 * 2) << "work area " << work_width << "x" << work_height;

    LONG_PTR style = GetWindowLongPtrA(window, GWL_STYLE);
    EXPECT_EQ(style & 0x00CF0000, 0x00CE0000) << "caption, system menu, sizing border, "
                                                 "minimise box and no maximise box";
    EXPECT_TRUE(IsWindowVisible(window));
    char class_name[64] = {};
    GetClassNameA(window, class_name, sizeof class_name);
    EXPECT_STREQ(class_name, "k9libv1.0");
    EXPECT_EQ(GetClassLongPtrA(window, GCL_STYLE), static_cast<ULONG_PTR>(CS_HREDRAW | CS_VREDRAW));
    EXPECT_EQ(reinterpret_cast<HGDIOBJ>(GetClassLongPtrA(window, GCLP_HBRBACKGROUND)),
              GetStockObject(BLACK_BRUSH));

    // The class icon is the program's 32x32 icon from the resources.
    HICON icon = reinterpret_cast<HICON>(GetClassLongPtrA(window, GCLP_HICON));
    ASSERT_NE(icon, nullptr) << "k9icon not loaded";
    ICONINFO parts = {};
    ASSERT_TRUE(GetIconInfo(icon, &parts)) << last_error();
    BITMAP colors = {};
    GetObjectA(parts.hbmColor, sizeof colors, &colors);
    EXPECT_EQ(colors.bmWidth, 32);
    EXPECT_EQ(colors.bmHeight, 32);
    DeleteObject(parts.hbmColor);
    DeleteObject(parts.hbmMask);

    // The main area: first child, covering the client area.
    HWND area = toolkit.main_area;
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(GetParent(area), window);
    EXPECT_EQ(GetDlgCtrlID(area), 0);
    EXPECT_TRUE(IsWindowVisible(area));
    RECT client, area_rect;
    GetClientRect(window, &client);
    GetClientRect(area, &area_rect);
    EXPECT_EQ(area_rect.right, client.right);
    EXPECT_EQ(area_rect.bottom, client.bottom);
    EXPECT_EQ(toolkit.status_bar, nullptr);
    RECT measured;
    std::int32_t status_height = -1;
    measure_client(measured, status_height);
    EXPECT_EQ(measured.right, client.right);
    EXPECT_EQ(measured.bottom, client.bottom);
    EXPECT_EQ(status_height, 0);
}

TEST(CreateProgramWindow, StatusBarTakesTheBottomOfTheClientArea) {
    HWND kept_window = toolkit.program_window, kept_area = toolkit.main_area;
    const std::int32_t child_id = toolkit.next_child_id;
    create_program_window(30, 40, 320, 200, true, true);
    HWND window = toolkit.program_window, area = toolkit.main_area, status = toolkit.status_bar;
    pump_for(20);
    ASSERT_NE(status, nullptr) << last_error();
    ASSERT_NE(area, nullptr) << last_error();
    EXPECT_EQ(GetDlgCtrlID(status), 30482);
    EXPECT_EQ(GetDlgCtrlID(area), child_id);
    EXPECT_EQ(toolkit.next_child_id, child_id + 1);
    RECT window_rect, client, status_client, area_rect;
    GetWindowRect(window, &window_rect);
    EXPECT_EQ(window_rect.left, 30);
    EXPECT_EQ(window_rect.top, 40);
    GetClientRect(window, &client);
    GetClientRect(status, &status_client);
    GetClientRect(area, &area_rect);
    EXPECT_GT(status_client.bottom, 0);
    EXPECT_EQ(area_rect.right, client.right);
    EXPECT_EQ(area_rect.bottom, client.bottom - status_client.bottom);
    RECT measured;
    std::int32_t status_height = 0;
    measure_client(measured, status_height);
    EXPECT_EQ(status_height, status_client.bottom);

    // Back to the fixture's program window; destroying this one must not
    // end the process, so it is no longer the program window then.
    toolkit.program_window = kept_window;
    toolkit.main_area = kept_area;
    toolkit.status_bar = nullptr;
    DestroyWindow(window);
    pump_for(10);
}

TEST(CreatePopupWindow, FramedOrNotAndReplacingTheEntry) {
    constexpr int INDEX = 37;
    create_popup_window(100, 120, 560, 400, INDEX, true);
    HWND first = static_cast<HWND>(toolkit.handle_table[INDEX]);
    ASSERT_NE(first, nullptr) << last_error();
    LONG_PTR style = GetWindowLongPtrA(first, GWL_STYLE);
    EXPECT_TRUE(style & WS_POPUP);
    EXPECT_TRUE(style & WS_DLGFRAME);
    EXPECT_EQ(GetWindow(first, GW_OWNER), toolkit.program_window);
    EXPECT_TRUE(IsWindowVisible(first));
    const std::int32_t child_id = toolkit.next_child_id;

    create_popup_window(10, 20, 30, 40, INDEX, false);
    HWND second = static_cast<HWND>(toolkit.handle_table[INDEX]);
    ASSERT_NE(second, nullptr) << last_error();
    EXPECT_FALSE(IsWindow(first)) << "the old window at the index was not destroyed";
    EXPECT_FALSE(GetWindowLongPtrA(second, GWL_STYLE) & WS_DLGFRAME);
    RECT rect;
    GetWindowRect(second, &rect);
    EXPECT_EQ(rect.left, 10);
    EXPECT_EQ(rect.top, 20);
    EXPECT_EQ(rect.right - rect.left, 30);
    EXPECT_EQ(toolkit.next_child_id, child_id);
    EXPECT_EQ(find_table_index(second), INDEX);

    destroy_window_handle(toolkit.handle_table[INDEX]);
    EXPECT_EQ(toolkit.handle_table[INDEX], nullptr);
    EXPECT_FALSE(IsWindow(second));
}

using StyleOperation = void (*)(HWND, bool);

TEST(WindowStyles, ChangedBitsAfterEachOperation) {
    struct Case {
        const char* label;
        StyleOperation operation;
        bool on;
        int which;  // GWL_STYLE or GWL_EXSTYLE
        LONG_PTR bits;
        bool expect_set;
        bool program_window;  // top-level like the strip, not an owned popup
    };
    const LONG_PTR caption = WS_SYSMENU | WS_CAPTION | WS_MINIMIZEBOX;
    // The strip's topmost state is changed before it owns any popup (as at
    // start-up): under Wine a window with owned popups keeps its z-order band.
    const Case cases[] = {
        {"topmost on", set_topmost, true, GWL_EXSTYLE, WS_EX_TOPMOST, true, true},
        {"topmost off", set_topmost, false, GWL_EXSTYLE, WS_EX_TOPMOST, false, true},
        {"dropped files accepted", accept_dropped_files, true, GWL_EXSTYLE, WS_EX_ACCEPTFILES, true, false},
        {"dropped files refused", accept_dropped_files, false, GWL_EXSTYLE, WS_EX_ACCEPTFILES, false, false},
        {"sizing border on", set_sizing_border, true, GWL_STYLE, WS_THICKFRAME, true, false},
        {"sizing border off", set_sizing_border, false, GWL_STYLE, WS_THICKFRAME, false, false},
        {"caption on", set_caption, true, GWL_STYLE, caption, true, false},
        {"caption off", set_caption, false, GWL_STYLE, caption, false, false},
        {"taskbar button off makes a tool window", set_taskbar_button, false, GWL_EXSTYLE, WS_EX_TOOLWINDOW, true, false},
        {"taskbar button on", set_taskbar_button, true, GWL_EXSTYLE, WS_EX_TOOLWINDOW, false, false},
    };
    constexpr int INDEX = 301;
    HWND popup = nullptr;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        if (!c.program_window && !popup) {
            create_popup_window(700, 200, 200, 100, INDEX, false);
            popup = static_cast<HWND>(toolkit.handle_table[INDEX]);
            ASSERT_NE(popup, nullptr) << last_error();
        }
        HWND window = c.program_window ? toolkit.program_window : popup;
        c.operation(window, c.on);
        c.operation(nullptr, c.on);  // window 0: nothing
        LONG_PTR value = GetWindowLongPtrA(window, c.which);
        if (c.expect_set)
            EXPECT_EQ(value & c.bits, c.bits) << std::hex << value << "; " << last_error();
        else
            EXPECT_EQ(value & c.bits, 0) << std::hex << value << "; " << last_error();
        if (!c.program_window) {
            EXPECT_TRUE(GetWindowLongPtrA(window, GWL_STYLE) & WS_POPUP) << "other bits kept";
        }
        EXPECT_TRUE(IsWindowVisible(window));
        // The frame follows the style: a caption takes room from the client area.
        RECT outer, inner;
        GetWindowRect(window, &outer);
        GetClientRect(window, &inner);
        bool framed = GetWindowLongPtrA(window, GWL_STYLE) & (WS_CAPTION | WS_THICKFRAME);
        EXPECT_EQ(outer.bottom - outer.top > inner.bottom, framed);
    }
    destroy_window_handle(toolkit.handle_table[INDEX]);
}

TEST(SetWindowText, TextsReachTheWindowCutTo254) {
    struct Case {
        const char* label;
        std::size_t length;
        int expected;
    };
    const Case cases[] = {{"empty", 0, 0}, {"a title", 12, 12}, {"254 characters", 254, 254},
                          {"255 characters", 255, 254}, {"longer texts stop at 255 first", 400, 254}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Text title;
        for (std::size_t i = 0; i < c.length; ++i) title += static_cast<char>('A' + i % 26);
        set_window_text(toolkit.program_window, title);
        char read[512] = {};
        EXPECT_EQ(GetWindowTextA(toolkit.program_window, read, sizeof read), c.expected) << last_error();
        EXPECT_EQ(std::string_view(read), title.view().substr(0, static_cast<std::size_t>(c.expected)));
    }
    set_window_text(nullptr, "nothing");  // window 0: nothing
    set_window_text(toolkit.program_window, "");
}

TEST(FindTableIndex, ScansDownAndNeverReportsIndexZero) {
    struct Case {
        const char* label;
        std::vector<int> indexes;
        std::int32_t expected;
    };
    const Case cases[] = {
        {"only at index 0", {0}, 0},
        {"at 0 and 7", {0, 7}, 7},
        {"at 3 and 400: the highest wins", {3, 400}, 400},
        {"at 500", {500}, 500},
        {"at 1", {1}, 1},
        {"nowhere", {}, 0},
    };
    HANDLE kept[HANDLE_TABLE_SIZE];
    std::copy(std::begin(toolkit.handle_table), std::end(toolkit.handle_table), kept);
    HANDLE handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x7531));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::fill(std::begin(toolkit.handle_table), std::end(toolkit.handle_table), nullptr);
        for (int index : c.indexes) toolkit.handle_table[index] = handle;
        EXPECT_EQ(find_table_index(handle), c.expected);
        EXPECT_EQ(find_table_index(nullptr), 0) << "an empty entry is not a match";
    }
    std::copy(std::begin(kept), std::end(kept), toolkit.handle_table);
}

TEST(SelectFont, ZeroAndOneChooseOtherValuesChangeNothing) {
    ASSERT_NE(toolkit.normal_font, nullptr) << "no 13-pixel font";
    ASSERT_NE(toolkit.large_font, nullptr) << "no 22-pixel font";
    ASSERT_NE(toolkit.normal_font, toolkit.large_font);
    struct Case {
        const char* label;
        int before, argument;
        HFONT expected;
    };
    const Case cases[] = {
        {"0 from large", 1, 0, toolkit.normal_font},
        {"1 from normal", 0, 1, toolkit.large_font},
        {"2 keeps normal", 0, 2, toolkit.normal_font},
        {"2 keeps large", 1, 2, toolkit.large_font},
        {"-1 keeps large", 1, -1, toolkit.large_font},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        select_font(c.before);
        select_font(c.argument);
        EXPECT_EQ(toolkit.current_font, c.expected);
    }
    select_font(0);

    // The fonts are 13 and 22 pixels high, from the first face of the list.
    struct FontCase {
        const char* label;
        HFONT font;
        LONG height;
    };
    const FontCase fonts[] = {{"normal", toolkit.normal_font, 13}, {"large", toolkit.large_font, 22}};
    for (const FontCase& f : fonts) {
        SCOPED_TRACE(f.label);
        LOGFONTA described = {};
        ASSERT_NE(GetObjectA(f.font, sizeof described, &described), 0) << last_error();
        EXPECT_EQ(described.lfHeight, f.height);
        EXPECT_EQ(described.lfWeight, FW_NORMAL);
        EXPECT_STREQ(described.lfFaceName, "movelant");
    }
}

TEST(DirectoryOf, KeepsTheTrailingBackslash) {
    struct Case {
        const char* label;
        const char* path;
        const char* directory;
    };
    const Case cases[] = {
        {"a full path", "c:\\programs\\zeptrix\\zeptrix.exe", "c:\\programs\\zeptrix\\"},
        {"no backslash", "zeptrix.exe", ""},
        {"empty", "", ""},
        {"only a backslash", "\\", "\\"},
        {"a root file", "c:\\z.exe", "c:\\"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(directory_of(c.path).view(), std::string_view(c.directory));
    }
    // This program's own directory, lower-cased.
    char path[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    Text expected = directory_of(path);
    lower_case(expected);
    EXPECT_EQ(program_directory().view(), expected.view());
    EXPECT_EQ(toolkit.program_dir.back(), '\\');
}

}  // namespace
