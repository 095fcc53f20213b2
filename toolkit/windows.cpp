// Creation, placement and look of the toolkit's windows.
#include "toolkit/toolkit.h"

#include <commctrl.h>
#include <shellapi.h>

#include "platform/wide_text.h"

namespace {

HINSTANCE module_instance() {
    return GetModuleHandleA(nullptr);
}

// Shows a freshly made window in the current font.
void show_new_window(HWND window) {
    apply_font(window);
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
}

// Adds or removes style bits and lets the frame be drawn anew.
void change_style(HWND window, LONG_PTR bits, bool on) {
    if (!window) return;
    LONG_PTR style = GetWindowLongPtrA(window, GWL_STYLE);
    style = on ? (style | bits) : (style & ~bits);
    SetWindowLongPtrA(window, GWL_STYLE, style);
    SetWindowPos(window, nullptr, 0, 0, 0, 0, FRAME_CHANGED_FLAGS);
}

}  // namespace

// Width 500 and height 350 for sizes out of range; then x at a third of the
// free width and y at two thirds of the free height (divided, then doubled).
WindowPlacement default_window_placement(std::int32_t x, std::int32_t y, std::int32_t width,
                                         std::int32_t height, std::int32_t work_width,
                                         std::int32_t work_height) {
    if (width <= 0) width = 500;
    if (height <= 0) height = 350;
    if (x < 0) x = (work_width - width) / 3;
    if (y < 0) y = ((work_height - height) / 3) * 2;
    return {x, y, width, height};
}

void create_program_window(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                           bool with_status_bar, bool must_succeed) {
    WindowPlacement place =
        default_window_placement(x, y, width, height, toolkit.work_width, toolkit.work_height);
    toolkit.status_bar = nullptr;
    toolkit.main_area = nullptr;
    toolkit.program_window =
        CreateWindowExW(0, WIDE_CLASS_NAME, L"", PROGRAM_WINDOW_STYLE, place.x, place.y, place.width,
                        place.height, nullptr, nullptr, module_instance(), nullptr);
    if (toolkit.program_window) {
        apply_font(toolkit.program_window);
        if (with_status_bar) {
            toolkit.status_bar = CreateStatusWindowA(WS_CHILD | WS_VISIBLE, "",
                                                     toolkit.program_window, STATUS_BAR_ID);
            apply_font(toolkit.status_bar);
        }
        ShowWindow(toolkit.program_window, SW_SHOWNORMAL);
        UpdateWindow(toolkit.program_window);
        create_main_area();
    }
    if (must_succeed && (!toolkit.program_window || !toolkit.main_area)) {
        message_box("error initializing program window areas", "error", "os");
        end_program(0);
    }
}

void measure_client(RECT& rect, std::int32_t& status_height) {
    rect = {};
    status_height = 0;
    if (toolkit.status_bar) {
        RECT status = {};
        GetClientRect(toolkit.status_bar, &status);
        status_height = status.bottom - status.top;
    }
    if (toolkit.program_window) GetClientRect(toolkit.program_window, &rect);
}

// The child covering the program window's client area above the status bar.
void create_main_area() {
    if (!toolkit.program_window) return;
    RECT client;
    std::int32_t status_height;
    measure_client(client, status_height);
    std::int32_t width = client.right - client.left;
    std::int32_t height = client.bottom - client.top - (status_height & 0xFFFF);
    toolkit.main_area = CreateWindowExW(
        0, WIDE_CLASS_NAME, L"", WS_CHILD, 0, 0, width, height, toolkit.program_window,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(toolkit.next_child_id)), module_instance(),
        nullptr);
    ++toolkit.next_child_id;
    if (toolkit.main_area) show_new_window(toolkit.main_area);
}

void create_popup_window(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                         std::int32_t index, bool framed) {
    if (!is_table_index(index)) return;
    destroy_window_handle(toolkit.handle_table[index]);
    DWORD style = WS_POPUP | (framed ? WS_DLGFRAME : 0);
    HWND window = CreateWindowExW(0, WIDE_CLASS_NAME, L"", style, x, y, width, height,
                                  toolkit.program_window, nullptr, module_instance(), nullptr);
    toolkit.handle_table[index] = window;
    if (window) show_new_window(window);
}

