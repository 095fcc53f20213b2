// Task services for console builds.
#include <limits.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "toolkit/headless.h"

namespace {

constexpr WindowHandle PROGRAM_WINDOW = 1;
constexpr WindowHandle MAIN_AREA = 2;

#ifdef ZPX_SANITIZED
// Sanitizers keep their own records on the stack; small stacks overflow.
constexpr std::size_t STACK_FLOOR = 4u << 20;
#else
// On Windows the requested size is what the thread starts with, and its
// stack can grow to the executable's reserve (1 MiB); a POSIX stack cannot
// grow, so it gets that reserve from the start (name lookups alone can
// take more than a task's 40 KiB).
constexpr std::size_t STACK_FLOOR = 1u << 20;
#endif

std::atomic<MessageObserver> message_observer{nullptr};
std::atomic<RepaintHook> repaint_hook{nullptr};
std::atomic<std::int64_t> repaints{0};
std::atomic<WindowHandler> window_handler{nullptr};
std::atomic<std::int32_t> open_drops{0};

struct Drop {
    std::vector<std::string> paths;
};

struct ThreadStart {
    ThreadRoutine routine;
    void* parameter;
};

void* run_thread(void* start) {
    ThreadStart s = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    s.routine(s.parameter);
    return nullptr;
}

std::size_t stack_bytes(std::int32_t requested) {
    std::size_t size = requested > 0 ? static_cast<std::size_t>(requested) : 0;
    size = std::max(size, STACK_FLOOR);
#ifdef PTHREAD_STACK_MIN
    size = std::max(size, static_cast<std::size_t>(PTHREAD_STACK_MIN));
#endif
    return size;
}

}  // namespace

void set_message_observer(MessageObserver observer) { message_observer.store(observer); }
void set_repaint_hook(RepaintHook hook) { repaint_hook.store(hook); }
std::int64_t repaint_count() { return repaints.load(); }
void set_window_handler(WindowHandler handler) { window_handler.store(handler); }

DropHandle make_drop(const std::vector<std::string>& paths) {
    open_drops.fetch_add(1);
    return reinterpret_cast<DropHandle>(new Drop{paths});
}

std::int32_t open_drop_count() { return open_drops.load(); }

WindowHandle program_window_handle() { return PROGRAM_WINDOW; }
WindowHandle main_area_handle() { return MAIN_AREA; }

Text program_directory() { return executable_directory(); }

int message_box(const Text& text, const Text& caption, const Text& letters) {
    // An observer shows the message its own way; without one it is a line.
    if (MessageObserver observer = message_observer.load()) {
        observer(text, caption, letters);
    } else {
        std::fprintf(stderr, "%s: %s\n", caption.data(), text.data());
    }
    return 0;  // the only button is OK
}

void invalidate_window(WindowHandle window, bool) {
    if (window == 0) return;
    repaints.fetch_add(1);
    if (RepaintHook hook = repaint_hook.load()) hook(window);
}

std::intptr_t send_message(WindowHandle window, std::uint32_t message, std::uintptr_t w_param,
                           std::intptr_t l_param) {
    WindowHandler handler = window_handler.load();
    if (window != PROGRAM_WINDOW || !handler) return 0;
    return handler(message, w_param, l_param);
}

bool start_thread(ThreadRoutine routine, void* parameter, std::int32_t stack_size) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attributes, stack_bytes(stack_size));
    auto* start = new ThreadStart{routine, parameter};
    pthread_t thread;
    bool started = pthread_create(&thread, &attributes, run_thread, start) == 0;
    pthread_attr_destroy(&attributes);
    if (!started) delete start;
    return started;
}

void exit_thread() {
    pthread_exit(nullptr);
    // Some thread libraries do not mark pthread_exit as not returning. An
    // endless loop here would be a jump to itself right after the call,
    // and Wine's unwinder, which pthread_exit sets off through longjmp,
    // follows such a jump forever: every ended thread would spin on.
    std::abort();
}

void get_dropped_file(DropHandle drop, std::int32_t index, char*& buffer, std::int32_t& size) {
    buffer = nullptr;
    size = 0;
    if (drop == 0) return;
    const auto& paths = reinterpret_cast<const Drop*>(drop)->paths;
    if (index < 1 || static_cast<std::size_t>(index) > paths.size()) return;
    const std::string& path = paths[static_cast<std::size_t>(index) - 1];
    if (path.empty()) return;
    buffer = static_cast<char*>(std::malloc(path.size() + 1));
    if (!buffer) return;
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    size = static_cast<std::int32_t>(path.size() + 1);
}

void free_dropped_file(char* buffer, std::int32_t) { std::free(buffer); }

void finish_drop(DropHandle drop) {
    if (drop == 0) return;
    delete reinterpret_cast<Drop*>(drop);
    open_drops.fetch_sub(1);
}
