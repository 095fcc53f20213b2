// The send task against a receiving peer on a real loopback connection.
#include "tests/fake_receiver.h"

namespace {

class SendTask : public EngineTest {
protected:
    void aim_at(std::int32_t port) {
        current_destination.address = localhost();
        current_destination.port = port;
    }
    // Runs one batch on this thread, as its send task would.
    void send_paths(const std::vector<fs::path>& paths) {
        std::vector<std::string> texts;
        for (const auto& p : paths) texts.push_back(p.string());
        fill_send_slot(7, make_drop(texts));
        send_batch(send_slots[7]);
        EXPECT_EQ(open_drop_count(), 0);
    }
    fs::path file(const std::string& name, const std::string& bytes) {
        write_bytes(dir / name, bytes);
        return dir / name;
    }
    std::string peer_text(std::int32_t port) { return std::string("127.0.0.1:") + std::to_string(port); }
    // A port on which nothing listens.
    std::int32_t refusing_port() {
        Loopback l = open_listener();
        close_socket(l.listening);
        return l.port;
    }
};

TEST_F(SendTask, SendsEveryFileOfTheBatchInOrder) {
    struct Row { const char* label; std::size_t size; };
    const Row rows[] = {{"empty", 0}, {"one byte", 1}, {"one chunk", 8193},
                        {"one chunk and a byte", 8194}, {"several MiB", 5 * 1024 * 1024 + 3}};
    std::vector<fs::path> paths;
    std::vector<std::string> contents;
    for (const auto& row : rows) {
        contents.push_back(pattern_bytes(row.size, static_cast<std::uint32_t>(paths.size() + 5)));
        paths.push_back(file(std::string(row.label) + ".bin", contents.back()));
    }
    FakeReceiver peer;
    aim_at(peer.port());
    send_paths(paths);
    auto got = peer.stop();
    ASSERT_EQ(got.size(), std::size(rows));
    for (std::size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(rows[i].label);
        EXPECT_TRUE(got[i].whole);
        EXPECT_EQ(got[i].name, std::string(rows[i].label) + ".bin");
        EXPECT_EQ(got[i].size, rows[i].size);
        EXPECT_EQ(got[i].data, contents[i]);
        EXPECT_EQ(got[i].mark, CLOSING_MARK);
        EXPECT_GE(got[i].key, 32u);
        EXPECT_LE(got[i].key, 255u);
    }
    EXPECT_TRUE(message_texts().empty());
    expect_engine_at_rest();
}

TEST_F(SendTask, NameIsWhatFollowsTheLastSeparator) {
    fs::create_directories(dir / "deep" / "er");
    write_bytes(dir / "deep" / "er" / "inner.txt", "in");
    std::vector<fs::path> paths = {dir / "deep" / "er" / "inner.txt"};
#ifndef _WIN32
    // Only "/" separates here. A backslash inside a name would arrive as a
    // folder, so such a file is skipped as unreadable.
    paths.push_back(file("back\\slash.txt", "bs"));
#endif
    FakeReceiver peer;
    aim_at(peer.port());
    send_paths(paths);
    auto got = peer.stop();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].name, "inner.txt");
#ifndef _WIN32
    EXPECT_EQ(message_texts(), std::vector<std::string>{"error reading back\\slash.txt"});
#endif
}

TEST_F(SendTask, MessagesOfTheThreeFailures) {
    const std::int32_t refused = refusing_port();
    FakeReceiver wrong(Answer::wrong_ack);
    struct Row {
        const char* label;
        std::vector<std::string> names;  // files that exist are made below
        std::int32_t port;
        std::string message;
    };
    const Row rows[] = {
        {"unreadable file", {"missing.txt"}, refused, "error reading missing.txt"},
        {"refused connection", {"here.txt"}, refused,
         std::string("connecting to ") + peer_text(refused) + " failed!"},
        {"failed transfer", {"here.txt"}, wrong.port(),
         std::string("send of here.txt to ") + peer_text(wrong.port()) + " failed!"},
    };
    file("here.txt", "present");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        forget_messages();
        aim_at(row.port);
        std::vector<fs::path> paths;
        for (const auto& n : row.names) paths.push_back(dir / n);
        send_paths(paths);
        auto seen = messages_seen();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].text, row.message);
        EXPECT_EQ(seen[0].caption, "Zeptrix");
        EXPECT_EQ(seen[0].letters, "os");
        expect_engine_at_rest();
    }
}

