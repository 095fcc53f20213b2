// Timers on the program window and detached worker threads.
#include "toolkit/toolkit.h"

void start_timer(std::int32_t identifier, std::int32_t interval_ms) {
    if (toolkit.program_window)
        SetTimer(toolkit.program_window, static_cast<UINT_PTR>(identifier),
                 static_cast<UINT>(interval_ms), nullptr);
}

void stop_timer(std::int32_t identifier) {
    if (toolkit.program_window) KillTimer(toolkit.program_window, static_cast<UINT_PTR>(identifier));
}

// The thread runs detached: its handle is closed at once, the thread goes
// on until it ends itself.
bool start_thread(ThreadRoutine routine, void* parameter, std::int32_t stack_size) {
    DWORD thread_id = 0;
    HANDLE thread = CreateThread(nullptr, static_cast<SIZE_T>(stack_size), routine, parameter, 0,
                                 &thread_id);
    if (!thread) return false;
    CloseHandle(thread);
    return true;
}

void exit_thread() {
    ExitThread(0);
}
