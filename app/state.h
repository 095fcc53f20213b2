// The program state that start-up, the settings, the window and the
// transfer tasks share. One instance for the whole run; tables are indexed
// from 1 (entry 0 is never used).
#pragma once

#include <atomic>
#include <cstdint>

#include "net/socket.h"
#include "text/text.h"
#include "toolkit/task_services.h"
#include "transfer/secure/noise.h"

constexpr std::int32_t DEFAULT_PORT = 60907;
constexpr std::int32_t PROGRAM_WINDOW_WIDTH = 250;
constexpr std::int32_t PROGRAM_WINDOW_HEIGHT = 19;
constexpr std::int32_t PROGRAM_WINDOW_RIGHT_GAP = 110;
constexpr std::int32_t LISTENER_STACK_SIZE = 32768;
constexpr std::int32_t ABOUT_BITMAP_ID = 14;

constexpr std::int32_t ACCEPT_CAPACITY = 200;
constexpr std::int32_t DESTINATION_CAPACITY = 50;
constexpr std::int32_t SLOT_CAPACITY = 100;

struct Destination {
    Text name;
    IpAddress address;
    std::int32_t port = 0;
};

extern std::int32_t listen_port;
// Always ends with the platform's path separator.
extern Text destination_dir;

extern IpAddress accept_addresses[ACCEPT_CAPACITY + 1];
extern std::int32_t accept_address_count;
extern Text accept_host_suffixes[ACCEPT_CAPACITY + 1];
extern std::int32_t accept_host_count;
// How many "accept" lines the settings held, readable or not: with any,
// only what the readable ones admit is admitted, nobody when none is.
extern std::int32_t accept_line_count;
// The first "accept" value that could not be read; empty when all could.
extern Text accept_not_understood;

extern Text destination_names[DESTINATION_CAPACITY + 1];
extern IpAddress destination_addresses[DESTINATION_CAPACITY + 1];
extern std::int32_t destination_ports[DESTINATION_CAPACITY + 1];
extern std::int32_t destination_count;
extern Destination current_destination;

// 0 marks a free entry.
extern std::atomic<SocketHandle> receive_slots[SLOT_CAPACITY + 1];
extern std::atomic<DropHandle> send_slots[SLOT_CAPACITY + 1];
// Where the batch in each send slot goes: copied from current_destination
// by the thread that fills the slot, before its send task starts, so that a
// destination chosen meanwhile on the main thread never reaches a task torn.
extern IpAddress send_slot_addresses[SLOT_CAPACITY + 1];
extern std::int32_t send_slot_ports[SLOT_CAPACITY + 1];

extern std::atomic<std::int32_t> running_tasks;
// 64 bits, so that files of the secure format above 4 GiB show right.
extern std::atomic<std::uint64_t> send_bytes_total;
extern std::atomic<std::uint64_t> send_bytes_left;
extern std::atomic<std::uint64_t> recv_bytes_total;
extern std::atomic<std::uint64_t> recv_bytes_left;
static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "progress counters must not lock");
// The settings' shared secret, lower-cased; empty without one.
extern Text shared_secret;
constexpr std::size_t MIN_SECRET_LENGTH = 16;
// Set once at start-up, before any task runs: with a secret, every
// transfer uses the secure format under the key derived from it.
extern bool secure_transfers;
// The pre-shared key of the handshake.
constexpr std::size_t GROUP_KEY_SIZE = NOISE_KEY_SIZE;
extern unsigned char group_key[GROUP_KEY_SIZE];

extern std::atomic<bool> abort_send;
extern std::atomic<bool> abort_receive;

// Starting values of the settings-filled state, the counters and the
// current destination (whose port is 0 until the settings are read); also
// seeds the transfer keys.
void set_starting_values();
// Empties both slot tables and clears both abort requests.
void clear_transfer_state();
// Both of the above: the whole state as before the settings are read.
void reset_program_state();
