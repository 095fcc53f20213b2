#include <chrono>
#include <thread>

#include "app/state.h"
#include "text/text_utils.h"
#include "transfer/engine.h"
#include "transfer/leftover_files.h"

namespace {

constexpr auto ACCEPT_RETRY_PAUSE = std::chrono::milliseconds(100);
constexpr std::uint8_t ANY_OCTET = 255;

bool address_matches(const IpAddress& pattern, const IpAddress& peer) {
    for (int i = 0; i < 4; ++i)
        if (pattern.octets[i] != ANY_OCTET && pattern.octets[i] != peer.octets[i]) return false;
    return true;
}

std::atomic<ReverseLookup> reverse_lookup_used{reverse_lookup};
std::atomic<ForwardCheck> forward_check_used{host_has_address};

// Connections from the address still before the end of their greeting.
std::int32_t greetings_from(const IpAddress& peer) {
    std::int32_t count = 0;
    for (std::int32_t i = 1; i <= SLOT_CAPACITY; ++i)
        if (receive_slot_greeting[i].load() && receive_slots[i].load() != 0 && same_octets(receive_slot_peers[i], peer))
            ++count;
    return count;
}

// The lowest free receive slot gets the socket and the program window
// starts its task before this returns; without a free slot it is closed.
void hand_over(SocketHandle peer_socket, const IpAddress& peer, bool host_check) {
    for (std::int32_t i = 1; i <= SLOT_CAPACITY; ++i) {
        if (receive_slots[i].load() == 0) {
            receive_slot_peers[i] = peer;
            receive_slot_host_check[i].store(host_check);
            receive_slot_greeting[i].store(true);
            receive_slots[i].store(peer_socket);
            send_message(program_window_handle(), USER_MESSAGE, SLOT_MESSAGE_CODE, i);
            return;
        }
    }
    close_socket(peer_socket);
}

}  // namespace

IpAddress receive_slot_peers[SLOT_CAPACITY + 1];
std::atomic<bool> receive_slot_host_check[SLOT_CAPACITY + 1];
std::atomic<bool> receive_slot_greeting[SLOT_CAPACITY + 1];

void set_host_lookups(ReverseLookup reverse, ForwardCheck forward) {
    reverse_lookup_used.store(reverse ? reverse : reverse_lookup);
    forward_check_used.store(forward ? forward : host_has_address);
}

Admission admission_by_address(const IpAddress& peer) {
    // Without any accept line everyone is admitted; with lines of which
    // none could be read, nobody.
    if (accept_address_count == 0 && accept_host_count == 0)
        return accept_line_count == 0 ? Admission::admitted : Admission::refused;
    for (std::int32_t i = 1; i <= accept_address_count; ++i)
        if (address_matches(accept_addresses[i], peer)) return Admission::admitted;
    return accept_host_count == 0 ? Admission::refused : Admission::by_host_name;
}

bool host_admitted(const IpAddress& peer) {
    Text host = reverse_lookup_used.load()(peer);
    if (host.empty()) return false;
    for (std::int32_t i = 1; i <= accept_host_count; ++i) {
        const Text& ending = accept_host_suffixes[i];
        if (!ending.empty() && host.view().ends_with(ending.view())) return forward_check_used.load()(host, peer);
    }
    return false;
}

bool peer_admitted(const IpAddress& peer) {
    Admission by_address = admission_by_address(peer);
    return by_address == Admission::admitted || (by_address == Admission::by_host_name && host_admitted(peer));
}

bool listener_step(SocketHandle listening) {
    SocketHandle peer_socket = INVALID_SOCKET_HANDLE;
    IpAddress peer;
    if (!accept_peer(listening, peer_socket, peer)) {
        std::this_thread::sleep_for(ACCEPT_RETRY_PAUSE);
        return false;
    }
    // The host-name check runs on the receive task's own thread, so that a
    // slow lookup holds up nobody else.
    Admission admission = admission_by_address(peer);
    if (admission == Admission::refused ||
        (secure_transfers && greetings_from(peer) >= MAX_GREETINGS_PER_ADDRESS))
        close_socket(peer_socket);
    else
        hand_over(peer_socket, peer, admission == Admission::by_host_name);
    return true;
}

bool start_listening(SocketHandle& listening) {
    if (listen_on(listen_port, listening)) return true;
    message_box(Text("listen on port ") + decimal_text(listen_port) + " failed!", Text("Zeptrix"), Text("io"));
    return false;
}

void serve_connections(SocketHandle listening) {
    // What an earlier run left: temporary files, and parts of files that no
    // sender came back for within a day (now and every hour).
    start_leftover_sweeps();
    for (;;) listener_step(listening);
}

void run_listener() {
    SocketHandle listening = INVALID_SOCKET_HANDLE;
    if (start_listening(listening)) serve_connections(listening);
}

ThreadResult ZPX_THREAD_CALL listener_task(void*) {
    run_listener();
    exit_thread();
}
