// Socket options the engine tests set on their own ends of a connection.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <winsock.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

#include <cstring>

#include "net/socket.h"

// Sends every small write at once, so a receiver sees the pieces as sent.
inline bool send_without_delay(SocketHandle socket) {
    int on = 1;
    return setsockopt(static_cast<decltype(socket)>(socket), IPPROTO_TCP, TCP_NODELAY,
                      reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

// Whether small writes of the socket go out at once (TCP_NODELAY).
inline bool sends_without_delay(SocketHandle socket) {
    int on = 0;
#ifdef _WIN32
    int size = sizeof on;
#else
    socklen_t size = sizeof on;
#endif
    return getsockopt(static_cast<decltype(socket)>(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&on),
                      &size) == 0 &&
           on != 0;
}

// Ends the sending direction only: the peer reads the end of the stream
// while replies can still come back.
inline bool end_sending(SocketHandle socket) {
#ifdef _WIN32
    return shutdown(static_cast<SOCKET>(socket), 1) == 0;  // SD_SEND, which winsock.h lacks
#else
    return shutdown(static_cast<int>(socket), SHUT_WR) == 0;
#endif
}

// Connects from the given loopback address (127.0.0.x), as a peer on
// another host would; false when it can't.
inline bool connect_from(const char* local, const IpAddress& to, std::int32_t port, SocketHandle& connected) {
    auto s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in here{}, there{};
    here.sin_family = there.sin_family = AF_INET;
    here.sin_addr.s_addr = inet_addr(local);
    there.sin_port = htons(static_cast<unsigned short>(port));
    std::memcpy(&there.sin_addr, to.octets, 4);
    if (bind(s, reinterpret_cast<sockaddr*>(&here), sizeof here) != 0 ||
        connect(s, reinterpret_cast<sockaddr*>(&there), sizeof there) != 0) {
        close_socket(static_cast<SocketHandle>(s));
        return false;
    }
    connected = static_cast<SocketHandle>(s);
    return true;
}
