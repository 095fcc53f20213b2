// The few user-interface services that the transfer tasks and the listener
// call. The Windows program gets them from the Win32 toolkit; console
// builds and the engine's tests get them from the headless stand-in.
#pragma once

#include <cstdint>

#include "text/text.h"

// A window or a drop as the platform hands it out (HWND, HDROP on Windows).
using WindowHandle = std::uintptr_t;
using DropHandle = std::uintptr_t;

// A thread routine of the platform's thread-start form.
#ifdef _WIN32
#define ZPX_THREAD_CALL __stdcall
using ThreadResult = unsigned long;
#else
#define ZPX_THREAD_CALL
using ThreadResult = std::uint32_t;
#endif
using ThreadRoutine = ThreadResult(ZPX_THREAD_CALL*)(void* parameter);

// The message number of WM_USER.
constexpr std::uint32_t USER_MESSAGE = 0x0400;

// The program window (slot messages go there) and the main area (the
// progress bars are painted there); 0 while they do not exist.
WindowHandle program_window_handle();
WindowHandle main_area_handle();

// The lower-cased directory of the executable with its trailing separator
// (empty when the path has none); the settings file lives there.
Text program_directory();

// Modal box without owner; letters as "os" / "io". Answers 0, 1 or 2.
int message_box(const Text& text, const Text& caption, const Text& letters);
// Asks for a repaint of the whole window; nothing for window 0.
void invalidate_window(WindowHandle window, bool erase);
// Delivers a message synchronously to the window's handler.
std::intptr_t send_message(WindowHandle window, std::uint32_t message, std::uintptr_t w_param,
                           std::intptr_t l_param);

// Starts a detached thread with the given stack size; true when it runs.
bool start_thread(ThreadRoutine routine, void* parameter, std::int32_t stack_size);
// Ends the calling thread.
[[noreturn]] void exit_thread();

// The path of file index (from 1) of a drop in a new malloc'ed buffer of
// size bytes (the terminator counted); buffer null and size 0 when the drop
// has no such file. The caller frees the buffer with free_dropped_file.
void get_dropped_file(DropHandle drop, std::int32_t index, char*& buffer, std::int32_t& size);
void free_dropped_file(char* buffer, std::int32_t size);
// Releases the drop; nothing for 0.
void finish_drop(DropHandle drop);
