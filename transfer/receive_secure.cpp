// The receiving side of the secure format, after its magic.
#include <cstdlib>
#include <cstring>

#include "app/state.h"
#include "transfer/engine.h"
#include "transfer/receipt.h"
#include "transfer/wire.h"

namespace {

// Far beyond any file system's files, and small enough that the sizes of
// all receive slots together can't wrap the 64-bit progress counters.
constexpr std::uint64_t LARGEST_FILE = std::uint64_t{1} << 56;

// The header: the size as 8 bytes, then 1 to 255 bytes of name.
bool receive_secure_header(Receipt& r, SecureChannel& channel, unsigned char* buffer) {
    std::int32_t got = secure_receive(channel, buffer);
    if (got < static_cast<std::int32_t>(SECURE_SIZE_FIELD + 1) ||
        got > static_cast<std::int32_t>(SECURE_SIZE_FIELD + SECURE_MAX_NAME))
        return false;
    std::size_t name_length = static_cast<std::size_t>(got) - SECURE_SIZE_FIELD;
    char* name = static_cast<char*>(std::malloc(name_length + 1));
    if (!name) return false;
    std::memcpy(name, buffer + SECURE_SIZE_FIELD, name_length);
    name[name_length] = '\0';
    // A zero byte would end the name early, and the file be stored under
    // another name than the one sent.
    if (!take_name(r, name) || std::strlen(name) != name_length) return false;
    std::uint64_t size = get_u64(buffer);
    if (size > LARGEST_FILE) return false;
    announce_size(r, size);
    return true;
}

}  // namespace

bool receive_secure(Receipt& r, SecureChannel& channel, unsigned char* buffer) {
    if (!secure_accept(r.socket, group_key, channel) || !receive_secure_header(r, channel, buffer) ||
        !create_temp_file(r))
        return false;
    // Data messages add up to the size exactly; one that overruns it fails.
    while (r.file_left != 0) {
        if (abort_receive.load()) return false;
        std::int32_t got = secure_receive(channel, buffer);
        if (got <= 0 || static_cast<std::uint64_t>(got) > r.file_left) return false;
        if (!store_piece(r, buffer, static_cast<std::size_t>(got))) return false;
    }
    if (abort_receive.load()) return false;
    std::int32_t got = secure_receive(channel, buffer);
    if (got != CLOSING_MARK_SIZE || std::memcmp(buffer, CLOSING_MARK, CLOSING_MARK_SIZE) != 0) return false;
    return place_file(r);
}

bool acknowledge_secure(SecureChannel& channel) {
    unsigned char frame[CLOSING_MARK_SIZE + SECURE_FRAME_ROOM];
    std::memcpy(frame + SECURE_LENGTH_SIZE, CLOSING_MARK, CLOSING_MARK_SIZE);
    return secure_send(channel, frame, CLOSING_MARK_SIZE);
}
