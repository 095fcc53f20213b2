// The paths of a drop, one at a time, in buffers the caller owns.
#include "toolkit/toolkit.h"

#include <shellapi.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/wide_text.h"

// Index counts from 1; an index that names no file gives no buffer. The
// path comes as UTF-16 (the ANSI form has "?" for what the code page
// lacks) and is handed out as UTF-8.
void get_dropped_file(HDROP drop, std::int32_t index, char*& buffer, std::int32_t& size) {
    buffer = nullptr;
    size = 0;
    if (!drop || index < 1) return;
    UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    UINT file = static_cast<UINT>(index - 1);
    if (count == 0 || file >= count) return;
    UINT length = DragQueryFileW(drop, file, nullptr, 0);
    if (length == 0) return;
    std::wstring wide(length, L'\0');
    if (DragQueryFileW(drop, file, wide.data(), length + 1) == 0) return;
    std::string utf8 = to_utf8(wide);
    if (utf8.empty()) return;
    char* path = static_cast<char*>(std::malloc(utf8.size() + 1));
    if (!path) return;
    std::memcpy(path, utf8.c_str(), utf8.size() + 1);
    buffer = path;
    size = static_cast<std::int32_t>(utf8.size() + 1);
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
