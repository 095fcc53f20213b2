// The sending side of the secure format.
#include <cstring>

#include "app/state.h"
#include "transfer/engine.h"
#include "transfer/outgoing.h"
#include "transfer/secure_channel.h"
#include "transfer/wire.h"

namespace {

bool send_secure_header(Batch& b, Outgoing& f, SecureChannel& channel) {
    unsigned char* plaintext = b.frame + SECURE_LENGTH_SIZE;
    std::size_t name_size = f.name_length - 1;  // no terminator in this format
    put_u64(plaintext, f.file_total);
    std::memcpy(plaintext + SECURE_SIZE_FIELD, f.name, name_size);
    return secure_send(channel, b.frame, SECURE_SIZE_FIELD + name_size);
}

// Data in messages as large as the format allows; each is read straight
// into its frame and sealed in place.
bool send_secure_data(Batch& b, Outgoing& f, SecureChannel& channel) {
    while (f.file_left != 0) {
        if (abort_send.load()) return false;
        std::size_t want = f.file_left < SECURE_MAX_PLAINTEXT ? static_cast<std::size_t>(f.file_left)
                                                              : SECURE_MAX_PLAINTEXT;
        std::size_t got = std::fread(b.frame + SECURE_LENGTH_SIZE, 1, want, f.file);
        // A file that shrank since its size was taken ends here.
        if (got == 0) return false;
        f.file_left -= got;
        send_bytes_left.fetch_sub(got);
        bool sent = secure_send(channel, b.frame, got);
        update_progress(send_bytes_total, send_bytes_left, b.last_percent);
        if (!sent) return false;
    }
    return true;
}

}  // namespace

bool send_secure_transfer(Batch& b, Outgoing& f, SocketHandle socket) {
    if (!b.frame) return false;
    SecureChannel channel;
    bool ok = secure_connect(socket, group_key, channel) && send_secure_header(b, f, channel);
    update_progress(send_bytes_total, send_bytes_left, b.last_percent);
    ok = ok && send_secure_data(b, f, channel);
    if (ok) {
        std::memcpy(b.frame + SECURE_LENGTH_SIZE, CLOSING_MARK, CLOSING_MARK_SIZE);
        ok = secure_send(channel, b.frame, CLOSING_MARK_SIZE);
    }
    if (abort_send.load()) ok = false;
    if (ok) {
        std::int32_t got = secure_receive(channel, b.frame);
        ok = got == CLOSING_MARK_SIZE && std::memcmp(b.frame, CLOSING_MARK, CLOSING_MARK_SIZE) == 0;
    }
    noise_wipe(&channel.session, sizeof channel.session);
    return ok;
}
