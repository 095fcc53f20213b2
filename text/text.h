// The program's string: at most 255 bytes of UTF-8, held inline. Every
// operation that would grow a text past 255 bytes cuts it there, before a
// whole character, never inside one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "text/utf8.h"

class Text {
public:
    static constexpr std::size_t CAPACITY = 255;
    // Platform calls get at most this many bytes plus a terminator.
    static constexpr std::size_t PLATFORM_CAPACITY = 254;

    Text() = default;
    Text(const char* zero_terminated) { append(zero_terminated); }
    Text(std::string_view chars) { append(chars); }

    std::size_t size() const { return length_; }
    bool empty() const { return length_ == 0; }
    const char* data() const { return chars_; }
    std::string_view view() const { return {chars_, length_}; }
    char operator[](std::size_t i) const { return chars_[i]; }
    char& operator[](std::size_t i) { return chars_[i]; }
    unsigned char byte(std::size_t i) const { return static_cast<unsigned char>(chars_[i]); }
    char back() const { return length_ ? chars_[length_ - 1] : '\0'; }

    Text& append(std::string_view chars) {
        std::size_t room = CAPACITY - length_;
        std::size_t n = utf8_prefix_length(chars, room);
        if (n) std::memcpy(chars_ + length_, chars.data(), n);
        length_ = static_cast<std::uint8_t>(length_ + n);
        chars_[length_] = '\0';
        return *this;
    }
    Text& append(const char* zero_terminated) {
        return zero_terminated ? append(std::string_view(zero_terminated)) : *this;
    }
    Text& append(const Text& other) { return append(other.view()); }
    Text& push_back(char c) { return append(std::string_view(&c, 1)); }
    Text& operator+=(std::string_view chars) { return append(chars); }
    Text& operator+=(const char* chars) { return append(chars); }
    Text& operator+=(const Text& other) { return append(other.view()); }
    Text& operator+=(char c) { return push_back(c); }

    // Keeps at most the first n bytes, whole characters only (no change when
    // n >= size).
    void truncate(std::size_t n) {
        if (n < length_) {
            n = utf8_prefix_length(view(), n);
            length_ = static_cast<std::uint8_t>(n);
            chars_[length_] = '\0';
        }
    }
    void clear() { truncate(0); }

    // Zero-terminated text for a platform call: at most 254 bytes, whole
    // characters only.
    struct Platform {
        char chars[PLATFORM_CAPACITY + 1];
        const char* c_str() const { return chars; }
    };
    Platform platform() const {
        Platform p;
        std::size_t n = utf8_prefix_length(view(), PLATFORM_CAPACITY);
        std::memcpy(p.chars, chars_, n);
        p.chars[n] = '\0';
        return p;
    }

    friend bool operator==(const Text& a, const Text& b) { return a.view() == b.view(); }
    friend bool operator==(const Text& a, std::string_view b) { return a.view() == b; }
    friend bool operator==(const Text& a, const char* b) { return a.view() == std::string_view(b); }
    friend Text operator+(Text a, std::string_view b) { return a.append(b); }
    friend Text operator+(Text a, const Text& b) { return a.append(b.view()); }
    friend Text operator+(Text a, const char* b) { return a.append(b); }

private:
    char chars_[CAPACITY + 1] = {};
    std::uint8_t length_ = 0;
};
