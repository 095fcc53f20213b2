// Stored data made durable before a receiver says it has it.
#include <fcntl.h>
#include <unistd.h>

#include "platform/platform.h"

bool flush_file_to_disk(std::FILE* file) { return std::fflush(file) == 0 && fsync(fileno(file)) == 0; }

// A rename is on the disk only once its directory is.
bool flush_store_directory(const StoreDirectory& dir) { return fsync(dir.descriptor) == 0; }
