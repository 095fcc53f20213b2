// Small text and number helpers shared by every subsystem.
#pragma once

#include <cstdint>

#include "text/text.h"

// Folds A..Z to a..z; every other byte stays as it is.
inline char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
// The same, in place over a whole text.
void lower_case(Text& text);

// Decimal digits of value, with a leading "-" when negative.
Text decimal_text(std::int32_t value);

// Collects the decimal digits of text, skipping every other character,
// into a number kept to 32 bits (arithmetic modulo 2^32).
std::uint32_t digits_value(const Text& text);

// A text for messages: the whole text when it has at most limit bytes, else
// its first limit bytes (whole characters only) followed by "...".
Text shortened_text(std::string_view text, std::size_t limit);