TEST_F(SendTask, BatchGoesOnAfterAnUnreadableFile) {
    FakeReceiver peer;
    aim_at(peer.port());
    send_paths({file("first.txt", "1st"), dir / "absent.txt", file("third.txt", "3rd")});
    auto got = peer.stop();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].name, "first.txt");
    EXPECT_EQ(got[1].name, "third.txt");
    EXPECT_EQ(got[1].data, "3rd");
    EXPECT_EQ(message_texts(), std::vector<std::string>{"error reading absent.txt"});
}

// The batch goes where the destination pointed when it was dropped, even if
// another destination is chosen before its task runs.
TEST_F(SendTask, BatchKeepsTheDestinationOfItsDrop) {
    FakeReceiver peer;
    aim_at(peer.port());
    fill_send_slot(7, make_drop({file("kept.txt", "k").string()}));
    aim_at(refusing_port());
    send_batch(send_slots[7]);
    auto got = peer.stop();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].name, "kept.txt");
    EXPECT_TRUE(message_texts().empty());
    expect_engine_at_rest();
}

TEST_F(SendTask, BatchEndsAfterARefusedConnection) {
    std::int32_t port = refusing_port();
    aim_at(port);
    send_paths({file("a.txt", "a"), file("b.txt", "b")});
    EXPECT_EQ(message_texts(), std::vector<std::string>{std::string("connecting to ") + peer_text(port) + " failed!"});
    expect_engine_at_rest();
}

TEST_F(SendTask, BatchEndsAfterAFailedTransfer) {
    FakeReceiver peer(Answer::hang_up);
    aim_at(peer.port());
    send_paths({file("a.txt", "a"), file("b.txt", "b")});
    EXPECT_EQ(peer.stop().size(), 1u);
    EXPECT_EQ(message_texts(),
              std::vector<std::string>{std::string("send of a.txt to ") + peer_text(peer.port()) + " failed!"});
}

TEST_F(SendTask, NoConnectMessageWhileAbortIsSet) {
    aim_at(refusing_port());
    abort_send = true;
    send_paths({file("a.txt", "a")});
    EXPECT_TRUE(message_texts().empty());
    // An unreadable file is still reported, and the abort ends the batch.
    abort_send = true;
    send_paths({dir / "gone.txt", file("b.txt", "b")});
    EXPECT_EQ(message_texts(), std::vector<std::string>{"error reading gone.txt"});
    expect_engine_at_rest();
}

TEST_F(SendTask, AbortDuringTheDataEndsTheBatchSilently) {
    FakeReceiver peer;
    peer.on_header = [] { abort_send = true; };
    aim_at(peer.port());
    send_paths({file("big.bin", pattern_bytes(32 * 1024 * 1024)), file("small.txt", "s")});
    auto got = peer.stop();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_FALSE(got[0].whole);
    EXPECT_TRUE(message_texts().empty());
    expect_engine_at_rest();
}

TEST_F(SendTask, FileThatShrinksAfterOpeningFails) {
    fs::path big = file("shrinks.bin", pattern_bytes(16 * 1024 * 1024));
    FakeReceiver peer;
    // The sender has opened the file and taken its size before connecting.
    peer.on_accept = [&] { fs::resize_file(big, 10000); };
    aim_at(peer.port());
    send_paths({big, file("next.txt", "n")});
    auto got = peer.stop();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_FALSE(got[0].whole);
    EXPECT_EQ(message_texts(),
              std::vector<std::string>{std::string("send of shrinks.bin to ") + peer_text(peer.port()) + " failed!"});
    expect_engine_at_rest();
}

TEST_F(SendTask, DisplayNamesAreCutAfter150Characters) {
    struct Row { const char* label; std::size_t length; std::string shown; };
    const Row rows[] = {
        {"149", 149, std::string(145, 'd') + ".txt"},
        {"150 shown whole", 150, std::string(146, 'd') + ".txt"},
        {"151 cut with dots", 151, std::string(147, 'd') + ".tx..."},
        {"200 cut with dots", 200, std::string(150, 'd') + "..."},
    };
    aim_at(refusing_port());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        forget_messages();
        std::string name = row.length >= 4 && row.length <= 151 ? std::string(row.length - 4, 'd') + ".txt"
                                                                : std::string(row.length, 'd');
        send_paths({dir / name});
        EXPECT_EQ(message_texts(), std::vector<std::string>{std::string("error reading ") + row.shown});
    }
}

