// The listener's access check and hand-over, on real loopback connections.
#include <cctype>

#include "tests/engine_fixture.h"

namespace {

std::mutex handed_lock;
std::vector<std::intptr_t> handed_slots;

std::intptr_t record_slot(std::uint32_t message, std::uintptr_t w_param, std::intptr_t l_param) {
    if (message == USER_MESSAGE && w_param == SLOT_MESSAGE_CODE) {
        std::lock_guard<std::mutex> hold(handed_lock);
        handed_slots.push_back(l_param);
    }
    return 0;
}

std::vector<std::intptr_t> take_handed() {
    std::lock_guard<std::mutex> hold(handed_lock);
    auto slots = handed_slots;
    handed_slots.clear();
    return slots;
}

class Listener : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        take_handed();
        set_window_handler(record_slot);
        server = open_listener();
    }
    void TearDown() override {
        close_socket(server.listening);
        set_window_handler(nullptr);
        EngineTest::TearDown();
    }
    void allow(const std::vector<std::string>& addresses, const std::vector<std::string>& hosts) {
        accept_address_count = 0;
        for (const auto& a : addresses) {
            IpAddress parsed;
            ASSERT_TRUE(parse_address(Text(a), parsed)) << a;
            accept_addresses[++accept_address_count] = parsed;
        }
        accept_host_count = 0;
        for (const auto& h : hosts) accept_host_suffixes[++accept_host_count] = Text(h);
    }
    // Connects once and lets the listener handle that connection. Returns
    // the slot the connection went to, or 0 when the listener closed it.
    std::intptr_t connect_once() {
        SocketHandle client;
        EXPECT_TRUE(connect_to(localhost(), server.port, client));
        EXPECT_TRUE(listener_step(server.listening));
        auto handed = take_handed();
        std::intptr_t slot = 0;
        set_idle_limit(client, 3000);
        char byte = 0;
        if (handed.size() == 1) {
            slot = handed[0];
            // The slot holds this very connection.
            SocketHandle held = receive_slots[slot];
            EXPECT_TRUE(send_all(held, "k", 1));
            EXPECT_EQ(recv_some(client, &byte, 1), 1);
            EXPECT_EQ(byte, 'k');
        } else {
            EXPECT_TRUE(handed.empty());
            // Closed at once, without a byte.
            EXPECT_LE(recv_some(client, &byte, 1), 0);
        }
        close_socket(client);
        return slot;
    }
    void free_slot(std::intptr_t slot) {
        close_socket(receive_slots[slot]);
        receive_slots[slot] = 0;
    }
    Loopback server;
};

TEST_F(Listener, AddressPatterns) {
    struct Row { const char* label; std::vector<std::string> addresses; bool admitted; };
    const Row rows[] = {
        {"both lists empty admit everyone", {}, true},
        {"exact address", {"127.0.0.1"}, true},
        {"another address", {"10.0.0.1"}, false},
        {"255 as the last octet", {"127.0.0.255"}, true},
        {"255 in the middle", {"127.255.255.1"}, true},
        {"192.168.255.255 is not 127.x", {"192.168.255.255"}, false},
        {"255.255.255.255 admits all", {"255.255.255.255"}, true},
        {"second entry matches", {"10.0.0.1", "127.0.0.1"}, true},
        {"no entry matches", {"10.0.0.1", "127.0.0.2", "128.0.0.1"}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        allow(row.addresses, {});
        std::intptr_t slot = connect_once();
        EXPECT_EQ(slot != 0, row.admitted);
        if (slot) {
            EXPECT_EQ(slot, 1);
            free_slot(slot);
        }
    }
}

TEST_F(Listener, HostNameEndingsThroughAReverseLookup) {
    const std::string host(reverse_lookup(localhost()).view());
    if (host.size() < 4) GTEST_SKIP() << "127.0.0.1 has no usable name here: \"" << host << "\"";
    std::string capitals = host;
    for (char& c : capitals) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string front = host.substr(0, host.size() - 1);
    struct Row { const char* label; std::vector<std::string> addresses, hosts; bool admitted; };
    const Row rows[] = {
        {"the whole name", {}, {host}, true},
        {"its last three letters", {}, {host.substr(host.size() - 3)}, true},
        {"its last letter", {}, {host.substr(host.size() - 1)}, true},
        {"the name without its last letter", {}, {front}, false},
        {"in capitals", {}, {capitals}, capitals == host},
        {"a longer name", {}, {std::string("x") + host}, false},
        {"an empty entry admits nobody", {}, {""}, false},
        {"empty entry then the name", {}, {"", host}, true},
        {"address misses, name hits", {"10.1.2.3"}, {host}, true},
        {"address misses, name misses", {"10.1.2.3"}, {"no.such.example"}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.label) + std::string(" (name ") + host + ")");
        allow(row.addresses, row.hosts);
        std::intptr_t slot = connect_once();
        EXPECT_EQ(slot != 0, row.admitted);
        if (slot) free_slot(slot);
    }
}

TEST_F(Listener, FullSlotTableClosesTheConnectionAndGoesOn) {
    // Entries the listener must only read, never touch.
    for (int i = 1; i <= SLOT_CAPACITY; ++i) receive_slots[i] = 0x7F000000u + static_cast<SocketHandle>(i);
    EXPECT_EQ(connect_once(), 0);
    EXPECT_EQ(connect_once(), 0);
    for (int i = 1; i <= SLOT_CAPACITY; ++i)
        EXPECT_EQ(receive_slots[i].load(), 0x7F000000u + static_cast<SocketHandle>(i));
    receive_slots[57] = 0;
    EXPECT_EQ(connect_once(), 57);
    free_slot(57);
    for (int i = 1; i <= SLOT_CAPACITY; ++i) receive_slots[i] = 0;
}

TEST_F(Listener, TakesTheLowestFreeSlot) {
    receive_slots[1] = 0x7F000001u;
    receive_slots[3] = 0x7F000003u;
    EXPECT_EQ(connect_once(), 2);
    free_slot(2);
    receive_slots[1] = 0;
    receive_slots[3] = 0;
}

TEST_F(Listener, FailedAcceptPausesBeforeTheNextTry) {
    // A socket that is not listening: every accept fails at once.
    SocketPair pair = connected_pair();
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(listener_step(pair.client));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
    pair.close();
}

TEST_F(Listener, PortInUseIsReportedAndTheListenerEnds) {
    listen_port = server.port;
    run_listener();
    auto seen = messages_seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, std::string("listen on port ") + std::to_string(server.port) + " failed!");
    EXPECT_EQ(seen[0].caption, "Zeptrix");
    EXPECT_EQ(seen[0].letters, "io");
}

}  // namespace
