// The toolkit's process-wide state, its initialisation and the small
// operations that only read or change that state.
#include "toolkit/toolkit.h"

#include "platform/wide_text.h"
#include "text/text_utils.h"

ToolkitState toolkit;

// The directory part of a path, with its trailing backslash; empty when the
// path holds no backslash.
Text directory_of(const Text& path) {
    Text directory = path;
    while (!directory.empty() && directory.back() != '\\') directory.truncate(directory.size() - 1);
    return directory;
}

bool is_table_index(std::int32_t index) {
    return index >= 0 && index <= HANDLE_TABLE_LAST;
}

// Runs first in the program's entry, before anything else of the toolkit.
// The transfer engine seeds its own key generator, so no run-time seed here.
void toolkit_init() {
    toolkit.program_window = nullptr;
    toolkit.main_area = nullptr;
    toolkit.status_bar = nullptr;
    toolkit.next_child_id = 0;
    toolkit.normal_font = nullptr;
    toolkit.large_font = nullptr;
    toolkit.current_font = nullptr;
    set_cursor_shape(0);
    toolkit.screen_width = GetSystemMetrics(SM_CXSCREEN);
    toolkit.screen_height = GetSystemMetrics(SM_CYSCREEN);
    toolkit.work_width = GetSystemMetrics(SM_CXFULLSCREEN);
    toolkit.work_height = GetSystemMetrics(SM_CYFULLSCREEN);
    toolkit.default_text_color = DEFAULT_TEXT_COLOR;

    // The module's own full path, so that the directory does not depend on
    // how the program was started.
    wchar_t path[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    toolkit.program_path = Text(to_utf8(std::wstring_view(path, length < MAX_PATH ? length : 0)));
    lower_case(toolkit.program_path);
    toolkit.program_dir = directory_of(toolkit.program_path);

    for (HANDLE& entry : toolkit.handle_table) entry = nullptr;
}

void select_font(std::int32_t which) {
    if (which == 0) toolkit.current_font = toolkit.normal_font;
    if (which == 1) toolkit.current_font = toolkit.large_font;
}

void apply_font(HWND window) {
    if (window && toolkit.current_font)
        SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(toolkit.current_font), 0);
}

void set_cursor_shape(std::int32_t shape) {
    LPCSTR cursor = IDC_ARROW;
    if (shape == 1) cursor = IDC_WAIT;
    if (shape == 2) cursor = IDC_CROSS;
    if (shape == 3) cursor = IDC_NO;
    SetCursor(LoadCursorA(nullptr, cursor));
}

// Index 0 is never reported, and neither is an empty entry: looking up the
// null handle finds nothing.
std::int32_t find_table_index(HANDLE handle) {
    if (!handle) return 0;
    for (std::int32_t index = HANDLE_TABLE_LAST; index >= 1; --index)
        if (toolkit.handle_table[index] == handle) return index;
    return 0;
}

WindowHandle program_window_handle() {
    return reinterpret_cast<WindowHandle>(toolkit.program_window);
}

WindowHandle main_area_handle() {
    return reinterpret_cast<WindowHandle>(toolkit.main_area);
}

Text program_directory() {
    return toolkit.program_dir;
}
