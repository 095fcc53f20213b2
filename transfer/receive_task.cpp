#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/platform.h"
#include "app/state.h"
#include "text/text_utils.h"
#include "transfer/engine.h"
#include "transfer/name_check.h"
#include "transfer/receipt.h"
#include "transfer/secure/secure_channel.h"
#include "transfer/transfer_watch.h"
#include "transfer/wire.h"

namespace {

// Numbers the temporary files of this process, so that no two tasks share
// one, even when they receive the same name.
std::atomic<std::uint32_t> temp_sequence{0};

std::atomic<ReceiveObserver> receive_observer{nullptr};

constexpr std::uint64_t WRITEBACK_STEP = 8 << 20;

Text temp_file_name() {
    return Text(TEMP_NAME_PREFIX) + decimal_text(static_cast<std::int32_t>(process_number() & 0x7FFFFFFF)) +
           "-" + decimal_text(static_cast<std::int32_t>(temp_sequence.fetch_add(1) & 0x7FFFFFFF)) + TEMP_NAME_END;
}

// The opening magic must be of this copy's format: the secure one with a
// secret, the fixed one without.
bool receive_magic(SocketHandle socket, std::int64_t deadline) {
    char magic[TRANSFER_MAGIC_SIZE];
    static_assert(TRANSFER_MAGIC_SIZE == SECURE_MAGIC_SIZE);
    return recv_exact_before(socket, magic, TRANSFER_MAGIC_SIZE, deadline) &&
           std::memcmp(magic, secure_transfers ? SECURE_MAGIC : TRANSFER_MAGIC, TRANSFER_MAGIC_SIZE) == 0;
}

}  // namespace

bool take_name(Receipt& r, std::string name) {
    r.name = std::move(name);
    r.name_arrived = true;
    if (!is_storable_name(r.name)) return false;
    r.leaf = r.name.rfind(WIRE_SEPARATOR) + 1;  // 0 without a folder
    for (char& c : r.name)
        if (c == WIRE_SEPARATOR) c = PATH_SEPARATOR;
    return true;
}

void announce_size(Receipt& r, std::uint64_t size) {
    r.file_total = r.file_left = size;
    recv_bytes_total.fetch_add(size);
    recv_bytes_left.fetch_add(size);
    update_progress(recv_bytes_total, recv_bytes_left, r.last_percent);
}

namespace {

bool open_folders(Receipt& r, RecentFolder* recent = nullptr, bool* reused = nullptr) {
    std::string_view folders = std::string_view(r.name).substr(0, r.leaf == 0 ? 0 : r.leaf - 1);
    if (recent && recent->open && folders == recent->folders) {
        r.directory_open = copy_store_directory(recent->directory, r.directory);
        if (reused) *reused = r.directory_open;
        if (r.directory_open) return true;
    }
    r.directory_open = open_store_directory(destination_dir, folders, r.directory);
    if (recent && r.directory_open && r.directory.made == 0) {
        forget_recent_folder(*recent);
        recent->open = copy_store_directory(r.directory, recent->directory);
        recent->folders.assign(folders);
    }
    return r.directory_open;
}

bool create_temp_in_folder(Receipt& r) {
    r.temp_name = temp_file_name();
    r.file = create_stored_file(r.directory, r.temp_name.data());
    r.temp_created = r.file != nullptr;
    // Each piece is written straight through: one write of what arrived.
    if (r.file) std::setvbuf(r.file, nullptr, _IONBF, 0);
    return r.temp_created;
}

}  // namespace

void forget_recent_folder(RecentFolder& recent) {
    if (recent.open) close_store_directory(recent.directory);
    recent.open = false;
}

bool create_temp_file(Receipt& r, RecentFolder* recent) {
    bool reused = false;
    if (!open_folders(r, recent, &reused)) return false;
    if (create_temp_in_folder(r) || !reused) return r.temp_created;
    // The folder held open may have gone since (made by another transfer
    // whose file failed): the folders are opened once more.
    close_store_directory(r.directory);
    forget_recent_folder(*recent);
    return open_folders(r, recent) && create_temp_in_folder(r);
}

bool create_part_file(Receipt& r, const unsigned char* tag, unsigned char (&proof)[PART_PROOF_SIZE]) {
    std::uint64_t offset = 0;
    r.resumed_from = 0;
    if (!open_folders(r)) return false;
    r.file = open_part(r.part, r.name, r.file_total, tag, offset, proof);
    if (!r.file) return create_temp_in_folder(r);
    r.in_part = true;
    r.resumed_from = offset;
    r.file_left -= offset;
    recv_bytes_left.fetch_sub(offset);
    update_progress(recv_bytes_total, recv_bytes_left, r.last_percent);
    return true;
}

