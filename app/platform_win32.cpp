// Platform facts for Windows.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <io.h>

#include "app/platform.h"
#include "text/text_utils.h"

const char PATH_SEPARATOR = '\\';

Text default_destination_dir() { return Text("c:\\swap\\"); }

bool replace_file(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

bool open_file_size(std::FILE* file, std::uint64_t& size) {
    __int64 length = _filelengthi64(_fileno(file));
    if (length < 0) return false;
    size = static_cast<std::uint64_t>(length);
    return true;
}

Text executable_directory() {
    char path[MAX_PATH + 1];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    path[n] = '\0';
    char* last = std::strrchr(path, '\\');
    if (!last) return {};
    last[1] = '\0';
    Text directory(path);
    lower_case(directory);
    return directory;
}

std::uint32_t process_number() { return static_cast<std::uint32_t>(GetCurrentProcessId()); }
