// The default handling of toolkit windows and the main thread's message loop.
#include "toolkit/toolkit.h"

LRESULT default_window_proc(HWND window, UINT message, WPARAM w_param, LPARAM l_param) {
    if (message == WM_DESTROY && window && window == toolkit.program_window) {
        PostQuitMessage(0);
        end_program(0);
    }
    // No system menu from a right click on frame or caption.
    if (message == WM_NCRBUTTONDOWN) return 0;
    return DefWindowProcW(window, message, w_param, l_param);
}

// Keys that the program window hears about first: the first group instead
// of the focused window, the second group as well as it.
KeyForwarding key_forwarding(unsigned key) {
    switch (key) {
    case VK_TAB: case VK_RETURN: case VK_ESCAPE: case VK_PRIOR: case VK_NEXT:
    case VK_END: case VK_HOME: case VK_UP: case VK_DOWN: case VK_INSERT:
        return KeyForwarding::instead;
    case VK_LEFT: case VK_RIGHT: case VK_MULTIPLY: case VK_ADD: case VK_SUBTRACT: case VK_DIVIDE:
        return KeyForwarding::also;
    default:
        return key >= VK_F1 && key <= VK_F12 ? KeyForwarding::instead : KeyForwarding::none;
    }
}

void dispatch_message() {
    MSG& message = toolkit.current_message;
    if (message.message == WM_KEYDOWN || message.message == WM_SYSKEYDOWN) {
        KeyForwarding forwarding = key_forwarding(message.wParam & 0xFF);
        if (forwarding != KeyForwarding::none && toolkit.program_window)
            SendMessageW(toolkit.program_window, WM_USER, message.wParam,
                         reinterpret_cast<LPARAM>(GetFocus()));
        if (forwarding == KeyForwarding::instead) return;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
}

// Ends with the quit message, or when the queue cannot be read any more
// (GetMessageW's -1), which would otherwise spin for ever.
void run_message_loop() {
    while (GetMessageW(&toolkit.current_message, nullptr, 0, 0) > 0) dispatch_message();
    UINT exit_code = toolkit.current_message.message == WM_QUIT
                         ? static_cast<UINT>(toolkit.current_message.wParam & 0xFF)
                         : 0;
    end_program(exit_code);
}

// Handles what is waiting and returns at once. A quit message met here is
// put back, so that the message loop still sees it.
void pump_messages() {
    while (PeekMessageW(&toolkit.current_message, nullptr, 0, 0, PM_REMOVE)) {
        if (toolkit.current_message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(toolkit.current_message.wParam));
            return;
        }
        dispatch_message();
    }
}
