#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "app/platform.h"
#include "app/state.h"
#include "text/text_utils.h"
#include "transfer/engine.h"
#include "transfer/name_check.h"
#include "transfer/transfer_watch.h"
#include "transfer/wire.h"

namespace {

// Room for the task's temporary file name behind the directory.
constexpr std::size_t TEMP_NAME_ROOM = 48;

// Numbers the temporary files of this process, so that no two tasks share
// one, even when they receive the same name.
std::atomic<std::uint32_t> temp_sequence{0};

std::atomic<ReceiveObserver> receive_observer{nullptr};

struct Receipt {
    SocketHandle socket = INVALID_SOCKET_HANDLE;
    std::uint32_t key_state = 0;
    // One heap block: the final path, then the temporary path.
    char* paths = nullptr;
    char* final_path = nullptr;
    char* temp_path = nullptr;
    std::uint32_t file_total = 0;
    std::uint32_t file_left = 0;
    std::int32_t last_percent = 0;
    std::FILE* file = nullptr;
    bool temp_created = false;
    const char* name = nullptr;  // set once the name has arrived
};

bool receive_u32(SocketHandle socket, std::uint32_t& value) {
    unsigned char field[FIELD_SIZE];
    if (!recv_exact(socket, field, FIELD_SIZE)) return false;
    value = get_u32(field);
    return true;
}

constexpr std::string_view TEMP_NAME_PREFIX = ".zeptrix-";

Text temp_file_name() {
    return Text(TEMP_NAME_PREFIX) + decimal_text(static_cast<std::int32_t>(process_number() & 0x7FFFFFFF)) +
           "-" + decimal_text(static_cast<std::int32_t>(temp_sequence.fetch_add(1) & 0x7FFFFFFF)) +
           ".part";
}

// Magic, key, name and size. The name is checked before anything is
// created: refused are lengths of 0 or above MAX_NAME_LENGTH and any name
// that isn't a plain file name.
bool receive_header(Receipt& r) {
    char magic[TRANSFER_MAGIC_SIZE];
    if (!recv_exact(r.socket, magic, TRANSFER_MAGIC_SIZE) ||
        std::memcmp(magic, TRANSFER_MAGIC, TRANSFER_MAGIC_SIZE) != 0)
        return false;
    std::uint32_t name_length = 0;
    if (!receive_u32(r.socket, r.key_state) || !receive_u32(r.socket, name_length)) return false;
    if (name_length == 0 || name_length > MAX_NAME_LENGTH) return false;

    std::size_t dir_length = destination_dir.size();
    std::size_t final_size = dir_length + name_length + 1;
    r.paths = static_cast<char*>(std::malloc(final_size + dir_length + TEMP_NAME_ROOM));
    if (!r.paths) return false;
    r.final_path = r.paths;
    std::memcpy(r.final_path, destination_dir.data(), dir_length);
    char* name = r.final_path + dir_length;
    if (!recv_exact(r.socket, name, static_cast<std::int32_t>(name_length))) return false;
    scramble(name, name_length, r.key_state);
    name[name_length] = '\0';
    r.name = name;
    std::string_view plain_name(name, std::strlen(name));
    // A name of our own temporary files could replace another task's data
    // in flight, so such names are refused too.
    if (!is_safe_file_name(plain_name) || plain_name.starts_with(TEMP_NAME_PREFIX)) return false;

    r.temp_path = r.paths + final_size;
    Text temp_name = temp_file_name();
    std::memcpy(r.temp_path, destination_dir.data(), dir_length);
    std::memcpy(r.temp_path + dir_length, temp_name.data(), temp_name.size() + 1);

    std::uint32_t size = 0;
    if (!receive_u32(r.socket, size)) return false;
    r.file_total = r.file_left = size;
    recv_bytes_total.fetch_add(size);
    recv_bytes_left.fetch_add(size);
    update_progress(recv_bytes_total, recv_bytes_left, r.last_percent);
    return true;
}

// Data into the temporary file, closing mark, then the file takes its
// final name; only then is the acknowledgement sent.
bool receive_body(Receipt& r, unsigned char* buffer) {
    r.file = std::fopen(r.temp_path, "wb");
    if (!r.file) return false;
    r.temp_created = true;
    // Each piece is written straight through: one write of what arrived.
    std::setvbuf(r.file, nullptr, _IONBF, 0);
    while (r.file_left != 0) {
        if (abort_receive.load()) return false;
        std::int32_t want = r.file_left < static_cast<std::uint32_t>(CHUNK_SIZE)
                                ? static_cast<std::int32_t>(r.file_left)
                                : CHUNK_SIZE;
        std::int32_t got = recv_some(r.socket, buffer, want);
        if (got <= 0) return false;
        scramble(buffer, static_cast<std::size_t>(got), r.key_state);
        if (std::fwrite(buffer, 1, static_cast<std::size_t>(got), r.file) !=
            static_cast<std::size_t>(got))
            return false;
        r.file_left -= static_cast<std::uint32_t>(got);
        recv_bytes_left.fetch_sub(static_cast<std::uint32_t>(got));
        update_progress(recv_bytes_total, recv_bytes_left, r.last_percent);
    }
    if (abort_receive.load()) return false;
    char mark[CLOSING_MARK_SIZE];
    if (!recv_exact(r.socket, mark, CLOSING_MARK_SIZE) ||
        std::memcmp(mark, CLOSING_MARK, CLOSING_MARK_SIZE) != 0)
        return false;
    int closed = std::fclose(r.file);
    r.file = nullptr;
    if (closed != 0 || !replace_file(r.temp_path, r.final_path)) return false;
    r.temp_created = false;
    send_all(r.socket, CLOSING_MARK, CLOSING_MARK_SIZE);
    return true;
}

}  // namespace

void set_receive_observer(ReceiveObserver observer) { receive_observer.store(observer); }

void receive_file(std::atomic<SocketHandle>& slot) {
    running_tasks.fetch_add(1);
    Receipt r;
    r.socket = slot.load();
    unsigned char buffer[CHUNK_SIZE];
    set_idle_limit(r.socket, idle_limit_ms.load());
    TransferWatch& watch = receive_watches[&slot - receive_slots];
    watch_transfer(watch, r.socket);

    bool stored = receive_header(r) && receive_body(r, buffer);
    if (!stored) {
        // A failed transfer removes only its own temporary file, so a file
        // stored earlier under the same name survives.
        if (r.file) std::fclose(r.file);
        if (r.temp_created) std::remove(r.temp_path);
    }
    ReceiveObserver observer = receive_observer.load();
    if (observer && r.name) observer(Text(r.name), stored, r.file_total);

    recv_bytes_total.fetch_sub(r.file_total);
    recv_bytes_left.fetch_sub(r.file_left);
    update_progress(recv_bytes_total, recv_bytes_left, r.last_percent);
    std::free(r.paths);
    unwatch_transfer(watch, r.socket);
    close_socket(r.socket);
    slot.store(0);
    running_tasks.fetch_sub(1);
    abort_receive.store(false);
}

ThreadResult ZPX_THREAD_CALL receive_task(void* slot) {
    receive_file(*static_cast<std::atomic<SocketHandle>*>(slot));
    exit_thread();
}
