// Receive failures that need POSIX facilities to bring about.
#include <signal.h>
#include <sys/resource.h>

#include "tests/engine_fixture.h"

namespace {

class ReceiveWriteFailure : public EngineTest {};

// A file size limit makes the write fail part-way, as a full disk would.
TEST_F(ReceiveWriteFailure, ShortWriteLeavesNothing) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit small = before;
    small.rlim_cur = 50000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    write_bytes(dir / "old.bin", "older");
    std::string wire = wire_bytes(71, std::string("old.bin") + std::string(1, '\0'), pattern_bytes(200000));
    ReceiveOutcome out = receive_from_peer(wire, 0, PeerEnd::await_reply);
    setrlimit(RLIMIT_FSIZE, &before);
    EXPECT_EQ(out.reply, "");
    EXPECT_EQ(entries_of(dir), std::vector<std::string>{"old.bin"});
    EXPECT_EQ(read_bytes(dir / "old.bin"), "older");
    expect_engine_at_rest();
}

class OpenFileLimit : public EngineTest {};

// A soft limit of a few hundred descriptors, common on desktop systems, is
// raised to what a hundred groups of open files and folders need.
TEST_F(OpenFileLimit, ASmallSoftLimitIsRaised) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 4000) GTEST_SKIP() << "the hard limit is too low";
    limit.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    allow_many_open_files();
    EXPECT_EQ(open_many_files(dir, 3800), 3800u);
}

class ReceiveThroughLinks : public EngineTest {};

// Links placed in the destination by someone else are never passed
// through: a folder that is a link refuses the transfer, and a file name
// that is a link is replaced as a name, never written through.
TEST_F(ReceiveThroughLinks, NothingIsWrittenThroughALink) {
    fs::path outside = fresh_dir("outside");
    write_bytes(outside / "target.txt", "outside");
    fs::create_directory_symlink(outside, dir / "linked");
    fs::create_symlink(outside / "target.txt", dir / "file-link");
    fs::create_directory(dir / "real");
    fs::create_directory_symlink(outside, dir / "real" / "inner");
    const char* through[] = {"linked\\new.txt", "linked\\sub\\new.txt", "real\\inner\\new.txt",
                             "file-link\\x.txt"};
    for (const char* name : through) {
        SCOPED_TRACE(name);
        EXPECT_EQ(receive_from_peer(wire_bytes(5, name + std::string(1, '\0'), "evil")).reply, "");
        expect_engine_at_rest();
    }
    EXPECT_EQ(entries_of(outside), std::vector<std::string>{"target.txt"});
    EXPECT_EQ(entries_of(dir / "real"), std::vector<std::string>{"inner"});

    EXPECT_EQ(receive_from_peer(wire_bytes(5, std::string("file-link") + '\0', "mine")).reply, CLOSING_MARK);
    EXPECT_EQ(read_bytes(outside / "target.txt"), "outside");
    EXPECT_FALSE(fs::is_symlink(dir / "file-link"));
    EXPECT_EQ(read_bytes(dir / "file-link"), "mine");
    fs::remove_all(outside);
}

}  // namespace
