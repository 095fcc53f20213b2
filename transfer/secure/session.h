// The messages of a secure session. The first plaintext byte is the type:
// from the sender F (a file: size, flags, the tag of a resumable file, its
// time, name), S (the resumable file goes from its start), D (data), E (the
// file is complete) and Q (no more files); from the receiver A (file n is
// in place), R (file n was refused or could not be stored, and why) and O
// (how much of resumable file n it holds already, and the hash of it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "text/text.h"
#include "transfer/secure/file_tag.h"
#include "transfer/secure/secure_channel.h"

constexpr unsigned char MESSAGE_FILE = 'F';
constexpr unsigned char MESSAGE_DATA = 'D';
constexpr unsigned char MESSAGE_END = 'E';
constexpr unsigned char MESSAGE_QUIT = 'Q';
constexpr unsigned char MESSAGE_ACCEPTED = 'A';
constexpr unsigned char MESSAGE_REFUSED = 'R';
constexpr unsigned char MESSAGE_OFFSET = 'O';
constexpr unsigned char MESSAGE_FROM_START = 'S';

// F's flags: the file may go on where an earlier connection left it (a tag
// follows); its last write time follows (nanoseconds since 1970, signed).
constexpr unsigned char FLAG_RESUMABLE = 1;
constexpr unsigned char FLAG_TIME = 2;
constexpr unsigned char KNOWN_FLAGS = FLAG_RESUMABLE | FLAG_TIME;

// R's reasons. A sender takes one it does not know as REFUSED_OTHER.
enum RefusalReason : unsigned char {
    REFUSED_OTHER = 0,
    REFUSED_NAME = 1,
    REFUSED_NOT_STORED = 2,  // create, write, flush or rename failed
    REFUSED_ABORTED = 3,     // "abort receive", also while the name stays refused
};

constexpr std::size_t SECURE_SIZE_FIELD = 8;
constexpr std::size_t SECURE_TIME_FIELD = 8;
constexpr std::size_t SECURE_MAX_NAME = 255;
// F: type, size, flags, then the tag when resumable, then the name.
constexpr std::size_t FILE_MESSAGE_HEAD = 1 + SECURE_SIZE_FIELD + 1;
// A: type and a 4-byte file number; R adds the reason byte.
constexpr std::size_t REPLY_SIZE = 5;
constexpr std::size_t REFUSAL_SIZE = REPLY_SIZE + 1;
// O: type, file number and an 8-byte offset; above offset 0, the hash of
// the part's first offset bytes follows.
constexpr std::size_t OFFSET_REPLY_SIZE = REPLY_SIZE + 8;
constexpr std::size_t PROVEN_OFFSET_REPLY_SIZE = OFFSET_REPLY_SIZE + PART_PROOF_SIZE;
constexpr std::size_t DATA_PER_MESSAGE = SECURE_MAX_PLAINTEXT - 1;
// Files a sender has sent and not yet seen acknowledged, at most.
constexpr std::uint32_t MAX_UNACKNOWLEDGED = 64;
// Files this large go resumable from the start: beside their data, the
// wait for the receiver's offset costs nothing.
constexpr std::uint64_t RESUMABLE_SIZE = 16 << 20;
// After a connection is lost, it is made again this often, after 1, 2, 4,
// ... seconds.
constexpr std::int32_t RECONNECT_TRIES = 5;
// Complete files a receiver puts in place together, at most.
constexpr std::uint32_t GROUP_CAPACITY = 16;

// A file sent and not yet acknowledged: what it takes to send it again on
// another connection.
struct PendingFile {
    std::string path;
    std::string wire_name;
    Text display_name;
    std::uint64_t size = 0;  // when it was last sent
    std::uint64_t left = 0;  // of it still counted as not sent, while the sender tries again
};

// The sender's side of one batch's connection, and of the ones that
// replace it when it is lost.
struct SendSession {
    SecureChannel channel;
    bool open = false;
    bool connect_failed = false;
    bool interrupted = false;  // an abort shut the connection down
    // An R, a reply no receiver sends, or a file that can't be read:
    // trying again would not help.
    bool gave_up = false;
    bool shaken_hands = false; // a handshake succeeded once in this batch
    // Files numbered from 1 in the order of their F on this connection;
    // those not yet acknowledged, by number modulo MAX_UNACKNOWLEDGED.
    std::uint32_t files_sent = 0;
    std::uint32_t files_acknowledged = 0;
    PendingFile pending[MAX_UNACKNOWLEDGED];
    // The offset of the last resumable file, once its O came, and the hash
    // of the part's bytes up to there.
    bool offset_arrived = false;
    std::uint64_t offset = 0;
    unsigned char proof[PART_PROOF_SIZE] = {};
    // An R came, with this reason.
    bool refused = false;
    RefusalReason refusal = REFUSED_OTHER;
    // The replies since the connection was made showed progress: an A, or
    // an offset beyond the one before. Tries to connect again count from
    // the last progress.
    bool progressed = false;
    std::int32_t tries = 0;
    std::uint64_t best_offset = 0;
    // The file reported when the batch failed.
    Text failed_name;
};

// Tells the console what the sender does after a lost connection: the
// seconds until the next try, which try it is and how many there are.
using RetryObserver = void (*)(std::int32_t seconds, std::int32_t attempt, std::int32_t attempts);
void set_retry_observer(RetryObserver observer);
