#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "net/socket.h"
#include "tests/loopback.h"
#include "tests/send_buffer.h"

TEST(ParseAddress, Rows) {
    struct Row { const char* text; bool ok; const char* dotted; };
    const Row rows[] = {
        {"0.0.0.0", true, "0.0.0.0"},
        {"192.168.0.1", true, "192.168.0.1"},
        {"1..3.4", true, "1.0.3.4"},
        {"...", true, "0.0.0.0"},
        {"255.255.255.255", true, "255.255.255.255"},
        {"010.001.0.7", true, "10.1.0.7"},
        {"1.2.3.4 ", false, ""},
        {" 1.2.3.4", false, ""},
        {"1.2.3", false, ""},
        {"1.2.3.4.5", false, ""},
        {"1.2.3.256", false, ""},
        {"256.1.1.1", false, ""},
        {"1.2.3.99999999999", false, ""},
        {"", false, ""},
        {"host.example", false, ""},
        {"1.2.3.4:80", false, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        IpAddress a;
        a.octets[0] = 9;
        EXPECT_EQ(parse_address(Text(row.text), a), row.ok);
        if (row.ok) {
            EXPECT_EQ(address_to_text(a), row.dotted);
        }
    }
}

TEST(AddressToText, WritesOctetsWithoutLeadingZeros) {
    IpAddress a;
    a.unused = 77;
    a.octets[0] = 192;
    a.octets[1] = 168;
    a.octets[2] = 0;
    a.octets[3] = 1;
    EXPECT_EQ(address_to_text(a), "192.168.0.1");
}

TEST(Lookups, ForwardAndReverse) {
    ensure_sockets();
    IpAddress a;
    EXPECT_EQ(resolve_host(Text("localhost"), a), "127.0.0.1");
    EXPECT_EQ(address_to_text(a), "127.0.0.1");

    IpAddress untouched;
    untouched.octets[0] = 5;
    EXPECT_TRUE(resolve_host(Text(""), untouched).empty());
    EXPECT_TRUE(resolve_host(Text("no-such-host.invalid"), untouched).empty());
    EXPECT_EQ(address_to_text(untouched), "5.0.0.0");

    EXPECT_FALSE(reverse_lookup(localhost()).empty());
}

TEST(Sockets, SendAllThroughASmallSendBufferDeliversEveryByteInOrder) {
    SocketPair p = connected_pair();
    ASSERT_TRUE(shrink_send_buffer(p.client, 2048));
    std::vector<unsigned char> sent(3 * 1024 * 1024 + 17);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<unsigned char>(i * 7 + i / 251);
    std::vector<unsigned char> got(sent.size());
    std::thread reader([&] {
        std::size_t done = 0;
        std::int32_t piece = 1;
        while (done < got.size()) {
            std::int32_t want = std::min<std::int32_t>(piece, static_cast<std::int32_t>(got.size() - done));
            std::int32_t n = recv_some(p.server, got.data() + done, want);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
            piece = piece % 5000 + 997;
        }
    });
    EXPECT_TRUE(send_all(p.client, sent.data(), static_cast<std::int32_t>(sent.size())));
    reader.join();
    EXPECT_EQ(got, sent);
    p.close();
}

TEST(Sockets, RecvExactAcrossPiecesAndAfterEarlyClose) {
    {
        SCOPED_TRACE("1 then 3 bytes");
        SocketPair p = connected_pair();
        std::thread writer([&] {
            send_all(p.client, "a", 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            send_all(p.client, "bcd", 3);
        });
        char buffer[4];
        EXPECT_TRUE(recv_exact(p.server, buffer, 4));
        EXPECT_EQ(std::string(buffer, 4), "abcd");
        writer.join();
        p.close();
    }
    {
        SCOPED_TRACE("peer closes after 2 bytes");
        SocketPair p = connected_pair();
        EXPECT_TRUE(send_all(p.client, "ab", 2));
        close_socket(p.client);
        char buffer[4];
        EXPECT_FALSE(recv_exact(p.server, buffer, 4));
        close_socket(p.server);
    }
}

TEST(Sockets, CountsOfZeroNeverTouchTheSocket) {
    SocketPair p = connected_pair();
    char buffer[1];
    // Nothing was sent: a real receive would block, so returning proves it.
    EXPECT_EQ(recv_some(p.server, buffer, 0), 0);
    EXPECT_TRUE(recv_exact(p.server, buffer, 0));
    EXPECT_TRUE(send_all(p.client, buffer, 0));
    p.close();
}

TEST(Sockets, PortsUseTheirLow16Bits) {
    Loopback probe = open_listener();
    std::int32_t port = probe.port;
    close_socket(probe.listening);

    SocketHandle listening;
    ASSERT_TRUE(listen_on(port + 65536, listening));
    EXPECT_EQ(local_port(listening), port);
    SocketHandle client, server;
    IpAddress peer;
    ASSERT_TRUE(connect_to(localhost(), port + 3 * 65536, client));
    ASSERT_TRUE(accept_peer(listening, server, peer));
    close_socket(client);
    close_socket(server);
    close_socket(listening);
}

TEST(Sockets, FailuresAreResults) {
    Loopback probe = open_listener();
    std::int32_t port = probe.port;
    SocketHandle second;
    EXPECT_FALSE(listen_on(port, second)) << "a port in use must not be taken twice";
    close_socket(probe.listening);

    SocketHandle s;
    EXPECT_FALSE(connect_to(localhost(), port, s)) << "nobody listens there any more";
    EXPECT_EQ(s, INVALID_SOCKET_HANDLE);
}

// A listener whose queue is full lets new attempts wait unanswered, as a
// host that has gone does; the stop flag ends the one waiting.
TEST(Sockets, AStopFlagEndsAConnectionAttemptThatWaits) {
    Loopback l;
    ASSERT_TRUE(listen_on(0, l.listening, 1));
    l.port = local_port(l.listening);
    std::atomic<bool> stop{false};
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        stop = true;
    });
    std::vector<SocketHandle> queued;
    SocketHandle s = INVALID_SOCKET_HANDLE;
    std::int64_t began = 0;
    while (queued.size() < 64) {
        began = monotonic_ms();
        if (!connect_to(localhost(), l.port, s, &stop)) break;
        queued.push_back(s);
    }
    std::int64_t waited = monotonic_ms() - began;
    stopper.join();
    EXPECT_LT(queued.size(), 64u) << "the listener's queue never filled";
    EXPECT_GE(waited, 500) << "the last attempt must have waited for the stop";
    EXPECT_LT(waited, 2000);
    EXPECT_EQ(s, INVALID_SOCKET_HANDLE);
    for (SocketHandle q : queued) close_socket(q);
    close_socket(l.listening);
}

TEST(Sockets, SendingToAClosedPeerFailsWithoutKillingTheProcess) {
    SocketPair p = connected_pair();
    close_socket(p.server);
    std::vector<char> block(64 * 1024, 'x');
    bool ok = true;
    for (int i = 0; i < 100 && ok; ++i) ok = send_all(p.client, block.data(), static_cast<std::int32_t>(block.size()));
    EXPECT_FALSE(ok);
    close_socket(p.client);
}

TEST(Sockets, IdleLimitEndsAWaitingReceive) {
    SocketPair p = connected_pair();
    ASSERT_TRUE(set_idle_limit(p.server, 200));
    char buffer[4];
    auto start = std::chrono::steady_clock::now();
    EXPECT_LT(recv_some(p.server, buffer, 4), 0);
    EXPECT_FALSE(recv_exact(p.server, buffer, 4));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LT(waited, std::chrono::seconds(5));
    p.close();
}
