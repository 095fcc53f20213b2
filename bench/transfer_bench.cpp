// One side of a timed transfer between two copies of the engine.
//   transfer_bench receive PORT DIR   receives one file into DIR, then ends
//   transfer_bench send PORT FILE     sends FILE to 127.0.0.1:PORT, then ends
// Each prints the seconds its side took.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "app/state.h"
#include "toolkit/headless.h"
#include "transfer/engine.h"

namespace {

int receive_one(std::int32_t port, const char* dir) {
    SocketHandle listening;
    if (!listen_on(port, listening)) {
        std::fprintf(stderr, "cannot listen on %d\n", port);
        return 1;
    }
    destination_dir = Text(dir);
    if (destination_dir.back() != PATH_SEPARATOR) destination_dir.push_back(PATH_SEPARATOR);
    SocketHandle peer_socket;
    IpAddress peer;
    if (!accept_peer(listening, peer_socket, peer)) return 1;
    auto start = std::chrono::steady_clock::now();
    receive_slots[1] = peer_socket;
    receive_connection(receive_slots[1]);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%.3f\n", took.count());
    close_socket(listening);
    return 0;
}

int send_one(std::int32_t port, const char* path) {
    current_destination.address.octets[0] = 127;
    current_destination.address.octets[3] = 1;
    current_destination.port = port;
    auto start = std::chrono::steady_clock::now();
    send_slots[1] = make_drop({path});
    send_batch(send_slots[1]);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%.3f\n", took.count());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: transfer_bench receive PORT DIR | send PORT FILE\n");
        return 2;
    }
    start_sockets();
    reset_program_state();
    std::int32_t port = std::atoi(argv[2]);
    if (std::strcmp(argv[1], "receive") == 0) return receive_one(port, argv[3]);
    if (std::strcmp(argv[1], "send") == 0) return send_one(port, argv[3]);
    return 2;
}
