// Platform facts for Windows.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <io.h>

#include "app/platform.h"
#include "text/text_utils.h"

const char PATH_SEPARATOR = '\\';

Text default_destination_dir() { return Text("c:\\swap\\"); }

namespace {

bool is_directory(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Where the components that may be made begin: after "c:\", after the
// share of "\\server\share\", or at the start of a relative path.
std::size_t first_component(const char* path, std::size_t length) {
    if (length >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) return 3;
    if (length >= 2 && path[1] == ':') return 2;
    if (length >= 2 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/')) {
        std::size_t separators = 0, i = 2;
        for (; i < length && separators < 2; ++i)
            if (path[i] == '\\' || path[i] == '/') ++separators;
        return i;
    }
    return (length >= 1 && (path[0] == '\\' || path[0] == '/')) ? 1 : 0;
}

}  // namespace

bool make_directories(const Text& path) {
    char buffer[Text::CAPACITY + 1];
    std::size_t length = path.size();
    std::memcpy(buffer, path.data(), length);
    buffer[length] = '\0';
    if (is_directory(buffer)) return true;
    for (std::size_t i = first_component(buffer, length); i <= length; ++i) {
        if (i < length && buffer[i] != '\\' && buffer[i] != '/') continue;
        char kept = buffer[i];
        buffer[i] = '\0';
        if (buffer[0] != '\0' && !is_directory(buffer) && !CreateDirectoryA(buffer, nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
        buffer[i] = kept;
    }
    return is_directory(buffer);
}

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
