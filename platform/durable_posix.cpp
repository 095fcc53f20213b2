// Stored data made durable before a receiver says it has it.
#include <fcntl.h>
#include <unistd.h>

#include "platform/platform.h"

bool flush_file_to_disk(std::FILE* file) { return std::fflush(file) == 0 && fsync(fileno(file)) == 0; }

// Asks the system to start writing what has been written so far, without
// waiting, so that the flush at the end finds little left to write.
void start_writeback(std::FILE* file) { sync_file_range(fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE); }

// A rename is on the disk only once its directory is.
bool flush_store_directory(const StoreDirectory& dir) { return fsync(dir.descriptor) == 0; }
