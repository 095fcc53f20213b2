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
    return to_wide(path);
}

std::uint64_t joined(DWORD high, DWORD low) { return static_cast<std::uint64_t>(high) << 32 | low; }

}  // namespace

// Opened without following a link; one that stands there is refused, and
// so is a file that a swapped folder put outside the destination (removed
// again when this call made it).
std::FILE* open_kept_file(const StoreDirectory& dir, const char* name, std::uint64_t& length) {
    // Opened for writing and placed at its end once: a handle that may only
    // append costs a seek and a look at the size before every write.
    HANDLE handle = CreateFileW(path_in(dir, name).c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES | DELETE, 0,
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
    std::FILE* file = stream_of(handle, "wb");
    if (file && _fseeki64(file, 0, SEEK_END) != 0) {
        std::fclose(file);
        return nullptr;
    }
    if (file) length = joined(info.nFileSizeHigh, info.nFileSizeLow);
    return file;
}

void remove_old_files(const StoreDirectory& dir, std::int64_t max_age_seconds, bool (*keep)(const char* name)) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(path_in(dir, "*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    FILETIME now_time;
    GetSystemTimeAsFileTime(&now_time);
    std::uint64_t now = joined(now_time.dwHighDateTime, now_time.dwLowDateTime);
    // File times count 100 ns steps.
    std::uint64_t max_age = static_cast<std::uint64_t>(max_age_seconds) * 10000000u;
    do {
        if (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        std::uint64_t written = joined(entry.ftLastWriteTime.dwHighDateTime, entry.ftLastWriteTime.dwLowDateTime);
        if (max_age_seconds > 0 && now - written <= max_age) continue;
        std::string name = to_utf8(entry.cFileName);
        if (keep && keep(name.c_str())) continue;
        DeleteFileW(path_in(dir, name.c_str()).c_str());
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

bool written_since_system_start(const StoreDirectory& dir, const char* name) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path_in(dir, name).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
        return false;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    // File times count 100 ns steps, the system's running time milliseconds.
    std::uint64_t started = joined(now.dwHighDateTime, now.dwLowDateTime) - GetTickCount64() * 10000u;
    return joined(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime) >= started;
}

void hide_directory(const StoreDirectory& dir) {
    std::wstring path = to_wide(dir.path);
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

bool seek_file(std::FILE* file, std::uint64_t offset) {
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}
