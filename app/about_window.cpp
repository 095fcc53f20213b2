#include "app/about_window.h"

#include "app/popup_menu_entries.h"
#include "app/state.h"
#include "toolkit/toolkit.h"
#include "transfer/wire.h"

namespace {

constexpr std::int32_t ABOUT_WIDTH = 560;
constexpr std::int32_t ABOUT_HEIGHT = 400;

// "v1.0": the transfer magic from its first letter v on.
Text version_text() {
    Text magic(TRANSFER_MAGIC);
    std::size_t v = magic.view().find('v');
    return v == std::string_view::npos ? Text() : Text(magic.view().substr(v));
}

void paint_about(HWND window) {
    blit_bitmap(ABOUT_BITMAP_ID, window, 0, 0, ABOUT_WIDTH, ABOUT_HEIGHT);
    PAINTSTRUCT paint;
    begin_paint(window, paint);
    select_font(1);
    draw_text_plain(window, 150, 27, Text("Zeptrix ") + version_text());
    select_font(0);
    draw_text_plain(window, 40, 75, Text("Crypted file transfer through the internet."));
    end_paint(window, paint);
}

}  // namespace

void open_about_window() {
    create_popup_window(toolkit.screen_width / 2 - ABOUT_WIDTH / 2,
                        toolkit.screen_height / 2 - ABOUT_HEIGHT / 2, ABOUT_WIDTH, ABOUT_HEIGHT,
                        ABOUT_WINDOW_ID, true);
}

LRESULT about_window_message(HWND window, UINT message, WPARAM w_param, LPARAM l_param) {
    if (message == WM_PAINT) {
        paint_about(window);
    } else if (message == WM_LBUTTONDOWN) {
        destroy_window_handle(toolkit.handle_table[ABOUT_WINDOW_ID]);
    }
    return default_window_proc(window, message, w_param, l_param);
}
