#include "transfer/leftover_files.h"

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

constexpr std::string_view TEMP_NAME_END = ".part";
constexpr auto SWEEP_EVERY = std::chrono::hours(1);
constexpr std::int32_t SWEEP_STACK_SIZE = 65536;

bool digits_at(std::string_view text, std::size_t from, std::size_t to, std::uint64_t& value) {
    value = 0;
    if (from >= to) return false;
    for (std::size_t i = from; i < to; ++i) {
        if (text[i] < '0' || text[i] > '9' || value > 0xFFFFFFFFu) return false;
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    return value <= 0xFFFFFFFFu;
}

void note_temporary_file(void* context, FolderItem item, std::string_view path) {
    std::size_t leaf = path.rfind(PATH_SEPARATOR);
    std::string_view name = path.substr(leaf == std::string_view::npos ? 0 : leaf + 1);
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

bool temporary_file_process(std::string_view name, std::uint32_t& process) {
    if (name.size() <= TEMP_NAME_PREFIX.size() + TEMP_NAME_END.size() || name.substr(0, TEMP_NAME_PREFIX.size()) != TEMP_NAME_PREFIX ||
        name.substr(name.size() - TEMP_NAME_END.size()) != TEMP_NAME_END)
        return false;
    std::size_t start = TEMP_NAME_PREFIX.size(), end = name.size() - TEMP_NAME_END.size();
    std::size_t dash = name.find('-', start);
    std::uint64_t number = 0, sequence = 0;
    if (dash == std::string_view::npos || dash >= end || !digits_at(name, start, dash, number) ||
        !digits_at(name, dash + 1, end, sequence))
        return false;
    process = static_cast<std::uint32_t>(number);
    return true;
}

void remove_stale_temporary_files() {
    std::vector<std::string> stale;
    if (!walk_folder(destination_dir.data(), MAX_NAME_COMPONENTS, note_temporary_file, &stale)) return;
    for (const std::string& path : stale) {
        std::size_t leaf = path.rfind(PATH_SEPARATOR);
        std::string_view folders = leaf == std::string::npos ? std::string_view() : std::string_view(path).substr(0, leaf);
        StoreDirectory dir;
        if (!open_store_directory(destination_dir, folders, dir)) continue;
        remove_stored_file(dir, path.c_str() + (leaf == std::string::npos ? 0 : leaf + 1));
        close_store_directory(dir);
    }
}

void start_leftover_sweeps() { start_thread(leftover_sweeps, nullptr, SWEEP_STACK_SIZE); }
