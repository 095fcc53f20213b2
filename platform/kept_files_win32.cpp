// Files kept across connections, and what tells versions of a file apart.
#include <windows.h>

#include <cstdio>
#include <io.h>
#include <string>

#include "platform/platform.h"
#include "platform/store_check_win32.h"
#include "platform/wide_text.h"

namespace {

std::wstring path_in(const StoreDirectory& dir, const char* name) {
    std::string path(dir.path);
    path.append(name);
    return system_path(path);
}

std::uint64_t joined(DWORD high, DWORD low) { return static_cast<std::uint64_t>(high) << 32 | low; }

}  // namespace

// Opened without following a link; one that stands there is refused, and
// so is a file that a swapped folder put outside the destination (removed
// again when this call made it).
std::FILE* open_kept_file(const StoreDirectory& dir, const char* name, std::uint64_t& length) {
    // Opened for writing and placed at its end once: a handle that may only
    // append costs a seek and a look at the size before every write.
    HANDLE handle = CreateFileW(path_in(dir, name).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    bool made = GetLastError() != ERROR_ALREADY_EXISTS;
    BY_HANDLE_FILE_INFORMATION info;
    bool plain = GetFileInformationByHandle(handle, &info) &&
                 (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
    if (!plain || !lies_where_named(dir, name, handle)) {
        if (plain && made) remove_open_file(handle);
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = stream_of(handle, "r+b");
    if (file && _fseeki64(file, 0, SEEK_END) != 0) {
        std::fclose(file);
        return nullptr;
    }
    if (file) length = joined(info.nFileSizeHigh, info.nFileSizeLow);
    return file;
}

// Placed at its start again, for the next write; the position is set
// before every change between reading and writing.
bool empty_open_file(std::FILE* file) {
    return std::fflush(file) == 0 && _chsize_s(_fileno(file), 0) == 0 && _fseeki64(file, 0, SEEK_SET) == 0;
}

namespace {

// File times count 100 ns steps since 1601.
constexpr std::int64_t FILE_TIME_OF_1970 = 116444736000000000;
constexpr std::int64_t FILE_TIME_STEP_NS = 100;

std::int64_t unix_seconds(const FILETIME& time) {
    auto steps = static_cast<std::int64_t>(joined(time.dwHighDateTime, time.dwLowDateTime));
    return (steps - FILE_TIME_OF_1970) / 10000000;
}

}  // namespace

void list_stored_files(const StoreDirectory& dir, StoredFileFound found, void* context) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(path_in(dir, "*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        std::string name = to_utf8(entry.cFileName);
        found(context, name.c_str(), joined(entry.nFileSizeHigh, entry.nFileSizeLow),
              unix_seconds(entry.ftLastWriteTime));
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

bool free_space(const StoreDirectory& dir, std::uint64_t& bytes) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(system_path(dir.path).c_str(), &available, nullptr, nullptr)) return false;
    bytes = available.QuadPart;
    return true;
}

void hide_directory(const StoreDirectory& dir) {
    std::wstring path = system_path(dir.path);
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_HIDDEN) == 0)
        SetFileAttributesW(path.c_str(), attributes | FILE_ATTRIBUTE_HIDDEN);
}

bool open_file_identity(std::FILE* file, FileIdentity& identity) {
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO times;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info) ||
        !GetFileInformationByHandleEx(handle, FileBasicInfo, &times, sizeof times))
        return false;
    identity.size = joined(info.nFileSizeHigh, info.nFileSizeLow);
    identity.changed = static_cast<std::uint64_t>(times.ChangeTime.QuadPart);
    identity.modified = joined(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime);
    identity.volume = info.dwVolumeSerialNumber;
    identity.index = joined(info.nFileIndexHigh, info.nFileIndexLow);
    return true;
}

bool open_file_time(std::FILE* file, std::int64_t& nanoseconds) {
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    FILETIME written;
    if (handle == INVALID_HANDLE_VALUE || !GetFileTime(handle, nullptr, nullptr, &written)) return false;
    auto steps = static_cast<std::int64_t>(joined(written.dwHighDateTime, written.dwLowDateTime));
    if (steps < 0 || steps - FILE_TIME_OF_1970 > INT64_MAX / FILE_TIME_STEP_NS) return false;
    nanoseconds = (steps - FILE_TIME_OF_1970) * FILE_TIME_STEP_NS;
    return true;
}

// A time before 1601 can't be given; one between two steps goes to the
// step before it.
bool set_open_file_time(std::FILE* file, std::int64_t nanoseconds) {
    std::int64_t steps = nanoseconds / FILE_TIME_STEP_NS;
    if (nanoseconds % FILE_TIME_STEP_NS < 0) --steps;
    if (steps < -FILE_TIME_OF_1970) return false;
    auto since_1601 = static_cast<std::uint64_t>(steps + FILE_TIME_OF_1970);
    FILETIME written{static_cast<DWORD>(since_1601), static_cast<DWORD>(since_1601 >> 32)};
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return std::fflush(file) == 0 && handle != INVALID_HANDLE_VALUE && SetFileTime(handle, nullptr, nullptr, &written);
}

bool seek_file(std::FILE* file, std::uint64_t offset) {
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}
