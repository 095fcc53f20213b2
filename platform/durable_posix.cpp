// Stored data made durable before a receiver says it has it.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "platform/platform.h"

bool flush_file_to_disk(std::FILE* file) { return std::fflush(file) == 0 && fsync(fileno(file)) == 0; }

// Asks the system to start writing what has been written so far, without
// waiting, so that the flush at the end finds little left to write.
void start_writeback(std::FILE* file) { sync_file_range(fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE); }

// A rename is on the disk only once its directory is, and a directory made
// for the file only once its parent is: each of those is flushed too.
bool flush_store_directory(const StoreDirectory& dir) {
    if (fsync(dir.descriptor) != 0) return false;
    char path[sizeof dir.path];
    std::memcpy(path, dir.path, sizeof path);
    std::size_t length = std::strlen(path);
    for (std::int32_t made = dir.made; made > 0; --made) {
        while (length > 0 && path[length - 1] == '/') path[--length] = '\0';
        while (length > 0 && path[length - 1] != '/') path[--length] = '\0';
        int parent = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        bool flushed = parent >= 0 && fsync(parent) == 0;
        if (parent >= 0) close(parent);
        if (!flushed) return false;
    }
    return true;
}
