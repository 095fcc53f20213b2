// One batch under way at the send task, and the one file of it being sent:
// what both formats' senders share.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "net/socket.h"
#include "text/text.h"
#include "transfer/send_failure.h"
#include "transfer/transfer_watch.h"

struct SendSession;

struct Batch {
    IpAddress address;
    std::int32_t port = 0;
    std::int32_t last_percent = 0;
    // BLOCK_SIZE bytes and room for the closing mark, on the heap, for the
    // fixed format.
    unsigned char* buffer = nullptr;
    // The secure format's one connection for the whole batch.
    SendSession* session = nullptr;
    TransferWatch* watch = nullptr;
};

// The file being sent: its path, its name on the wire, the file and the
// counts of its bytes.
struct Outgoing {
    const char* path = nullptr;
    std::string_view name;
    Text display_name;
    std::FILE* file = nullptr;
    std::uint64_t file_total = 0;
    std::uint64_t file_left = 0;
};

// Reads up to want bytes of the file into `into` and counts them as sent.
// False when nothing came of more than 0 wanted: the file shrank since its
// size was taken.
bool read_piece(Batch& b, Outgoing& f, unsigned char* into, std::size_t want, std::size_t& got);

void tell_delivered(const Text& display_name);

// Opens a file to send, unbuffered, with its size; null when it can't be read.
std::FILE* open_file_to_send(const char* path, std::uint64_t& size);

// The fixed format over the connected socket: header, data and closing
// mark, then the acknowledgement. SendFailure::none once it arrived.
SendFailure send_fixed_transfer(Batch& b, Outgoing& f, SocketHandle socket);

// The secure format sends a whole batch over one connection, opened at its
// first file. False when the batch must end; b.session then tells why.
bool secure_send_file(Batch& b, Outgoing& f);
// Ends the batch's connection: "no more files", then waits for the
// acknowledgements still missing. False when one did not come.
bool secure_end_batch(Batch& b);
