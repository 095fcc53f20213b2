// One connection of the secure format: the opening magic, the handshake,
// then sealed messages, each behind its length as 2 bytes, big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/socket.h"
#include "transfer/noise.h"

constexpr char SECURE_MAGIC[] = "zeptrixv2.0";
constexpr std::size_t SECURE_MAGIC_SIZE = 11;
constexpr std::size_t SECURE_LENGTH_SIZE = 2;
constexpr std::size_t SECURE_MAX_MESSAGE = 65535;
constexpr std::size_t SECURE_MAX_PLAINTEXT = SECURE_MAX_MESSAGE - NOISE_TAG_SIZE;
// The header's plaintext: the file size in 8 bytes, then 1 to 255 bytes of name.
constexpr std::size_t SECURE_SIZE_FIELD = 8;
constexpr std::size_t SECURE_MAX_NAME = 255;
// What a frame holds beside its plaintext: the length in front, the tag behind.
constexpr std::size_t SECURE_FRAME_ROOM = SECURE_LENGTH_SIZE + NOISE_TAG_SIZE;

struct SecureChannel {
    SocketHandle socket = INVALID_SOCKET_HANDLE;
    NoiseSession session;
};

// The sender's side: the magic, "-> psk, e", then "<- e, ee" read back.
bool secure_connect(SocketHandle socket, const unsigned char* group_key, SecureChannel& channel);
// The receiver's side, once the magic has been read: "-> psk, e" read,
// then "<- e, ee" sent.
bool secure_accept(SocketHandle socket, const unsigned char* group_key, SecureChannel& channel);

// Seals and sends the plaintext of size 1..SECURE_MAX_PLAINTEXT that stands
// at frame + SECURE_LENGTH_SIZE; frame has room for size + SECURE_FRAME_ROOM
// bytes. One send per message.
bool secure_send(SecureChannel& channel, unsigned char* frame, std::size_t size);
// Receives and opens one message into buffer (room for SECURE_MAX_MESSAGE
// bytes): the plaintext's size, or -1 when the connection ends or fails, the
// length is 0 or the message does not authenticate.
std::int32_t secure_receive(SecureChannel& channel, unsigned char* buffer);
