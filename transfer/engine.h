// The transfer engine: the listener that admits peers, the receive task
// that stores one file, the send task that sends one dropped batch, and the
// progress both report. Thread entries are shims over plain bodies, so the
// bodies' locals are gone before the thread ends.
#pragma once

#include <atomic>
#include <cstdint>

#include "net/socket.h"
#include "toolkit/task_services.h"

// wParam of the slot message (WM_USER) that hands a receive slot over.
constexpr std::uintptr_t SLOT_MESSAGE_CODE = 1278;
constexpr std::int32_t TASK_STACK_SIZE = 40960;
// Longest name field a receiver takes, its terminating zero included.
constexpr std::uint32_t MAX_NAME_LENGTH = 256;
constexpr std::int32_t DEFAULT_IDLE_LIMIT_MS = 120000;

// How long a transfer waits for a silent peer before it fails.
extern std::atomic<std::int32_t> idle_limit_ms;
// Takes the idle limit from ZEPTRIX_IDLE_LIMIT_MS (milliseconds) when that
// is set; the tests shorten it so. The settings file has no word for it.
void read_idle_limit_override();

// The share of announced bytes still missing, in whole percent, halves to
// even: 0 without a total, 100 while nothing has moved.
std::int32_t progress_percent(std::uint64_t total, std::uint64_t left);
// Recomputes the percentage of one kind's counters and asks the main area
// for a repaint when it changed to another even value.
void update_progress(const std::atomic<std::uint64_t>& total,
                     const std::atomic<std::uint64_t>& left, std::int32_t& last_percent);

// True when the access lists admit the peer (both empty admit everyone).
bool peer_admitted(const IpAddress& peer);
// Accepts one connection and hands it to a free receive slot, or closes it.
// False when the accept failed (after a pause, so failures do not spin).
bool listener_step(SocketHandle listening);
// Listens on listen_port and serves connections; returns only when the
// port can't be opened, after telling the user.
void run_listener();
ThreadResult ZPX_THREAD_CALL listener_task(void* unused);

// Told of every arriving file whose name came through: stored or not, with
// its announced size (0 when the size did not come). The console peer
// prints one line per file from it; the desktop program shows nothing.
using ReceiveObserver = void (*)(const Text& name, bool stored, std::uint64_t size);
void set_receive_observer(ReceiveObserver observer);

// Told of every file the receiver acknowledged, with its name as messages
// show it.
using DeliveryObserver = void (*)(const Text& name);
void set_delivery_observer(DeliveryObserver observer);

// Receives one file over the socket in the slot, then frees the slot.
void receive_file(std::atomic<SocketHandle>& slot);
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
