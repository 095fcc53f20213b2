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

}  // namespace
