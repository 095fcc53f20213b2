#include "transfer/secure_channel.h"

#include <cstring>

namespace {

void put_length(unsigned char* out, std::size_t length) {
    out[0] = static_cast<unsigned char>(length >> 8);
    out[1] = static_cast<unsigned char>(length);
}

// A handshake message: its length, which must be the one of the pattern,
// then the message.
bool receive_handshake_message(SocketHandle socket, unsigned char* message) {
    unsigned char length[SECURE_LENGTH_SIZE];
    return recv_exact(socket, length, SECURE_LENGTH_SIZE) &&
           (static_cast<std::size_t>(length[0]) << 8 | length[1]) == NOISE_HANDSHAKE_MESSAGE_SIZE &&
           recv_exact(socket, message, NOISE_HANDSHAKE_MESSAGE_SIZE);
}

bool send_handshake_message(SocketHandle socket, const unsigned char* message) {
    unsigned char frame[SECURE_LENGTH_SIZE + NOISE_HANDSHAKE_MESSAGE_SIZE];
    put_length(frame, NOISE_HANDSHAKE_MESSAGE_SIZE);
    std::memcpy(frame + SECURE_LENGTH_SIZE, message, NOISE_HANDSHAKE_MESSAGE_SIZE);
    return send_all(socket, frame, sizeof frame);
}

}  // namespace

bool secure_connect(SocketHandle socket, const unsigned char* group_key, SecureChannel& channel) {
    channel.socket = socket;
    NoiseHandshake handshake;
    noise_start(handshake, SECURE_MAGIC, SECURE_MAGIC_SIZE, group_key);
    unsigned char opening[SECURE_MAGIC_SIZE + SECURE_LENGTH_SIZE + NOISE_HANDSHAKE_MESSAGE_SIZE];
    std::memcpy(opening, SECURE_MAGIC, SECURE_MAGIC_SIZE);
    put_length(opening + SECURE_MAGIC_SIZE, NOISE_HANDSHAKE_MESSAGE_SIZE);
    unsigned char reply[NOISE_HANDSHAKE_MESSAGE_SIZE];
    bool ok = noise_write_first(handshake, opening + SECURE_MAGIC_SIZE + SECURE_LENGTH_SIZE) &&
              send_all(socket, opening, sizeof opening) && receive_handshake_message(socket, reply) &&
              noise_read_second(handshake, reply);
    ok = ok && noise_split(handshake, true, channel.session);
    noise_wipe(&handshake, sizeof handshake);
    return ok;
}

bool secure_accept(SocketHandle socket, const unsigned char* group_key, SecureChannel& channel) {
    channel.socket = socket;
    NoiseHandshake handshake;
    noise_start(handshake, SECURE_MAGIC, SECURE_MAGIC_SIZE, group_key);
    unsigned char first[NOISE_HANDSHAKE_MESSAGE_SIZE], second[NOISE_HANDSHAKE_MESSAGE_SIZE];
    bool ok = receive_handshake_message(socket, first) && noise_read_first(handshake, first) &&
              noise_write_second(handshake, second) && send_handshake_message(socket, second);
    ok = ok && noise_split(handshake, false, channel.session);
    noise_wipe(&handshake, sizeof handshake);
    return ok;
}

bool secure_send(SecureChannel& channel, unsigned char* frame, std::size_t size) {
    if (size == 0 || size > SECURE_MAX_PLAINTEXT) return false;
    unsigned char* message = frame + SECURE_LENGTH_SIZE;
    if (!noise_encrypt(channel.session.sending, message, size, message)) return false;
    put_length(frame, size + NOISE_TAG_SIZE);
    return send_all(channel.socket, frame, static_cast<std::int32_t>(size + SECURE_FRAME_ROOM));
}

std::int32_t secure_receive(SecureChannel& channel, unsigned char* buffer) {
    unsigned char length_bytes[SECURE_LENGTH_SIZE];
    if (!recv_exact(channel.socket, length_bytes, SECURE_LENGTH_SIZE)) return -1;
    std::size_t length = static_cast<std::size_t>(length_bytes[0]) << 8 | length_bytes[1];
    if (length <= NOISE_TAG_SIZE || !recv_exact(channel.socket, buffer, static_cast<std::int32_t>(length)) ||
        !noise_decrypt(channel.session.receiving, buffer, length, buffer))
        return -1;
    return static_cast<std::int32_t>(length - NOISE_TAG_SIZE);
}
