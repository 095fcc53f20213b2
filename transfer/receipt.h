// One arriving file as the receive task takes it in, and the steps both
// formats share: the name checked and taken, the size counted, the
// temporary file made, the data written and the file put in place.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "net/socket.h"
#include "platform/platform.h"
#include "text/text.h"
#include "transfer/secure/part_store.h"

struct Receipt {
    // The received name, its folders joined by this platform's separator.
    std::string name;
    bool name_arrived = false;
    std::size_t leaf = 0;  // where the file's own name starts in name
    StoreDirectory directory;
    bool directory_open = false;
    Text temp_name;
    std::uint64_t file_total = 0;
    std::uint64_t file_left = 0;
    std::int32_t last_percent = 0;
    std::FILE* file = nullptr;
    bool temp_created = false;
    std::uint64_t unflushed = 0;  // bytes written since writing to the disk was last started
    // A resumable file is written into its part instead of a temporary file;
    // resumed_from is what the part held when it was taken up.
    HeldPart part;
    bool in_part = false;
    std::uint64_t resumed_from = 0;
    // The sender's last write time of the file, given to it before it takes
    // its name (nanoseconds since 1970).
    bool has_time = false;
    std::int64_t modified_ns = 0;
};

// The folder a connection's last file went into, held open for the files
// after it. Only a folder that was there already is held: one made for a
// file goes again when that file fails.
struct RecentFolder {
    StoreDirectory directory;
    bool open = false;
    std::string folders;  // below the destination
};
void forget_recent_folder(RecentFolder& recent);

// Takes name as the file's name. False when no receiver stores it: not a
// plain file name or plain names joined by backslashes (a zero byte
// included), or a name of our own temporary files, which could replace
// another task's data in flight.
bool take_name(Receipt& r, std::string name);
void announce_size(Receipt& r, std::uint64_t size);
// The name's folders below the destination, made where missing, then the
// temporary file inside the last of them; recent, where given, is used and
// kept up to date.
bool create_temp_file(Receipt& r, RecentFolder* recent = nullptr);
// As create_temp_file, for a resumable file: its part, with resumed_from
// the bytes it holds, counted as arrived, and proof their hash as read
// back. Where no part can be had, a temporary file, and resumed_from 0.
bool create_part_file(Receipt& r, const unsigned char* tag, unsigned char (&proof)[PART_PROOF_SIZE]);
// The sender's file is not the one the part began: the part is emptied,
// and the whole file counts as still to come.
bool restart_part(Receipt& r);
bool store_piece(Receipt& r, const unsigned char* data, std::size_t size);
// The file's data on the disk with the sender's time, and the file closed;
// then it takes its name; place_file does both and flushes the directory.
bool close_to_disk(Receipt& r);
bool take_final_name(Receipt& r);
bool place_file(Receipt& r);

// After a file's transfer: a failed one removes its temporary file and the
// folders it made (a part stays when keep_part is set and it reached the
// disk); the observer is told, and the counters give back the file's bytes.
void finish_receipt(Receipt& r, bool stored, bool keep_part = false);

// The fixed format after its magic: header (by the deadline, a time of
// monotonic_ms), data and closing mark, the file then in place. buffer has
// room for BLOCK_SIZE bytes.
bool receive_fixed(Receipt& r, SocketHandle socket, unsigned char* buffer, std::int64_t deadline);
// The secure format after its magic: the handshake by the deadline (greeting
// is cleared at its end), then every file of the connection, each
// acknowledged once in place. The watch notes each message's arrival.
void receive_secure_session(SocketHandle socket, std::int64_t deadline, std::atomic<bool>& greeting,
                            TransferWatch& watch);
