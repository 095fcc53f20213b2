// Stored data made durable before a receiver says it has it.
#include <windows.h>
#include <io.h>

#include "platform/platform.h"

bool flush_file_to_disk(std::FILE* file) {
    if (std::fflush(file) != 0) return false;
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) != 0;
}

// Windows writes back on its own; the flush at the end waits for the rest.
void start_writeback(std::FILE*) {}

// The rename itself is written through, so the folder holds nothing more
// to flush.
bool flush_store_directory(const StoreDirectory&) { return true; }
