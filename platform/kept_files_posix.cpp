// Files kept across connections, and what tells versions of a file apart.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "platform/platform.h"

std::FILE* open_kept_file(const StoreDirectory& dir, const char* name, std::uint64_t& length) {
    int file = openat(dir.descriptor, name, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (file < 0) return nullptr;
    struct stat info {};
    std::FILE* stream = fstat(file, &info) == 0 && S_ISREG(info.st_mode) ? fdopen(file, "ab") : nullptr;
    if (!stream) {
        close(file);
        return nullptr;
    }
    length = static_cast<std::uint64_t>(info.st_size);
    return stream;
}

bool move_stored_file(const StoreDirectory& from_dir, const char* from, const StoreDirectory& to_dir, const char* to) {
    return renameat(from_dir.descriptor, from, to_dir.descriptor, to) == 0;
}

void remove_old_files(const StoreDirectory& dir, std::int64_t max_age_seconds, bool (*keep)(const char* name)) {
    int listed = dup(dir.descriptor);
    DIR* listing = listed < 0 ? nullptr : fdopendir(listed);
    if (!listing) {
        if (listed >= 0) close(listed);
        return;
    }
    std::time_t now = std::time(nullptr);
    while (dirent* entry = readdir(listing)) {
        struct stat info {};
        if (fstatat(dir.descriptor, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
            continue;
        if (max_age_seconds > 0 && now - info.st_mtime <= max_age_seconds) continue;
        if (keep && keep(entry->d_name)) continue;
        unlinkat(dir.descriptor, entry->d_name, 0);
    }
    closedir(listing);
}

bool written_since_system_start(const StoreDirectory& dir, const char* name) {
    struct stat info {};
    timespec running {};
    if (fstatat(dir.descriptor, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode) ||
        clock_gettime(CLOCK_BOOTTIME, &running) != 0)
        return false;
    return info.st_mtime >= std::time(nullptr) - running.tv_sec;
}

// A name beginning with a dot is hidden already.
void hide_directory(const StoreDirectory&) {}

bool open_file_identity(std::FILE* file, FileIdentity& identity) {
    struct stat info {};
    if (fstat(fileno(file), &info) != 0 || info.st_size < 0) return false;
    identity.size = static_cast<std::uint64_t>(info.st_size);
    identity.modified = static_cast<std::uint64_t>(info.st_mtim.tv_sec) * 1000000000u +
                        static_cast<std::uint64_t>(info.st_mtim.tv_nsec);
    identity.changed = static_cast<std::uint64_t>(info.st_ctim.tv_sec) * 1000000000u +
                       static_cast<std::uint64_t>(info.st_ctim.tv_nsec);
    identity.volume = static_cast<std::uint64_t>(info.st_dev);
    identity.index = static_cast<std::uint64_t>(info.st_ino);
    return true;
}

bool seek_file(std::FILE* file, std::uint64_t offset) {
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}
