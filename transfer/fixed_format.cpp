// Both sides of the fixed format: magic, key, name and size, the scrambled
// data, the closing mark and the acknowledgement.
#include <cstring>
#include <string>

#include "app/state.h"
#include "transfer/engine.h"
#include "transfer/name_encoding.h"
#include "transfer/outgoing.h"
#include "transfer/receipt.h"
#include "transfer/transfer_key.h"
#include "transfer/wire.h"

namespace {

bool receive_u32(SocketHandle socket, std::uint32_t& value, std::int64_t deadline) {
    unsigned char field[FIELD_SIZE];
    if (!recv_exact_before(socket, field, FIELD_SIZE, deadline)) return false;
    value = get_u32(field);
    return true;
}

// Magic, key, name length, scrambled name and size, sent in one call so
// that no small write waits for the peer's acknowledgement. The name goes
// in the ANSI code page when it holds the name, else as UTF-8.
bool send_fixed_header(Outgoing& f, SocketHandle socket, std::uint32_t& key_state) {
    unsigned char header[TRANSFER_MAGIC_SIZE + 3 * FIELD_SIZE + MAX_NAME_FIELD];
    std::string wire_name = fixed_name_bytes(f.name);
    wire_name.push_back('\0');
    auto name_length = static_cast<std::uint32_t>(wire_name.size());
    if (name_length > MAX_NAME_FIELD) return false;
    key_state = draw_transfer_key();
    std::memcpy(header, TRANSFER_MAGIC, TRANSFER_MAGIC_SIZE);
    put_u32(header + TRANSFER_MAGIC_SIZE, key_state);
    put_u32(header + TRANSFER_MAGIC_SIZE + FIELD_SIZE, name_length);
    unsigned char* name = header + TRANSFER_MAGIC_SIZE + 2 * FIELD_SIZE;
    std::memcpy(name, wire_name.data(), name_length);
    scramble(name, name_length, key_state);
    put_u32(name + name_length, static_cast<std::uint32_t>(f.file_total));
    return send_all(socket, header, static_cast<std::int32_t>(name + name_length + FIELD_SIZE - header));
}

}  // namespace

SendFailure send_fixed_transfer(Batch& b, Outgoing& f, SocketHandle socket) {
    std::uint32_t key_state = 0;
    SendFailure failure = send_fixed_header(f, socket, key_state) ? SendFailure::none : SendFailure::connection_lost;
    update_progress(send_bytes_total, send_bytes_left, b.last_percent);

    // Blocks as large as the buffer; the closing mark rides with the last.
    while (failure == SendFailure::none) {
        if (abort_send.load()) {
            failure = SendFailure::aborted;
            break;
        }
        std::size_t got = 0;
        if (!read_piece(b, f, b.buffer, up_to(f.file_left, BLOCK_SIZE), got)) {
            failure = SendFailure::changed;
            break;
        }
        scramble(b.buffer, got, key_state);
        bool last = f.file_left == 0;
        if (last) std::memcpy(b.buffer + got, CLOSING_MARK, CLOSING_MARK_SIZE);
        if (!send_all(socket, b.buffer, static_cast<std::int32_t>(got + (last ? CLOSING_MARK_SIZE : 0))))
            failure = SendFailure::connection_lost;
        if (last) break;
    }
    if (abort_send.load()) failure = SendFailure::aborted;
    // No acknowledgement: the receiver refused the name, could not store the
    // file, or has a secret; the format does not tell which.
    char ack[CLOSING_MARK_SIZE];
    if (failure == SendFailure::none &&
        (!recv_exact(socket, ack, CLOSING_MARK_SIZE) || std::memcmp(ack, CLOSING_MARK, CLOSING_MARK_SIZE) != 0))
        failure = SendFailure::refused;
    return failure;
}

// Key, name and size, after the magic, within the greeting's time. The name is checked before anything
// is created; refused too are lengths of 0 or above MAX_NAME_FIELD. Then
// the data into the temporary file, asking for no more than the bytes still
// missing so that the closing mark is never taken as data; then the mark,
// and the file takes its name.
bool receive_fixed(Receipt& r, SocketHandle socket, unsigned char* buffer, std::int64_t deadline) {
    std::uint32_t key_state = 0, name_length = 0;
    if (!receive_u32(socket, key_state, deadline) || !receive_u32(socket, name_length, deadline)) return false;
    if (name_length == 0 || name_length > MAX_NAME_FIELD) return false;
    std::string bytes(name_length, '\0'), name;
    if (!recv_exact_before(socket, bytes.data(), static_cast<std::int32_t>(name_length), deadline)) return false;
    scramble(bytes.data(), name_length, key_state);
    // The name ends at its first zero byte.
    if (!fixed_name_text(bytes.c_str(), name) || !take_name(r, std::move(name))) return false;
    std::uint32_t size = 0;
    if (!receive_u32(socket, size, deadline)) return false;
    announce_size(r, size);
    // After the header the idle limit applies to each wait.
    set_idle_limit(socket, idle_limit_ms.load());

    if (!create_temp_file(r)) return false;
    while (r.file_left != 0) {
        if (abort_receive.load()) return false;
        auto want = static_cast<std::int32_t>(up_to(r.file_left, BLOCK_SIZE));
        std::int32_t got = recv_some(socket, buffer, want);
        if (got <= 0) return false;
        scramble(buffer, static_cast<std::size_t>(got), key_state);
        if (!store_piece(r, buffer, static_cast<std::size_t>(got))) return false;
    }
    if (abort_receive.load()) return false;
    char mark[CLOSING_MARK_SIZE];
    if (!recv_exact(socket, mark, CLOSING_MARK_SIZE) || std::memcmp(mark, CLOSING_MARK, CLOSING_MARK_SIZE) != 0)
        return false;
    return place_file(r);
}
