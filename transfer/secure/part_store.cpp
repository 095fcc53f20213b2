#include "transfer/secure/part_store.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "app/state.h"

namespace {

// The parts held by running receive tasks: at most one task per part, so
// that a connection left hanging never writes into a part that its
// sender's next connection resumes.
struct Claim {
    char name[PART_NAME_SIZE + 1];
    TransferWatch* holder;
};
std::mutex claims_lock;
std::condition_variable claims_changed;
Claim claims[SLOT_CAPACITY];
std::int32_t claim_count = 0;

Claim* find_claim(const char* name) {
    for (std::int32_t i = 0; i < claim_count; ++i)
        if (std::strcmp(claims[i].name, name) == 0) return &claims[i];
    return nullptr;
}

// A task whose connection just broke may still be putting its part on the
// disk when the sender's next connection asks for it: that connection waits
// a while for the part rather than send the whole file again. An abort ends
// the wait. A drop may also never reach the receiver (no reset arrives, the
// old connection just goes silent until its idle limit): once the holder
// has heard nothing for a while, the sender has surely given it up, and it
// is shut down, keeping what it received.
constexpr auto CLAIM_WAIT = std::chrono::seconds(10);
constexpr auto ABORT_CHECK = std::chrono::milliseconds(50);
constexpr std::int64_t SILENT_HOLDER_MS = 2000;

bool claim(const char* name, TransferWatch* watch) {
    std::unique_lock<std::mutex> hold(claims_lock);
    auto give_up = std::chrono::steady_clock::now() + CLAIM_WAIT;
    // The holder's task unclaims before it closes its socket, so the watch
    // still has that socket while the lock is held.
    for (Claim* held = find_claim(name); held; held = find_claim(name)) {
        if (abort_receive.load() || std::chrono::steady_clock::now() >= give_up) return false;
        TransferWatch* holder = held->holder;
        if (holder && !holder->interrupted.load() && monotonic_ms() - holder->heard_ms.load() >= SILENT_HOLDER_MS)
            interrupt_transfer(*holder);
        claims_changed.wait_for(hold, ABORT_CHECK);
    }
    if (claim_count == SLOT_CAPACITY) return false;
    std::memcpy(claims[claim_count].name, name, PART_NAME_SIZE + 1);
    claims[claim_count++].holder = watch;
    return true;
}

void unclaim(HeldPart& part) {
    if (!part.claimed) return;
    std::lock_guard<std::mutex> hold(claims_lock);
    for (std::int32_t i = 0; i < claim_count; ++i) {
        if (std::strcmp(claims[i].name, part.name) != 0) continue;
        claims[i] = claims[--claim_count];
        break;
    }
    part.claimed = false;
    claims_changed.notify_all();
}

bool open_parts_folder(StoreDirectory& folder) {
    if (!open_store_directory(destination_dir, PARTS_FOLDER, folder)) return false;
    if (folder.made) hide_directory(folder);
    return true;
}

// The folder goes too once it holds no part.
void close_parts_folder(StoreDirectory& folder) {
    close_store_directory(folder);
    folder.made = 1;
    remove_made_directories(folder);
}

void let_go(HeldPart& part) {
    unclaim(part);
    if (part.folder_open) close_parts_folder(part.folder);
    part.folder_open = false;
}

// A part's name, with or without the mark, names the part a task holds.
bool held_by_a_task(const char* name) {
    char part[PART_NAME_SIZE + 1] = {};
    std::size_t length = std::strlen(name);
    if (length == PART_NAME_SIZE + 1 && name[PART_NAME_SIZE] == WRITING_MARK) --length;
    if (length != PART_NAME_SIZE) return false;
    std::memcpy(part, name, PART_NAME_SIZE);
    std::lock_guard<std::mutex> hold(claims_lock);
    return find_claim(part) != nullptr;
}

// Before a task writes into the part: a part kept earlier takes the mark.
// One that has the mark already was left by a program that ended while
// writing it. Written since the system started, it holds what arrived and
// goes on; otherwise the system went down meanwhile and its end may never
// have reached the disk, so it goes and the file starts again.
void take_up_part(HeldPart& part) {
    if (written_since_system_start(part.folder, part.file)) {
        remove_stored_file(part.folder, part.name);
        return;
    }
    remove_stored_file(part.folder, part.file);
    move_stored_file(part.folder, part.name, part.folder, part.file);
}

void remove_parts(std::int64_t max_age_seconds) {
    Text path = destination_dir + PARTS_FOLDER;
    StoreDirectory folder;
    if (!is_directory(path.data()) || !open_parts_folder(folder)) return;
    remove_old_files(folder, max_age_seconds, held_by_a_task);
    close_parts_folder(folder);
}

}  // namespace

std::FILE* open_part(HeldPart& part, std::string_view name, std::uint64_t size, const unsigned char* tag,
                     std::uint64_t& offset) {
    offset = 0;
    if (!make_part_name(name, size, tag, part.name) || !claim(part.name, part.watch)) return nullptr;
    part.claimed = true;
    std::memcpy(part.file, part.name, PART_NAME_SIZE);
    part.file[PART_NAME_SIZE] = WRITING_MARK;
    part.file[PART_NAME_SIZE + 1] = '\0';
    part.folder_open = open_parts_folder(part.folder);
    if (part.folder_open) take_up_part(part);
    std::FILE* file = part.folder_open ? open_kept_file(part.folder, part.file, offset) : nullptr;
    if (file && offset > size) {
        std::fclose(file);
        remove_stored_file(part.folder, part.file);
        file = open_kept_file(part.folder, part.file, offset);
    }
    if (!file) let_go(part);
    return file;
}

void release_part(HeldPart& part) { let_go(part); }

void keep_part(HeldPart& part) {
    if (part.folder_open) {
        // On the disk already: it loses the mark, and the folder notes that.
        if (move_stored_file(part.folder, part.file, part.folder, part.name)) flush_store_directory(part.folder);
        remove_old_files(part.folder, PART_MAX_AGE_SECONDS, held_by_a_task);
    }
    let_go(part);
}

void drop_part(HeldPart& part) {
    if (part.folder_open) remove_stored_file(part.folder, part.file);
    let_go(part);
}

void remove_stale_parts() { remove_parts(PART_MAX_AGE_SECONDS); }

void remove_unused_parts() { remove_parts(0); }
