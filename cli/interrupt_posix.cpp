#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include "cli/interrupt.h"

namespace {

void (*interrupt_handler)() = nullptr;

void* wait_for_signal(void*) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    int signal_number = 0;
    sigwait(&set, &signal_number);
    // A second interrupt ends the process with the usual status.
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    interrupt_handler();
    return nullptr;
}

}  // namespace

void on_interrupt(void (*handler)()) {
    interrupt_handler = handler;
    // Blocked in this thread and in every thread started later; only the
    // waiting thread takes the signal.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, wait_for_signal, nullptr) == 0) pthread_detach(thread);
}

bool stderr_is_terminal() { return isatty(2) == 1; }

// Terminals here take UTF-8 and escapes as they are.
bool prepare_terminal() { return true; }
