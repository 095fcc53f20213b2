// The paths of a drop, one at a time, in buffers the caller owns.
#include "toolkit/toolkit.h"

#include <shellapi.h>

#include <cstdlib>

// Index counts from 1; an index that names no file gives no buffer.
void get_dropped_file(HDROP drop, std::int32_t index, char*& buffer, std::int32_t& size) {
    buffer = nullptr;
    size = 0;
    if (!drop || index < 1) return;
    UINT count = DragQueryFileA(drop, 0xFFFFFFFF, nullptr, 0);
    UINT file = static_cast<UINT>(index - 1);
    if (count == 0 || file >= count) return;
    UINT length = DragQueryFileA(drop, file, nullptr, 0);
    if (length == 0) return;
    char* path = static_cast<char*>(std::malloc(length + 1));
    if (!path) return;
    if (DragQueryFileA(drop, file, path, length + 1) == 0) {
        std::free(path);
        return;
    }
    buffer = path;
    size = static_cast<std::int32_t>(length + 1);
}

void get_dropped_file(DropHandle drop, std::int32_t index, char*& buffer, std::int32_t& size) {
    get_dropped_file(reinterpret_cast<HDROP>(drop), index, buffer, size);
}

void free_dropped_file(char* buffer, std::int32_t) {
    std::free(buffer);
}

void finish_drop(HDROP drop) {
    if (drop) DragFinish(drop);
}

void finish_drop(DropHandle drop) {
    finish_drop(reinterpret_cast<HDROP>(drop));
}