bool restart_part(Receipt& r) {
    if (!empty_open_file(r.file)) return false;
    recv_bytes_left.fetch_add(r.file_total - r.file_left);
    r.file_left = r.file_total;
    r.resumed_from = 0;
    update_progress(recv_bytes_total, recv_bytes_left, r.last_percent);
    return true;
}

bool store_piece(Receipt& r, const unsigned char* data, std::size_t size) {
    if (std::fwrite(data, 1, size, r.file) != size) return false;
    // Writing to the disk goes on beside the transfer, every few MiB.
    r.unflushed += size;
    if (r.unflushed >= WRITEBACK_STEP) {
        start_writeback(r.file);
        r.unflushed = 0;
    }
    r.file_left -= size;
    recv_bytes_left.fetch_sub(size);
    update_progress(recv_bytes_total, recv_bytes_left, r.last_percent);
    return true;
}

bool close_to_disk(Receipt& r) {
    // A time the file system can't take is no failure.
    if (r.has_time) set_open_file_time(r.file, r.modified_ns);
    bool flushed = flush_file_to_disk(r.file);
    int closed = std::fclose(r.file);
    r.file = nullptr;
    return flushed && closed == 0;
}

bool take_final_name(Receipt& r) {
    if (r.in_part) {
        if (!move_stored_file(r.part.folder, r.part.name, r.directory, r.name.c_str() + r.leaf)) return false;
        let_go_part(r.part);
        r.in_part = false;
    } else {
        if (!replace_stored_file(r.directory, r.temp_name.data(), r.name.c_str() + r.leaf)) return false;
        r.temp_created = false;
    }
    return true;
}

// The data reaches the disk before the file takes its name, and the name
// before the file is acknowledged: an acknowledged file survives a power
// cut, and until then an older file of its name stays whole.
bool place_file(Receipt& r) { return close_to_disk(r) && take_final_name(r) && flush_store_directory(r.directory); }

void finish_receipt(Receipt& r, bool stored, bool keep) {
    if (!stored) {
        // A failed transfer removes only its own temporary file or part, so
        // a file stored earlier under the same name survives, and the
        // folders it made, where they are still empty. A part to keep is
        // put on the disk, so that what it holds is there after a restart.
        if (r.file && keep && r.in_part) keep = flush_file_to_disk(r.file);
        if (r.file) std::fclose(r.file);
        if (r.in_part) {
            (keep ? let_go_part : drop_part)(r.part);
            r.in_part = false;
        }
        if (r.temp_created) remove_stored_file(r.directory, r.temp_name.data());
        if (r.directory_open) remove_made_directories(r.directory);
    }
    if (r.directory_open) close_store_directory(r.directory);
    r.file = nullptr;
    r.temp_created = r.directory_open = false;
    // Told before the acknowledgement, so that the files of one sender are
    // told in the order they were sent.
    ReceiveObserver observer = receive_observer.load();
    if (observer && r.name_arrived) observer(Text(r.name.c_str()), stored, r.file_total);
    recv_bytes_total.fetch_sub(r.file_total);
    recv_bytes_left.fetch_sub(r.file_left);
    update_progress(recv_bytes_total, recv_bytes_left, r.last_percent);
    r.file_total = r.file_left = 0;
}

void set_receive_observer(ReceiveObserver observer) { receive_observer.store(observer); }

void receive_connection(std::atomic<SocketHandle>& slot) {
    running_tasks.fetch_add(1);
    SocketHandle socket = slot.load();
    const std::ptrdiff_t index = &slot - receive_slots;
    TransferWatch& watch = receive_watches[index];
    watch.aborts_at_start = receive_aborts();
    watch_transfer(watch, socket);

    // A peer admitted only by its host name is closed, with nothing read,
    // unless the name passes. The greeting's time counts from then on.
    bool admitted = !receive_slot_host_check[index].load() || host_admitted(receive_slot_peers[index]);
    std::int64_t deadline = monotonic_ms() + greeting_limit_ms.load();
    if (admitted && receive_magic(socket, deadline)) {
        if (secure_transfers) {
            receive_secure_session(socket, deadline, receive_slot_greeting[index], watch);
        } else {
            set_no_delay(socket);
            Receipt r;
            auto* buffer = static_cast<unsigned char*>(std::malloc(BLOCK_SIZE));
            bool stored = buffer && receive_fixed(r, socket, buffer, deadline);
            finish_receipt(r, stored);
            if (stored) send_all(socket, CLOSING_MARK, CLOSING_MARK_SIZE);
            std::free(buffer);
        }
    }

    receive_slot_greeting[index].store(false);
    receive_slot_host_check[index].store(false);
    unwatch_transfer(watch, socket);
    close_socket(socket);
    slot.store(0);
    running_tasks.fetch_sub(1);
    abort_receive.store(false);
}

ThreadResult ZPX_THREAD_CALL receive_task(void* slot) {
    receive_connection(*static_cast<std::atomic<SocketHandle>*>(slot));
    exit_thread();
}
