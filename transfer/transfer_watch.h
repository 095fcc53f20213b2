// The socket of each running transfer, kept beside its slot, so that an
// abort wakes a task blocked in send or recv on a silent peer at once
// instead of after the idle limit.
#pragma once

#include <atomic>

#include "app/state.h"
#include "net/socket.h"

struct TransferWatch {
    // 0 when no transfer runs; INVALID_SOCKET_HANDLE while an abort is
    // interrupting the socket (the task then waits before closing it).
    std::atomic<SocketHandle> socket{0};
    std::atomic<bool> interrupted{false};
    // When a receive last heard from its peer (monotonic_ms).
    std::atomic<std::int64_t> heard_ms{0};
    // A receive's count of aborts when it began (receive_aborts).
    std::uint32_t aborts_at_start = 0;
};

extern TransferWatch send_watches[SLOT_CAPACITY + 1];
extern TransferWatch receive_watches[SLOT_CAPACITY + 1];

// Called by a task once its connection is open, and before it closes it;
// the second call tells whether an abort interrupted the connection.
void watch_transfer(TransferWatch& watch, SocketHandle socket);
bool unwatch_transfer(TransferWatch& watch, SocketHandle socket);
// Shuts the connection of that one transfer down, as an abort would.
void interrupt_transfer(TransferWatch& watch);

// Raise the abort request of a kind and shut down every connection of it.
void abort_sends();
void abort_receives();
// How many times each kind was aborted: a batch waiting to connect again,
// or a receive, sees an abort by this count, even once another task has
// taken the request; and whether one came since the watch's receive began.
std::uint32_t send_aborts();
std::uint32_t receive_aborts();
bool receive_aborted(const TransferWatch& watch);
