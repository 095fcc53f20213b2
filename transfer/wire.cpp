#include "transfer/wire.h"

#include <cstring>

void put_u32(unsigned char* out, std::uint32_t value) {
    out[0] = static_cast<unsigned char>(value);
    out[1] = static_cast<unsigned char>(value >> 8);
    out[2] = static_cast<unsigned char>(value >> 16);
    out[3] = static_cast<unsigned char>(value >> 24);
}

std::uint32_t get_u32(const unsigned char* in) {
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
           static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

void put_u64(unsigned char* out, std::uint64_t value) {
    put_u32(out, static_cast<std::uint32_t>(value));
    put_u32(out + 4, static_cast<std::uint32_t>(value >> 32));
}

std::uint64_t get_u64(const unsigned char* in) {
    return static_cast<std::uint64_t>(get_u32(in)) | static_cast<std::uint64_t>(get_u32(in + 4)) << 32;
}

namespace {

std::uint8_t rotate_left(std::uint8_t value, unsigned bits) {
    bits &= 7;
    return static_cast<std::uint8_t>((value << bits) | (value >> ((8 - bits) & 7)));
}

// The eight key-stream bytes that start from state s, as one little-endian
// word: byte i of the word is s rotated left by i.
std::uint64_t key_word(std::uint8_t s) {
    std::uint64_t word = 0;
    for (unsigned i = 0; i < 8; ++i) word |= static_cast<std::uint64_t>(rotate_left(s, i)) << (8 * i);
    return word;
}

}  // namespace

void scramble(void* buffer, std::size_t count, std::uint32_t& state) {
    if (count == 0) return;
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::uint8_t s = static_cast<std::uint8_t>(state);
    // The key stream repeats every eight bytes, so whole words share one
    // mask and the state only needs advancing by the count at the end.
    const std::uint64_t mask = key_word(s);
    std::size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        std::uint64_t w[4];
        std::memcpy(w, bytes + i, 32);
        for (std::uint64_t& word : w) word ^= mask;
        std::memcpy(bytes + i, w, 32);
    }
    for (; i + 8 <= count; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, bytes + i, 8);
        w ^= mask;
        std::memcpy(bytes + i, &w, 8);
    }
    for (unsigned k = 0; i < count; ++i, ++k) bytes[i] ^= rotate_left(s, k);
    state = rotate_left(s, static_cast<unsigned>(count & 7));
}
