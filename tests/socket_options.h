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
