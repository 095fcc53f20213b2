// Shrinks a socket's send buffer so that sends go out in small pieces.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <winsock.h>
#else
#include <sys/socket.h>
#endif

#include "net/socket.h"

inline bool shrink_send_buffer(SocketHandle socket, int bytes) {
    return setsockopt(static_cast<decltype(socket)>(socket), SOL_SOCKET, SO_SNDBUF,
                      reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0;
}