TEST_F(SendTask, AcknowledgementWrongOrMissingFails) {
    idle_limit_ms = 300;
    struct Row { const char* label; Answer answer; };
    const Row rows[] = {
        {"capital letters", Answer::wrong_ack},
        {"one byte short", Answer::short_ack},
        {"connection closed", Answer::hang_up},
        {"nothing within the idle limit", Answer::stay_silent},
    };
    file("x.bin", pattern_bytes(20000));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        forget_messages();
        FakeReceiver peer(row.answer);
        aim_at(peer.port());
        auto start = std::chrono::steady_clock::now();
        send_paths({dir / "x.bin", dir / "x.bin"});
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        auto got = peer.stop();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_TRUE(got[0].whole);
        EXPECT_EQ(message_texts(),
                  std::vector<std::string>{std::string("send of x.bin to ") + peer_text(peer.port()) + " failed!"});
        expect_engine_at_rest();
    }
}

TEST_F(SendTask, PeerThatTakesNoDataFailsAfterTheIdleLimit) {
    idle_limit_ms = 300;
    fs::path big = dir / "stuck.bin";
    write_bytes(big, "");
    fs::resize_file(big, 96u * 1024 * 1024);
    FakeReceiver peer(Answer::never_read);
    aim_at(peer.port());
    auto start = std::chrono::steady_clock::now();
    send_paths({big});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    peer.stop();
    EXPECT_EQ(message_texts(),
              std::vector<std::string>{std::string("send of stuck.bin to ") + peer_text(peer.port()) + " failed!"});
    expect_engine_at_rest();
}

TEST_F(SendTask, FileOf4GiBIsRefusedAndTheBatchGoesOn) {
    fs::path huge = dir / "huge.bin";
    write_bytes(huge, "");
    fs::resize_file(huge, 4ull * 1024 * 1024 * 1024);
    FakeReceiver peer;
    aim_at(peer.port());
    send_paths({huge, file("after.txt", "after")});
    auto got = peer.stop();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].name, "after.txt");
    EXPECT_EQ(message_texts(), std::vector<std::string>{"error reading huge.bin"});
    fs::remove(huge);
}

TEST_F(SendTask, KeysStayWithin32To255) {
    FakeReceiver peer;
    aim_at(peer.port());
    std::vector<fs::path> paths(40, file("k.txt", "key"));
    send_paths(paths);
    auto got = peer.stop();
    ASSERT_EQ(got.size(), 40u);
    for (const auto& r : got) {
        EXPECT_GE(r.key, 32u);
        EXPECT_LE(r.key, 255u);
        EXPECT_EQ(r.data, "key");
    }
}

// A folder among dropped files: every regular file below it, in the byte
// order of its path, named folder\\path on the wire, between the files
// dropped beside it. Empty folders can't be carried.
TEST_F(SendTask, FolderSendsItsFilesInByteOrder) {
    fs::path tree = dir / "photos";
    fs::create_directories(tree / "2026" / "june");
    fs::create_directories(tree / "empty");
    fs::create_directories(tree / "a b");
    write_bytes(tree / "2026" / "june" / "z.jpg", "z");
    write_bytes(tree / "2026" / "a.jpg", pattern_bytes(8193, 3));
    write_bytes(tree / "a b" / "c.txt", "c");
    write_bytes(tree / "B.txt", "");
    write_bytes(tree / "a.txt", pattern_bytes(20000, 4));
    fs::path before = file("before.txt", "first");
    fs::path after = file("after.txt", "last");
    FakeReceiver peer;
    aim_at(peer.port());
    send_paths({before, tree, after});
    auto got = peer.stop();
    std::vector<std::string> names;
    for (const auto& r : got) names.push_back(r.name);
    EXPECT_EQ(names, (std::vector<std::string>{"before.txt", "photos\\2026\\a.jpg", "photos\\2026\\june\\z.jpg",
                                               "photos\\B.txt", "photos\\a b\\c.txt", "photos\\a.txt",
                                               "after.txt"}));
    ASSERT_EQ(got.size(), 7u);
    EXPECT_EQ(got[1].data, pattern_bytes(8193, 3));
    EXPECT_EQ(got[5].data, pattern_bytes(20000, 4));
    EXPECT_TRUE(message_texts().empty());
    expect_engine_at_rest();
}

