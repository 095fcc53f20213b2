// Both tasks in the secure format over real loopback connections: whole
// transfers, the two formats kept apart, and a receiver that holds out
// against every malformed message a peer with the key could send.
#include <functional>

#include "app/secret_setup.h"
#include "tests/engine_fixture.h"
#include "transfer/group_key.h"
#include "transfer/secure_channel.h"
#include "transfer/transfer_watch.h"

namespace {

const std::string ACK = CLOSING_MARK;

void use_key(unsigned char seed) {
    ASSERT_TRUE(start_crypto());
    for (std::size_t i = 0; i < GROUP_KEY_SIZE; ++i) group_key[i] = static_cast<unsigned char>(seed + i);
    secure_transfers = true;
}

class SecureTransfer : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        use_key(1);
    }
    void TearDown() override {
        reset_program_state();
        EngineTest::TearDown();
    }
    fs::path file(const std::string& name, const std::string& bytes) {
        write_bytes(dir / name, bytes);
        return dir / name;
    }
    // Runs one batch on this thread, as its send task would.
    void send_batch_of(const std::vector<fs::path>& paths, std::int32_t slot = 7) {
        std::vector<std::string> texts;
        for (const auto& p : paths) texts.push_back(p.string());
        fill_send_slot(slot, make_drop(texts));
        send_batch(send_slots[slot]);
    }
    // Aims sends at a peer on a thread of its own: it accepts one
    // connection, reads the secure magic, then does what it is given with
    // the socket, which it leaves open.
    std::thread peer_after_magic(const Loopback& l, SocketHandle& accepted,
                                 std::function<void(SocketHandle)> then) {
        current_destination.address = localhost();
        current_destination.port = l.port;
        return std::thread([&l, &accepted, then] {
            IpAddress from;
            char magic[SECURE_MAGIC_SIZE];
            bool opened = accept_peer(l.listening, accepted, from) &&
                          recv_exact(accepted, magic, SECURE_MAGIC_SIZE);
            EXPECT_TRUE(opened);
            if (opened) then(accepted);
        });
    }
    static std::vector<std::string> send_failure(std::int32_t port) {
        return {"send of a.txt to 127.0.0.1:" + std::to_string(port) + " failed!"};
    }
    // Sends the paths as one batch to receive tasks in this process, which
    // store into out.
    void send_to_receiver(const std::vector<fs::path>& paths, const fs::path& out, std::size_t connections) {
        Loopback l = open_listener();
        current_destination.address = localhost();
        current_destination.port = l.port;
        std::thread receiver = receive_connections(l, connections);
        destination_dir = dir_text(out);
        send_batch_of(paths);
        receiver.join();
        close_socket(l.listening);
        destination_dir = dir_text(dir);
    }
};

TEST_F(SecureTransfer, FilesAndFoldersArriveWhole) {
    fs::path out = fresh_dir("secure-out");
    std::vector<std::size_t> sizes = {0, 1, 65519, 65520, 3 * 1024 * 1024 + 1};
    std::vector<fs::path> paths;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        std::string name = "s";
        name.append(std::to_string(i)).append(".bin");
        paths.push_back(file(name, pattern_bytes(sizes[i], 60 + static_cast<std::uint32_t>(i))));
    }
    fs::create_directories(dir / "album" / "2026");
    write_bytes(dir / "album" / "2026" / "b.jpg", pattern_bytes(70000, 3));
    write_bytes(dir / "album" / "a.txt", "a");
    paths.push_back(dir / "album");
    send_to_receiver(paths, out, sizes.size() + 2);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        SCOPED_TRACE(paths[i].filename().string());
        EXPECT_EQ(read_bytes(out / paths[i].filename()), read_bytes(paths[i]));
    }
    EXPECT_EQ(read_bytes(out / "album" / "2026" / "b.jpg"), pattern_bytes(70000, 3));
    EXPECT_EQ(read_bytes(out / "album" / "a.txt"), "a");
    EXPECT_TRUE(message_texts().empty());
    expect_engine_at_rest();
    fs::remove_all(out);
}

