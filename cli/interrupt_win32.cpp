#include <windows.h>
#include <io.h>

#include <atomic>

#include "cli/interrupt.h"

namespace {

void (*interrupt_handler)() = nullptr;
std::atomic<bool> interrupted{false};

// The system calls this on a thread of its own.
BOOL WINAPI console_control(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    if (interrupted.exchange(true)) ExitProcess(130);
    interrupt_handler();
    return TRUE;
}

}  // namespace

void on_interrupt(void (*handler)()) {
    interrupt_handler = handler;
    SetConsoleCtrlHandler(console_control, TRUE);
}

bool stderr_is_terminal() { return _isatty(2) != 0; }

// The classic console prints in the OEM code page and shows escapes as
// text unless told otherwise.
bool prepare_terminal() {
    SetConsoleOutputCP(CP_UTF8);
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    constexpr DWORD ESCAPES = 0x0004;  // ENABLE_VIRTUAL_TERMINAL_PROCESSING
    return error != INVALID_HANDLE_VALUE && GetConsoleMode(error, &mode) &&
           ((mode & ESCAPES) != 0 || SetConsoleMode(error, mode | ESCAPES));
}
