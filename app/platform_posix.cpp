// Platform facts for POSIX systems.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "app/platform.h"

const char PATH_SEPARATOR = '/';

// Relative to the working directory: a POSIX system has no drive that is
// always there, and the console peer is started where files should land.
Text default_destination_dir() { return Text("./"); }

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
