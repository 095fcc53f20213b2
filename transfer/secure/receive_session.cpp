// The receiving side of a secure session: the handshake, then the files in
// the order of their F, each acknowledged once it has its name.
#include <cstdlib>
#include <cstring>

#include "app/state.h"
#include "transfer/engine.h"
#include "transfer/name_check.h"
#include "transfer/receipt.h"
#include "transfer/secure/session.h"
#include "transfer/wire.h"

namespace {

// Far beyond any file system's files, and small enough that the sizes of
// all receive slots together can't wrap the 64-bit progress counters.
constexpr std::uint64_t LARGEST_FILE = std::uint64_t{1} << 56;

// What became of one file: in place; refused or not storable (the sender
// is told with R); or a fault of the stream, an abort or the end of the
// connection (it is closed at once).
enum class Outcome { stored, refused, broken };

// The next message, waiting for more bytes only once the replies queued so
// far are sent: they then go out together, in one call.
std::int32_t next_message(SecureChannel& channel, unsigned char*& message) {
    std::int32_t got = secure_receive(channel, message, false);
    if (got != 0) return got;
    if (!secure_flush(channel)) return -1;
    return secure_receive(channel, message, true);
}

// The F message: size, flags (none known yet), and a name of 1 to 255
// bytes that no zero byte cuts short.
Outcome take_file_message(Receipt& r, const unsigned char* message, std::int32_t size) {
    if (size < static_cast<std::int32_t>(FILE_MESSAGE_HEAD + 1) ||
        size > static_cast<std::int32_t>(FILE_MESSAGE_HEAD + SECURE_MAX_NAME))
        return Outcome::broken;
    std::size_t name_length = static_cast<std::size_t>(size) - FILE_MESSAGE_HEAD;
    char* name = static_cast<char*>(std::malloc(name_length + 1));
    if (!name) return Outcome::broken;
    std::memcpy(name, message + FILE_MESSAGE_HEAD, name_length);
    name[name_length] = '\0';
    // UTF-8 checked before take_name turns backslashes into this system's
    // separator.
    bool allowed = is_secure_name(std::string_view(name, name_length));
    if (!take_name(r, name) || std::strlen(name) != name_length || !allowed) return Outcome::refused;
    std::uint64_t file_size = get_u64(message + 1);
    unsigned char flags = message[1 + SECURE_SIZE_FIELD];
    if (flags != 0 || file_size > LARGEST_FILE) return Outcome::refused;
    announce_size(r, file_size);
    return create_temp_file(r) ? Outcome::stored : Outcome::refused;
}

// One file, from its F to its E, into its temporary file and then in place.
// Data beyond or short of the size, or any message but D or E, is a fault.
Outcome receive_one_file(Receipt& r, SecureChannel& channel, const unsigned char* file_message, std::int32_t size) {
    Outcome taken = take_file_message(r, file_message, size);
    if (taken != Outcome::stored) return taken;
    for (;;) {
        if (abort_receive.load()) return Outcome::broken;
        unsigned char* message = nullptr;
        std::int32_t got = next_message(channel, message);
        if (got <= 0) return Outcome::broken;
        if (message[0] == MESSAGE_END && got == 1) break;
        if (message[0] != MESSAGE_DATA || got == 1) return Outcome::broken;
        auto data = static_cast<std::uint64_t>(got - 1);
        if (data > r.file_left) return Outcome::broken;
        if (!store_piece(r, message + 1, static_cast<std::size_t>(data))) return Outcome::refused;
    }
    if (r.file_left != 0) return Outcome::broken;
    return place_file(r) ? Outcome::stored : Outcome::refused;
}

bool queue_reply(SecureChannel& channel, unsigned char type, std::uint32_t number) {
    unsigned char reply[REPLY_SIZE] = {type};
    put_u32(reply + 1, number);
    return secure_queue(channel, reply, REPLY_SIZE);
}

// After an R: the sending side is shut down, so that the R is not thrown
// away by a reset while the sender's data is still unread; what still comes
// is read and dropped until the sender closes or the idle limit passes.
void drain(SecureChannel& channel) {
    shutdown_sending(channel.socket);
    while (recv_some(channel.socket, channel.inbox, static_cast<std::int32_t>(SECURE_BLOCK_SIZE)) > 0) {
    }
}

}  // namespace

void receive_secure_session(SocketHandle socket, std::int64_t deadline, std::atomic<bool>& greeting) {
    SecureChannel channel;
    if (!secure_buffers(channel) || !secure_accept(socket, group_key, channel, deadline)) {
        secure_release(channel);
        return;
    }
    greeting.store(false);
    set_idle_limit(socket, idle_limit_ms.load());
    set_no_delay(socket);
    for (std::uint32_t number = 1;; ++number) {
        if (abort_receive.load()) break;
        unsigned char* message = nullptr;
        std::int32_t got = next_message(channel, message);
        if (got <= 0) break;
        if (message[0] == MESSAGE_QUIT && got == 1) {
            secure_flush(channel);
            break;
        }
        if (message[0] != MESSAGE_FILE) break;
        Receipt r;
        r.socket = socket;
        Outcome outcome = receive_one_file(r, channel, message, got);
        finish_receipt(r, outcome == Outcome::stored);
        if (outcome == Outcome::stored && queue_reply(channel, MESSAGE_ACCEPTED, number)) continue;
        if (outcome == Outcome::refused && queue_reply(channel, MESSAGE_REFUSED, number) && secure_flush(channel))
            drain(channel);
        break;
    }
    // Files in place are told so, even when the stream ended in a fault.
    secure_flush(channel);
    secure_release(channel);
}
