#include "app/program_end.h"

#include "app/state.h"
#include "net/socket.h"
#include "toolkit/toolkit.h"

void end_program_in_order(HWND window, WPARAM w_param, LPARAM l_param) {
    accept_dropped_files(toolkit.main_area, false);
    // Transfers under way are finished, not aborted; a silent peer cannot
    // hold them longer than the idle limit. Between two rounds of messages
    // the thread sleeps until the next message or 50 ms, not spinning.
    while (running_tasks.load() != 0) {
        pump_messages();
        if (running_tasks.load() == 0) break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
    delete_bitmap(ABOUT_BITMAP_ID);
    stop_sockets();
    default_window_proc(window, WM_DESTROY, w_param, l_param);
}
