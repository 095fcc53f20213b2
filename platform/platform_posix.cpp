// Platform facts for POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"

const char PATH_SEPARATOR = '/';

// Relative to the working directory: a POSIX system has no drive that is
// always there, and the console peer is started where files should land.
Text default_destination_dir() { return Text("./"); }

bool is_directory(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

std::string absolute_path(const char* path) {
    char* resolved = realpath(path, nullptr);
    if (!resolved) return {};
    std::string absolute(resolved);
    std::free(resolved);
    return absolute;
}

namespace {

struct Walk {
    std::int32_t max_components;
    FolderItemFound found;
    void* context;
    std::string relative;  // the directory being read, with a trailing '/' below the top
};

// The kind of an entry: from the listing where the file system tells it,
// else from fstatat without following links.
mode_t kind_of(DIR* listing, const dirent* entry) {
    switch (entry->d_type) {
        case DT_REG: return S_IFREG;
        case DT_DIR: return S_IFDIR;
        case DT_UNKNOWN: break;
        default: return 0;  // links, devices, pipes, sockets
    }
    struct stat info {};
    return fstatat(dirfd(listing), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 ? info.st_mode & S_IFMT : 0;
}

// Reads one directory, given as a descriptor that walk_below owns. Links
// are never followed, and directories are entered with O_NOFOLLOW, so a link
// swapped in meanwhile is not followed either.
void walk_below(Walk& w, int directory, std::int32_t components) {
    DIR* listing = fdopendir(directory);
    if (!listing) {
        close(directory);
        return;
    }
    while (dirent* entry = readdir(listing)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        mode_t kind = kind_of(listing, entry);
        if (kind != S_IFREG && kind != S_IFDIR) continue;
        std::size_t kept = w.relative.size();
        w.relative.append(name);
        if (kind == S_IFREG) {
            w.found(w.context, FolderItem::file, w.relative);
        } else {
            int inner = components + 1 < w.max_components
                            ? openat(dirfd(listing), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                            : -1;
            if (inner < 0) {
                w.found(w.context, FolderItem::directory_left_out, w.relative);
            } else {
                w.relative.push_back('/');
                walk_below(w, inner, components + 1);
            }
        }
        w.relative.resize(kept);
    }
    closedir(listing);
}

}  // namespace

bool walk_folder(const char* folder, std::int32_t max_components, FolderItemFound found, void* context) {
    int top = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (top < 0) return false;
    Walk w{max_components, found, context, {}};
    walk_below(w, top, 0);
    return true;
}

bool open_store_directory(const Text& destination, std::string_view relative_dir, StoreDirectory& dir) {
    dir = StoreDirectory{};
    if (destination.size() + relative_dir.size() + 2 > sizeof dir.path) return false;
    std::memcpy(dir.path, destination.data(), destination.size());
    std::size_t length = destination.size();
    dir.descriptor = open(dir.path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir.descriptor < 0) return false;
    std::string_view rest = relative_dir;
    while (!rest.empty()) {
        std::size_t end = rest.find('/');
        std::string_view component = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        char name[256];
        if (component.empty() || component.size() >= sizeof name) {
            close_store_directory(dir);
            remove_made_directories(dir);
            return false;
        }
        std::memcpy(name, component.data(), component.size());
        name[component.size()] = '\0';
        // Most folders are there already: opened first, made only when missing.
        constexpr int FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int inner = openat(dir.descriptor, name, FLAGS);
        if (inner < 0 && errno == ENOENT) {
            // Another transfer may make it at the same moment: then it is used.
            if (mkdirat(dir.descriptor, name, 0777) == 0) ++dir.made;  // once one is made, every one inside it is too
            inner = openat(dir.descriptor, name, FLAGS);
        }
        std::memcpy(dir.path + length, component.data(), component.size());
        length += component.size();
        dir.path[length++] = '/';
        dir.path[length] = '\0';
        close(dir.descriptor);
        dir.descriptor = inner;
        if (inner < 0) {
            // The path ends with the component that failed; one made but not
            // opened is removed with the rest.
            remove_made_directories(dir);
            return false;
        }
    }
    if (dir.path[length - 1] != '/') dir.path[length++] = '/';
    dir.path[length] = '\0';
    return true;
}

void remove_made_directories(StoreDirectory& dir) {
    char path[sizeof dir.path];
    std::memcpy(path, dir.path, sizeof path);
    std::size_t length = std::strlen(path);
    for (; dir.made > 0; --dir.made) {
        while (length > 0 && path[length - 1] == '/') path[--length] = '\0';
        if (rmdir(path) != 0) break;
        while (length > 0 && path[length - 1] != '/') path[--length] = '\0';
    }
    dir.made = 0;
}

void close_store_directory(StoreDirectory& dir) {
    if (dir.descriptor >= 0) close(dir.descriptor);
    dir.descriptor = -1;
}

bool copy_store_directory(const StoreDirectory& from, StoreDirectory& to) {
    to = from;
    to.made = 0;
    to.descriptor = fcntl(from.descriptor, F_DUPFD_CLOEXEC, 0);
    return to.descriptor >= 0;
}

std::FILE* create_stored_file(const StoreDirectory& dir, const char* name) {
    int file = openat(dir.descriptor, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (file < 0) return nullptr;
    std::FILE* stream = fdopen(file, "wb");
    if (!stream) close(file);
    return stream;
}

bool replace_stored_file(const StoreDirectory& dir, const char* from, const char* to) {
    return renameat(dir.descriptor, from, dir.descriptor, to) == 0;
}

void remove_stored_file(const StoreDirectory& dir, const char* name) { unlinkat(dir.descriptor, name, 0); }

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

std::FILE* open_file_for_reading(const char* path) { return std::fopen(path, "rb"); }

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

bool process_is_running(std::uint32_t number) {
    if (number == 0 || number > 0x7FFFFFFF) return false;
    return kill(static_cast<pid_t>(number), 0) == 0 || errno != ESRCH;
}

// Up to the hard limit: the soft one is often 1,024 descriptors.
void allow_many_open_files() {
    constexpr rlim_t WANTED = 16384;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= WANTED) return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY || limit.rlim_max > WANTED ? WANTED : limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}
