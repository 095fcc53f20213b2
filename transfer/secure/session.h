// The messages of a secure session. The first plaintext byte is the type:
// from the sender F (a file: size, flags, name), D (data), E (the file is
// complete) and Q (no more files); from the receiver A (file n is in place)
// and R (file n was refused or could not be stored).
#pragma once

#include <cstddef>
#include <cstdint>

#include "text/text.h"
#include "transfer/secure/secure_channel.h"

constexpr unsigned char MESSAGE_FILE = 'F';
constexpr unsigned char MESSAGE_DATA = 'D';
constexpr unsigned char MESSAGE_END = 'E';
constexpr unsigned char MESSAGE_QUIT = 'Q';
constexpr unsigned char MESSAGE_ACCEPTED = 'A';
constexpr unsigned char MESSAGE_REFUSED = 'R';

constexpr std::size_t SECURE_SIZE_FIELD = 8;
constexpr std::size_t SECURE_MAX_NAME = 255;
// F: type, size, flags, then the name.
constexpr std::size_t FILE_MESSAGE_HEAD = 1 + SECURE_SIZE_FIELD + 1;
// A and R: type and a 4-byte file number.
constexpr std::size_t REPLY_SIZE = 5;
constexpr std::size_t DATA_PER_MESSAGE = SECURE_MAX_PLAINTEXT - 1;
// Files a sender has sent and not yet seen acknowledged, at most.
constexpr std::uint32_t MAX_UNACKNOWLEDGED = 64;

// The sender's side of one batch's connection.
struct SendSession {
    SecureChannel channel;
    bool open = false;
    bool connect_failed = false;
    bool interrupted = false;  // an abort shut the connection down
    // Files numbered from 1 in the order of their F; the names of those
    // not yet acknowledged, by number modulo MAX_UNACKNOWLEDGED.
    std::uint32_t files_sent = 0;
    std::uint32_t files_acknowledged = 0;
    Text names[MAX_UNACKNOWLEDGED];
    // The file reported when the batch failed.
    Text failed_name;
};
