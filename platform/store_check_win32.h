// What the Windows store does with an open file's handle: where it really
// lies, whatever links or junctions were swapped in on the way, and the
// stream over it.
#pragma once

#include <windows.h>

#include <cstdio>

#include "platform/platform.h"

// True when the open file's final path is the destination's, then the
// folders and the name it was opened by, told apart without regard to case
// as the file system does: no link, junction or short name ("ZEPTRI~1" for
// a receiver's own folder) led it elsewhere.
bool lies_where_named(const StoreDirectory& dir, const char* name, HANDLE file);
// Removes an open file wherever it is, by the handle, which needs DELETE
// access; else by the path the handle tells.
void remove_open_file(HANDLE file);
// The stream over an open file's handle, which it then owns (closed when
// no stream can be made).
std::FILE* stream_of(HANDLE handle, const char* mode);
