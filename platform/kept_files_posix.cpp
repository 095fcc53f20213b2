// Files kept across connections, and what tells versions of a file apart.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "platform/platform.h"

std::FILE* open_kept_file(const StoreDirectory& dir, const char* name, std::uint64_t& length) {
    int file = openat(dir.descriptor, name, O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (file < 0) return nullptr;
    struct stat info {};
    std::FILE* stream = fstat(file, &info) == 0 && S_ISREG(info.st_mode) ? fdopen(file, "a+b") : nullptr;
    if (!stream) {
        close(file);
        return nullptr;
    }
    length = static_cast<std::uint64_t>(info.st_size);
    return stream;
}

// Writes go to the end whatever the position, so only the length moves.
bool empty_open_file(std::FILE* file) {
    return std::fflush(file) == 0 && ftruncate(fileno(file), 0) == 0 && fseeko(file, 0, SEEK_SET) == 0;
}

bool move_stored_file(const StoreDirectory& from_dir, const char* from, const StoreDirectory& to_dir, const char* to) {
    return renameat(from_dir.descriptor, from, to_dir.descriptor, to) == 0;
}

void list_stored_files(const StoreDirectory& dir, StoredFileFound found, void* context) {
    int listed = dup(dir.descriptor);
    DIR* listing = listed < 0 ? nullptr : fdopendir(listed);
    if (!listing) {
        if (listed >= 0) close(listed);
        return;
    }
    while (dirent* entry = readdir(listing)) {
        struct stat info {};
        if (fstatat(dir.descriptor, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
            continue;
        found(context, entry->d_name, static_cast<std::uint64_t>(info.st_size), info.st_mtime);
    }
    closedir(listing);
}

bool free_space(const StoreDirectory& dir, std::uint64_t& bytes) {
    struct statvfs info {};
    if (fstatvfs(dir.descriptor, &info) != 0) return false;
    bytes = static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
    return true;
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

bool open_file_time(std::FILE* file, std::int64_t& nanoseconds) {
    struct stat info {};
    if (fstat(fileno(file), &info) != 0) return false;
    constexpr std::int64_t BILLION = 1000000000;
    std::int64_t seconds = info.st_mtim.tv_sec;
    if (seconds > INT64_MAX / BILLION - 1 || seconds < INT64_MIN / BILLION + 1) return false;
    nanoseconds = seconds * BILLION + info.st_mtim.tv_nsec;
    return true;
}

bool set_open_file_time(std::FILE* file, std::int64_t nanoseconds) {
    constexpr std::int64_t BILLION = 1000000000;
    std::int64_t seconds = nanoseconds / BILLION, rest = nanoseconds % BILLION;
    if (rest < 0) {
        rest += BILLION;
        --seconds;
    }
    timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), static_cast<long>(rest)}};
    return std::fflush(file) == 0 && futimens(fileno(file), times) == 0;
}

bool seek_file(std::FILE* file, std::uint64_t offset) {
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}
