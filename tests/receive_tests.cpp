// The receive task over real loopback connections, writing real files.
#include <chrono>

#include "tests/engine_fixture.h"
#include "tests/socket_options.h"
#include "transfer/leftover_files.h"

namespace {

const std::string ACK = CLOSING_MARK;

std::string with_zero(const std::string& name) { return name + std::string(1, '\0'); }

class ReceiveTask : public EngineTest {};

// A hundred receive tasks may each hold a group of 16 files and their
// folders open: well beyond the 512 files of the Windows C runtime.
TEST_F(ReceiveTask, TheProcessHoldsAHundredGroupsOfOpenFiles) {
    allow_many_open_files();
    EXPECT_EQ(open_many_files(dir, 1800), 1800u);
}

TEST_F(ReceiveTask, StoresWhatArrivesWhateverTheKeyAndPieces) {
    struct Row { const char* label; std::size_t size; std::uint32_t key; std::size_t piece; };
    const Row rows[] = {
        {"empty file", 0, 77, 0},
        {"one byte", 1, 32, 0},
        {"one chunk", 8193, 255, 0},
        {"one chunk and a byte", 8194, 200, 0},
        {"several MiB", 3 * 1024 * 1024 + 5, 129, 0},
        {"lowest key", 5000, 32, 0},
        {"highest key", 5000, 255, 0},
        {"key above 255 acts as its low byte", 5000, 0x1234, 0},
        {"key with low byte 0 leaves bytes unchanged", 5000, 0x300, 0},
        {"pieces of one byte", 300, 99, 1},
        {"pieces of seven bytes", 2000, 45, 7},
        {"pieces of 8192", 40000, 111, 8192},
        {"pieces of 8193", 40000, 112, 8193},
        {"pieces of 8194", 40000, 113, 8194},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        std::string name = std::string("file") + std::to_string(n++) + ".bin";
        std::string data = pattern_bytes(row.size, static_cast<std::uint32_t>(n));
        ReceiveOutcome out = receive_from_peer(wire_bytes(row.key, with_zero(name), data), row.piece);
        EXPECT_EQ(out.reply, ACK);
        EXPECT_EQ(read_bytes(dir / name), data);
        expect_engine_at_rest();
    }
    EXPECT_EQ(entries_of(dir).size(), std::size(rows));
}

TEST_F(ReceiveTask, KeyWithLowByteZeroSendsPlainBytes) {
    std::string wire = wire_bytes(0x500, with_zero("plain.txt"), "visible");
    EXPECT_NE(wire.find("plain.txt"), std::string::npos);
    EXPECT_NE(wire.find("visible"), std::string::npos);
    EXPECT_EQ(receive_from_peer(wire).reply, ACK);
    EXPECT_EQ(read_bytes(dir / "plain.txt"), "visible");
}

TEST_F(ReceiveTask, NameEndsAtItsFirstZeroByte) {
    std::string field = std::string("kept.txt") + std::string(1, '\0') + std::string("../x") + std::string(1, '\0');
    EXPECT_EQ(receive_from_peer(wire_bytes(90, field, "abc")).reply, ACK);
    EXPECT_EQ(entries_of(dir), std::vector<std::string>{"kept.txt"});
    EXPECT_EQ(read_bytes(dir / "kept.txt"), "abc");
}

TEST_F(ReceiveTask, ReplacesAnEarlierFileOfTheSameName) {
    write_bytes(dir / "same.txt", "old old old old");
    EXPECT_EQ(receive_from_peer(wire_bytes(66, with_zero("same.txt"), "new")).reply, ACK);
    EXPECT_EQ(read_bytes(dir / "same.txt"), "new");
    EXPECT_EQ(entries_of(dir), std::vector<std::string>{"same.txt"});
}

TEST_F(ReceiveTask, LongNamesUpToTheLimit) {
    std::string name(200, 'n');
    EXPECT_EQ(receive_from_peer(wire_bytes(70, with_zero(name), "long")).reply, ACK);
    EXPECT_EQ(read_bytes(dir / name), "long");
#ifndef _WIN32
    // 255 characters and the zero: the largest name field taken.
    std::string longest(255, 'm');
    EXPECT_EQ(receive_from_peer(wire_bytes(70, with_zero(longest), "max")).reply, ACK);
    EXPECT_EQ(read_bytes(dir / longest), "max");
#endif
}

// Every way a transfer can fail leaves no file, no temporary file, and the
// counters, slot, task count and abort flag as before.
TEST_F(ReceiveTask, FailuresLeaveNothingBehind) {
    const std::string name = with_zero("gone.txt");
    const std::string data = pattern_bytes(20000, 7);
    const std::string good = wire_bytes(150, name, data);
    const std::size_t data_at = 11 + 4 + 4 + name.size() + 4;
    struct Row {
        const char* label;
        std::string wire;
        PeerEnd end;
        bool abort_first;
        bool missing_dir;
    };
    std::string bad_magic = good;
    bad_magic[10] = '1';
    std::string wrong_case = good;
    wrong_case[0] = 'Z';
    std::string bad_mark = good;
    bad_mark[bad_mark.size() - 3] = '*' + 1;
    const Row rows[] = {
        {"magic differs", bad_magic, PeerEnd::await_reply, false, false},
        {"magic in capitals", wrong_case, PeerEnd::await_reply, false, false},
        {"magic cut short", good.substr(0, 6), PeerEnd::hang_up, false, false},
        {"key cut short", good.substr(0, 13), PeerEnd::hang_up, false, false},
        {"name length cut short", good.substr(0, 17), PeerEnd::hang_up, false, false},
        {"name cut short", good.substr(0, 22), PeerEnd::hang_up, false, false},
        {"size cut short", good.substr(0, data_at - 1), PeerEnd::hang_up, false, false},
        {"directory missing", good, PeerEnd::await_reply, false, true},
        {"closed during the data", good.substr(0, data_at + 12345), PeerEnd::hang_up, false, false},
        {"closed before the mark", good.substr(0, data_at + data.size()), PeerEnd::hang_up, false, false},
        {"abort before a data step", good, PeerEnd::await_reply, true, false},
        {"abort before the mark", wire_bytes(150, name, ""), PeerEnd::await_reply, true, false},
        {"mark differs in one byte", bad_mark, PeerEnd::await_reply, false, false},
        {"mark incomplete", good.substr(0, good.size() - 1), PeerEnd::hang_up, false, false},
        {"mark of an empty file differs", wire_bytes(150, name, "", "zeptrix**OK**"),
         PeerEnd::await_reply, false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        if (row.missing_dir) destination_dir = dir_text(dir / "absent");
        abort_receive = row.abort_first;
        ReceiveOutcome out = receive_from_peer(row.wire, 0, row.end);
        EXPECT_EQ(out.reply, "");
        EXPECT_TRUE(entries_of(dir).empty()) << entries_of(dir).size() << " entries left";
        EXPECT_FALSE(fs::exists(dir / "absent"));
        expect_engine_at_rest();
        destination_dir = dir_text(dir);
    }
}

TEST_F(ReceiveTask, CountersReturnToWhatOtherTasksHold) {
    recv_bytes_total = 5000;
    recv_bytes_left = 3000;
    std::string wire = wire_bytes(60, with_zero("half.bin"), pattern_bytes(100000));
    receive_from_peer(wire.substr(0, wire.size() / 2), 0, PeerEnd::hang_up);
    EXPECT_EQ(recv_bytes_total.load(), 5000u);
    EXPECT_EQ(recv_bytes_left.load(), 3000u);
    EXPECT_TRUE(entries_of(dir).empty());
}

TEST_F(ReceiveTask, DisconnectAfterEveryByteLeavesNothing) {
    const std::string data = pattern_bytes(40, 3);
    const std::string wire = wire_bytes(201, with_zero("cut.txt"), data);
    for (std::size_t offset = 0; offset < wire.size(); ++offset) {
        SCOPED_TRACE("offset " + std::to_string(offset));
        ReceiveOutcome out = receive_from_peer(wire.substr(0, offset), 0, PeerEnd::hang_up);
        EXPECT_EQ(out.reply, "");
        ASSERT_TRUE(entries_of(dir).empty());
        expect_engine_at_rest();
    }
    EXPECT_EQ(receive_from_peer(wire).reply, ACK);
    EXPECT_EQ(read_bytes(dir / "cut.txt"), data);
}

TEST_F(ReceiveTask, OlderFileSurvivesAFailedTransfer) {
    const std::string old = "the file that was here first";
    struct Row { const char* label; std::string wire; PeerEnd end; };
    const std::string full = wire_bytes(77, with_zero("keep.txt"), pattern_bytes(30000, 9));
    std::string bad_mark = full;
    bad_mark.back() = 'x';
    const Row rows[] = {
        {"closed during the data", full.substr(0, 20000), PeerEnd::hang_up},
        {"closing mark wrong", bad_mark, PeerEnd::await_reply},
        {"closed before the mark", full.substr(0, full.size() - 13), PeerEnd::hang_up},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        write_bytes(dir / "keep.txt", old);
        EXPECT_EQ(receive_from_peer(row.wire, 0, row.end).reply, "");
        EXPECT_EQ(read_bytes(dir / "keep.txt"), old);
        EXPECT_EQ(entries_of(dir), std::vector<std::string>{"keep.txt"});
        expect_engine_at_rest();
    }
}

TEST_F(ReceiveTask, FailedMoveIsAFailedTransfer) {
    fs::create_directory(dir / "taken");
    write_bytes(dir / "taken" / "inside", "x");
    ReceiveOutcome out = receive_from_peer(wire_bytes(88, with_zero("taken"), "data"));
    EXPECT_EQ(out.reply, "");
    EXPECT_EQ(entries_of(dir), std::vector<std::string>{"taken"});
    EXPECT_TRUE(fs::is_directory(dir / "taken"));
    expect_engine_at_rest();
}

TEST_F(ReceiveTask, NameLengthOutsideTheLimitIsRefused) {
    struct Row { const char* label; std::uint32_t length; std::string bytes; };
    const Row rows[] = {
        {"zero", 0, ""},
        {"257", 257, std::string(256, 'a') + std::string(1, '\0')},
        {"4 GiB - 1", 0xFFFFFFFFu, "aaaa"},
        {"2 GiB", 0x80000000u, "aaaa"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        std::string wire = std::string(TRANSFER_MAGIC) + u32_bytes(0) + u32_bytes(row.length) + row.bytes +
                           u32_bytes(1) + std::string("z") + CLOSING_MARK;
        EXPECT_EQ(receive_from_peer(wire, 0, PeerEnd::await_reply).reply, "");
        EXPECT_TRUE(entries_of(dir).empty());
        expect_engine_at_rest();
    }
}

// Names a sender of this program never produces, but a hostile peer could:
// paths, devices, and names Windows would store under another name.
TEST_F(ReceiveTask, HostileNamesCreateNothingAnywhere) {
    const std::vector<std::string> hostile = {
        "", ".", "..", "../up.txt", "..\\up.txt", "../../../tmp/zpx-escape", "sub/x",
        "/abs", "\\abs", "c:x", "c:\\x", "a:b", "stream.txt:hidden", std::string("tab\tname"),
        "new\nline", std::string("bell\x07"), std::string("\x1f"), "star*", "what?", "quote\"",
        "less<", "more>", "pipe|", "dot.", "space ", "dots...", "CON", "con", "Con.txt", "PRN",
        "aux.tar.gz", "NUL", "nul.", "COM0", "COM1", "com9.log", "LPT0", "LPT1", "lpt9",
        "COM\xB9", "lpt\xB2", "Com\xB3.txt", "CON .txt", "AUX  ", "nul .x", "prn.", "cOm5.a.b",
        // The receiver's own temporary names: taking one could replace the
        // data of another transfer in flight.
        ".zeptrix-1-0.part", ".zeptrix-", ".ZEPTRIX-1-0.part", ".Zeptrix-2-1.part",
    };
    fs::path base = fresh_dir("hostile");
    fs::path inside = base / "dest";
    fs::create_directory(inside);
    destination_dir = dir_text(inside);
    const auto cwd_before = entries_of(fs::current_path());
    for (const auto& name : hostile) {
        SCOPED_TRACE(std::string("name \"") + name + "\"");
        EXPECT_EQ(receive_from_peer(wire_bytes(123, with_zero(name), "evil")).reply, "");
        EXPECT_TRUE(entries_of(inside).empty());
        EXPECT_EQ(entries_of(base), std::vector<std::string>{"dest"});
        expect_engine_at_rest();
    }
    EXPECT_EQ(entries_of(fs::current_path()), cwd_before);
    EXPECT_FALSE(fs::exists(fs::temp_directory_path() / "zpx-escape"));
    fs::remove_all(base);
}

// Names with folders, as a sender of a folder writes them: the folders are
// made below the destination, existing ones are used as they are.
TEST_F(ReceiveTask, NestedNamesArriveInTheirFolders) {
    const std::string sep(1, PATH_SEPARATOR);
    const struct {
        const char* name;
        std::string stored;
    } rows[] = {
        {"photos\\2026\\a.jpg", "photos" + sep + "2026" + sep + "a.jpg"},
        {"photos\\2026\\b.jpg", "photos" + sep + "2026" + sep + "b.jpg"},
        {"photos\\top.txt", "photos" + sep + "top.txt"},
        {"flat.txt", "flat.txt"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string data = pattern_bytes(9000, static_cast<std::uint32_t>(row.stored.size()));
        EXPECT_EQ(receive_from_peer(wire_bytes(77, with_zero(row.name), data)).reply, CLOSING_MARK);
        EXPECT_EQ(read_bytes(dir / row.stored), data);
        expect_engine_at_rest();
    }
    EXPECT_EQ(entries_of(dir), (std::vector<std::string>{"flat.txt", "photos"}));
    EXPECT_EQ(entries_of(dir / "photos"), (std::vector<std::string>{"2026", "top.txt"}));
}

// Hostile names with folders: refused before anything is made.
TEST_F(ReceiveTask, HostileNestedNamesCreateNothingAnywhere) {
    std::string too_deep = "d";
    for (int i = 0; i < 32; ++i) too_deep.append("\\d");
    const std::vector<std::string> hostile = {
        "a\\..\\..\\up.txt", "..\\up.txt", "a\\.\\b", "a\\\\b", "\\a", "a\\", "a/b\\c", "a\\b/c",
        "c:\\a\\b", "a\\c:\\b", "a\\b:stream", "a\\con\\b", "a\\aux.txt", "com1\\b", "a.\\b",
        "a \\b", "a\\b.", "a\\b ", std::string("a\\\x1b\\b"), "a\\*\\b", "a\\.zeptrix-1-2.part",
        ".zeptrix-parts\\x", "a\\.ZEPTRIX-parts\\x",
        too_deep,
    };
    fs::path base = fresh_dir("hostile-nested");
    fs::path inside = base / "dest";
    fs::create_directory(inside);
    destination_dir = dir_text(inside);
    for (const auto& name : hostile) {
        SCOPED_TRACE(std::string("name \"") + name + "\"");
        EXPECT_EQ(receive_from_peer(wire_bytes(123, with_zero(name), "evil")).reply, "");
        EXPECT_TRUE(entries_of(inside).empty());
        EXPECT_EQ(entries_of(base), std::vector<std::string>{"dest"});
        expect_engine_at_rest();
    }
    fs::remove_all(base);
}

// A file or folder in the way refuses the transfer; a transfer that fails
// takes away the folders it made and leaves those that were there.
TEST_F(ReceiveTask, FoldersInTheWayAndFailedTransfers) {
    write_bytes(dir / "plain", "a file");
    EXPECT_EQ(receive_from_peer(wire_bytes(9, with_zero("plain\\x.txt"), "data")).reply, "");
    fs::create_directories(dir / "kept" / "name.txt");
    EXPECT_EQ(receive_from_peer(wire_bytes(9, with_zero("kept\\name.txt"), "data")).reply, "");
    expect_engine_at_rest();

    std::string cut = wire_bytes(9, with_zero("kept\\new\\deeper\\f.bin"), pattern_bytes(20000));
    cut.resize(cut.size() - 5000);
    receive_from_peer(cut);
    EXPECT_EQ(entries_of(dir), (std::vector<std::string>{"kept", "plain"}));
    EXPECT_EQ(entries_of(dir / "kept"), std::vector<std::string>{"name.txt"});
    EXPECT_EQ(read_bytes(dir / "plain"), "a file");
    expect_engine_at_rest();
}

// Temporary files of a receiver that ended mid-transfer go at the next
// start; those of a process still running, and names only like them, stay.
TEST_F(ReceiveTask, LeftoverTemporaryFilesOfEndedProcessesGo) {
    const std::string mine = std::to_string(process_number());
    fs::create_directories(dir / "sub" / "deeper");
    const struct { const char* label; fs::path path; bool stays; } rows[] = {
        {"an ended process's", dir / ".zeptrix-2147483000-7.part", false},
        {"one in a folder", dir / "sub" / "deeper" / ".zeptrix-2147483001-0.part", false},
        {"this process's", dir / (".zeptrix-" + mine + "-3.part"), true},
        {"a user's file alike", dir / ".zeptrix-notes.part", true},
        {"no sequence", dir / ".zeptrix-2147483000.part", true},
        {"another end", dir / ".zeptrix-2147483000-1.parts", true},
    };
    for (const auto& row : rows) write_bytes(row.path, "x");
    remove_stale_temporary_files();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(fs::exists(row.path), row.stays);
    }
}

// The fixed format's replies and a sender's pieces wait on no delayed
// acknowledgement: the receiver's end sends small writes at once.
TEST_F(ReceiveTask, SmallWritesGoOutAtOnce) {
    SocketPair pair = connected_pair();
    receive_slots[2] = pair.server;
    std::thread task([] { receive_connection(receive_slots[2]); });
    std::string wire = wire_bytes(9, with_zero("quick.bin"), pattern_bytes(100000));
    ASSERT_TRUE(send_all(pair.client, wire.data(), 50000));
    wait_until_stalled(recv_bytes_left);
    EXPECT_TRUE(sends_without_delay(pair.server));
    close_socket(pair.client);
    task.join();
    expect_engine_at_rest();
}

TEST_F(ReceiveTask, StalledSenderFailsAfterTheIdleLimit) {
    idle_limit_ms = 300;
    greeting_limit_ms = 300;
    const std::string wire = wire_bytes(55, with_zero("slow.bin"), pattern_bytes(50000));
    struct Row { const char* label; std::size_t sent; };
    const Row rows[] = {{"in the header", 14}, {"in the data", 30000}, {"before the mark", wire.size() - 13}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        auto start = std::chrono::steady_clock::now();
        // The peer keeps the connection open and waits for a reply.
        ReceiveOutcome out = receive_from_peer(wire.substr(0, row.sent), 0, PeerEnd::await_reply);
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(out.reply, "");
        EXPECT_GE(took, std::chrono::milliseconds(250));
        EXPECT_LT(took, std::chrono::seconds(5));
        EXPECT_TRUE(entries_of(dir).empty());
        expect_engine_at_rest();
    }
}

// A peer that sends its header a byte at a time, each well within the idle
// limit, is closed once the greeting's time is up.
TEST_F(ReceiveTask, TricklingHeaderEndsWithTheGreetingLimit) {
    idle_limit_ms = 2000;
    greeting_limit_ms = 600;
    const std::string wire = wire_bytes(55, with_zero("slow.bin"), "data");
    SocketPair pair = connected_pair();
    receive_slots[1] = pair.server;
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        send_without_delay(pair.client);
        for (std::size_t at = 0; at < wire.size() && !done.load(); ++at) {
            if (!send_all(pair.client, wire.data() + at, 1)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    auto start = std::chrono::steady_clock::now();
    receive_connection(receive_slots[1]);
    auto took = std::chrono::steady_clock::now() - start;
    done = true;
    trickle.join();
    close_socket(pair.client);
    EXPECT_GE(took, std::chrono::milliseconds(500));
    EXPECT_LT(took, std::chrono::milliseconds(1500));
    EXPECT_TRUE(entries_of(dir).empty());
    expect_engine_at_rest();
}

TEST_F(ReceiveTask, ProgressAsksForRepaintsWhileDataArrives) {
    std::int64_t before = repaint_count();
    // Pieces that trickle in, so that each receive takes only a few.
    EXPECT_EQ(receive_from_peer(wire_bytes(40, with_zero("p.bin"), pattern_bytes(20000)), 60).reply, ACK);
    // Going from 100 down to 0 in even steps, then back to 0 of nothing.
    EXPECT_GE(repaint_count() - before, 10);
}

}  // namespace
