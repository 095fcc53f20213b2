// The program's entry: start-up in order, then the message loop, which the
// program leaves only through its end handling.
#include <windows.h>

#include "app/main_window.h"
#include "platform/platform.h"
#include "app/secret_setup.h"
#include "app/settings.h"
#include "app/state.h"
#include "net/socket.h"
#include "toolkit/toolkit.h"
#include "transfer/engine.h"

namespace {

void shape_strip() {
    HWND strip = toolkit.program_window;
    set_sizing_border(strip, false);
    set_topmost(strip, true);
    set_caption(strip, false);
    RECT r;
    get_window_rect(strip, r);
    move_window(strip, r.left, r.top, PROGRAM_WINDOW_WIDTH, PROGRAM_WINDOW_HEIGHT);
    // The main area covers the client area and one pixel beyond it to the
    // right and below, so the painted frame sits on the strip's edges.
    RECT c;
    get_client_rect(strip, c);
    move_window(toolkit.main_area, 0, 0, c.right - c.left + 1, c.bottom - c.top + 1);
    set_taskbar_button(strip, false);
}

void run_program() {
    if (!network_ready) {
        message_box(Text("network not available!"), Text("Zeptrix: fatal error"), Text("os"));
        ExitProcess(0);
    }
    set_starting_values();
    load_bitmap(ABOUT_BITMAP_ID, Text("ZPXBACK1"));
    current_destination.port = 0;
    load_settings();
    SecretSetup secret = prepare_secret();
    if (secret == SecretSetup::too_short || secret == SecretSetup::failed) {
        message_box(Text(secret == SecretSetup::too_short ? SECRET_TOO_SHORT_TEXT : SECRET_FAILED_TEXT),
                    Text("Zeptrix"), Text("io"));
        ExitProcess(0);
    }
    clear_transfer_state();
    read_idle_limit_override();
    bool destination_ready = make_directories(destination_dir);

    create_window_class(main_window_proc);
    create_program_window(toolkit.screen_width - PROGRAM_WINDOW_RIGHT_GAP - PROGRAM_WINDOW_WIDTH, 0,
                          PROGRAM_WINDOW_WIDTH, PROGRAM_WINDOW_HEIGHT, false, true);
    shape_strip();

    if (address_to_text(current_destination.address) != "0.0.0.0") {
        set_window_text(toolkit.program_window, Text("Zeptrix ") + current_destination.name);
        accept_dropped_files(toolkit.main_area, true);
    } else {
        set_window_text(toolkit.program_window, Text("Zeptrix"));
    }

    if (!start_thread(listener_task, nullptr, LISTENER_STACK_SIZE))
        message_box(Text("error creating listening task!"), Text("Zeptrix"), Text("io"));
    // Told once the strip is up; sending works without the directory.
    if (!destination_ready)
        message_box(Text("making directory ") + destination_dir + " failed!", Text("Zeptrix"), Text("io"));
    // Such lines admit nobody; the user is told of the first.
    if (!accept_not_understood.empty())
        message_box(Text("accept ") + accept_not_understood + " not understood", Text("Zeptrix"), Text("io"));
    run_message_loop();
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    toolkit_init();
    allow_many_open_files();
    start_sockets();
    run_program();
    return 0;
}
