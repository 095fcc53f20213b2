// What the child processes of the tests do. Each mode ends the process; an
// exit code from 90 up means the toolkit returned where it must not.
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/windows/test_support.h"

namespace {

// Registers the toolkit's class name first, so that the toolkit's own
// registration fails.
[[noreturn]] void class_registration_fails() {
    WNDCLASSA taken = {};
    taken.lpfnWndProc = DefWindowProcA;
    taken.hInstance = GetModuleHandleA(nullptr);
    taken.lpszClassName = CLASS_NAME;
    if (!RegisterClassA(&taken)) ExitProcess(91);
    create_window_class(recording_window_proc);
    ExitProcess(92);
}

// No class at all: the program window cannot be created.
[[noreturn]] void program_window_fails(bool must_succeed) {
    create_program_window(-1, -1, 0, 0, false, must_succeed);
    if (must_succeed) ExitProcess(93);
    ExitProcess(toolkit.program_window == nullptr && toolkit.main_area == nullptr ? 41 : 42);
}

[[noreturn]] void program_window_destroyed(bool by_message) {
    create_window_class(recording_window_proc);
    create_program_window(-1, -1, 0, 0, false, true);
    if (by_message)
        send_message(toolkit.program_window, WM_DESTROY, 0, 0);
    else
        DestroyWindow(toolkit.program_window);
    ExitProcess(94);
}

[[noreturn]] void quit_through_loop(int code) {
    create_window_class(recording_window_proc);
    create_program_window(-1, -1, 0, 0, false, true);
    PostQuitMessage(code);
    run_message_loop();
}

[[noreturn]] void show_box(const char* letters) {
    Text text = Text("zeptrix box test ") + letters;
    ExitProcess(static_cast<UINT>(40 + message_box(text, "zpx box", letters)));
}

}  // namespace

bool run_child_mode(const char* argument) {
    std::string mode = argument;
    if (mode == "child:class-fails") class_registration_fails();
    if (mode == "child:window-fails") program_window_fails(true);
    if (mode == "child:window-fails-quietly") program_window_fails(false);
    if (mode == "child:destroy-window") program_window_destroyed(false);
    if (mode == "child:destroy-message") program_window_destroyed(true);
    if (mode.rfind("child:quit:", 0) == 0) quit_through_loop(std::atoi(mode.c_str() + 11));
    if (mode.rfind("child:box:", 0) == 0) show_box(mode.c_str() + 10);
    return false;
}
