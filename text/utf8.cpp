#include "text/utf8.h"

bool is_valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t length;
        std::uint32_t lowest;
        if (c >= 0xC2 && c <= 0xDF) length = 2, lowest = 0x80;
        else if (c >= 0xE0 && c <= 0xEF) length = 3, lowest = 0x800;
        else if (c >= 0xF0 && c <= 0xF4) length = 4, lowest = 0x10000;
        else return false;  // a continuation byte, C0, C1 or F5 and above
        if (text.size() - i < length) return false;
        for (std::size_t k = 1; k < length; ++k)
            if (!is_utf8_continuation(static_cast<unsigned char>(text[i + k]))) return false;
        std::size_t at = i;
        std::uint32_t cp = next_code_point(text, at);
        if (cp < lowest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

bool has_high_byte(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) > 127) return true;
    return false;
}

std::uint32_t next_code_point(std::string_view text, std::size_t& i) {
    unsigned char c = static_cast<unsigned char>(text[i++]);
    if (c < 0x80) return c;
    std::size_t more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
    std::uint32_t cp = c & (0x3F >> more);
    for (; more > 0 && i < text.size(); --more) cp = (cp << 6) | (static_cast<unsigned char>(text[i++]) & 0x3F);
    return cp;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}
