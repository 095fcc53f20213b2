// Socket options the engine tests set on their own ends of a connection.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <winsock.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

#include "net/socket.h"

// Sends every small write at once, so a receiver sees the pieces as sent.
inline bool send_without_delay(SocketHandle socket) {
    int on = 1;
    return setsockopt(static_cast<decltype(socket)>(socket), IPPROTO_TCP, TCP_NODELAY,
                      reinterpret_cast<const char*>(&on), sizeof on) == 0;
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
