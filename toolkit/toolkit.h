// The k9 window toolkit: one window class, one program window with its main
// area, popup windows and other handles in a numbered table, two fonts, the
// main thread's message loop, drawing, bitmaps, menus, timers, threads and
// dropped files, over user32, gdi32, shell32 and comctl32.
#pragma once

#include <windows.h>

#include <cstdint>

#include "text/text.h"
#include "toolkit/task_services.h"

constexpr const char* CLASS_NAME = "k9libv1.0";
// The same name for the system: the class and its windows are Unicode, so
// window texts keep every character.
constexpr const wchar_t* WIDE_CLASS_NAME = L"k9libv1.0";
constexpr int HANDLE_TABLE_LAST = 500;
constexpr int HANDLE_TABLE_SIZE = HANDLE_TABLE_LAST + 1;
constexpr COLORREF DEFAULT_TEXT_COLOR = 0x00C5C0C0;
constexpr int STATUS_BAR_ID = 30482;
constexpr DWORD PROGRAM_WINDOW_STYLE = 0x00CE0000;
// SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED
constexpr UINT FRAME_CHANGED_FLAGS = 39;
// DT_SINGLELINE | DT_NOCLIP | DT_NOPREFIX
constexpr UINT DRAW_TEXT_FORMAT = 2336;

// The process-wide state of the toolkit.
struct ToolkitState {
    HWND program_window = nullptr;
    HWND main_area = nullptr;
    HWND status_bar = nullptr;
    HFONT normal_font = nullptr;
    HFONT large_font = nullptr;
    HFONT current_font = nullptr;
    std::int32_t next_child_id = 0;
    std::int32_t screen_width = 0;
    std::int32_t screen_height = 0;
    std::int32_t work_width = 0;
    std::int32_t work_height = 0;
    COLORREF default_text_color = DEFAULT_TEXT_COLOR;
    Text program_path;
    Text program_dir;
    HANDLE handle_table[HANDLE_TABLE_SIZE] = {};
    MSG current_message = {};
};

extern ToolkitState toolkit;

// Position and size of a window after the defaults for values out of range.
struct WindowPlacement {
    std::int32_t x, y, width, height;
};

// --- core: state, class, fonts, windows ---
void toolkit_init();
Text directory_of(const Text& path);
bool is_table_index(std::int32_t index);
ATOM create_window_class(WNDPROC window_proc);
void free_fonts();
[[noreturn]] void end_program(UINT exit_code);
WindowPlacement default_window_placement(std::int32_t x, std::int32_t y, std::int32_t width,
                                         std::int32_t height, std::int32_t work_width,
                                         std::int32_t work_height);
void create_program_window(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                           bool with_status_bar, bool must_succeed);
void create_main_area();
void measure_client(RECT& rect, std::int32_t& status_height);
void create_popup_window(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                         std::int32_t index, bool framed);
LRESULT default_window_proc(HWND window, UINT message, WPARAM w_param, LPARAM l_param);
[[noreturn]] void run_message_loop();
void pump_messages();
void dispatch_message();
void select_font(std::int32_t which);
void apply_font(HWND window);
void set_cursor_shape(std::int32_t shape);
std::int32_t find_table_index(HANDLE handle);
void get_window_rect(HWND window, RECT& rect);
void get_client_rect(HWND window, RECT& rect);
void move_window(HWND window, std::int32_t x, std::int32_t y, std::int32_t width,
                 std::int32_t height);
void destroy_window_handle(HWND& window);
void destroy_window_handle(HANDLE& entry);
void set_sizing_border(HWND window, bool on);
void set_topmost(HWND window, bool on);
void set_caption(HWND window, bool on);
void set_taskbar_button(HWND window, bool on);
void invalidate_window(HWND window, bool erase);
UINT message_box_style(const Text& letters);
int message_box_result(int answer);

// Which keys dispatch_message hands to the program window first.
enum class KeyForwarding { none, instead, also };
KeyForwarding key_forwarding(unsigned key);

// --- drawing, bitmaps, menus ---
LRESULT send_message(HWND window, UINT message, WPARAM w_param, LPARAM l_param);
HDC get_dc(HWND window);
void release_dc(HWND window, HDC dc);
HDC begin_paint(HWND window, PAINTSTRUCT& paint);
void end_paint(HWND window, PAINTSTRUCT& paint);
void measure_text(HDC dc, const Text& text, std::int32_t& width, std::int32_t& height);
void draw_text_dc(HDC dc, std::int32_t x, std::int32_t y, COLORREF text_color,
                  COLORREF background_color, const Text& text, bool opaque);
void draw_text(HWND window, std::int32_t x, std::int32_t y, COLORREF text_color,
               COLORREF background_color, const Text& text, bool opaque);
void draw_text_plain(HWND window, std::int32_t x, std::int32_t y, const Text& text);
void draw_text_boxed(HWND window, std::int32_t x, std::int32_t y, const Text& text);
void fill_rect_dc(HDC dc, std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                  COLORREF color);
void fill_area(HWND window, std::int32_t x, std::int32_t y, std::int32_t width,
               std::int32_t height, COLORREF color);
void load_bitmap(std::int32_t index, const Text& resource_name);
void delete_bitmap(std::int32_t index);
void blit_bitmap(std::int32_t index, HWND window, std::int32_t x, std::int32_t y,
                 std::int32_t width, std::int32_t height);
void create_popup_menu(std::int32_t index);
void append_menu_item(std::int32_t index, std::int32_t identifier, const Text& text,
                      const Text& letters);
void track_popup_menu(std::int32_t x, std::int32_t y, std::int32_t index);
void set_window_text(HWND window, const Text& text);
void accept_dropped_files(HWND window, bool on);

// --- timers, threads, dropped files ---
void start_timer(std::int32_t identifier, std::int32_t interval_ms);
void stop_timer(std::int32_t identifier);
void get_dropped_file(HDROP drop, std::int32_t index, char*& buffer, std::int32_t& size);
void finish_drop(HDROP drop);
