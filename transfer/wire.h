// The bytes of one transfer connection of the fixed format and the stream
// cipher that hides the name and the data; the field helpers both formats
// use.
#pragma once

#include <cstddef>
#include <cstdint>

#include "transfer/name_check.h"

constexpr char TRANSFER_MAGIC[] = "zeptrixv1.0";
constexpr std::int32_t TRANSFER_MAGIC_SIZE = 11;
constexpr char CLOSING_MARK[] = "zeptrix**ok**";
constexpr std::int32_t CLOSING_MARK_SIZE = 13;
// Tuned, not fixed by the format: the most data one file read, send or
// receive call moves, in both formats; the bytes on the wire do not depend
// on it.
constexpr std::int32_t BLOCK_SIZE = 256 * 1024;
// What one step moves of what is left: at most `most` bytes.
constexpr std::size_t up_to(std::uint64_t left, std::size_t most) {
    return left < most ? static_cast<std::size_t>(left) : most;
}
// Size of an unsigned 32-bit field on the wire, and so the largest file.
constexpr std::int32_t FIELD_SIZE = 4;
constexpr std::uint64_t LARGEST_FIXED_FILE = 0xFFFFFFFFull;
// The longest name field a receiver takes: a name and its terminating zero.
constexpr std::uint32_t MAX_NAME_FIELD = MAX_NAME_BYTES + 1;

// Unsigned 32-bit little-endian fields, written and read byte by byte.
void put_u32(unsigned char* out, std::uint32_t value);
std::uint32_t get_u32(const unsigned char* in);
// The same for 64 bits (the secure format's file size).
void put_u64(unsigned char* out, std::uint64_t value);
std::uint64_t get_u64(const unsigned char* in);

// XORs count bytes in place with the key stream and advances state past
// them. The stream: XOR with the low byte of the state, then rotate that
// byte left by one. The same call descrambles.
void scramble(void* buffer, std::size_t count, std::uint32_t& state);
