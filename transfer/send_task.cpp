#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "app/state.h"
#include "text/text_utils.h"
#include "transfer/engine.h"
#include "transfer/name_check.h"
#include "transfer/outgoing.h"
#include "transfer/secure/session.h"
#include "transfer/transfer_key.h"
#include "transfer/transfer_watch.h"
#include "transfer/wire.h"

namespace {

constexpr std::size_t DISPLAY_NAME_LIMIT = 150;

std::atomic<DeliveryObserver> delivery_observer{nullptr};
std::atomic<FailureObserver> failure_observer{nullptr};

// What a file's send leaves its batch to do.
enum class Next { next_file, end_batch };

// The message, and then the observer is told why.
void report(const Text& text, const Failure& failure) {
    message_box(text, Text("Zeptrix"), Text("os"));
    if (FailureObserver observer = failure_observer.load()) observer(failure);
}

Text peer_text(const Batch& b) {
    return address_to_text(b.address) + ":" + decimal_text(b.port);
}

Text display_name_of(std::string_view name) { return shortened_text(name, DISPLAY_NAME_LIMIT); }

void report_unreadable(const Text& display_name) {
    report(Text("error reading ") + display_name, Failure{SendFailure::unreadable, REFUSED_OTHER, secure_transfers});
}

// A failure the user is told of: a connection never made by the peer, any
// other by the file; an abort by nothing.
void report_failure(const Batch& b, const Text& display_name, const Failure& failure) {
    if (failure.kind == SendFailure::none || failure.kind == SendFailure::aborted || abort_send.load()) return;
    if (failure.kind == SendFailure::connection_refused || failure.kind == SendFailure::no_answer)
        report(Text("connecting to ") + peer_text(b) + " failed!", failure);
    else
        report(Text("send of ") + display_name + " to " + peer_text(b) + " failed!", failure);
}

// One connection for the file: header, data, closing mark, acknowledgement.
Next send_fixed_file(Batch& b, Outgoing& f) {
    SocketHandle socket = INVALID_SOCKET_HANDLE;
    ConnectFailure why = ConnectFailure::none;
    Failure failure;
    if (!connect_to(b.address, b.port, socket, &abort_send, &why)) {
        failure.kind = connect_failure(why);
    } else {
        set_idle_limit(socket, idle_limit_ms.load());
        // Header, data and mark go out as written: a Windows receiver delays
        // its acknowledgements up to 200 ms, which would hold every small file.
        set_no_delay(socket);
        watch_transfer(*b.watch, socket);
        failure.kind = send_fixed_transfer(b, f, socket);
        if (unwatch_transfer(*b.watch, socket) || abort_send.load()) failure.kind = SendFailure::aborted;
        close_socket(socket);
    }
    if (failure.kind == SendFailure::none) tell_delivered(f.display_name);
    report_failure(b, f.display_name, failure);
    return failure.kind == SendFailure::none ? Next::next_file : Next::end_batch;
}

// Sends the file at path under the wire name name. The batch ends when the
// connection could not be made or the transfer failed; an unreadable file
// is skipped.
Next send_file(Batch& b, const char* path, std::string_view name) {
    Outgoing f;
    f.path = path;
    f.name = name;
    f.display_name = display_name_of(name);

    // The secure format carries only names its receivers store.
    bool named = !secure_transfers || is_secure_name(name);
    std::uint64_t size = 0;
    f.file = named ? open_file_to_send(path, size) : nullptr;
    if (!f.file || (!secure_transfers && size > LARGEST_FIXED_FILE)) {
        if (f.file) std::fclose(f.file);
        report_unreadable(f.display_name);
        return Next::next_file;
    }
    f.file_total = f.file_left = size;
    send_bytes_total.fetch_add(f.file_total);
    send_bytes_left.fetch_add(f.file_left);

    Next next = secure_transfers ? (secure_send_file(b, f) ? Next::next_file : Next::end_batch) : send_fixed_file(b, f);
    std::fclose(f.file);
    send_bytes_total.fetch_sub(f.file_total);
    send_bytes_left.fetch_sub(f.file_left);
    update_progress(send_bytes_total, send_bytes_left, b.last_percent);
    return next;
}

// A name that can't be carried as it is: on a system whose own separator is
// not the backslash, a backslash inside a file name would arrive as a folder.
bool has_wire_separator(std::string_view native_name) {
    return PATH_SEPARATOR != WIRE_SEPARATOR && native_name.find(WIRE_SEPARATOR) != std::string_view::npos;
}

Next send_dropped_file(Batch& b, char* path, std::int32_t path_size) {
    const char* last = std::strrchr(path, PATH_SEPARATOR);
    const char* start = last ? last + 1 : path;
    std::string_view name(start, static_cast<std::size_t>(path + path_size - 1 - start));
    if (has_wire_separator(name)) {
        report_unreadable(display_name_of(name));
        return Next::next_file;
    }
    return send_file(b, path, name);
}

// The files found below a dropped folder: their wire names below the
// folder, and those of items that can't be sent.
struct FolderContents {
    std::vector<std::string> files;
    std::vector<std::string> left_out;
};

void note_folder_item(void* context, FolderItem item, std::string_view relative) {
    auto& contents = *static_cast<FolderContents*>(context);
    std::string wire(relative);
    bool carried = item == FolderItem::file;
    for (char& c : wire) {
        if (c == PATH_SEPARATOR) c = WIRE_SEPARATOR;
        else if (c == WIRE_SEPARATOR) carried = false;
    }
    (carried ? contents.files : contents.left_out).push_back(std::move(wire));
}

// Every regular file below the folder, in the byte order of its path below
// the folder, each as a transfer of its own named folder\path. A file whose
// name is too long or too deep, or that no receiver would store, is skipped
// with "error reading" as an unreadable file is.
Next send_folder(Batch& b, char* path, std::int32_t path_size) {
    std::string folder(path, static_cast<std::size_t>(path_size - 1));
    while (folder.size() > 1 && folder.back() == PATH_SEPARATOR) folder.pop_back();
    std::size_t last = folder.rfind(PATH_SEPARATOR);
    std::string own_name = last == std::string::npos ? folder : folder.substr(last + 1);
    // "." or "..": the folder goes under its own name.
    if (own_name == "." || own_name == "..") {
        std::string absolute = absolute_path(folder.c_str());
        last = absolute.rfind(PATH_SEPARATOR);
        if (last != std::string::npos) {
            folder = absolute;
            own_name = absolute.substr(last + 1);
        }
    }
    FolderContents contents;
    if (!is_safe_file_name(own_name) || has_wire_separator(own_name) ||
        !walk_folder(folder.c_str(), MAX_NAME_COMPONENTS - 1, note_folder_item, &contents)) {
        report_unreadable(display_name_of(own_name));
        return Next::next_file;
    }
    std::sort(contents.files.begin(), contents.files.end());
    std::sort(contents.left_out.begin(), contents.left_out.end());
    auto wire_name = [&own_name](const std::string& below) {
        std::string wire = own_name;
        wire.push_back(WIRE_SEPARATOR);
        return wire.append(below);
    };
    for (const std::string& item : contents.left_out) report_unreadable(display_name_of(wire_name(item)));
    for (const std::string& relative : contents.files) {
        if (abort_send.load()) return Next::end_batch;
        std::string wire = wire_name(relative);
        std::size_t components = 1 + static_cast<std::size_t>(std::count(wire.begin(), wire.end(), WIRE_SEPARATOR));
        // Too long or too deep for the wire, or a name no receiver stores
        // (a device name, a colon, a trailing dot): skipped, so the rest goes.
        if (wire.size() > MAX_NAME_BYTES || components > MAX_NAME_COMPONENTS || !is_storable_name(wire)) {
            report_unreadable(display_name_of(wire));
            continue;
        }
        std::string file_path = folder;
        file_path.push_back(PATH_SEPARATOR);
        for (char c : relative) file_path.push_back(c == WIRE_SEPARATOR ? PATH_SEPARATOR : c);
        if (send_file(b, file_path.c_str(), wire) == Next::end_batch)
            return Next::end_batch;
    }
    return Next::next_file;
}

// The batch's secure connection ends: no more files after the last one, or
// the failure that ended it, reported as the first file without an
// acknowledgement (the connection itself, where it was never made).
void end_secure_batch(Batch& b, bool failed) {
    if (failed || !secure_end_batch(b)) report_failure(b, b.session->failed_name, b.session->failure);
}

}  // namespace