TEST_F(SecureTransfer, HandshakeWithAReceiverOfAnotherKindOrKeyFails) {
    struct Row { const char* label; bool receiver_secure; unsigned char receiver_seed; };
    const Row rows[] = {
        {"a receiver without a secret", false, 1},
        {"a receiver with another key", true, 2},
    };
    unsigned char sender_key[GROUP_KEY_SIZE];
    std::memcpy(sender_key, group_key, GROUP_KEY_SIZE);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        use_key(row.receiver_seed);
        secure_transfers = row.receiver_secure;
        SocketPair pair = connected_pair();
        receive_slots[2] = pair.server;
        std::thread receiver([&] { receive_file(receive_slots[2]); });
        SecureChannel channel;
        EXPECT_FALSE(secure_connect(pair.client, sender_key, channel));
        receiver.join();
        close_socket(pair.client);
        EXPECT_TRUE(entries_of(dir).empty());
        expect_engine_at_rest();
    }
}

TEST_F(SecureTransfer, WrongKeyFailsTheSendWithItsMessage) {
    fs::path sent = file("a.txt", "contents");
    Loopback l = open_listener();
    SocketHandle s = INVALID_SOCKET_HANDLE;
    // The receiving copy holds another key: it answers the handshake with a
    // message the sender can't authenticate.
    std::thread receiver = peer_after_magic(l, s, [](SocketHandle socket) {
        SecureChannel channel;
        unsigned char other_key[GROUP_KEY_SIZE] = {9};
        EXPECT_FALSE(secure_accept(socket, other_key, channel));
        close_socket(socket);
    });
    send_batch_of({sent});
    receiver.join();
    close_socket(l.listening);
    EXPECT_EQ(message_texts(), send_failure(l.port));
    expect_engine_at_rest();
}

TEST_F(SecureTransfer, FormatsDoNotMix) {
    // A fixed-format transfer to a copy with a secret, and the secure magic
    // to one without: closed with no byte sent back, nothing stored.
    ReceiveOutcome fixed = receive_from_peer(wire_bytes(77, std::string("f.txt") + '\0', "data"));
    EXPECT_EQ(fixed.reply, "");
    secure_transfers = false;
    ReceiveOutcome secure = receive_from_peer(std::string(SECURE_MAGIC) + std::string(2 + 48, '\x30'));
    EXPECT_EQ(secure.reply, "");
    EXPECT_TRUE(entries_of(dir).empty());
    expect_engine_at_rest();
}

// A peer holding the key writes messages of its choosing to a receive task.
struct SecurePeerRun {
    bool acknowledged = false;
    bool connected = false;
};

SecurePeerRun run_secure_peer(const std::function<void(SecureChannel&)>& write_messages) {
    SocketPair pair = connected_pair();
    receive_slots[4] = pair.server;
    SecurePeerRun run;
    std::thread peer([&] {
        SecureChannel channel;
        run.connected = secure_connect(pair.client, group_key, channel);
        if (run.connected) {
            write_messages(channel);
            // What was not sent by now never comes: the receiver sees the end.
            end_sending(pair.client);
            std::vector<unsigned char> buffer(SECURE_MAX_MESSAGE);
            std::int32_t got = secure_receive(channel, buffer.data());
            run.acknowledged = got == CLOSING_MARK_SIZE &&
                               std::memcmp(buffer.data(), CLOSING_MARK, CLOSING_MARK_SIZE) == 0;
        }
        close_socket(pair.client);
    });
    receive_file(receive_slots[4]);
    peer.join();
    return run;
}

void seal(SecureChannel& channel, const std::string& plaintext) {
    std::vector<unsigned char> frame(plaintext.size() + SECURE_FRAME_ROOM);
    std::memcpy(frame.data() + SECURE_LENGTH_SIZE, plaintext.data(), plaintext.size());
    EXPECT_TRUE(secure_send(channel, frame.data(), plaintext.size()));
}

std::string header(std::uint64_t size, const std::string& name) {
    unsigned char field[8];
    put_u64(field, size);
    return std::string(reinterpret_cast<char*>(field), 8) + name;
}

