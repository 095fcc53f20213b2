#include <gtest/gtest.h>

#include "net/socket.h"
#include "tests/loopback.h"

// A restarted receiver binds its port again although the connections of the
// previous run wait in TIME_WAIT on the receiver's side.
TEST(SocketsPosix, ListenAgainWhileConnectionsWaitInTimeWait) {
    Loopback l = open_listener();
    SocketHandle client, server;
    IpAddress peer;
    ASSERT_TRUE(connect_to(localhost(), l.port, client));
    ASSERT_TRUE(accept_peer(l.listening, server, peer));
    close_socket(server);  // the receiver closes first: its side enters TIME_WAIT
    char b;
    recv_some(client, &b, 1);
    close_socket(client);
    close_socket(l.listening);
    SocketHandle again;
    EXPECT_TRUE(listen_on(l.port, again));
    close_socket(again);
}