void set_delivery_observer(DeliveryObserver observer) { delivery_observer.store(observer); }
void set_failure_observer(FailureObserver observer) { failure_observer.store(observer); }

std::FILE* open_file_to_send(const char* path, std::uint64_t& size) {
    std::FILE* file = open_file_for_reading(path);
    if (file && !open_file_size(file, size)) {
        std::fclose(file);
        return nullptr;
    }
    // Each piece is read straight into the task's buffer.
    if (file) std::setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

bool read_piece(Batch& b, Outgoing& f, unsigned char* into, std::size_t want, std::size_t& got) {
    got = want == 0 ? 0 : std::fread(into, 1, want, f.file);
    f.file_left -= got;
    send_bytes_left.fetch_sub(got);
    update_progress(send_bytes_total, send_bytes_left, b.last_percent);
    return got != 0 || want == 0;
}

void tell_delivered(const Text& display_name) {
    if (DeliveryObserver observer = delivery_observer.load()) observer(display_name);
}

void send_batch(std::atomic<DropHandle>& slot) {
    running_tasks.fetch_add(1);
    DropHandle drop = slot.load();
    Batch b;
    const std::ptrdiff_t index_of_slot = &slot - send_slots;
    b.address = send_slot_addresses[index_of_slot];
    b.port = send_slot_ports[index_of_slot];
    b.watch = &send_watches[index_of_slot];
    // Made once per batch: the fixed format's block, or the secure
    // session with its buffers.
    if (secure_transfers)
        b.session = new (std::nothrow) SendSession;
    else
        b.buffer = static_cast<unsigned char*>(std::malloc(BLOCK_SIZE + CLOSING_MARK_SIZE));
    if (!b.session && !b.buffer) message_box(Text("error creating send task!"), Text("Zeptrix"), Text("io"));

    // The first file is always tried; an abort ends the batch after a file.
    bool done = false;
    std::int32_t index = 1;
    do {
        if (!b.session && !b.buffer) break;
        char* path = nullptr;
        std::int32_t path_size = 0;
        get_dropped_file(drop, index, path, path_size);
        if (path_size == 0) break;
        Next next = is_directory(path) ? send_folder(b, path, path_size) : send_dropped_file(b, path, path_size);
        done = next == Next::end_batch;
        free_dropped_file(path, path_size);
        ++index;
    } while (!done && !abort_send.load());
    if (b.session) end_secure_batch(b, done);

    std::free(b.buffer);
    delete b.session;
    finish_drop(drop);
    slot.store(0);
    running_tasks.fetch_sub(1);
    abort_send.store(false);
}

ThreadResult ZPX_THREAD_CALL send_task(void* slot) {
    send_batch(*static_cast<std::atomic<DropHandle>*>(slot));
    exit_thread();
}
