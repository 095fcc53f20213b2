#include "transfer/secure/aborted_files.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <cstring>
#include <mutex>

#include "app/state.h"
#include "net/socket.h"
#include "transfer/secure/session.h"

namespace {

// Names of up to 255 bytes, as the secure format carries them; the oldest
// entry gives way when the table is full.
struct AbortedFile {
    char name[MAX_NAME_BYTES + 1];
    std::uint64_t size;
    std::int64_t at_ms;
    bool used;
};

// Every file that all receive slots can hold at once when an abort comes:
// a group waiting for its names and the file under way, each.
constexpr int TABLE_SIZE = SLOT_CAPACITY * (GROUP_CAPACITY + 1);
std::mutex table_lock;
AbortedFile table[TABLE_SIZE];
// When the latest file was remembered: every file that arrives asks, and
// while nothing was aborted lately none of them takes the lock.
constexpr std::int64_t NEVER = INT64_MIN / 2;
std::atomic<std::int64_t> latest_ms{NEVER};

}  // namespace

void remember_aborted_file(std::string_view name, std::uint64_t size) {
    if (name.empty() || name.size() >= sizeof table[0].name) return;
    std::lock_guard<std::mutex> hold(table_lock);
    // An unused entry, else the oldest.
    auto before = [](const AbortedFile& a, const AbortedFile& b) {
        return a.used != b.used ? !a.used : a.at_ms < b.at_ms;
    };
    AbortedFile* slot = std::min_element(std::begin(table), std::end(table), before);
    std::memcpy(slot->name, name.data(), name.size());
    slot->name[name.size()] = '\0';
    slot->size = size;
    slot->at_ms = monotonic_ms();
    slot->used = true;
    latest_ms.store(slot->at_ms);
}

bool was_aborted_lately(std::string_view name, std::uint64_t size) {
    std::int64_t now = monotonic_ms();
    if (now - latest_ms.load() >= ABORTED_FILE_MEMORY_MS) return false;
    std::lock_guard<std::mutex> hold(table_lock);
    for (const AbortedFile& f : table)
        if (f.used && now - f.at_ms < ABORTED_FILE_MEMORY_MS && f.size == size && name == f.name) return true;
    return false;
}

void forget_aborted_files() {
    std::lock_guard<std::mutex> hold(table_lock);
    for (AbortedFile& f : table) f.used = false;
    latest_ms.store(NEVER);
}
