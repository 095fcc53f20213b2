// UTF-8, the encoding of every text inside the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// True for a continuation byte, 10xxxxxx.
constexpr bool is_utf8_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The longest prefix of at most limit bytes that does not end inside a
// character: a cut that would fall after a lead byte and before the last of
// its continuation bytes moves back before that lead byte. Bytes that are
// not UTF-8 are cut where the limit falls.
inline std::size_t utf8_prefix_length(std::string_view text, std::size_t limit) {
    if (limit >= text.size()) return text.size();
    std::size_t n = limit;
    for (std::size_t back = 0; back < 4 && n > 0; ++back) {
        if (!is_utf8_continuation(static_cast<unsigned char>(text[n]))) return n;
        --n;
        unsigned char lead = static_cast<unsigned char>(text[n]);
        if (lead >= 0xC2 && lead <= 0xF4) return n;
        if (!is_utf8_continuation(lead)) return limit;
    }
    return limit;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF,
// no cut sequence.
bool is_valid_utf8(std::string_view text);

// True when some byte is above 127.
bool has_high_byte(std::string_view text);

// The code point starting at text[i], advancing i past it; for valid UTF-8
// only.
std::uint32_t next_code_point(std::string_view text, std::size_t& i);

// Appends the UTF-8 form of a code point (at most U+10FFFF, no surrogate).
void append_utf8(std::string& out, std::uint32_t code_point);
