// One batch under way at the send task, and the one file of it being sent:
// what both formats' senders share.
#pragma once

#include <cstdint>
#include <cstdio>

#include "net/socket.h"
#include "text/text.h"
#include "transfer/transfer_watch.h"

struct Batch {
    IpAddress address;
    std::int32_t port = 0;
    std::int32_t last_percent = 0;
    unsigned char* buffer = nullptr;  // CHUNK_SIZE bytes, for the fixed format
    // SECURE_MAX_MESSAGE + SECURE_LENGTH_SIZE bytes on the heap, for the
    // secure format only.
    unsigned char* frame = nullptr;
    TransferWatch* watch = nullptr;
};

// The file being sent: its name field inside the path buffer (the length
// counts its terminating zero), the file and the counts of its bytes.
struct Outgoing {
    char* name = nullptr;
    std::uint32_t name_length = 0;
    Text display_name;
    std::FILE* file = nullptr;
    std::uint64_t file_total = 0;
    std::uint64_t file_left = 0;
};

// The secure format over the connected socket: handshake, header, data and
// closing mark, then the sealed acknowledgement. True once it arrived.
bool send_secure_transfer(Batch& b, Outgoing& f, SocketHandle socket);
