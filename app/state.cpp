#include "app/state.h"

#include <chrono>

#include "platform/platform.h"
#include "transfer/secure/aborted_files.h"
#include "transfer/transfer_key.h"

std::int32_t listen_port = DEFAULT_PORT;
Text destination_dir;

IpAddress accept_addresses[ACCEPT_CAPACITY + 1];
std::int32_t accept_address_count = 0;
Text accept_host_suffixes[ACCEPT_CAPACITY + 1];
std::int32_t accept_host_count = 0;
std::int32_t accept_line_count = 0;
Text accept_not_understood;

Text destination_names[DESTINATION_CAPACITY + 1];
IpAddress destination_addresses[DESTINATION_CAPACITY + 1];
std::int32_t destination_ports[DESTINATION_CAPACITY + 1];
std::int32_t destination_count = 0;
Destination current_destination;

std::atomic<SocketHandle> receive_slots[SLOT_CAPACITY + 1];
std::atomic<DropHandle> send_slots[SLOT_CAPACITY + 1];
IpAddress send_slot_addresses[SLOT_CAPACITY + 1];
std::int32_t send_slot_ports[SLOT_CAPACITY + 1];

std::atomic<std::int32_t> running_tasks{0};
std::atomic<std::uint64_t> send_bytes_total{0};
std::atomic<std::uint64_t> send_bytes_left{0};
std::atomic<std::uint64_t> recv_bytes_total{0};
std::atomic<std::uint64_t> recv_bytes_left{0};

Text shared_secret;
bool secure_transfers = false;
unsigned char group_key[GROUP_KEY_SIZE];
std::atomic<bool> abort_send{false};
std::atomic<bool> abort_receive{false};

void set_starting_values() {
    running_tasks = 0;
    send_bytes_total = 0;
    send_bytes_left = 0;
    recv_bytes_total = 0;
    recv_bytes_left = 0;
    listen_port = DEFAULT_PORT;
    destination_dir = default_destination_dir();
    accept_address_count = 0;
    accept_host_count = 0;
    accept_line_count = 0;
    accept_not_understood.clear();
    destination_count = 0;
    shared_secret.clear();
    secure_transfers = false;
    for (unsigned char& b : group_key) b = 0;
    for (std::int32_t i = 0; i <= ACCEPT_CAPACITY; ++i) {
        accept_addresses[i] = IpAddress{};
        accept_host_suffixes[i].clear();
    }
    for (std::int32_t i = 0; i <= DESTINATION_CAPACITY; ++i) {
        destination_names[i].clear();
        destination_addresses[i] = IpAddress{};
        destination_ports[i] = 0;
    }
    current_destination = Destination{Text("destination"), IpAddress{}, 0};
    seed_transfer_keys(static_cast<std::uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count()));
}

void clear_transfer_state() {
    forget_aborted_files();
    abort_send = false;
    abort_receive = false;
    for (std::int32_t i = 0; i <= SLOT_CAPACITY; ++i) {
        receive_slots[i] = 0;
        send_slots[i] = 0;
    }
}

void reset_program_state() {
    set_starting_values();
    clear_transfer_state();
}
