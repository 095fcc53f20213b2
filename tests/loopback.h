// A connected pair of real TCP sockets on 127.0.0.1 for the tests.
#pragma once

#include <gtest/gtest.h>

#include "net/socket.h"
#include "tests/text_printer.h"

struct Loopback {
    SocketHandle listening = INVALID_SOCKET_HANDLE;
    std::int32_t port = 0;
};

inline IpAddress localhost() {
    IpAddress a;
    a.octets[0] = 127;
    a.octets[3] = 1;
    return a;
}

// Starts the socket interface once per test program.
inline void ensure_sockets() {
    if (!network_ready) start_sockets();
}

// A listening socket on a port the system picks.
inline Loopback open_listener() {
    ensure_sockets();
    Loopback l;
    EXPECT_TRUE(listen_on(0, l.listening));
    l.port = local_port(l.listening);
    return l;
}

struct SocketPair {
    SocketHandle client = INVALID_SOCKET_HANDLE;
    SocketHandle server = INVALID_SOCKET_HANDLE;
    void close() {
        close_socket(client);
        close_socket(server);
        client = server = INVALID_SOCKET_HANDLE;
    }
};

inline SocketPair connected_pair() {
    Loopback l = open_listener();
    SocketPair p;
    EXPECT_TRUE(connect_to(localhost(), l.port, p.client));
    IpAddress peer;
    EXPECT_TRUE(accept_peer(l.listening, p.server, peer));
    EXPECT_EQ(address_to_text(peer), "127.0.0.1");
    close_socket(l.listening);
    return p;
}
