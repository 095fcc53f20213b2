// Platform facts for POSIX systems.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/platform.h"

const char PATH_SEPARATOR = '/';

// Relative to the working directory: a POSIX system has no drive that is
// always there, and the console peer is started where files should land.
Text default_destination_dir() { return Text("./"); }

namespace {

bool is_directory(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

bool make_directories(const Text& path) {
    char buffer[Text::CAPACITY + 1];
    std::size_t length = path.size();
    std::memcpy(buffer, path.data(), length);
    buffer[length] = '\0';
    if (is_directory(buffer)) return true;
    for (std::size_t i = 1; i <= length; ++i) {
        if (i < length && buffer[i] != '/') continue;
        char kept = buffer[i];
        buffer[i] = '\0';
        if (!is_directory(buffer) && mkdir(buffer, 0777) != 0 && errno != EEXIST) return false;
        buffer[i] = kept;
    }
    return is_directory(buffer);
}

bool replace_file(const char* from, const char* to) { return std::rename(from, to) == 0; }

bool open_file_size(std::FILE* file, std::uint64_t& size) {
    struct stat info {};
    if (fstat(fileno(file), &info) != 0 || info.st_size < 0) return false;
    size = static_cast<std::uint64_t>(info.st_size);
    return true;
}

// File names are case-sensitive here, so the directory keeps its case.
Text executable_directory() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    path[n] = '\0';
    char* last = std::strrchr(path, '/');
    if (!last) return {};
    last[1] = '\0';
    return Text(path);
}

std::uint32_t process_number() { return static_cast<std::uint32_t>(getpid()); }
