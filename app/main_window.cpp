#include "app/main_window.h"

#include "app/about_window.h"
#include "app/popup_menu_entries.h"
#include "app/program_end.h"
#include "app/state.h"
#include "app/status_view.h"
#include "toolkit/toolkit.h"
#include "transfer/engine.h"
#include "transfer/transfer_watch.h"

namespace {

void paint_main_area(HWND area) {
    RECT client;
    get_client_rect(area, client);
    std::int32_t w = client.right - client.left;
    std::int32_t h = client.bottom - client.top;
    // The counters are read once the paint has begun: a task that changes
    // them and asks for a paint meanwhile then gets a paint of its own,
    // where one read before would be drawn and the task's request taken as
    // answered.
    PAINTSTRUCT paint;
    begin_paint(area, paint);
    StatusView view = status_view(w);
    fill_area(area, 0, 0, w + 1, h + 1, BACKGROUND_COLOR);
    // fill_area with a width of 0 would fill the whole window: no bar then.
    if (view.send_bar_length != 0) fill_area(area, 2, 2, view.send_bar_length, 7, SEND_BAR_COLOR);
    if (view.receive_bar_length != 0)
        fill_area(area, 2, 10, view.receive_bar_length, 7, RECEIVE_BAR_COLOR);
    draw_text(area, 5, 2, toolkit.default_text_color, 0, view.status_line, false);
    fill_area(area, 0, 0, w + 1, 2, FRAME_COLOR);
    fill_area(area, 0, h - 2, w + 1, 2, FRAME_COLOR);
    fill_area(area, 0, 0, 2, h + 1, FRAME_COLOR);
    fill_area(area, w - 2, 0, 2, h + 1, FRAME_COLOR);
    end_paint(area, paint);
}

void show_popup_menu(HWND area, LPARAM l_param) {
    MenuEntries menu = popup_menu_entries();
    create_popup_menu(POPUP_MENU_ID);
    for (std::int32_t i = 0; i < menu.count; ++i) {
        const MenuEntry& entry = menu.entries[i];
        append_menu_item(POPUP_MENU_ID, entry.identifier, entry.label, entry.letters);
    }
    RECT r;
    get_window_rect(area, r);
    std::int32_t x = r.left + static_cast<std::int32_t>(LOWORD(l_param));
    std::int32_t y = r.top + static_cast<std::int32_t>(HIWORD(l_param));
    track_popup_menu(x, y, POPUP_MENU_ID);
}

void run_command(HWND area, std::int32_t command) {
    if (command == CMD_ABORT_SEND) {
        request_abort_send();
    } else if (command == CMD_ABORT_RECEIVE) {
        request_abort_receive();
    } else if (command == CMD_ABOUT) {
        start_timer(ABOUT_TIMER, 3);
    } else if (command == CMD_EXIT) {
        send_message(toolkit.program_window, WM_DESTROY, 0, 0);
    } else if (choose_destination(command - CMD_DESTINATION_BASE)) {
        invalidate_window(area, false);
    }
}

LRESULT main_area_message(HWND area, UINT message, WPARAM w_param, LPARAM l_param) {
    switch (message) {
        case WM_PAINT:
            paint_main_area(area);
            break;
        case WM_RBUTTONDOWN:
            show_popup_menu(area, l_param);
            break;
        case WM_COMMAND:
            run_command(area, static_cast<std::int32_t>(w_param));
            break;
        case WM_DROPFILES:
            enqueue_drop(static_cast<DropHandle>(w_param));
            return 0;
    }
    return default_window_proc(area, message, w_param, l_param);
}

// Any program on the desktop can send WM_USER to our window: a slot message
// naming no slot, or a free one, does nothing.
void slot_message(LPARAM l_param) {
    if (l_param < 1 || l_param > SLOT_CAPACITY) return;
    std::int32_t index = static_cast<std::int32_t>(l_param);
    if (receive_slots[index].load() == 0) return;
    start_receive_for_slot(index);
}

// A shutdown or sign-out with transfers under way: Windows is told why it
// should wait, and the user chooses. Once the session ends all the same,
// the transfers end as the abort commands end them, so that no partial
// file stays and every sender hears of it.
LRESULT session_ending(HWND window, UINT message, WPARAM w_param) {
    constexpr DWORD ENDING_WAIT_MS = 5000;
    if (message == WM_QUERYENDSESSION) {
        if (running_tasks.load() == 0) return TRUE;
        ShutdownBlockReasonCreate(window, L"Zeptrix is sending or receiving files.");
        return FALSE;
    }
    if (w_param) {
        abort_sends();
        abort_receives();
        for (DWORD waited = 0; running_tasks.load() != 0 && waited < ENDING_WAIT_MS; waited += 50) {
            pump_messages();
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        }
    }
    ShutdownBlockReasonDestroy(window);
    return 0;
}

LRESULT program_window_message(HWND window, UINT message, WPARAM w_param, LPARAM l_param) {
    if (message == WM_QUERYENDSESSION || message == WM_ENDSESSION) return session_ending(window, message, w_param);
    if (message == WM_DESTROY) {
        end_program_in_order(window, w_param, l_param);
    } else if (message == WM_TIMER && w_param == ABOUT_TIMER) {
        stop_timer(ABOUT_TIMER);
        open_about_window();
    } else if (message == WM_USER && w_param == SLOT_MESSAGE_CODE) {
        slot_message(l_param);
    }
    return default_window_proc(window, message, w_param, l_param);
}

}  // namespace

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM w_param, LPARAM l_param) {
    if (window == nullptr) return default_window_proc(window, message, w_param, l_param);
    if (window == toolkit.main_area) return main_area_message(window, message, w_param, l_param);
    if (window == toolkit.program_window)
        return program_window_message(window, message, w_param, l_param);
    if (find_table_index(window) == ABOUT_WINDOW_ID)
        return about_window_message(window, message, w_param, l_param);
    return default_window_proc(window, message, w_param, l_param);
}
