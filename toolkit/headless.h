// The console stand-in of the task services: message boxes become lines on
// standard error, threads are POSIX threads, a drop is a list of paths and
// the program window is whatever handler the console program registers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "toolkit/task_services.h"

// Called with every message box, from the thread that shows it.
using MessageObserver = void (*)(const Text& text, const Text& caption, const Text& letters);
void set_message_observer(MessageObserver observer);

// Called with every repaint request for a window other than 0.
using RepaintHook = void (*)(WindowHandle window);
void set_repaint_hook(RepaintHook hook);
std::int64_t repaint_count();

// Receives what send_message delivers to the program window.
using WindowHandler = std::intptr_t (*)(std::uint32_t message, std::uintptr_t w_param,
                                        std::intptr_t l_param);
void set_window_handler(WindowHandler handler);

// A drop of these paths, released by finish_drop.
DropHandle make_drop(const std::vector<std::string>& paths);
// Drops made and not yet released.
std::int32_t open_drop_count();
