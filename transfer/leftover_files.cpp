#include "transfer/leftover_files.h"

#include <charconv>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/state.h"
#include "platform/platform.h"
#include "toolkit/task_services.h"
#include "transfer/name_check.h"
#include "transfer/secure/part_store.h"

namespace {

constexpr auto SWEEP_EVERY = std::chrono::hours(1);
constexpr std::int32_t SWEEP_STACK_SIZE = 65536;

// The process number in a temporary file's name, PREFIXprocess-sequence.part.
bool temporary_file_process(std::string_view name, std::uint32_t& process) {
    if (!name.starts_with(TEMP_NAME_PREFIX) || !name.ends_with(TEMP_NAME_END)) return false;
    const char* end = name.data() + name.size() - TEMP_NAME_END.size();
    const char* start = name.data() + TEMP_NAME_PREFIX.size();
    std::uint32_t sequence = 0;
    auto first = std::from_chars(start, end < start ? start : end, process);
    if (first.ec != std::errc() || first.ptr == end || *first.ptr != '-') return false;
    auto second = std::from_chars(first.ptr + 1, end, sequence);
    return second.ec == std::errc() && second.ptr == end;
}

void note_temporary_file(void* context, FolderItem item, std::string_view path) {
    std::string_view name = path.substr(path.rfind(PATH_SEPARATOR) + 1);  // all without a separator
    std::uint32_t process = 0;
    if (item == FolderItem::file && temporary_file_process(name, process) && process != process_number() &&
        !process_is_running(process))
        static_cast<std::vector<std::string>*>(context)->emplace_back(path);
}

ThreadResult ZPX_THREAD_CALL leftover_sweeps(void*) {
    remove_stale_temporary_files();
    if (!secure_transfers) return 0;
    for (remove_stale_parts();; remove_stale_parts()) std::this_thread::sleep_for(SWEEP_EVERY);
}

}  // namespace

void remove_stale_temporary_files() {
    std::vector<std::string> stale;
    if (!walk_folder(destination_dir.data(), MAX_NAME_COMPONENTS, note_temporary_file, &stale)) return;
    for (const std::string& path : stale) {
        std::size_t leaf = path.rfind(PATH_SEPARATOR) + 1;  // 0 without a separator
        std::string_view folders = std::string_view(path).substr(0, leaf ? leaf - 1 : 0);
        StoreDirectory dir;
        if (!open_store_directory(destination_dir, folders, dir)) continue;
        remove_stored_file(dir, path.c_str() + leaf);
        close_store_directory(dir);
    }
}

void start_leftover_sweeps() { start_thread(leftover_sweeps, nullptr, SWEEP_STACK_SIZE); }