void get_window_rect(HWND window, RECT& rect) {
    rect = {};
    if (window) GetWindowRect(window, &rect);
}

void get_client_rect(HWND window, RECT& rect) {
    rect = {};
    if (window) GetClientRect(window, &rect);
}

void move_window(HWND window, std::int32_t x, std::int32_t y, std::int32_t width,
                 std::int32_t height) {
    if (window) MoveWindow(window, x, y, width, height, TRUE);
}

void destroy_window_handle(HWND& window) {
    if (window) DestroyWindow(window);
    window = nullptr;
}

// A table entry holding a window; entries of other kinds are only cleared
// (DestroyWindow refuses what is not a window).
void destroy_window_handle(HANDLE& entry) {
    if (entry && IsWindow(static_cast<HWND>(entry))) DestroyWindow(static_cast<HWND>(entry));
    entry = nullptr;
}

void set_sizing_border(HWND window, bool on) {
    change_style(window, WS_THICKFRAME, on);
}

void set_caption(HWND window, bool on) {
    change_style(window, WS_SYSMENU | WS_CAPTION | WS_MINIMIZEBOX, on);
}

void set_topmost(HWND window, bool on) {
    if (window)
        SetWindowPos(window, on ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE);
}

// A tool window has no taskbar button; hiding around the change makes the
// shell take the new style up.
void set_taskbar_button(HWND window, bool on) {
    if (!window) return;
    ShowWindow(window, SW_HIDE);
    LONG_PTR style = GetWindowLongPtrA(window, GWL_EXSTYLE);
    style = on ? (style & ~static_cast<LONG_PTR>(WS_EX_TOOLWINDOW)) : (style | WS_EX_TOOLWINDOW);
    SetWindowLongPtrA(window, GWL_EXSTYLE, style);
    ShowWindow(window, SW_SHOW);
}

void invalidate_window(HWND window, bool erase) {
    if (!window) return;
    RECT client;
    GetClientRect(window, &client);
    InvalidateRect(window, &client, erase);
}

void invalidate_window(WindowHandle window, bool erase) {
    invalidate_window(reinterpret_cast<HWND>(window), erase);
}

void set_window_text(HWND window, const Text& text) {
    if (!window) return;
    wchar_t wide[Text::CAPACITY + 1];
    to_wide(text.platform().c_str(), wide, Text::CAPACITY + 1);
    SetWindowTextW(window, wide);
}

// A copy run as administrator gets no drops from Explorer, which runs at
// a lower integrity level, unless the drop's messages may pass (Windows 7
// and later; looked up, so that older systems still start).
void let_drops_through(HWND window) {
    using Filter = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);
    constexpr DWORD ALLOW = 1;  // MSGFLT_ALLOW
    constexpr UINT COPY_GLOBAL_DATA = 0x0049;
    FARPROC found = GetProcAddress(GetModuleHandleW(L"user32.dll"), "ChangeWindowMessageFilterEx");
    if (!found) return;
    auto filter = reinterpret_cast<Filter>(reinterpret_cast<void*>(found));
    for (UINT message : {static_cast<UINT>(WM_DROPFILES), static_cast<UINT>(WM_COPYDATA), COPY_GLOBAL_DATA})
        filter(window, message, ALLOW, nullptr);
}

void accept_dropped_files(HWND window, bool on) {
    if (!window) return;
    if (on) let_drops_through(window);
    DragAcceptFiles(window, on);
}

LRESULT send_message(HWND window, UINT message, WPARAM w_param, LPARAM l_param) {
    return SendMessageW(window, message, w_param, l_param);
}

std::intptr_t send_message(WindowHandle window, std::uint32_t message, std::uintptr_t w_param,
                           std::intptr_t l_param) {
    return SendMessageW(reinterpret_cast<HWND>(window), message, w_param, l_param);
}
