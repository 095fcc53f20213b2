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
// The fixed format's size field has 32 bits; the secure format's has 64.
constexpr std::uint64_t LARGEST_FIXED_FILE = 0xFFFFFFFFull;

std::atomic<DeliveryObserver> delivery_observer{nullptr};
std::atomic<RefusalObserver> refusal_observer{nullptr};

void show_failure(const Text& text) { message_box(text, Text("Zeptrix"), Text("os")); }

Text peer_text(const Batch& b) {
    return address_to_text(b.address) + ":" + decimal_text(b.port);
}

// One connection for the file: header, data, closing mark, acknowledgement.
bool send_fixed_file(Batch& b, Outgoing& f) {
    SocketHandle socket = INVALID_SOCKET_HANDLE;
    if (!connect_to(b.address, b.port, socket, &abort_send)) {
        if (!abort_send.load()) show_failure(Text("connecting to ") + peer_text(b) + " failed!");
        return false;
    }
    set_idle_limit(socket, idle_limit_ms.load());
    // Header, data and mark go out as written: a Windows receiver delays
    // its acknowledgements up to 200 ms, which would hold every small file.
    set_no_delay(socket);
    watch_transfer(*b.watch, socket);
    bool delivered = send_fixed_transfer(b, f, socket);
    bool aborted = unwatch_transfer(*b.watch, socket) || abort_send.load();
    if (!delivered && !aborted) show_failure(Text("send of ") + f.display_name + " to " + peer_text(b) + " failed!");
    if (delivered) tell_delivered(f.display_name);
    close_socket(socket);
    return delivered;
}

Text display_name_of(const char* name, std::size_t chars) {
    return shortened_text(std::string_view(name, chars), DISPLAY_NAME_LIMIT);
}

// Sends the file at path under the wire name name (name_length counts its
// terminating zero; the name is scrambled in place). False when the batch
// must end: the connection could not be made or the transfer failed. An
// unreadable file is skipped.
bool send_file(Batch& b, const char* path, char* name, std::uint32_t name_length) {
    Outgoing f;
    f.path = path;
    f.name = name;
    f.name_length = name_length;
    f.display_name = display_name_of(name, name_length - 1);

    // The secure format carries only names its receivers store.
    bool named = !secure_transfers || is_secure_name(std::string_view(name, name_length - 1));
    f.file = named ? open_file_for_reading(path) : nullptr;
    std::uint64_t size = 0;
    if (!f.file || !open_file_size(f.file, size) || (!secure_transfers && size > LARGEST_FIXED_FILE)) {
        if (f.file) std::fclose(f.file);
        show_failure(Text("error reading ") + f.display_name);
        return true;
    }
    // Each piece is read straight into the task's buffer.
    std::setvbuf(f.file, nullptr, _IONBF, 0);
    f.file_total = f.file_left = size;
    send_bytes_total.fetch_add(f.file_total);
    send_bytes_left.fetch_add(f.file_left);

    bool go_on = secure_transfers ? secure_send_file(b, f) : send_fixed_file(b, f);
    std::fclose(f.file);
    send_bytes_total.fetch_sub(f.file_total);
    send_bytes_left.fetch_sub(f.file_left);
    update_progress(send_bytes_total, send_bytes_left, b.last_percent);
    return go_on;
}

// A name that can't be carried as it is: on a system whose own separator is
// not the backslash, a backslash inside a file name would arrive as a folder.
bool has_wire_separator(std::string_view native_name) {
    return PATH_SEPARATOR != WIRE_SEPARATOR && native_name.find(WIRE_SEPARATOR) != std::string_view::npos;
}

bool send_dropped_file(Batch& b, char* path, std::int32_t path_size) {
    const char* last = std::strrchr(path, PATH_SEPARATOR);
    char* name = last ? const_cast<char*>(last) + 1 : path;
    auto name_length = static_cast<std::uint32_t>(path + path_size - name);
    if (has_wire_separator(std::string_view(name, name_length - 1))) {
        show_failure(Text("error reading ") + display_name_of(name, name_length - 1));
        return true;
    }
    return send_file(b, path, name, name_length);
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
bool send_folder(Batch& b, char* path, std::int32_t path_size) {
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
        show_failure(Text("error reading ") + display_name_of(own_name.data(), own_name.size()));
        return true;
    }
    std::sort(contents.files.begin(), contents.files.end());
    std::sort(contents.left_out.begin(), contents.left_out.end());
    for (const std::string& item : contents.left_out) {
        std::string wire = own_name;
        wire.push_back(WIRE_SEPARATOR);
        wire.append(item);
        show_failure(Text("error reading ") + display_name_of(wire.data(), wire.size()));
    }
    for (const std::string& relative : contents.files) {
        if (abort_send.load()) return false;
        std::string wire = own_name;
        wire.push_back(WIRE_SEPARATOR);
        wire.append(relative);
        std::size_t components = 1 + static_cast<std::size_t>(std::count(wire.begin(), wire.end(), WIRE_SEPARATOR));
        // Too long or too deep for the wire, or a name no receiver stores
        // (a device name, a colon, a trailing dot): skipped, so the rest goes.
        if (wire.size() > MAX_NAME_LENGTH - 1 || components > MAX_NAME_COMPONENTS || !is_storable_name(wire)) {
            show_failure(Text("error reading ") + display_name_of(wire.data(), wire.size()));
            continue;
        }
        std::string file_path = folder;
        file_path.push_back(PATH_SEPARATOR);
        for (char c : relative) file_path.push_back(c == WIRE_SEPARATOR ? PATH_SEPARATOR : c);
        if (!send_file(b, file_path.c_str(), wire.data(), static_cast<std::uint32_t>(wire.size() + 1))) return false;
    }
    return true;
}

// The batch's secure connection ends: no more files after the last one, or
// the failure that ended it, reported as the first file without an
// acknowledgement.
void end_secure_batch(Batch& b, bool failed) {
    SendSession& s = *b.session;
    if (!failed) failed = !secure_end_batch(b);
    if (failed && !s.connect_failed && !s.interrupted && !abort_send.load()) {
        show_failure(Text("send of ") + s.failed_name + " to " + peer_text(b) + " failed!");
        RefusalObserver observer = refusal_observer.load();
        if (observer && s.refused) observer(s.refusal);
    }
    if (s.connect_failed && !abort_send.load()) show_failure(Text("connecting to ") + peer_text(b) + " failed!");
}

}  // namespace

void set_delivery_observer(DeliveryObserver observer) { delivery_observer.store(observer); }
void set_refusal_observer(RefusalObserver observer) { refusal_observer.store(observer); }

void tell_delivered(const Text& display_name) {
    DeliveryObserver observer = delivery_observer.load();
    if (observer) observer(display_name);
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
        done = is_directory(path) ? !send_folder(b, path, path_size) : !send_dropped_file(b, path, path_size);
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
