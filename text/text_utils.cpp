#include "text/text_utils.h"

void lower_case(Text& text) {
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = ascii_lower(text[i]);
}

Text decimal_text(std::int32_t value) {
    // The magnitude is taken in 32-bit unsigned arithmetic, so -2147483648
    // has a magnitude that fits.
    std::uint32_t magnitude = value < 0 ? 0u - static_cast<std::uint32_t>(value)
                                        : static_cast<std::uint32_t>(value);
    char digits[12];
    std::size_t first = sizeof digits;
    do {
        digits[--first] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) digits[--first] = '-';
    return Text(std::string_view(digits + first, sizeof digits - first));
}

std::uint32_t digits_value(const Text& text) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= '0' && c <= '9') value = value * 10u + static_cast<std::uint32_t>(c - '0');
    }
    return value;
}

Text shortened_text(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return Text(text);
    Text shown(text.substr(0, utf8_prefix_length(text, limit)));
    shown.append("...");
    return shown;
}
