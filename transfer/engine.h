// The transfer engine: the listener that admits peers, the receive task
// that serves one connection, the send task that sends one dropped batch,
// and the progress both report. Thread entries are shims over plain bodies, so the
// bodies' locals are gone before the thread ends.
#pragma once

#include <atomic>
#include <cstdint>

#include "app/state.h"
#include "net/socket.h"
#include "toolkit/task_services.h"
#include "transfer/send_failure.h"

// wParam of the slot message (WM_USER) that hands a receive slot over.
constexpr std::uintptr_t SLOT_MESSAGE_CODE = 1278;
constexpr std::int32_t TASK_STACK_SIZE = 40960;
constexpr std::int32_t DEFAULT_IDLE_LIMIT_MS = 120000;
constexpr std::int32_t DEFAULT_GREETING_LIMIT_MS = 10000;
constexpr std::int32_t DEFAULT_RECONNECT_UNIT_MS = 1000;
// Connections from one address that may be before the end of their
// handshake at once, in the secure format.
constexpr std::int32_t MAX_GREETINGS_PER_ADDRESS = 8;

// How long a transfer waits for a silent peer; how long a peer has in all
// for its header (fixed format) or handshake (secure format), however it
// trickles; the pause before the first try to make a lost secure connection
// again, each further one twice as long.
extern std::atomic<std::int32_t> idle_limit_ms;
extern std::atomic<std::int32_t> greeting_limit_ms;
extern std::atomic<std::int32_t> reconnect_unit_ms;
// Takes the limits from ZEPTRIX_IDLE_LIMIT_MS, ZEPTRIX_GREETING_LIMIT_MS and
// ZEPTRIX_RECONNECT_UNIT_MS (milliseconds) where set, for the tests.
void read_idle_limit_override();

// The share of announced bytes still missing, in whole percent, halves to
// even: 0 without a total, 100 while nothing has moved.
std::int32_t progress_percent(std::uint64_t total, std::uint64_t left);
// Asks the main area for a repaint when one kind's percentage changed to
// another even value.
void update_progress(const std::atomic<std::uint64_t>& total,
                     const std::atomic<std::uint64_t>& left, std::int32_t& last_percent);

// The peer of each receive slot, written by the listener before the task
// starts; whether its host name must still pass the host list; and whether
// it is still before the end of its greeting.
extern IpAddress receive_slot_peers[SLOT_CAPACITY + 1];
extern std::atomic<bool> receive_slot_host_check[SLOT_CAPACITY + 1];
extern std::atomic<bool> receive_slot_greeting[SLOT_CAPACITY + 1];

// What the access lists say of a peer by its address alone: admitted (also
// when there are no lists), refused, or admitted only if its host name
// passes the host list, which needs lookups.
enum class Admission { admitted, refused, by_host_name };
Admission admission_by_address(const IpAddress& peer);
// The host-name check: the peer's name from the reverse lookup must end
// with an entry of the host list, and its forward lookup must give the
// peer's address back, so that nobody passes by naming their own address.
bool host_admitted(const IpAddress& peer);
// True when the access lists admit the peer, lookups included.
bool peer_admitted(const IpAddress& peer);
// The name service the host check asks; tests stand in for it.
using ReverseLookup = Text (*)(const IpAddress& address);
using ForwardCheck = bool (*)(const Text& name, const IpAddress& address);
void set_host_lookups(ReverseLookup reverse, ForwardCheck forward);
// Accepts one connection and hands it to a free receive slot, or closes it,
// never waiting on a name lookup. False when the accept failed (after a
// pause, so failures do not spin).
bool listener_step(SocketHandle listening);
// Opens listen_port, or tells the user it can't; then serves its
// connections, never returning. run_listener does both.
bool start_listening(SocketHandle& listening);
[[noreturn]] void serve_connections(SocketHandle listening);
void run_listener();
ThreadResult ZPX_THREAD_CALL listener_task(void* unused);

// The console peer's lines, which the desktop program does not show: every
// arriving file whose name came through, stored or not, with its announced
// size (0 when none came); every file the receiver acknowledged; and why a
// send failed, right after its message.
using ReceiveObserver = void (*)(const Text& name, bool stored, std::uint64_t size);
void set_receive_observer(ReceiveObserver observer);
using DeliveryObserver = void (*)(const Text& name);
void set_delivery_observer(DeliveryObserver observer);
using FailureObserver = void (*)(const Failure& failure);
void set_failure_observer(FailureObserver observer);

// Serves the connection in the slot: one file in the fixed format, or a
// whole session of files in the secure format. Then frees the slot.
void receive_connection(std::atomic<SocketHandle>& slot);
ThreadResult ZPX_THREAD_CALL receive_task(void* slot);

// Sends the files of the drop in the slot to the current destination, then
// releases the drop and frees the slot.
void send_batch(std::atomic<DropHandle>& slot);
ThreadResult ZPX_THREAD_CALL send_task(void* slot);

// What the program window does with a slot message: a receive task for
// that entry, or the socket closed and the entry freed.
void start_receive_for_slot(std::int32_t index);
// Puts a drop into send slot index, with the current destination as the
// batch's target. Run by the thread that takes slots, before the task starts.
void fill_send_slot(std::int32_t index, DropHandle drop);
// What the main area does with a drop: a send task in the lowest free send
// slot, or the drop released with a message.
void enqueue_drop(DropHandle drop);
