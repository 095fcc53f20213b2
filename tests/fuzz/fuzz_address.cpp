// parse_address against a plain model of dotted text: four runs of digits
// (an empty run is 0) joined by three dots, each at most 255, nothing left.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "net/socket.h"
#include "text/text.h"

namespace {

bool model_parse(std::string_view text, std::uint8_t octets[4]) {
    std::size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        std::uint64_t number = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            number = number * 10 + static_cast<std::uint64_t>(text[at] - '0');
            if (number > 255) return false;
            ++at;
        }
        octets[part] = static_cast<std::uint8_t>(number);
        if (part < 3) {
            if (at >= text.size() || text[at] != '.') return false;
            ++at;
        }
    }
    return at == text.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    Text text(input);  // the program's texts hold at most 255 characters
    IpAddress address;
    address.unused = 0x5A;
    for (auto& octet : address.octets) octet = 0xA5;
    bool parsed = parse_address(text, address);

    std::uint8_t expected[4] = {0, 0, 0, 0};
    bool model = model_parse(text.view(), expected);
    if (parsed != model) std::abort();
    if (parsed) {
        for (int i = 0; i < 4; ++i)
            if (address.octets[i] != expected[i]) std::abort();
        // Printing and parsing again gives the same address.
        IpAddress again;
        if (!parse_address(address_to_text(address), again) || !same_octets(address, again)) std::abort();
    }
    return 0;
}
