#include "transfer/secure/part_store.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

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
// disk when the sender's next connection asks for it: that one waits a
// while rather than take the whole file again; an abort ends the wait. A
// holder silent for a while (its sender saw a drop the receiver never
// heard of) is shut down, keeping what it received.
constexpr auto CLAIM_WAIT = std::chrono::seconds(10);
constexpr auto ABORT_CHECK = std::chrono::milliseconds(50);
constexpr std::int64_t SILENT_HOLDER_MS = 2000;

bool claim(const char* name, TransferWatch* watch) {
    std::unique_lock<std::mutex> hold(claims_lock);
    auto give_up = std::chrono::steady_clock::now() + CLAIM_WAIT;
    // The holder's task unclaims before it closes its socket, so the watch
    // still has that socket while the lock is held.
    for (Claim* held = find_claim(name); held; held = find_claim(name)) {
        if ((watch && receive_aborted(*watch)) || std::chrono::steady_clock::now() >= give_up) return false;
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
    if (Claim* held = find_claim(part.name)) *held = claims[--claim_count];
    part.claimed = false;
    claims_changed.notify_all();
}

bool held_by_a_task(const std::string& name) {
    std::lock_guard<std::mutex> hold(claims_lock);
    return name.size() == PART_NAME_SIZE && find_claim(name.c_str()) != nullptr;
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

struct PartFile {
    std::string name;
    std::uint64_t size;
    std::int64_t written;
};

void note_part_file(void* context, const char* name, std::uint64_t size, std::int64_t written) {
    static_cast<std::vector<PartFile>*>(context)->push_back(PartFile{name, size, written});
}

// Removes the parts nobody else holds (own names the caller's) that are
// over the age (every one for 0); returns the others, oldest first.
std::vector<PartFile> remove_older(const StoreDirectory& folder, std::int64_t max_age_seconds, const char* own = "") {
    std::vector<PartFile> parts, left;
    list_stored_files(folder, note_part_file, &parts);
    std::sort(parts.begin(), parts.end(), [](const PartFile& a, const PartFile& b) { return a.written < b.written; });
    std::int64_t now = std::time(nullptr);
    for (PartFile& f : parts) {
        if (f.name != own && held_by_a_task(f.name)) continue;
        if (max_age_seconds == 0 || now - f.written > max_age_seconds)
            remove_stored_file(folder, f.name.c_str());
        else
            left.push_back(std::move(f));
    }
    return left;
}

// Makes room for the part a task takes up, to hold size bytes: parts a
// day old go, and so do parts of an older version of the same file (same
// name and size, another tag). Then all parts together must stay within
// PARTS_SHARE_OF_SPACE of the space they and the volume's free bytes make;
// the oldest go first. False when the part would not fit even so: then
// the file is received without one.
bool make_room(const HeldPart& part, std::uint64_t size) {
    std::vector<PartFile> parts = remove_older(part.folder, PART_MAX_AGE_SECONDS, part.name);
    std::uint64_t free = 0;
    if (!free_space(part.folder, free)) return false;
    std::uint64_t held = 0;
    std::vector<PartFile> others;
    for (PartFile& f : parts) {
        // This part's own, counted at its whole size below, or an older version's, removed.
        if (std::strncmp(f.name.c_str(), part.name, PART_NAME_FILE_DIGITS) == 0) {
            if (f.name != part.name) remove_stored_file(part.folder, f.name.c_str());
            free += f.size;
        } else {
            held += f.size;
            others.push_back(std::move(f));
        }
    }
    std::uint64_t cap = (free + held) / PARTS_SHARE_OF_SPACE;
    for (const PartFile& f : others) {
        if (held + size <= cap) break;
        remove_stored_file(part.folder, f.name.c_str());
        held -= f.size;
    }
    return held + size <= cap;
}

void remove_parts(std::int64_t max_age_seconds) {
    Text path = destination_dir + PARTS_FOLDER;
    StoreDirectory folder;
    if (!is_directory(path.data()) || !open_parts_folder(folder)) return;
    remove_older(folder, max_age_seconds);
    close_parts_folder(folder);
}

}  // namespace

std::FILE* open_part(HeldPart& part, std::string_view name, std::uint64_t size, const unsigned char* tag,
                     std::uint64_t& offset, unsigned char (&proof)[PART_PROOF_SIZE]) {
    offset = 0;
    if (!make_part_name(name, size, tag, part.name) || !claim(part.name, part.watch)) return nullptr;
    part.claimed = true;
    part.folder_open = open_parts_folder(part.folder);
    bool room = part.folder_open && make_room(part, size);
    if (part.folder_open && !room) remove_stored_file(part.folder, part.name);
    std::FILE* file = room ? open_kept_file(part.folder, part.name, offset) : nullptr;
    // Read back and then written straight through, without the stream's
    // buffer; a part longer than the file, or one that can't be read whole,
    // starts again empty.
    if (file) std::setvbuf(file, nullptr, _IONBF, 0);
    if (file && offset != 0 && (offset > size || !hash_file_head(file, offset, proof))) {
        offset = 0;
        if (!empty_open_file(file)) {
            std::fclose(file);
            file = nullptr;
        }
    }
    if (!file) let_go_part(part);
    return file;
}

void let_go_part(HeldPart& part) {
    unclaim(part);
    if (part.folder_open) close_parts_folder(part.folder);
    part.folder_open = false;
}

void drop_part(HeldPart& part) {
    if (part.folder_open) remove_stored_file(part.folder, part.name);
    let_go_part(part);
}

void remove_stale_parts() { remove_parts(PART_MAX_AGE_SECONDS); }

void remove_unused_parts() { remove_parts(0); }