// Too long or too deep for the wire, or a name no receiver stores: skipped
// with "error reading" and the relative name, as an unreadable file is; the
// rest goes.
TEST_F(SendTask, FolderFilesBeyondTheLimitsAreSkipped) {
    fs::path tree = dir / "t";
    fs::path deep = tree;
    for (int i = 0; i < 31; ++i) deep /= "d";
    fs::create_directories(deep);
    write_bytes(deep.parent_path() / "ok.txt", "31 below t: 32 on the wire");
    write_bytes(deep / "deep.txt", "33 on the wire");
    std::string long_name(254, 'n');
    write_bytes(tree / long_name, "255 characters and more");
    write_bytes(tree / "fine.txt", "fine");
#ifndef _WIN32
    // Names this system allows and a receiver refuses.
    for (const char* name : {"aux.c", "notes.", "12:30.txt", ".zeptrix-1-1.part"}) write_bytes(tree / name, "x");
#endif
    FakeReceiver peer;
    aim_at(peer.port());
    send_paths({tree});
    auto got = peer.stop();
    std::string ok_name = "t";
    for (int i = 0; i < 30; ++i) ok_name.append("\\d");
    ok_name.append("\\ok.txt");
    std::vector<std::string> names;
    for (const auto& r : got) names.push_back(r.name);
    EXPECT_EQ(names, (std::vector<std::string>{ok_name, "t\\fine.txt"}));
    std::vector<std::string> texts = message_texts();
#ifndef _WIN32
    for (const char* name : {"aux.c", "notes.", "12:30.txt", ".zeptrix-1-1.part"}) {
        auto found = std::find(texts.begin(), texts.end(), std::string("error reading t\\") + name);
        EXPECT_NE(found, texts.end()) << name;
        if (found != texts.end()) texts.erase(found);
    }
#endif
    ASSERT_EQ(texts.size(), 2u);
    std::sort(texts.begin(), texts.end());
    std::string deep_dir = ok_name.substr(0, ok_name.size() - 7);
    deep_dir.append("\\d");
    EXPECT_EQ(texts[0], "error reading " + deep_dir);
    EXPECT_EQ(texts[1], "error reading t\\" + long_name.substr(0, 148) + "...");
    expect_engine_at_rest();
}

// A receiver that doesn't know names with folders refuses them without an
// acknowledgement: the sender says so with the relative name and the batch ends.
TEST_F(SendTask, ReceiverThatRefusesFoldersEndsTheBatch) {
    fs::create_directories(dir / "photos");
    write_bytes(dir / "photos" / "a.jpg", "a");
    write_bytes(dir / "photos" / "b.jpg", "b");
    FakeReceiver peer;
    peer.refuse_name_with('\\');
    aim_at(peer.port());
    send_paths({dir / "photos", file("after.txt", "x")});
    auto got = peer.stop();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].name, "photos\\a.jpg");
    EXPECT_EQ(message_texts(), std::vector<std::string>{"send of photos\\a.jpg to " + peer_text(peer.port()) +
                                                        " failed!"});
    expect_engine_at_rest();
}

// Sender and receiver both from the engine, bytes compared on disk.
TEST_F(SendTask, EngineToEngine) {
    fs::path out = fresh_dir("e2e-out");
    std::vector<std::size_t> sizes = {0, 1, 8193, 8194, 4 * 1024 * 1024 + 1};
    std::vector<fs::path> paths;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        // Built by append: i686 g++ 12 at -O3 warns falsely (-Wrestrict) on "e" + std::string.
        std::string name = "e";
        name.append(std::to_string(i)).append(".bin");
        paths.push_back(file(name, pattern_bytes(sizes[i], 40 + static_cast<std::uint32_t>(i))));
    }
    Loopback l = open_listener();
    aim_at(l.port);
    destination_dir = dir_text(out);
    std::thread receiver = receive_connections(l, sizes.size());
    send_paths(paths);
    receiver.join();
    close_socket(l.listening);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        SCOPED_TRACE(paths[i].filename().string());
        EXPECT_EQ(read_bytes(out / paths[i].filename()), read_bytes(paths[i]));
    }
    EXPECT_EQ(entries_of(out).size(), sizes.size());
    EXPECT_TRUE(message_texts().empty());
    expect_engine_at_rest();
    fs::remove_all(out);
}

}  // namespace
