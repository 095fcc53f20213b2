#include <cstdio>
#include <cstring>

#include "app/platform.h"
#include "app/state.h"
#include "text/text_utils.h"
#include "transfer/engine.h"
#include "transfer/transfer_key.h"
#include "transfer/transfer_watch.h"
#include "transfer/wire.h"

namespace {

constexpr std::size_t DISPLAY_NAME_LIMIT = 150;
constexpr std::uint64_t LARGEST_FILE = 0xFFFFFFFFull;  // the size field has 32 bits

struct Batch {
    IpAddress address;
    std::int32_t port = 0;
    std::int32_t last_percent = 0;
    unsigned char* buffer = nullptr;
    TransferWatch* watch = nullptr;
};

// One file of the batch: its name field inside the path buffer, the file
// and the counts of its bytes.
struct Outgoing {
    char* name = nullptr;
    std::uint32_t name_length = 0;
    Text display_name;
    std::FILE* file = nullptr;
    std::uint32_t file_total = 0;
    std::uint32_t file_left = 0;
};

void show_failure(const Text& text) { message_box(text, Text("Zeptrix"), Text("os")); }

Text peer_text(const Batch& b) {
    return address_to_text(b.address) + ":" + decimal_text(b.port);
}

bool send_u32(SocketHandle socket, std::uint32_t value) {
    unsigned char field[FIELD_SIZE];
    put_u32(field, value);
    return send_all(socket, field, FIELD_SIZE);
}

// Header, data and closing mark, then the acknowledgement.
bool send_transfer(Batch& b, Outgoing& f, SocketHandle socket) {
    bool failed = !send_all(socket, TRANSFER_MAGIC, TRANSFER_MAGIC_SIZE);
    std::uint32_t key_state = draw_transfer_key();
    if (!failed) failed = !send_u32(socket, key_state);
    if (!failed) failed = !send_u32(socket, f.name_length);
    scramble(f.name, f.name_length, key_state);
    if (!failed) failed = !send_all(socket, f.name, static_cast<std::int32_t>(f.name_length));
    if (!failed) failed = !send_u32(socket, f.file_total);
    update_progress(send_bytes_total, send_bytes_left, b.last_percent);

    if (!failed) {
        while (f.file_left != 0) {
            if (abort_send.load()) {
                failed = true;
                break;
            }
            std::size_t want = f.file_left < static_cast<std::uint32_t>(CHUNK_SIZE)
                                   ? f.file_left
                                   : static_cast<std::size_t>(CHUNK_SIZE);
            std::size_t got = std::fread(b.buffer, 1, want, f.file);
            // A file that shrank since its size was taken ends here.
            if (got == 0) {
                failed = true;
                break;
            }
            scramble(b.buffer, got, key_state);
            f.file_left -= static_cast<std::uint32_t>(got);
            send_bytes_left.fetch_sub(static_cast<std::uint32_t>(got));
            failed = !send_all(socket, b.buffer, static_cast<std::int32_t>(got));
            update_progress(send_bytes_total, send_bytes_left, b.last_percent);
            if (failed) break;
        }
        if (f.file_left != 0) failed = true;
        if (!failed) failed = !send_all(socket, CLOSING_MARK, CLOSING_MARK_SIZE);
    }
    if (abort_send.load()) failed = true;
    if (!failed) {
        char ack[CLOSING_MARK_SIZE];
        failed = !recv_exact(socket, ack, CLOSING_MARK_SIZE) ||
                 std::memcmp(ack, CLOSING_MARK, CLOSING_MARK_SIZE) != 0;
    }
    return !failed;
}

// Sends one file. False when the batch must end: the connection could not
// be made or the transfer failed. An unreadable file is skipped.
bool send_file(Batch& b, char* path, std::int32_t path_size) {
    Outgoing f;
    const char* last = std::strrchr(path, PATH_SEPARATOR);
    f.name = last ? const_cast<char*>(last) + 1 : path;
    f.name_length = static_cast<std::uint32_t>(path + path_size - f.name);
    std::size_t chars = f.name_length - 1;
    if (chars <= DISPLAY_NAME_LIMIT) {
        f.display_name = Text(std::string_view(f.name, chars));
    } else {
        f.display_name = Text(std::string_view(f.name, DISPLAY_NAME_LIMIT));
        f.display_name.append("...");
    }

    f.file = std::fopen(path, "rb");
    std::uint64_t size = 0;
    if (!f.file || !open_file_size(f.file, size) || size > LARGEST_FILE) {
        if (f.file) std::fclose(f.file);
        show_failure(Text("error reading ") + f.display_name);
        return true;
    }
    // Each piece is read straight into the task's buffer.
    std::setvbuf(f.file, nullptr, _IONBF, 0);
    f.file_total = f.file_left = static_cast<std::uint32_t>(size);
    send_bytes_total.fetch_add(f.file_total);
    send_bytes_left.fetch_add(f.file_left);

    bool go_on = false;
    SocketHandle socket = INVALID_SOCKET_HANDLE;
    if (!connect_to(b.address, b.port, socket)) {
        if (!abort_send.load()) show_failure(Text("connecting to ") + peer_text(b) + " failed!");
    } else {
        set_idle_limit(socket, idle_limit_ms.load());
        watch_transfer(*b.watch, socket);
        go_on = send_transfer(b, f, socket);
        bool aborted = unwatch_transfer(*b.watch, socket) || abort_send.load();
        if (!go_on && !aborted)
            show_failure(Text("send of ") + f.display_name + " to " + peer_text(b) + " failed!");
        close_socket(socket);
    }

    std::fclose(f.file);
    send_bytes_total.fetch_sub(f.file_total);
    send_bytes_left.fetch_sub(f.file_left);
    update_progress(send_bytes_total, send_bytes_left, b.last_percent);
    return go_on;
}

}  // namespace

void send_batch(std::atomic<DropHandle>& slot) {
    running_tasks.fetch_add(1);
    DropHandle drop = slot.load();
    unsigned char buffer[CHUNK_SIZE];
    Batch b;
    const std::ptrdiff_t index_of_slot = &slot - send_slots;
    b.address = send_slot_addresses[index_of_slot];
    b.port = send_slot_ports[index_of_slot];
    b.buffer = buffer;
    b.watch = &send_watches[index_of_slot];

    // The first file is always tried; an abort ends the batch after a file.
    bool done = false;
    std::int32_t index = 1;
    do {
        char* path = nullptr;
        std::int32_t path_size = 0;
        get_dropped_file(drop, index, path, path_size);
        if (path_size == 0) break;
        done = !send_file(b, path, path_size);
        free_dropped_file(path, path_size);
        ++index;
    } while (!done && !abort_send.load());

    finish_drop(drop);
    slot.store(0);
    running_tasks.fetch_sub(1);
    abort_send.store(false);
}

ThreadResult ZPX_THREAD_CALL send_task(void* slot) {
    send_batch(*static_cast<std::atomic<DropHandle>*>(slot));
    exit_thread();
}
