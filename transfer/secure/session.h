// The two sides of a secure session: what the sender keeps of its batch,
// and the limits both sides hold to.
#pragma once

#include <cstdint>
#include <string>

#include "text/text.h"
#include "transfer/secure/messages.h"
#include "transfer/secure/secure_channel.h"
#include "transfer/send_failure.h"

// Files a sender has sent and not yet seen acknowledged, at most.
constexpr std::uint32_t MAX_UNACKNOWLEDGED = 64;
// Files this large go resumable: beside their data, the wait for the
// receiver's offset costs nothing.
constexpr std::uint64_t RESUMABLE_SIZE = 16 << 20;
// A lost connection is made again this often, after 1, 2, 4, ... seconds.
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

// Where the sender's connection is, named after the protocol's steps.
enum class SendStep {
    closed,           // none yet, or closed after it was lost
    shaking_hands,    // connected, the handshake under way
    sending,          // files go out, their replies are taken as they come
    awaiting_offset,  // a resumable file's F went out, its O is awaited
    lost,             // it ended before every file had its A: it may be made again
    failed,           // nothing more goes: failure tells why
};

// The sender's side of one batch's connection, and of the ones that
// replace it when it is lost.
struct SendSession {
    SecureChannel channel;
    SendStep step = SendStep::closed;
    Failure failure;            // once failed
    bool shaken_hands = false;  // a handshake succeeded once in this batch
    // Files numbered from 1 in the order of their F on this connection;
    // those not yet acknowledged, by number modulo MAX_UNACKNOWLEDGED.
    std::uint32_t files_sent = 0;
    std::uint32_t files_acknowledged = 0;
    PendingFile pending[MAX_UNACKNOWLEDGED];
    // The last resumable file's offset once its O came, and the hash of the
    // receiver's part up to there.
    std::uint64_t offset = 0;
    unsigned char proof[PART_PROOF_SIZE] = {};
    // An A, or an offset beyond the best before, came since the connection
    // was made: tries to connect again count from the last progress.
    bool progressed = false;
    std::int32_t tries = 0;
    std::uint64_t best_offset = 0;
    // The file reported when the batch failed.
    Text failed_name;
};

// Tells the console peer the seconds until the next try, which try it is
// and how many there are.
using RetryObserver = void (*)(std::int32_t seconds, std::int32_t attempt, std::int32_t attempts);
void set_retry_observer(RetryObserver observer);
