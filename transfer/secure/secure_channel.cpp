#include "transfer/secure/secure_channel.h"

#include <cstdlib>
#include <cstring>

namespace {

// A frame's length: 2 bytes, big-endian.
void put_length(unsigned char* out, std::size_t length) {
    out[0] = static_cast<unsigned char>(length >> 8);
    out[1] = static_cast<unsigned char>(length);
}
std::size_t get_length(const unsigned char* in) { return static_cast<std::size_t>(in[0]) << 8 | in[1]; }

// A handshake message behind its length.
constexpr std::size_t HANDSHAKE_FRAME = SECURE_LENGTH_SIZE + NOISE_HANDSHAKE_MESSAGE_SIZE;

// Its length must be the pattern's. With a deadline (not 0) the receives
// share that time; without, each waits up to the socket's idle limit.
bool receive_handshake_frame(SocketHandle socket, unsigned char (&frame)[HANDSHAKE_FRAME], std::int64_t deadline) {
    auto size = static_cast<std::int32_t>(sizeof frame);
    return (deadline ? recv_exact_before(socket, frame, size, deadline) : recv_exact(socket, frame, size)) &&
           get_length(frame) == NOISE_HANDSHAKE_MESSAGE_SIZE;
}

std::int32_t fault(SecureChannel& channel) {
    channel.faulted = true;
    return -1;
}

}  // namespace

bool secure_connect(SocketHandle socket, const unsigned char* group_key, SecureChannel& channel) {
    channel.socket = socket;
    NoiseHandshake handshake;
    noise_start(handshake, SECURE_MAGIC, SECURE_MAGIC_SIZE, group_key);
    // The magic and the first message go out in one call.
    unsigned char opening[SECURE_MAGIC_SIZE + HANDSHAKE_FRAME], reply[HANDSHAKE_FRAME];
    std::memcpy(opening, SECURE_MAGIC, SECURE_MAGIC_SIZE);
    put_length(opening + SECURE_MAGIC_SIZE, NOISE_HANDSHAKE_MESSAGE_SIZE);
    bool ok = noise_write_first(handshake, opening + SECURE_MAGIC_SIZE + SECURE_LENGTH_SIZE) &&
              send_all(socket, opening, sizeof opening) && receive_handshake_frame(socket, reply, 0) &&
              noise_read_second(handshake, reply + SECURE_LENGTH_SIZE) &&
              noise_split(handshake, true, channel.session);
    noise_wipe(&handshake, sizeof handshake);
    return ok;
}

bool secure_accept(SocketHandle socket, const unsigned char* group_key, SecureChannel& channel,
                   std::int64_t deadline) {
    channel.socket = socket;
    NoiseHandshake handshake;
    noise_start(handshake, SECURE_MAGIC, SECURE_MAGIC_SIZE, group_key);
    unsigned char first[HANDSHAKE_FRAME], second[HANDSHAKE_FRAME];
    put_length(second, NOISE_HANDSHAKE_MESSAGE_SIZE);
    bool ok = receive_handshake_frame(socket, first, deadline) &&
              noise_read_first(handshake, first + SECURE_LENGTH_SIZE) &&
              noise_write_second(handshake, second + SECURE_LENGTH_SIZE) && send_all(socket, second, sizeof second) &&
              noise_split(handshake, false, channel.session);
    noise_wipe(&handshake, sizeof handshake);
    return ok;
}

bool secure_buffers(SecureChannel& channel) {
    channel.outbox = static_cast<unsigned char*>(std::malloc(SECURE_BUFFER_SIZE));
    channel.inbox = static_cast<unsigned char*>(std::malloc(SECURE_BUFFER_SIZE));
    return channel.outbox && channel.inbox;
}

void secure_release(SecureChannel& channel) {
    std::free(channel.outbox);
    std::free(channel.inbox);
    channel.outbox = channel.inbox = nullptr;
    channel.outbox_used = channel.inbox_start = channel.inbox_end = 0;
    channel.faulted = false;
    noise_wipe(&channel.session, sizeof channel.session);
}

bool secure_flush(SecureChannel& channel) {
    std::size_t used = channel.outbox_used;
    channel.outbox_used = 0;
    return used == 0 || send_all(channel.socket, channel.outbox, static_cast<std::int32_t>(used));
}

unsigned char* secure_next_plaintext(SecureChannel& channel, std::size_t size) {
    if (size == 0 || size > SECURE_MAX_PLAINTEXT) return nullptr;
    if (channel.outbox_used + size + SECURE_FRAME_ROOM > SECURE_BUFFER_SIZE && !secure_flush(channel))
        return nullptr;
    return channel.outbox + channel.outbox_used + SECURE_LENGTH_SIZE;
}

bool secure_seal(SecureChannel& channel, std::size_t size) {
    unsigned char* frame = channel.outbox + channel.outbox_used;
    if (!noise_encrypt(channel.session.sending, frame + SECURE_LENGTH_SIZE, size, frame + SECURE_LENGTH_SIZE))
        return false;
    put_length(frame, size + NOISE_TAG_SIZE);
    channel.outbox_used += size + SECURE_FRAME_ROOM;
    return true;
}

bool secure_queue(SecureChannel& channel, const unsigned char* plaintext, std::size_t size) {
    unsigned char* place = secure_next_plaintext(channel, size);
    if (!place) return false;
    std::memcpy(place, plaintext, size);
    return secure_seal(channel, size);
}

std::int32_t secure_receive(SecureChannel& channel, unsigned char*& plaintext, ReceiveWait wait) {
    for (;;) {
        std::size_t waiting = channel.inbox_end - channel.inbox_start;
        unsigned char* frame = channel.inbox + channel.inbox_start;
        if (waiting >= SECURE_LENGTH_SIZE) {
            std::size_t length = get_length(frame);
            if (length <= NOISE_TAG_SIZE) return fault(channel);
            if (waiting >= SECURE_LENGTH_SIZE + length) {
                plaintext = frame + SECURE_LENGTH_SIZE;
                if (!noise_decrypt(channel.session.receiving, plaintext, length, plaintext)) return fault(channel);
                channel.inbox_start += SECURE_LENGTH_SIZE + length;
                return static_cast<std::int32_t>(length - NOISE_TAG_SIZE);
            }
        }
        // The frame under way moves to the front when a whole one would
        // not fit behind it.
        if (SECURE_BUFFER_SIZE - channel.inbox_start < SECURE_MAX_FRAME) {
            std::memmove(channel.inbox, frame, waiting);
            channel.inbox_start = 0;
            channel.inbox_end = waiting;
        }
        if (wait == ReceiveWait::no && !socket_readable(channel.socket, 0)) return 0;
        if (wait == ReceiveWait::no_bytes_only && socket_bytes_waiting(channel.socket) == 0) return 0;
        auto room = static_cast<std::int32_t>(up_to(SECURE_BUFFER_SIZE - channel.inbox_end, SECURE_BLOCK_SIZE));
        std::int32_t got = recv_some(channel.socket, channel.inbox + channel.inbox_end, room);
        if (got <= 0) return -1;
        channel.inbox_end += static_cast<std::size_t>(got);
    }
}
