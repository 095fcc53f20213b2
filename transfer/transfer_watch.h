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
    // When the peer was last heard from (monotonic_ms), for a receive that
    // notes it: a transfer silent for long may be a connection that its
    // sender has given up.
    std::atomic<std::int64_t> heard_ms{0};
    // A receive's count of aborts when it began (receive_aborts): an abort
    // since then ends it, however many other receives end meanwhile.
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

// Raise the abort request of that kind and shut down the connection of
// every transfer of that kind under way.
void abort_sends();
void abort_receives();
// How many times sends were aborted: a batch waiting to connect again sees
// an abort by this count, even once another batch has taken the request.
std::uint32_t send_aborts();
// The same for receives, and whether an abort came since the receive of
// the watch began (its aborts_at_start).
std::uint32_t receive_aborts();
bool receive_aborted(const TransferWatch& watch);
