// The platform-independent half of the socket layer.
#include "net/socket.h"

#include <chrono>

#include "text/text_utils.h"

bool parse_address(const Text& text, IpAddress& address) {
    address = IpAddress{};
    std::size_t pos = 0;
    for (int octet = 0; octet < 4; ++octet) {
        std::uint32_t number = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            number = number * 10 + static_cast<std::uint32_t>(text[pos] - '0');
            ++pos;
            if (number > 255) return false;
        }
        if (octet < 3) {
            if (pos >= text.size() || text[pos] != '.') return false;
            ++pos;
        }
        address.octets[octet] = static_cast<std::uint8_t>(number);
    }
    return pos == text.size();
}

Text address_to_text(const IpAddress& address) {
    Text text;
    for (int octet = 0; octet < 4; ++octet) {
        if (octet) text += '.';
        text += decimal_text(address.octets[octet]);
    }
    return text;
}

bool recv_exact(SocketHandle socket, void* buffer, std::int32_t count) {
    auto* bytes = static_cast<char*>(buffer);
    std::int32_t done = 0;
    while (done < count) {
        std::int32_t got = recv_some(socket, bytes + done, count - done);
        if (got <= 0) return false;
        done += got;
    }
    return true;
}

std::int64_t monotonic_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool recv_exact_before(SocketHandle socket, void* buffer, std::int32_t count, std::int64_t deadline) {
    auto* bytes = static_cast<char*>(buffer);
    std::int32_t done = 0;
    while (done < count) {
        std::int64_t left = deadline - monotonic_ms();
        if (left <= 0 || !set_idle_limit(socket, static_cast<std::int32_t>(left))) return false;
        std::int32_t got = recv_some(socket, bytes + done, count - done);
        if (got <= 0) return false;
        done += got;
    }
    return true;
}
