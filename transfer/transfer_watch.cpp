#include "transfer/transfer_watch.h"

#include <thread>

TransferWatch send_watches[SLOT_CAPACITY + 1];
TransferWatch receive_watches[SLOT_CAPACITY + 1];

namespace {

constexpr SocketHandle CLAIMED = INVALID_SOCKET_HANDLE;

std::atomic<std::uint32_t> send_abort_count{0};
std::atomic<std::uint32_t> receive_abort_count{0};

void interrupt_all(TransferWatch (&watches)[SLOT_CAPACITY + 1]) {
    for (std::int32_t i = 1; i <= SLOT_CAPACITY; ++i) interrupt_transfer(watches[i]);
}

}  // namespace

// Claims the socket first, so its task cannot close it (and the system
// cannot hand its number to a new connection) while it is shut down.
void interrupt_transfer(TransferWatch& watch) {
    SocketHandle socket = watch.socket.load();
    if (socket == 0 || socket == CLAIMED) return;
    if (!watch.socket.compare_exchange_strong(socket, CLAIMED)) return;
    watch.interrupted.store(true);
    interrupt_socket(socket);
    watch.socket.store(socket);
}

void watch_transfer(TransferWatch& watch, SocketHandle socket) {
    watch.interrupted.store(false);
    watch.heard_ms.store(monotonic_ms());
    watch.socket.store(socket);
}

bool unwatch_transfer(TransferWatch& watch, SocketHandle socket) {
    // An abort holding the socket gives it back right after its shutdown call.
    for (;;) {
        SocketHandle expected = socket;
        if (watch.socket.compare_exchange_strong(expected, 0) || expected != CLAIMED) break;
        std::this_thread::yield();
    }
    return watch.interrupted.exchange(false);
}

std::uint32_t send_aborts() { return send_abort_count.load(); }

void abort_sends() {
    send_abort_count.fetch_add(1);
    abort_send.store(true);
    interrupt_all(send_watches);
}

std::uint32_t receive_aborts() { return receive_abort_count.load(); }

bool receive_aborted(const TransferWatch& watch) { return receive_abort_count.load() != watch.aborts_at_start; }

void abort_receives() {
    receive_abort_count.fetch_add(1);
    abort_receive.store(true);
    interrupt_all(receive_watches);
}
