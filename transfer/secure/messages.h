// Every message of a secure session, each one's encoding beside its
// decoding. The first plaintext byte is the type: from the sender F (a
// file), S (the resumable file goes from its start), D (data), E (the file
// is complete) and Q (no more files); from the receiver A (file n is in
// place), R (file n was refused or could not be stored, and why) and O (how
// much of resumable file n it holds, and the hash of that). Decoders read a
// span of bytes and fail on a message too short or too long for its type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "transfer/secure/file_tag.h"
#include "transfer/secure/secure_wire.h"

using ByteSpan = std::span<const unsigned char>;

// F: size, flags, the tag when resumable, the time when flagged, the name.
struct FileMessage {
    std::uint64_t size = 0;
    unsigned char flags = 0;  // as they came: unknown bits are the reader's to refuse
    const unsigned char* tag = nullptr;  // FILE_TAG_SIZE bytes, when resumable
    std::int64_t time_ns = 0;            // when flags hold FLAG_TIME
    std::string_view name;               // 1 to MAX_NAME_BYTES bytes
    bool resumable() const { return (flags & FLAG_RESUMABLE) != 0; }
    bool timed() const { return (flags & FLAG_TIME) != 0; }
};
std::size_t file_message_size(const FileMessage& m);
// Writes the message at out, which has file_message_size bytes of room.
void encode_file(const FileMessage& m, unsigned char* out);
// Views into in; false when in is no F of a name of 1 to MAX_NAME_BYTES bytes.
bool decode_file(ByteSpan in, FileMessage& m);

// D: the data behind the type byte, at least one byte of it.
bool decode_data(ByteSpan in, ByteSpan& data);
// E, Q and S: the type byte alone.
bool is_message(ByteSpan in, unsigned char type);

// The receiver's replies: A, R (with its reason) and O (with the offset,
// and above 0 the proof of PART_PROOF_SIZE bytes).
struct Reply {
    unsigned char type = 0;  // MESSAGE_ACCEPTED, MESSAGE_REFUSED or MESSAGE_OFFSET
    std::uint32_t number = 0;
    RefusalReason reason = REFUSED_OTHER;  // one not known reads as REFUSED_OTHER
    std::uint64_t offset = 0;
    const unsigned char* proof = nullptr;
};
constexpr std::size_t ACCEPTED_SIZE = 1 + NUMBER_FIELD;
constexpr std::size_t REFUSED_SIZE = ACCEPTED_SIZE + 1;
constexpr std::size_t OFFSET_SIZE = ACCEPTED_SIZE + SIZE_FIELD;
constexpr std::size_t PROVEN_OFFSET_SIZE = OFFSET_SIZE + PART_PROOF_SIZE;
constexpr std::size_t LONGEST_REPLY = PROVEN_OFFSET_SIZE;
// Writes the reply into out (LONGEST_REPLY bytes) and returns its size.
std::size_t encode_reply(const Reply& reply, unsigned char* out);
// False for anything but an A, R or O of its exact size.
bool decode_reply(ByteSpan in, Reply& reply);
