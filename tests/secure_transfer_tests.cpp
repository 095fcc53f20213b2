// Both tasks in the secure format over real loopback connections: whole
// transfers, the two formats kept apart, and a receiver that holds out
// against every malformed message a peer with the key could send.
#include <functional>

#include "app/popup_menu_entries.h"
#include "app/secret_setup.h"
#include "tests/engine_fixture.h"
#include "transfer/secure/group_key.h"
#include "transfer/secure/part_store.h"
#include "transfer/secure/session.h"
#include "transfer/transfer_watch.h"

namespace {

// Plaintexts of the session's messages.
std::string file_message(std::uint64_t size, const std::string& name, unsigned char flags = 0) {
    unsigned char field[8];
    put_u64(field, size);
    std::string message = "F";
    message.append(reinterpret_cast<char*>(field), 8).append(1, static_cast<char>(flags)).append(name);
    return message;
}
// A resumable file's: flags with bit 0 set, then its tag before the name.
std::string resumable_message(std::uint64_t size, const std::string& name, char tag = 'T', unsigned char flags = 1) {
    return file_message(size, std::string(FILE_TAG_SIZE, tag).append(name), flags);
}
// With its last write time (nanoseconds since 1970) before the name.
std::string timed_message(std::uint64_t size, const std::string& name, std::int64_t time) {
    return file_message(size, u64_bytes(static_cast<std::uint64_t>(time)).append(name), FLAG_TIME);
}
std::int64_t modified_ns(const fs::path& path) {
    FILE* file = std::fopen(path.string().c_str(), "rb");
    std::int64_t time = 0;
    EXPECT_TRUE(file && open_file_time(file, time));
    if (file) std::fclose(file);
    return time;
}
std::string data_message(const std::string& data) { return std::string("D").append(data); }
void seal(SecureChannel& channel, const std::string& plaintext);
std::string reply_message(char type, std::uint32_t number) { return std::string(1, type).append(u32_bytes(number)); }
const std::string END = "E", QUIT = "Q";

// The part of a resumable file as a receiver killed while writing it, or a
// failing disk, leaves it, last written the given time ago.
void leave_part(const fs::path& dir, const std::string& name, std::uint64_t size, const std::string& data,
                char tag_byte = 'T', std::chrono::hours ago = std::chrono::hours(0)) {
    unsigned char tag[FILE_TAG_SIZE];
    std::memset(tag, tag_byte, sizeof tag);
    char part[PART_NAME_SIZE + 1];
    ASSERT_TRUE(make_part_name(name, size, tag, part));
    fs::create_directories(dir / PARTS_FOLDER);
    fs::path path = dir / PARTS_FOLDER / part;
    write_bytes(path, data);
    fs::last_write_time(path, fs::last_write_time(path) - ago);
}


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
    // A receive task on the slot, sent the file's message and 50,000 bytes
    // of its data, waiting for the rest.
    static std::thread receive_stalled_in(SocketPair& pair, SecureChannel& channel, const std::string& file,
                                          std::int32_t slot = 2) {
        receive_slots[slot] = pair.server;
        std::thread task([slot] { receive_connection(receive_slots[slot]); });
        EXPECT_TRUE(secure_connect(pair.client, group_key, channel));
        EXPECT_TRUE(secure_buffers(channel));
        seal(channel, file);
        seal(channel, data_message(pattern_bytes(50000)));
        wait_until_stalled(recv_bytes_left);
        return task;
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
    send_to_receiver(paths, out, 1);
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
        std::thread receiver([&] { receive_connection(receive_slots[2]); });
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
        EXPECT_FALSE(secure_accept(socket, other_key, channel, monotonic_ms() + 10000));
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
    secure_transfers = true;
    ReceiveOutcome earlier = receive_from_peer(std::string("zeptrixv2.0").append(2 + 48, '\x30'));
    EXPECT_EQ(earlier.reply, "") << "the secure format's earlier version";
    EXPECT_EQ(secure.reply, "");
    EXPECT_TRUE(entries_of(dir).empty());
    expect_engine_at_rest();
}

// Seals one message and sends it at once. A receiver that has closed on
// a fault may make a later send fail; what it stored is what counts.
void seal(SecureChannel& channel, const std::string& plaintext) {
    if (secure_queue(channel, reinterpret_cast<const unsigned char*>(plaintext.data()), plaintext.size()))
        secure_flush(channel);
}

// A peer holding the key writes messages of its choosing to a receive
// task, ends its sending side and gathers the replies until the receiver
// closes: "A1 A2 R3", or "" when none came.
std::string run_secure_peer(const std::function<void(SecureChannel&)>& write_messages) {
    SocketPair pair = connected_pair();
    receive_slots[4] = pair.server;
    std::string replies;
    std::thread peer([&] {
        SecureChannel channel;
        EXPECT_TRUE(secure_buffers(channel));
        if (secure_connect(pair.client, group_key, channel)) {
            write_messages(channel);
            // What was not sent by now never comes: the receiver sees the end.
            end_sending(pair.client);
            unsigned char* reply = nullptr;
            std::int32_t got;
            // A1, R1:reason, O1:offset (its hash behind it above 0).
            while ((got = secure_receive(channel, reply)) > 0) {
                if (!replies.empty()) replies += ' ';
                std::uint64_t offset = got >= static_cast<std::int32_t>(OFFSET_SIZE) ? get_u64(reply + 5) : 0;
                std::string number = std::to_string(got >= 5 ? get_u32(reply + 1) : 0);
                if (got == static_cast<std::int32_t>(ACCEPTED_SIZE) && reply[0] == MESSAGE_ACCEPTED)
                    replies.append("A").append(number);
                else if (got == static_cast<std::int32_t>(REFUSED_SIZE) && reply[0] == MESSAGE_REFUSED)
                    replies.append("R").append(number).append(":").append(std::to_string(reply[ACCEPTED_SIZE]));
                else if (reply[0] == MESSAGE_OFFSET &&
                         got == static_cast<std::int32_t>(offset ? PROVEN_OFFSET_SIZE : OFFSET_SIZE))
                    replies.append("O").append(number).append(":").append(std::to_string(offset));
                else
                    replies += "?";
            }
        } else {
            ADD_FAILURE() << "no handshake";
        }
        secure_release(channel);
        close_socket(pair.client);
    });
    receive_connection(receive_slots[4]);
    peer.join();
    return replies;
}

TEST_F(SecureTransfer, ReceiverTakesOnlyWellFormedSessions) {
    const std::string data = pattern_bytes(100000, 8);
    using Steps = std::function<void(SecureChannel&)>;
    auto messages = [](std::vector<std::string> list) {
        return [list](SecureChannel& c) {
            for (const auto& m : list) seal(c, m);
        };
    };
    struct Row {
        const char* label;
        Steps steps;
        const char* replies;
        std::vector<std::string> stored;
        std::function<void()> check = {};
    };
    const Row rows[] = {
        {"data in uneven messages",
         messages({file_message(data.size(), "f.bin"), data_message(data.substr(0, 1)),
                   data_message(data.substr(1, DATA_PER_MESSAGE)), data_message(data.substr(1 + DATA_PER_MESSAGE)),
                   END, QUIT}),
         "A1", {"f.bin"}},
        {"an empty file", messages({file_message(0, "f.bin"), END, QUIT}), "A1", {"f.bin"}},
        {"three files, no quit", messages({file_message(1, "a"), data_message("a"), END, file_message(0, "b"), END,
                                           file_message(2, "c"), data_message("c"), data_message("c"), END}),
         "A1 A2 A3", {"a", "b", "c"}},
        {"the second refused: its name climbs out",
         messages({file_message(0, "a"), END, file_message(3, "..\\b"), data_message("bbb"), END,
                   file_message(0, "c"), END}),
         "A1 R2:1", {"a"}},
        {"a zero byte in the name", messages({file_message(0, std::string("f.bin\0x", 7)), END}), "R1:1", {}},
        {"flags it does not know", messages({file_message(0, "f.bin", 4), END}), "R1:0", {}},
        {"a size beyond any file", messages({file_message(std::uint64_t{1} << 57, "f.bin"), data_message("x")}),
         "R1:0", {}},
        {"the time kept", messages({timed_message(1, "t.bin", -1234567890123), data_message("t"), END}), "A1",
         {"t.bin"}, [&] {
             // As exact as the file system keeps it: to the nanosecond, or down to 100 ns.
             EXPECT_LE(modified_ns(dir / "t.bin"), -1234567890123);
             EXPECT_GT(modified_ns(dir / "t.bin"), -1234567890223);
         }},
        {"a time cut short", messages({file_message(0, "1234567", FLAG_TIME), END}), "", {}},
        {"only a quit", messages({QUIT}), "", {}},
        // A resumable file is answered with the offset held; a connection
        // that ends inside it leaves its part, which the same name, size
        // and tag take up again; a fault drops it.
        {"a resumable file", messages({resumable_message(5, "f.bin"), data_message("hello"), END, QUIT}), "O1:0 A1",
         {"f.bin"}},
        {"a resumable file cut", messages({resumable_message(10, "f.bin"), data_message("0123")}), "O1:0",
         {PARTS_FOLDER}},
        {"the same file again", messages({resumable_message(10, "f.bin"), data_message("456789"), END}), "O1:4 A1",
         {"f.bin"}},
        // Parts of an older version of the file (another tag), and parts a
        // day old, go when a part is taken up.
        {"a part of an older version", [&](SecureChannel& c) {
             leave_part(dir, "v.bin", 10, "01", 'V');
             messages({resumable_message(10, "v.bin", 'W'), data_message("0123456789"), END})(c);
         }, "O1:0 A1", {"v.bin"}},
        {"a part a day old", [&](SecureChannel& c) {
             leave_part(dir, "d.bin", 10, "0123", 'T', std::chrono::hours(25));
             messages({resumable_message(10, "d.bin"), data_message("0123456789"), END})(c);
         }, "O1:0 A1", {"d.bin"}},
        // What a part holds is proven to the sender, which answers S when its
        // file differs: the part is emptied and the whole file comes.
        {"a part proven, then its file from the start", [&](SecureChannel& c) {
             leave_part(dir, "g.bin", 10, "0x23");
             messages({resumable_message(10, "g.bin"), "S", data_message("0123456789"), END})(c);
         }, "O1:4 A1", {"g.bin"}, [&] { EXPECT_EQ(read_bytes(dir / "g.bin"), "0123456789"); }},
        {"a part longer than its file", [&](SecureChannel& c) {
             leave_part(dir, "h.bin", 10, "0123456789+");
             messages({resumable_message(10, "h.bin"), data_message("0123456789"), END})(c);
         }, "O1:0 A1", {"h.bin"}, [&] { EXPECT_EQ(read_bytes(dir / "h.bin"), "0123456789"); }},
        {"S after an offset of 0", messages({resumable_message(10, "s.bin"), "S", data_message("0123456789")}), "O1:0",
         {}},
        {"S twice", [&](SecureChannel& c) {
             leave_part(dir, "s.bin", 10, "01");
             messages({resumable_message(10, "s.bin"), "S", "S", data_message("0123456789"), END})(c);
         }, "O1:2", {}},
        {"S after data", [&](SecureChannel& c) {
             leave_part(dir, "s.bin", 10, "01");
             messages({resumable_message(10, "s.bin"), data_message("2"), "S", data_message("0123456789"), END})(c);
         }, "O1:2", {}},
        {"S with more", [&](SecureChannel& c) {
             leave_part(dir, "s.bin", 10, "01");
             messages({resumable_message(10, "s.bin"), "S!", data_message("0123456789"), END})(c);
         }, "O1:2", {}},
        {"S in a file not resumable", messages({file_message(1, "s.bin"), "S", data_message("x"), END}), "", {}},
        {"a resumable file without its tag", messages({file_message(0, "f.bin", 1), END}), "", {}},
        {"flags beside resumable", messages({resumable_message(0, "f.bin", 'T', 5), END}), "R1:0", {}},
        {"a part dropped at a fault", [&](SecureChannel& c) {
             seal(c, resumable_message(10, "f.bin", 'U'));
             ASSERT_TRUE(secure_queue(c, reinterpret_cast<const unsigned char*>(data.data()), 10));
             c.outbox[5] ^= 0x10;
             secure_flush(c);
         }, "O1:0", {}},
        {"data over the size", messages({file_message(10, "f.bin"), data_message(data.substr(0, 11)), END}), "", {}},
        {"data under the size, then the end", messages({file_message(10, "f.bin"), data_message(data.substr(0, 9)), END}),
         "", {}},
        {"the end missing", messages({file_message(10, "f.bin"), data_message(data.substr(0, 10))}), "", {}},
        {"a quit inside a file", messages({file_message(1, "f.bin"), QUIT}), "", {}},
        {"a file inside a file", messages({file_message(1, "f.bin"), file_message(0, "g.bin"), END}), "", {}},
        {"data before any file", messages({data_message("x"), file_message(0, "f.bin"), END}), "", {}},
        {"an unknown type", messages({file_message(0, "f.bin"), "X", END}), "", {}},
        {"an end with more", messages({file_message(0, "f.bin"), "E!"}), "", {}},
        {"a data message without data", messages({file_message(1, "f.bin"), "D", data_message("x"), END}), "", {}},
        {"an earlier version's end mark", messages({file_message(0, "f.bin"), CLOSING_MARK}), "", {}},
        {"a header without a name", messages({file_message(0, ""), END}), "", {}},
        {"a name of 256 bytes", messages({file_message(0, std::string(256, 'n')), END}), "", {}},
        {"a length of 0", [&](SecureChannel& c) {
             seal(c, file_message(10, "f.bin"));
             send_all(c.socket, "\0\0", 2);
         }, "", {}},
        {"an empty message", [&](SecureChannel& c) {
             seal(c, file_message(10, "f.bin"));
             unsigned char frame[SECURE_FRAME_ROOM];
             noise_encrypt(c.session.sending, frame + 2, 0, frame + 2);
             frame[0] = 0;
             frame[1] = NOISE_TAG_SIZE;
             send_all(c.socket, frame, sizeof frame);
         }, "", {}},
        {"a flipped bit in data", [&](SecureChannel& c) {
             seal(c, file_message(10, "f.bin"));
             ASSERT_TRUE(secure_queue(c, reinterpret_cast<const unsigned char*>(data.data()), 10));
             c.outbox[5] ^= 0x10;
             secure_flush(c);
         }, "", {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(run_secure_peer(row.steps), row.replies);
        EXPECT_EQ(entries_of(dir), row.stored);
        if (row.check) row.check();
        for (const auto& name : row.stored)
            if (name != PARTS_FOLDER) fs::remove(dir / name);
        expect_engine_at_rest();
    }
}

TEST_F(SecureTransfer, OlderFileSurvivesAFailedTransfer) {
    write_bytes(dir / "f.bin", "older");
    std::string replies = run_secure_peer([](SecureChannel& c) {
        seal(c, file_message(5, "f.bin"));
        seal(c, data_message("newer"));
    });
    EXPECT_EQ(replies, "");
    EXPECT_EQ(entries_of(dir), std::vector<std::string>{"f.bin"});
    EXPECT_EQ(read_bytes(dir / "f.bin"), "older");
}

// A receiving peer with the key that takes the whole batch and then answers
// as it likes: only the sealed A of the file counts as delivered.
TEST_F(SecureTransfer, SenderTakesOnlyItsFilesAcknowledgement) {
    fs::path sent = file("a.txt", pattern_bytes(70000, 5));
    struct Row { const char* label; std::function<void(SecureChannel&)> answer; bool delivered; };
    const Row rows[] = {
        {"its A", [](SecureChannel& c) { seal(c, reply_message('A', 1)); }, true},
        {"no answer", [](SecureChannel&) {}, false},
        {"an R", [](SecureChannel& c) { seal(c, reply_message('R', 1).append(1, '\2')); }, false},
        {"an R of a reason it does not know", [](SecureChannel& c) { seal(c, reply_message('R', 1).append(1, 'z')); },
         false},
        {"an R without its reason", [](SecureChannel& c) { seal(c, reply_message('R', 1)); }, false},
        {"the A of another file", [](SecureChannel& c) { seal(c, reply_message('A', 2)); }, false},
        {"the A unsealed", [](SecureChannel& c) { send_all(c.socket, "A\1\0\0\0", 5); }, false},
        {"the A and more", [](SecureChannel& c) { seal(c, reply_message('A', 1).append("x")); }, false},
        {"the earlier version's mark", [](SecureChannel& c) { seal(c, CLOSING_MARK); }, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        forget_messages();
        Loopback l = open_listener();
        SocketHandle s = INVALID_SOCKET_HANDLE;
        // The listener closes with the connection: a sender that tries
        // again after a connection ended without an answer is refused.
        std::thread receiver = peer_after_magic(l, s, [&row, &l](SocketHandle socket) {
            SecureChannel channel;
            EXPECT_TRUE(secure_buffers(channel));
            if (secure_accept(socket, group_key, channel, monotonic_ms() + 10000)) {
                // Everything up to the quit.
                unsigned char* message = nullptr;
                std::int32_t got;
                do got = secure_receive(channel, message);
                while (got > 0 && !(got == 1 && message[0] == MESSAGE_QUIT));
                row.answer(channel);
            }
            secure_release(channel);
            close_socket(socket);
            close_socket(l.listening);
        });
        send_batch_of({sent});
        receiver.join();
        if (row.delivered)
            EXPECT_TRUE(message_texts().empty());
        else
            EXPECT_EQ(message_texts(), send_failure(l.port));
        expect_engine_at_rest();
    }
}

// A receiver's offset is trusted only with the hash of the part it holds:
// the data then goes on from there when the hash is the file's, and from
// its start, after an S, when it is not. An O of any other shape fails the
// file, as an answer in another format.
TEST_F(SecureTransfer, SenderTrustsOnlyAProvenOffset) {
    static SendFailure reported;
    set_failure_observer([](const Failure& failure) { reported = failure.kind; });
    fs::path sent = file("big.bin", pattern_bytes(RESUMABLE_SIZE + 1000, 4));
    constexpr std::uint64_t OFFSET = 5 << 20;
    unsigned char right[PART_PROOF_SIZE];
    FILE* source = std::fopen(sent.string().c_str(), "rb");
    ASSERT_TRUE(source && hash_file_head(source, OFFSET, right));
    std::fclose(source);
    auto offset_reply = [](std::uint64_t offset, std::string proof) {
        return reply_message('O', 1).append(u64_bytes(offset)).append(proof);
    };
    std::string proof(reinterpret_cast<char*>(right), PART_PROOF_SIZE), wrong = proof;
    wrong[7] ^= 1;
    struct Row { const char* label; std::string offset; bool delivered; const char* data; };
    const Row rows[] = {
        {"the hash of the file's first bytes", offset_reply(OFFSET, proof), true, "the rest"},
        {"a hash that is not the file's", offset_reply(OFFSET, wrong), true, "S and all"},
        {"an offset above 0 without a hash", offset_reply(OFFSET, ""), false, ""},
        {"a hash one byte short", offset_reply(OFFSET, proof.substr(1)), false, ""},
        {"an offset of 0 with a hash", offset_reply(0, proof), false, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        forget_messages();
        reported = SendFailure::none;
        Loopback l = open_listener();
        SocketHandle s = INVALID_SOCKET_HANDLE;
        std::string data;
        std::thread receiver = peer_after_magic(l, s, [&](SocketHandle socket) {
            SecureChannel channel;
            EXPECT_TRUE(secure_buffers(channel));
            if (secure_accept(socket, group_key, channel, monotonic_ms() + 10000)) {
                unsigned char* message = nullptr;
                std::int32_t got = secure_receive(channel, message);
                EXPECT_TRUE(got > 0 && message[0] == MESSAGE_FILE);
                seal(channel, row.offset);
                std::uint64_t bytes = 0;
                bool from_start = false;
                while ((got = secure_receive(channel, message)) > 0 && message[0] != MESSAGE_END) {
                    from_start = from_start || (got == 1 && message[0] == MESSAGE_FROM_START);
                    bytes += message[0] == MESSAGE_DATA ? static_cast<std::uint64_t>(got - 1) : 0;
                }
                std::uint64_t size = fs::file_size(sent);
                if (got > 0) data = from_start && bytes == size ? "S and all" : bytes == size - OFFSET ? "the rest" : "?";
                if (got > 0) seal(channel, reply_message('A', 1));
                while (secure_receive(channel, message) > 0) {
                }
            }
            secure_release(channel);
            close_socket(socket);
            close_socket(l.listening);
        });
        send_batch_of({sent});
        receiver.join();
        EXPECT_EQ(data, row.data);
        if (row.delivered)
            EXPECT_TRUE(message_texts().empty());
        else
            EXPECT_EQ(message_texts(), std::vector<std::string>{"send of big.bin to 127.0.0.1:" +
                                                                std::to_string(l.port) + " failed!"});
        EXPECT_EQ(reported, row.delivered ? SendFailure::none : SendFailure::other_format);
        expect_engine_at_rest();
    }
    set_failure_observer(nullptr);
}

// A receiver that takes every file and then hangs up before its A: the
// sender tries again five times, each on a connection that gets nowhere,
// and then reports the file.
TEST_F(SecureTransfer, TriesAgainFiveTimesWithoutProgress) {
    fs::path sent = file("a.txt", pattern_bytes(70000, 5));
    Loopback l = open_listener();
    current_destination.address = localhost();
    current_destination.port = l.port;
    std::atomic<int> connections{0};
    std::atomic<bool> done{false};
    std::thread receiver([&] {
        while (!done.load()) {
            if (!socket_readable(l.listening, 50)) continue;
            IpAddress from;
            SocketHandle socket = INVALID_SOCKET_HANDLE;
            char magic[SECURE_MAGIC_SIZE];
            if (!accept_peer(l.listening, socket, from)) continue;
            ++connections;
            SecureChannel channel;
            if (recv_exact(socket, magic, SECURE_MAGIC_SIZE) && secure_buffers(channel) &&
                secure_accept(socket, group_key, channel, monotonic_ms() + 10000)) {
                unsigned char* message = nullptr;
                std::int32_t got;
                while ((got = secure_receive(channel, message)) > 0 && !(got == 1 && message[0] == MESSAGE_QUIT)) {
                    if (message[0] != MESSAGE_FILE || !(message[1 + SIZE_FIELD] & FLAG_RESUMABLE)) continue;
                    const unsigned char offset[OFFSET_SIZE] = {MESSAGE_OFFSET, 1};
                    secure_queue(channel, offset, sizeof offset);
                    secure_flush(channel);
                }
            }
            secure_release(channel);
            close_socket(socket);
        }
    });
    send_batch_of({sent});
    done = true;
    receiver.join();
    close_socket(l.listening);
    EXPECT_EQ(connections.load(), 1 + RECONNECT_TRIES);
    EXPECT_EQ(message_texts(), send_failure(l.port));
    expect_engine_at_rest();
}

// A batch whose middle file the receiver can't store (a folder holds its
// name): the first is in place, the second reported, the third not sent.
TEST_F(SecureTransfer, RefusedFileInTheMiddleEndsTheBatch) {
    fs::path out = fresh_dir("secure-refusing");
    fs::create_directories(out / "b.txt");
    std::vector<fs::path> paths = {file("a.txt", "first"), file("b.txt", pattern_bytes(300000, 2)),
                                   file("c.txt", "third")};
    send_to_receiver(paths, out, 1);
    EXPECT_EQ(entries_of(out), (std::vector<std::string>{"a.txt", "b.txt"}));
    EXPECT_EQ(read_bytes(out / "a.txt"), "first");
    EXPECT_TRUE(fs::is_directory(out / "b.txt"));
    EXPECT_EQ(message_texts(), (std::vector<std::string>{
                                   std::string("send of b.txt to 127.0.0.1:")
                                       .append(std::to_string(current_destination.port))
                                       .append(" failed!")}));
    expect_engine_at_rest();
    fs::remove_all(out);
}

// "abort receive" removes the part of a file under way and the parts kept
// of files whose connection ended, with nothing under way.
TEST_F(SecureTransfer, AbortReceiveRemovesParts) {
    for (bool under_way : {true, false}) {
        SCOPED_TRACE(under_way ? "a file under way" : "a part kept");
        SocketPair pair = connected_pair();
        SecureChannel channel;
        // Names of their own: an aborted file is refused when it comes again.
        std::thread task =
            receive_stalled_in(pair, channel, resumable_message(1 << 20, under_way ? "under-way.bin" : "kept.bin"));
        if (under_way) {
            request_abort_receive();
        } else {
            close_socket(pair.client);
            task.join();
            ASSERT_EQ(entries_of(dir), std::vector<std::string>{PARTS_FOLDER});
            fs::path part = fs::directory_iterator(dir / PARTS_FOLDER)->path();
            EXPECT_EQ(fs::file_size(part), 50000u);
            request_abort_receive();
        }
        if (task.joinable()) task.join();
        EXPECT_TRUE(entries_of(dir).empty());
        secure_release(channel);
        if (under_way) close_socket(pair.client);
        expect_engine_at_rest();
    }
}

// A file whose receipt was aborted is refused when its sender tries it
// again, resumable or not, so that the abort holds; another file of its
// name is not.
TEST_F(SecureTransfer, AnAbortedFileIsRefusedWhenItComesAgain) {
    SocketPair pair = connected_pair();
    SecureChannel channel;
    std::thread task = receive_stalled_in(pair, channel, file_message(1 << 20, "again.bin"));
    request_abort_receive();
    task.join();
    secure_release(channel);
    close_socket(pair.client);
    const std::string five = data_message("12345");
    struct Row {
        std::vector<std::string> messages;
        const char* replies;
    } rows[] = {
        {{file_message(1 << 20, "again.bin")}, "R1:3"},
        {{resumable_message(1 << 20, "again.bin")}, "R1:3"},
        {{file_message(5, "again.bin"), five, END, QUIT}, "A1"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(run_secure_peer([&row](SecureChannel& c) {
                      for (const auto& m : row.messages) seal(c, m);
                  }),
                  row.replies);
    }
    EXPECT_EQ(read_bytes(dir / "again.bin"), "12345");
    expect_engine_at_rest();
}

// "abort receive" ends every session under way, however many end before
// the others, and none that starts after it.
TEST_F(SecureTransfer, AnAbortEndsEverySessionUnderWay) {
    SocketPair pairs[2] = {connected_pair(), connected_pair()};
    SecureChannel channels[2];
    const char* names[2] = {"one.bin", "two.bin"};
    std::thread tasks[2];
    for (int i = 0; i < 2; ++i)
        tasks[i] = receive_stalled_in(pairs[i], channels[i], resumable_message(1 << 20, names[i]), 2 + i);
    request_abort_receive();
    for (int i = 0; i < 2; ++i) {
        tasks[i].join();
        secure_release(channels[i]);
        close_socket(pairs[i].client);
    }
    EXPECT_TRUE(entries_of(dir).empty()) << "no part is left";
    for (const char* name : names)
        EXPECT_EQ(run_secure_peer([name](SecureChannel& c) { seal(c, resumable_message(1 << 20, name)); }), "R1:3");
    EXPECT_EQ(run_secure_peer([](SecureChannel& c) {
                  for (const auto& m : {file_message(2, "three.bin"), data_message("3!"), END, QUIT}) seal(c, m);
              }),
              "A1");
    expect_engine_at_rest();
}

// The abort commands end a secure transfer blocked on its peer at once.
TEST_F(SecureTransfer, AbortsEndTransfersStuckOnTheirPeer) {
    idle_limit_ms = 60000;
    {
        SCOPED_TRACE("a send to a peer that stopped reading after the handshake");
        write_bytes(dir / "big.bin", pattern_bytes(64 * 1024 * 1024));
        Loopback l = open_listener();
        SocketHandle silent = INVALID_SOCKET_HANDLE;
        // A file this large waits for its offset: the peer gives it, then
        // reads no more.
        std::thread peer = peer_after_magic(l, silent, [](SocketHandle socket) {
            SecureChannel channel;
            EXPECT_TRUE(secure_buffers(channel));
            EXPECT_TRUE(secure_accept(socket, group_key, channel, monotonic_ms() + 10000));
            unsigned char* message = nullptr;
            EXPECT_GT(secure_receive(channel, message), 0);
            const unsigned char offset[OFFSET_SIZE] = {MESSAGE_OFFSET, 1};
            EXPECT_TRUE(secure_queue(channel, offset, sizeof offset) && secure_flush(channel));
            secure_release(channel);
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
        SecureChannel channel;
        std::thread task = receive_stalled_in(pair, channel, file_message(1 << 20, "stuck.bin"));
        auto start = std::chrono::steady_clock::now();
        abort_receives();
        task.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(entries_of(dir), std::vector<std::string>{"stuck.bin"});
        EXPECT_EQ(read_bytes(dir / "stuck.bin"), "older file");
        secure_release(channel);
        close_socket(pair.client);
    }
    expect_engine_at_rest();
}

std::intptr_t start_receivers(std::uint32_t message, std::uintptr_t w_param, std::intptr_t l_param) {
    if (message == USER_MESSAGE && w_param == SLOT_MESSAGE_CODE) start_receive_for_slot(static_cast<std::int32_t>(l_param));
    return 0;
}

// A hundred connections from four addresses that trickle their opening:
// no more than eight of an address get a slot, those lose it when their
// greeting's time is up, and a sender with the key gets through meanwhile.
TEST_F(SecureTransfer, TricklingStrangersHoldNoSlots) {
    // Long enough that the strangers still trickle when the sender comes,
    // even on a busy machine under Wine.
    greeting_limit_ms = 8000;
    set_window_handler(start_receivers);
    Loopback l = open_listener();
    std::atomic<bool> stop{false};
    std::thread listener([&] {
        while (!stop.load()) listener_step(l.listening);
    });
    const char* from[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
    std::vector<SocketHandle> strangers;
    for (int i = 0; i < 100; ++i) {
        SocketHandle s;
        ASSERT_TRUE(connect_from(from[i % 4], localhost(), l.port, s));
        strangers.push_back(s);
    }
    std::thread trickle([&] {
        for (std::size_t at = 0; at < SECURE_MAGIC_SIZE && !stop.load(); ++at) {
            for (SocketHandle s : strangers) send_all(s, SECURE_MAGIC + at, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(600));
        }
    });
    // Those beyond eight per address are closed as soon as the listener
    // takes them.
    std::vector<bool> seen_closed(strangers.size());
    int closed = 0;
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (closed < 100 - 4 * MAX_GREETINGS_PER_ADDRESS && std::chrono::steady_clock::now() < give_up) {
        for (std::size_t i = 0; i < strangers.size(); ++i) {
            char byte;
            if (!seen_closed[i] && socket_readable(strangers[i], 0) && recv_some(strangers[i], &byte, 1) <= 0) {
                seen_closed[i] = true;
                ++closed;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_GE(closed, 100 - 4 * MAX_GREETINGS_PER_ADDRESS) << "closed at once";

    fs::path out = fresh_dir("secure-beside-strangers");
    destination_dir = dir_text(out);
    current_destination.address = localhost();
    current_destination.port = l.port;
    auto start = std::chrono::steady_clock::now();
    send_batch_of({file("a.txt", "through")});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6)) << "before the strangers' time is up";
    EXPECT_EQ(read_bytes(out / "a.txt"), "through");
    EXPECT_TRUE(message_texts().empty());

    stop = true;
    trickle.join();
    interrupt_socket(l.listening);  // wakes the accept under way
    listener.join();
    close_socket(l.listening);
    for (SocketHandle s : strangers) close_socket(s);
    while (running_tasks.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    set_window_handler(nullptr);
    expect_engine_at_rest();
    fs::remove_all(out);
}

// Every message's encoding read back by its decoder; every cut of it, and
// of a reply one byte more, refused.
TEST(SecureMessages, EachTypeRoundTripsAndNoCutPasses) {
    const unsigned char tag[FILE_TAG_SIZE] = {7, 7, 7};
    const unsigned char proof[PART_PROOF_SIZE] = {9, 8, 7};
    const std::string longest(MAX_NAME_BYTES, 'n');
    struct FileRow { const char* label; unsigned char flags; std::string_view name; };
    for (const FileRow& row : {FileRow{"plain", 0, "a.bin"}, FileRow{"resumable", FLAG_RESUMABLE, "r\\b.bin"},
                               FileRow{"timed", FLAG_TIME, "t"}, FileRow{"both, longest name", KNOWN_FLAGS, longest}}) {
        SCOPED_TRACE(row.label);
        FileMessage m{(std::uint64_t{1} << 40) + 3, row.flags, tag, -5, row.name};
        std::vector<unsigned char> bytes(file_message_size(m));
        encode_file(m, bytes.data());
        FileMessage back;
        ASSERT_TRUE(decode_file(ByteSpan{bytes.data(), bytes.size()}, back));
        EXPECT_EQ(back.size, m.size);
        EXPECT_EQ(back.flags, m.flags);
        EXPECT_EQ(back.name, m.name);
        EXPECT_EQ(back.timed() ? back.time_ns : -5, -5);
        EXPECT_EQ(back.resumable() ? std::memcmp(back.tag, tag, FILE_TAG_SIZE) : 0, 0);
        for (std::size_t cut = 0; cut < bytes.size() - row.name.size() + 1; ++cut)
            EXPECT_FALSE(decode_file(ByteSpan{bytes.data(), cut}, back)) << cut;
    }
    std::string too_long = file_message(1, std::string(MAX_NAME_BYTES + 1, 'n'));
    FileMessage ignored;
    EXPECT_FALSE(decode_file(ByteSpan{reinterpret_cast<const unsigned char*>(too_long.data()), too_long.size()}, ignored));

    unsigned char out[LONGEST_REPLY + 1] = {};
    struct ReplyRow { const char* label; Reply reply; };
    const ReplyRow replies[] = {
        {"A", {MESSAGE_ACCEPTED, 77}},
        {"R", {MESSAGE_REFUSED, 77, REFUSED_NOT_STORED}},
        {"O of 0", {MESSAGE_OFFSET, 77}},
        {"O proven", {MESSAGE_OFFSET, 77, REFUSED_OTHER, 5 << 20, proof}},
    };
    for (const ReplyRow& row : replies) {
        SCOPED_TRACE(row.label);
        std::size_t size = encode_reply(row.reply, out);
        Reply back;
        ASSERT_TRUE(decode_reply(ByteSpan{out, size}, back));
        EXPECT_EQ(back.type, row.reply.type);
        EXPECT_EQ(back.number, 77u);
        EXPECT_EQ(back.reason, row.reply.reason);
        EXPECT_EQ(back.offset, row.reply.offset);
        EXPECT_EQ(back.proof ? back.proof[2] : 7, 7);
        for (std::size_t cut = 0; cut < size; ++cut) EXPECT_FALSE(decode_reply(ByteSpan{out, cut}, back)) << cut;
        EXPECT_FALSE(decode_reply(ByteSpan{out, size + 1}, back)) << "one byte more";
    }
    Reply unknown;
    encode_reply(Reply{MESSAGE_REFUSED, 1, REFUSED_NAME}, out);
    out[ACCEPTED_SIZE] = LAST_REASON + 1;
    ASSERT_TRUE(decode_reply(ByteSpan{out, REFUSED_SIZE}, unknown));
    EXPECT_EQ(unknown.reason, REFUSED_OTHER) << "a reason not known";

    const unsigned char data[] = {MESSAGE_DATA, 'x', 'y'}, end[] = {MESSAGE_END, 0};
    ByteSpan got;
    EXPECT_TRUE(decode_data(ByteSpan{data, 3}, got) && got.size() == 2 && got[0] == 'x');
    EXPECT_FALSE(decode_data(ByteSpan{data, 1}, got));
    EXPECT_TRUE(is_message(ByteSpan{end, 1}, MESSAGE_END));
    EXPECT_FALSE(is_message(ByteSpan{end, 2}, MESSAGE_END));
    EXPECT_FALSE(is_message(ByteSpan{end, 0}, MESSAGE_END));
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
