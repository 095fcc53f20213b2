// The sending side of a secure session: one connection for the whole batch,
// its files sent one after the other without waiting for each one's
// acknowledgement, which are taken as they come.
#include <cstring>

#include "app/state.h"
#include "transfer/engine.h"
#include "transfer/outgoing.h"
#include "transfer/secure/session.h"
#include "transfer/wire.h"

namespace {

// Data messages made from one read of the file.
constexpr std::size_t MESSAGES_PER_READ = SECURE_BLOCK_SIZE / DATA_PER_MESSAGE;
constexpr std::size_t EARLY_FLUSH = 64 * 1024;

Text& name_of(SendSession& s, std::uint32_t number) { return s.names[number % MAX_UNACKNOWLEDGED]; }

// Connects and shakes hands. The file about to go counts as the first
// without an acknowledgement, so a failed handshake reports it.
bool open_session(Batch& b, SendSession& s) {
    SocketHandle socket = INVALID_SOCKET_HANDLE;
    if (!connect_to(b.address, b.port, socket)) {
        s.connect_failed = true;
        return false;
    }
    s.open = true;
    s.channel.socket = socket;
    set_idle_limit(socket, idle_limit_ms.load());
    set_no_delay(socket);
    watch_transfer(*b.watch, socket);
    return secure_buffers(s.channel) && secure_connect(socket, group_key, s.channel);
}

// Takes one reply: 1 when it was the next file's A, 0 when none is there
// (without waiting), -1 on an R, the end of the connection or a message
// the receiver does not send.
std::int32_t take_reply(SendSession& s, bool wait) {
    unsigned char* message = nullptr;
    std::int32_t got = secure_receive(s.channel, message, wait);
    if (got == 0) return 0;
    if (got != static_cast<std::int32_t>(REPLY_SIZE) || message[0] != MESSAGE_ACCEPTED ||
        get_u32(message + 1) != s.files_acknowledged + 1 || s.files_acknowledged == s.files_sent)
        return -1;
    ++s.files_acknowledged;
    tell_delivered(name_of(s, s.files_acknowledged));
    return 1;
}

// The replies there are, and while the most files are unacknowledged,
// the next one after the queued messages are sent.
bool take_replies(SendSession& s) {
    std::int32_t taken;
    while ((taken = take_reply(s, false)) > 0) {
    }
    if (taken < 0) return false;
    while (s.files_sent - s.files_acknowledged >= MAX_UNACKNOWLEDGED)
        if (!secure_flush(s.channel) || take_reply(s, true) < 0) return false;
    return true;
}

bool queue_file_message(SendSession& s, const Outgoing& f) {
    std::size_t name_size = f.name_length - 1;  // no terminator in this format
    if (name_size == 0 || name_size > SECURE_MAX_NAME) return false;
    unsigned char* plaintext = secure_next_plaintext(s.channel, FILE_MESSAGE_HEAD + name_size);
    if (!plaintext) return false;
    plaintext[0] = MESSAGE_FILE;
    put_u64(plaintext + 1, f.file_total);
    plaintext[1 + SECURE_SIZE_FIELD] = 0;  // flags
    std::memcpy(plaintext + FILE_MESSAGE_HEAD, f.name, name_size);
    return secure_seal(s.channel, FILE_MESSAGE_HEAD + name_size);
}

// Up to MESSAGES_PER_READ data messages from one read of the file: the
// bytes land at the end of the outbox, and each piece moves forward into
// its frame, in front of the bytes still to move, and is sealed in place.
bool queue_data(Batch& b, SendSession& s, Outgoing& f) {
    SecureChannel& c = s.channel;
    std::size_t want = f.file_left < MESSAGES_PER_READ * DATA_PER_MESSAGE ? static_cast<std::size_t>(f.file_left)
                                                                          : MESSAGES_PER_READ * DATA_PER_MESSAGE;
    std::size_t pieces = (want + DATA_PER_MESSAGE - 1) / DATA_PER_MESSAGE;
    // A block's frames go out in one call with what waits before them.
    if (c.outbox_used + want + pieces * (SECURE_FRAME_ROOM + 1) > SECURE_BLOCK_SIZE && !secure_flush(c)) return false;
    unsigned char* read_into = c.outbox + SECURE_BUFFER_SIZE - want;
    std::size_t got = std::fread(read_into, 1, want, f.file);
    // A file that shrank since its size was taken ends here.
    if (got == 0) return false;
    for (std::size_t done = 0; done < got;) {
        std::size_t piece = got - done < DATA_PER_MESSAGE ? got - done : DATA_PER_MESSAGE;
        unsigned char* plaintext = secure_next_plaintext(c, piece + 1);
        if (!plaintext) return false;
        plaintext[0] = MESSAGE_DATA;
        std::memmove(plaintext + 1, read_into + done, piece);
        if (!secure_seal(c, piece + 1)) return false;
        done += piece;
    }
    f.file_left -= got;
    send_bytes_left.fetch_sub(got);
    update_progress(send_bytes_total, send_bytes_left, b.last_percent);
    return true;
}

void close_session(Batch& b, SendSession& s) {
    if (!s.open) return;
    s.interrupted = unwatch_transfer(*b.watch, s.channel.socket) || s.interrupted;
    close_socket(s.channel.socket);
    secure_release(s.channel);
    s.open = false;
}

// Ends a failed batch: the first file without an acknowledgement is the
// one to report.
bool fail(Batch& b, SendSession& s) {
    s.failed_name = name_of(s, s.files_acknowledged + 1);
    close_session(b, s);
    return false;
}

}  // namespace

bool secure_send_file(Batch& b, Outgoing& f) {
    SendSession& s = *b.session;
    name_of(s, s.files_sent + 1) = f.display_name;
    if (!s.open && !open_session(b, s)) return s.connect_failed ? false : fail(b, s);
    if (!queue_file_message(s, f)) return fail(b, s);
    ++s.files_sent;
    update_progress(send_bytes_total, send_bytes_left, b.last_percent);
    while (f.file_left != 0) {
        if (abort_send.load() || !queue_data(b, s, f) || !take_replies(s)) return fail(b, s);
    }
    unsigned char end = MESSAGE_END;
    if (!secure_queue(s.channel, &end, 1)) return fail(b, s);
    // Small files go out in groups of about EARLY_FLUSH bytes, so that the
    // receiver works on them while the next are read.
    if (s.channel.outbox_used >= EARLY_FLUSH && !secure_flush(s.channel)) return fail(b, s);
    if (!take_replies(s)) return fail(b, s);
    return true;
}

bool secure_end_batch(Batch& b) {
    SendSession& s = *b.session;
    if (!s.open) return true;
    unsigned char quit = MESSAGE_QUIT;
    if (abort_send.load() || !secure_queue(s.channel, &quit, 1) || !secure_flush(s.channel)) return fail(b, s);
    while (s.files_acknowledged < s.files_sent) {
        if (abort_send.load() || take_reply(s, true) < 0) return fail(b, s);
    }
    close_session(b, s);
    return true;
}