TEST_F(SecureTransfer, ReceiverTakesOnlyWellFormedTransfers) {
    const std::string data = pattern_bytes(100000, 8);
    using Steps = std::function<void(SecureChannel&)>;
    struct Row { const char* label; Steps steps; bool stored; };
    const Row rows[] = {
        {"data in uneven messages", [&](SecureChannel& c) {
             seal(c, header(data.size(), "f.bin"));
             seal(c, data.substr(0, 1));
             seal(c, data.substr(1, 65519));
             seal(c, data.substr(65520));
             seal(c, ACK);
         }, true},
        {"an empty file", [&](SecureChannel& c) { seal(c, header(0, "f.bin")); seal(c, ACK); }, true},
        {"data over the size", [&](SecureChannel& c) {
             seal(c, header(10, "f.bin"));
             seal(c, data.substr(0, 11));
             seal(c, ACK);
         }, false},
        {"data under the size, then the end", [&](SecureChannel& c) {
             seal(c, header(10, "f.bin"));
             seal(c, data.substr(0, 9));
             seal(c, ACK);
         }, false},
        {"the end missing", [&](SecureChannel& c) {
             seal(c, header(10, "f.bin"));
             seal(c, data.substr(0, 10));
         }, false},
        {"another end", [&](SecureChannel& c) {
             seal(c, header(10, "f.bin"));
             seal(c, data.substr(0, 10));
             seal(c, "zeptrix**OK**");
         }, false},
        {"a longer end", [&](SecureChannel& c) {
             seal(c, header(0, "f.bin"));
             seal(c, ACK + "!");
         }, false},
        {"a length of 0", [&](SecureChannel& c) {
             seal(c, header(10, "f.bin"));
             send_all(c.socket, "\0\0", 2);
         }, false},
        {"an empty message as data", [&](SecureChannel& c) {
             seal(c, header(10, "f.bin"));
             unsigned char frame[SECURE_FRAME_ROOM];
             noise_encrypt(c.session.sending, frame + 2, 0, frame + 2);
             frame[0] = 0;
             frame[1] = NOISE_TAG_SIZE;
             send_all(c.socket, frame, sizeof frame);
         }, false},
        {"a flipped bit in data", [&](SecureChannel& c) {
             seal(c, header(10, "f.bin"));
             std::vector<unsigned char> frame(10 + SECURE_FRAME_ROOM);
             std::memcpy(frame.data() + 2, data.data(), 10);
             noise_encrypt(c.session.sending, frame.data() + 2, 10, frame.data() + 2);
             frame[0] = 0;
             frame[1] = 10 + NOISE_TAG_SIZE;
             frame[5] ^= 0x10;
             send_all(c.socket, frame.data(), static_cast<std::int32_t>(frame.size()));
         }, false},
        {"a header without a name", [&](SecureChannel& c) { seal(c, header(0, "")); seal(c, ACK); }, false},
        {"a name of 256 bytes", [&](SecureChannel& c) {
             seal(c, header(0, std::string(256, 'n')));
             seal(c, ACK);
         }, false},
        {"a zero byte in the name", [&](SecureChannel& c) {
             seal(c, header(0, std::string("f.bin\0x", 7)));
             seal(c, ACK);
         }, false},
        {"a name climbing out", [&](SecureChannel& c) { seal(c, header(0, "..\\f.bin")); seal(c, ACK); }, false},
        {"a size beyond any file", [&](SecureChannel& c) {
             seal(c, header(std::uint64_t{1} << 57, "f.bin"));
             seal(c, data.substr(0, 10));
         }, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        SecurePeerRun run = run_secure_peer(row.steps);
        EXPECT_TRUE(run.connected);
        EXPECT_EQ(run.acknowledged, row.stored);
        EXPECT_EQ(entries_of(dir), row.stored ? std::vector<std::string>{"f.bin"} : std::vector<std::string>{});
        std::error_code ignored;
        fs::remove(dir / "f.bin", ignored);
        expect_engine_at_rest();
    }
}

TEST_F(SecureTransfer, OlderFileSurvivesAFailedTransfer) {
    write_bytes(dir / "f.bin", "older");
    SecurePeerRun run = run_secure_peer([](SecureChannel& c) {
        seal(c, header(5, "f.bin"));
        seal(c, "newer");
    });
    EXPECT_FALSE(run.acknowledged);
    EXPECT_EQ(entries_of(dir), std::vector<std::string>{"f.bin"});
    EXPECT_EQ(read_bytes(dir / "f.bin"), "older");
}

// A receiving peer with the key that takes the whole transfer and then
// answers as it likes: only the sealed closing mark counts as delivered.
TEST_F(SecureTransfer, SenderTakesOnlyTheSealedMarkAsAcknowledgement) {
    fs::path sent = file("a.txt", pattern_bytes(70000, 5));
    struct Row { const char* label; std::function<void(SecureChannel&)> answer; bool delivered; };
    const Row rows[] = {
        {"the sealed mark", [](SecureChannel& c) { seal(c, ACK); }, true},
        {"no answer", [](SecureChannel&) {}, false},
        {"another sealed text", [](SecureChannel& c) { seal(c, "zeptrix**OK**"); }, false},
        {"the mark unsealed", [](SecureChannel& c) { send_all(c.socket, ACK.data(), CLOSING_MARK_SIZE); }, false},
        {"the mark and more", [](SecureChannel& c) { seal(c, ACK + "x"); }, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        forget_messages();
        Loopback l = open_listener();
        SocketHandle s = INVALID_SOCKET_HANDLE;
        std::thread receiver = peer_after_magic(l, s, [&row](SocketHandle socket) {
            SecureChannel channel;
            std::vector<unsigned char> buffer(SECURE_MAX_MESSAGE);
            if (secure_accept(socket, group_key, channel)) {
                // Header, data, end: until the closing mark arrives.
                std::int32_t got;
                do got = secure_receive(channel, buffer.data());
                while (got > 0 && !(got == CLOSING_MARK_SIZE &&
                                    std::memcmp(buffer.data(), CLOSING_MARK, CLOSING_MARK_SIZE) == 0));
                row.answer(channel);
            }
            close_socket(socket);
        });
        send_batch_of({sent});
        receiver.join();
        close_socket(l.listening);
        if (row.delivered)
            EXPECT_TRUE(message_texts().empty());
        else
            EXPECT_EQ(message_texts(), send_failure(l.port));
        expect_engine_at_rest();
    }
}

// The abort commands end a secure transfer blocked on its peer at once.
TEST_F(SecureTransfer, AbortsEndTransfersStuckOnTheirPeer) {
    idle_limit_ms = 60000;
    {
        SCOPED_TRACE("a send to a peer that stopped reading after the handshake");
        write_bytes(dir / "big.bin", pattern_bytes(64 * 1024 * 1024));
        Loopback l = open_listener();
        SocketHandle silent = INVALID_SOCKET_HANDLE;
        std::thread peer = peer_after_magic(l, silent, [](SocketHandle socket) {
            SecureChannel channel;
            EXPECT_TRUE(secure_accept(socket, group_key, channel));
        });
        std::thread task([this] { send_batch_of({dir / "big.bin"}, 4); });
        peer.join();
        wait_until_stalled(send_bytes_left);
        EXPECT_LT(send_bytes_left.load(), send_bytes_total.load()) << "stuck in the data";
        auto start = std::chrono::steady_clock::now();
        abort_sends();
        task.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_TRUE(message_texts().empty());
        close_socket(silent);
        close_socket(l.listening);
        fs::remove(dir / "big.bin");
    }
    {
        SCOPED_TRACE("a receive from a sender that stopped sending in the data");
        write_bytes(dir / "stuck.bin", "older file");
        SocketPair pair = connected_pair();
        receive_slots[2] = pair.server;
        std::thread task([] { receive_file(receive_slots[2]); });
        SecureChannel channel;
        ASSERT_TRUE(secure_connect(pair.client, group_key, channel));
        seal(channel, header(1 << 20, "stuck.bin"));
        seal(channel, pattern_bytes(50000));
        wait_until_stalled(recv_bytes_left);
        auto start = std::chrono::steady_clock::now();
        abort_receives();
        task.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(entries_of(dir), std::vector<std::string>{"stuck.bin"});
        EXPECT_EQ(read_bytes(dir / "stuck.bin"), "older file");
        close_socket(pair.client);
    }
    expect_engine_at_rest();
}

TEST(SecretSetupTest, TooShortNoneAndReady) {
    reset_program_state();
    EXPECT_EQ(prepare_secret(), SecretSetup::none);
    EXPECT_FALSE(secure_transfers);
    shared_secret = Text("fifteen letters");
    EXPECT_EQ(prepare_secret(), SecretSetup::too_short);
    EXPECT_FALSE(secure_transfers);
    shared_secret = Text("sixteen letters!");
    EXPECT_EQ(prepare_secret(), SecretSetup::ready);
    EXPECT_TRUE(secure_transfers);
    EXPECT_TRUE(shared_secret.empty());
    unsigned char expected[GROUP_KEY_SIZE];
    ASSERT_TRUE(derive_group_key("sixteen letters!", expected));
    EXPECT_EQ(std::memcmp(group_key, expected, GROUP_KEY_SIZE), 0);
    reset_program_state();
}

}  // namespace
