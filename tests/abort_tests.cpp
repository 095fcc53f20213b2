// The abort commands against transfers blocked on a silent peer: a send
// stuck because the receiver stopped reading, a receive stuck because the
// sender stopped sending. Both must end at once, long before the idle
// limit, and leave the engine as it was.
#include <chrono>

#include "tests/engine_fixture.h"
#include "transfer/transfer_watch.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class AbortTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        idle_limit_ms = 60000;  // far beyond what an abort may take
    }
};

TEST_F(AbortTest, AbortSendEndsASendToAPeerThatStoppedReading) {
    write_bytes(dir / "big.bin", pattern_bytes(64 * 1024 * 1024));
    Loopback l = open_listener();
    current_destination.address = localhost();
    current_destination.port = l.port;
    SocketHandle silent = INVALID_SOCKET_HANDLE;
    std::thread peer([&] {
        IpAddress from;
        accept_peer(l.listening, silent, from);  // and never reads
    });
    fill_send_slot(4, make_drop({(dir / "big.bin").string(), (dir / "big.bin").string()}));
    std::thread task([] { send_batch(send_slots[4]); });
    peer.join();
    wait_until_stalled(send_bytes_left);
    ASSERT_GT(send_bytes_total.load(), 0u);

    Clock::time_point start = Clock::now();
    abort_sends();
    task.join();
    double took = seconds_since(start);
    EXPECT_LT(took, 1.0) << "the send ended " << took << " s after the abort";
    EXPECT_TRUE(message_texts().empty()) << "an abort shows no message";
    expect_engine_at_rest();
    close_socket(silent);
    close_socket(l.listening);
}

TEST_F(AbortTest, AbortReceiveEndsAReceiveFromASenderThatStoppedSending) {
    // A header announcing 1 MiB, then a part of the data, then silence.
    std::string data = pattern_bytes(1024 * 1024);
    std::string wire = wire_bytes(77, std::string("stuck.bin") + '\0', data);
    wire.resize(wire.size() - CLOSING_MARK_SIZE - data.size() / 2);
    write_bytes(dir / "stuck.bin", "older file");
    SocketPair pair = connected_pair();
    receive_slots[2] = pair.server;
    std::thread task([] { receive_connection(receive_slots[2]); });
    ASSERT_TRUE(send_all(pair.client, wire.data(), static_cast<std::int32_t>(wire.size())));
    wait_until_stalled(recv_bytes_left);

    Clock::time_point start = Clock::now();
    abort_receives();
    task.join();
    double took = seconds_since(start);
    EXPECT_LT(took, 1.0) << "the receive ended " << took << " s after the abort";
    EXPECT_EQ(entries_of(dir), std::vector<std::string>{"stuck.bin"}) << "the partial file is gone";
    EXPECT_EQ(read_bytes(dir / "stuck.bin"), "older file");
    char reply[16];
    EXPECT_LE(recv_some(pair.client, reply, sizeof reply), 0) << "no acknowledgement";
    close_socket(pair.client);
    expect_engine_at_rest();

    // A transfer that starts after the abort is not affected.
    ReceiveOutcome after = receive_from_peer(wire_bytes(5, std::string("after.bin") + '\0', "fine"), 0,
                                             PeerEnd::await_reply, 2);
    EXPECT_EQ(after.reply, CLOSING_MARK);
    EXPECT_EQ(read_bytes(dir / "after.bin"), "fine");
}

TEST_F(AbortTest, AnAbortWithNothingUnderWayTouchesNoSocket) {
    SocketPair pair = connected_pair();
    abort_sends();
    abort_receives();
    abort_send = false;
    abort_receive = false;
    ASSERT_TRUE(send_all(pair.client, "ping", 4));
    char got[4];
    EXPECT_TRUE(recv_exact(pair.server, got, 4)) << "a connection of no transfer stays open";
    close_socket(pair.client);
    close_socket(pair.server);
}

}  // namespace
