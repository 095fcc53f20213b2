// What Wine allows a receiver: one connection, recv of a fixed size (8193
// bytes unless given) and an unbuffered fwrite of what arrived, until the
// peer closes. Written straight to Winsock, without the engine, so that
// Zeptrix.exe can be measured against it under the same Wine.
//   wine_baseline_receiver PORT FILE [BUFFER_SIZE]
#include <winsock.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: wine_baseline_receiver PORT FILE [BUFFER_SIZE]\n");
        return 2;
    }
    int size = argc == 4 ? std::atoi(argv[3]) : 8193;
    if (size < 1) return 2;
    WSADATA data;
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0) return 1;
    SOCKET listening = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listening == INVALID_SOCKET || bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listening, 1) != 0)
        return 1;
    SOCKET peer = accept(listening, nullptr, nullptr);
    std::FILE* file = std::fopen(argv[2], "wb");
    if (peer == INVALID_SOCKET || !file) return 1;
    std::setvbuf(file, nullptr, _IONBF, 0);
    char* buffer = static_cast<char*>(std::malloc(static_cast<std::size_t>(size)));
    if (!buffer) return 1;
    for (;;) {
        int got = recv(peer, buffer, size, 0);
        if (got == 0) break;
        if (got < 0 || std::fwrite(buffer, 1, static_cast<std::size_t>(got), file) != static_cast<std::size_t>(got))
            return 1;
    }
    closesocket(peer);
    closesocket(listening);
    return std::fclose(file) == 0 ? 0 : 1;
}
