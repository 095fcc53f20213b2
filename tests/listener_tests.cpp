// The listener's access check and hand-over, on real loopback connections.
#include <cctype>

#include "app/settings.h"
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

TEST_F(Listener, AccessListsThatCantBeReadAdmitNobody) {
    struct Row { const char* label; std::vector<const char*> lines; bool admitted; };
    const Row rows[] = {
        {"no accept line admits everyone", {}, true},
        {"a mistyped address", {"accept 10.0.*"}, false},
        {"a network", {"accept 10.0.0.0/8"}, false},
        {"a host name without its *", {"accept localhost"}, false},
        {"a bad line beside a good one", {"accept 10.0.*", "accept 127.0.0.1"}, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        reset_program_state();
        for (const char* line : row.lines) apply_setting_line(Text(line));
        EXPECT_EQ(peer_admitted(localhost()), row.admitted);
        EXPECT_EQ(connect_once() != 0, row.admitted);
        for (int i = 1; i <= SLOT_CAPACITY; ++i)
            if (receive_slots[i].load() != 0) free_slot(i);
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
        EXPECT_EQ(peer_admitted(localhost()), row.admitted);
    }
    // The listener itself looks nothing up: a peer the addresses don't admit
    // gets a slot whose task checks the name first.
    allow({"10.1.2.3"}, {host});
    std::intptr_t slot = connect_once();
    ASSERT_NE(slot, 0);
    EXPECT_TRUE(receive_slot_host_check[slot].load());
    free_slot(slot);
}

// A name service that answers as each row says, so that names can be
// tried that no real resolver here would give.
const char* stand_in_name = "";
bool stand_in_confirms = false;
Text stand_in_reverse(const IpAddress&) { return Text(stand_in_name); }
bool stand_in_forward(const Text&, const IpAddress&) { return stand_in_confirms; }

TEST_F(Listener, HostNamesAreConfirmedByTheForwardLookup) {
    struct Row { const char* label; const char* name; bool confirms; bool admitted; };
    const Row rows[] = {
        {"name and address agree", "pc.example.org", true, true},
        {"a reverse record naming itself into the list", "pc.example.org", false, false},
        {"no name", "", true, false},
        {"a name outside the list", "pc.example.net", true, false},
    };
    set_host_lookups(stand_in_reverse, stand_in_forward);
    allow({"10.0.0.1"}, {".example.org"});
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        stand_in_name = row.name;
        stand_in_confirms = row.confirms;
        EXPECT_EQ(peer_admitted(localhost()), row.admitted);
    }
    set_host_lookups(nullptr, nullptr);
}

// Lookups that take seconds for one address: its peers wait on their own
// threads while an admitted sender's file goes through at once.
Text slow_reverse(const IpAddress& peer) {
    if (peer.octets[3] == 2) std::this_thread::sleep_for(std::chrono::seconds(3));
    return Text("slow.example.net");
}

std::intptr_t start_receivers(std::uint32_t message, std::uintptr_t w_param, std::intptr_t l_param) {
    if (message == USER_MESSAGE && w_param == SLOT_MESSAGE_CODE) start_receive_for_slot(static_cast<std::int32_t>(l_param));
    return 0;
}

TEST_F(Listener, SlowLookupHoldsUpNoOtherPeer) {
    fs::path out = fresh_dir("slow-lookup-out");
    destination_dir = dir_text(out);
    set_window_handler(start_receivers);
    set_host_lookups(slow_reverse, nullptr);
    allow({"127.0.0.1"}, {".example.org"});
    std::thread listener([this] {
        for (int i = 0; i < 4; ++i) listener_step(server.listening);
    });
    std::vector<SocketHandle> strangers(3);
    for (auto& s : strangers) ASSERT_TRUE(connect_from("127.0.0.2", localhost(), server.port, s));
    write_bytes(dir / "wanted.txt", "through at once");
    current_destination.address = localhost();
    current_destination.port = server.port;
    auto start = std::chrono::steady_clock::now();
    fill_send_slot(5, make_drop({(dir / "wanted.txt").string()}));
    send_batch(send_slots[5]);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(read_bytes(out / "wanted.txt"), "through at once");
    listener.join();
    for (SocketHandle s : strangers) {
        char byte;
        EXPECT_LE(recv_some(s, &byte, 1), 0) << "closed once its name failed";
        close_socket(s);
    }
    while (running_tasks.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    set_host_lookups(nullptr, nullptr);
    expect_engine_at_rest();
    fs::remove_all(out);
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
