// One connection of the secure format: the opening magic, the handshake,
// then sealed messages, each behind its length as 2 bytes, big-endian.
// Messages go out and come in through buffers of a whole block, so that
// one system call carries many of them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/socket.h"
#include "transfer/secure/noise.h"
#include "transfer/secure/secure_wire.h"
#include "transfer/wire.h"

// The most one send or receive call moves: the block of both formats.
constexpr std::size_t SECURE_BLOCK_SIZE = BLOCK_SIZE;
// Both buffers hold a block and one whole frame beyond it.
constexpr std::size_t SECURE_BUFFER_SIZE = SECURE_BLOCK_SIZE + SECURE_MAX_FRAME;

struct SecureChannel {
    SocketHandle socket = INVALID_SOCKET_HANDLE;
    NoiseSession session;
    // Sealed frames not yet sent: outbox[0, outbox_used).
    unsigned char* outbox = nullptr;
    std::size_t outbox_used = 0;
    // Bytes received and not yet opened: inbox[inbox_start, inbox_end).
    unsigned char* inbox = nullptr;
    std::size_t inbox_start = 0;
    std::size_t inbox_end = 0;
    // A message came that was not sealed by the peer: nothing after it
    // (nor what came with it) is to be trusted.
    bool faulted = false;
};

// The sender's side: the magic, "-> psk, e", then "<- e, ee" read back.
bool secure_connect(SocketHandle socket, const unsigned char* group_key, SecureChannel& channel);
// The receiver's side, once the magic has been read: "-> psk, e" read by
// the deadline (a time of monotonic_ms), then "<- e, ee" sent.
bool secure_accept(SocketHandle socket, const unsigned char* group_key, SecureChannel& channel,
                   std::int64_t deadline);
// The channel's two buffers (false without memory), and their release
// with the keys wiped.
bool secure_buffers(SecureChannel& channel);
void secure_release(SecureChannel& channel);

// Where the next message's plaintext of size bytes (1..SECURE_MAX_PLAINTEXT)
// is written before secure_seal; sends what waits first when it would not
// fit. Null when that send fails.
unsigned char* secure_next_plaintext(SecureChannel& channel, std::size_t size);
// Seals the plaintext written at secure_next_plaintext into its frame.
bool secure_seal(SecureChannel& channel, std::size_t size);
// Seals a plaintext of size bytes copied from elsewhere.
bool secure_queue(SecureChannel& channel, const unsigned char* plaintext, std::size_t size);
// Sends every sealed frame waiting, in one call.
bool secure_flush(SecureChannel& channel);

// How secure_receive waits for the next message.
enum class ReceiveWait {
    yes,
    no,  // 0 when no whole message is there yet
    // As no, but only bytes already there count (the end of the stream shows
    // to the next call that waits): cheaper, as under Wine a wait of 0 ms is
    // a round trip to its server.
    no_bytes_only,
};

// Opens the next message. plaintext then points into the inbox, valid
// until the next call. Returns the plaintext's size, or -1 when the
// connection ends or fails, a length is below 17 or a message does not
// authenticate. A bad length or seal sets faulted.
std::int32_t secure_receive(SecureChannel& channel, unsigned char*& plaintext, ReceiveWait wait = ReceiveWait::yes);
