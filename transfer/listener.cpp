#include <chrono>
#include <thread>

#include "app/state.h"
#include "text/text_utils.h"
#include "transfer/engine.h"

namespace {

constexpr auto ACCEPT_RETRY_PAUSE = std::chrono::milliseconds(100);
constexpr std::uint8_t ANY_OCTET = 255;

bool address_matches(const IpAddress& pattern, const IpAddress& peer) {
    for (int i = 0; i < 4; ++i)
        if (pattern.octets[i] != ANY_OCTET && pattern.octets[i] != peer.octets[i]) return false;
    return true;
}

bool ends_with(std::string_view text, std::string_view ending) {
    return text.size() >= ending.size() && text.substr(text.size() - ending.size()) == ending;
}

// The lowest free receive slot gets the socket and the program window
// starts its task before this returns; without a free slot it is closed.
void hand_over(SocketHandle peer_socket) {
    for (std::int32_t i = 1; i <= SLOT_CAPACITY; ++i) {
        if (receive_slots[i].load() == 0) {
            receive_slots[i].store(peer_socket);
            send_message(program_window_handle(), USER_MESSAGE, SLOT_MESSAGE_CODE, i);
            return;
        }
    }
    close_socket(peer_socket);
}

}  // namespace

bool peer_admitted(const IpAddress& peer) {
    if (accept_address_count == 0 && accept_host_count == 0) return true;
    for (std::int32_t i = 1; i <= accept_address_count; ++i)
        if (address_matches(accept_addresses[i], peer)) return true;
    if (accept_host_count == 0) return false;
    Text host = reverse_lookup(peer);
    for (std::int32_t i = 1; i <= accept_host_count; ++i) {
        const Text& ending = accept_host_suffixes[i];
        if (!ending.empty() && ends_with(host.view(), ending.view())) return true;
    }
    return false;
}

bool listener_step(SocketHandle listening) {
    SocketHandle peer_socket = INVALID_SOCKET_HANDLE;
    IpAddress peer;
    if (!accept_peer(listening, peer_socket, peer)) {
        std::this_thread::sleep_for(ACCEPT_RETRY_PAUSE);
        return false;
    }
    if (peer_admitted(peer))
        hand_over(peer_socket);
    else
        close_socket(peer_socket);
    return true;
}

void run_listener() {
    SocketHandle listening = INVALID_SOCKET_HANDLE;
    if (!listen_on(listen_port, listening)) {
        message_box(Text("listen on port ") + decimal_text(listen_port) + " failed!",
                    Text("Zeptrix"), Text("io"));
        return;
    }
    for (;;) listener_step(listening);
}

ThreadResult ZPX_THREAD_CALL listener_task(void*) {
    run_listener();
    exit_thread();
}
