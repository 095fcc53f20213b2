// What the secure format fixes on the wire: the magic, the framing, the
// message types, flags and reasons, and the fields' sizes. The values we
// tune (blocks, groups, tries) live beside the code that uses them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "transfer/name_check.h"
#include "transfer/secure/noise.h"

constexpr char SECURE_MAGIC[] = "zeptrixv2.2";
constexpr std::size_t SECURE_MAGIC_SIZE = sizeof SECURE_MAGIC - 1;
// Each sealed message behind its length, 2 bytes big-endian.
constexpr std::size_t SECURE_LENGTH_SIZE = 2;
constexpr std::size_t SECURE_MAX_MESSAGE = 65535;
constexpr std::size_t SECURE_MAX_PLAINTEXT = SECURE_MAX_MESSAGE - NOISE_TAG_SIZE;
// What a frame holds beside its plaintext: the length in front, the tag behind.
constexpr std::size_t SECURE_FRAME_ROOM = SECURE_LENGTH_SIZE + NOISE_TAG_SIZE;
constexpr std::size_t SECURE_MAX_FRAME = SECURE_LENGTH_SIZE + SECURE_MAX_MESSAGE;

constexpr unsigned char MESSAGE_FILE = 'F';
constexpr unsigned char MESSAGE_DATA = 'D';
constexpr unsigned char MESSAGE_END = 'E';
constexpr unsigned char MESSAGE_QUIT = 'Q';
constexpr unsigned char MESSAGE_FROM_START = 'S';
constexpr unsigned char MESSAGE_ACCEPTED = 'A';
constexpr unsigned char MESSAGE_REFUSED = 'R';
constexpr unsigned char MESSAGE_OFFSET = 'O';

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
constexpr unsigned char LAST_REASON = REFUSED_ABORTED;

// Fields: sizes and offsets 8 bytes, file numbers 4, all little-endian.
constexpr std::size_t SIZE_FIELD = 8;
constexpr std::size_t TIME_FIELD = 8;
constexpr std::size_t NUMBER_FIELD = 4;
// F before its optional fields: type, size, flags.
constexpr std::size_t FILE_MESSAGE_HEAD = 1 + SIZE_FIELD + 1;
// The data one D carries: a whole plaintext but its type byte.
constexpr std::size_t DATA_PER_MESSAGE = SECURE_MAX_PLAINTEXT - 1;
