// Platform facts for Windows.
#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <io.h>
#include <iterator>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/store_check_win32.h"
#include "platform/wide_text.h"
#include "text/text_utils.h"

const char PATH_SEPARATOR = '\\';

Text default_destination_dir() { return Text("c:\\swap\\"); }

// Every name crosses into the system as UTF-16: the ...A calls would give
// "?" for each character outside the ANSI code page.
bool is_directory(const char* path) {
    DWORD attributes = GetFileAttributesW(system_path(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string absolute_path(const char* path) {
    std::wstring full = system_path(path);
    return full.empty() ? std::string() : to_utf8(without_extended_prefix(full));
}

namespace {

// A reparse point that leads a name elsewhere: a junction, a symbolic link,
// a mount point. Others (OneDrive's cloud folders, deduplicated files) are
// what they look like. An unknown tag counts as one that redirects.
bool redirects(DWORD attributes, DWORD tag) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && (tag == 0 || IsReparseTagNameSurrogate(tag));
}

// A directory that is really one: no junction, link or mount point.
bool is_plain_directory(const char* path) {
    WIN32_FIND_DATAW entry;
    HANDLE found = FindFirstFileW(system_path(path).c_str(), &entry);
    if (found == INVALID_HANDLE_VALUE) return false;
    FindClose(found);
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           !redirects(entry.dwFileAttributes, entry.dwReserved0);
}

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The path the system holds for an open file or directory, with links,
// junctions and short names resolved; empty when it can't be told.
std::wstring final_path_of(HANDLE handle) {
    constexpr DWORD FLAGS = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    std::wstring path(MAX_PATH, L'\0');
    // Grown to what the call asks for (with or without the terminator, as
    // systems differ), however long the path.
    for (int tries = 0; tries < 4; ++tries) {
        DWORD n = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), FLAGS);
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(n + 1);
    }
    return {};
}

// Opens a file or directory only to ask about it and, where needed, remove
// it; the names before the last are followed, the last is not.
HANDLE open_to_look_at(const std::wstring& path, DWORD access) {
    return CreateFileW(path.c_str(), access, SHARE_ALL, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

struct Walk {
    std::int32_t max_components;
    FolderItemFound found;
    void* context;
    std::string path;      // the directory being read (UTF-8), with a trailing separator
    std::size_t top = 0;   // where the relative part of path begins
};

std::string_view relative_part(const Walk& w, std::size_t end) {
    return std::string_view(w.path.data() + w.top, end - w.top);
}

// False when the directory can't be read.
bool walk_below(Walk& w, std::int32_t components) {
    std::size_t kept = w.path.size();
    w.path.push_back('*');
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(system_path(w.path).c_str(), &entry);
    w.path.resize(kept);
    if (search == INVALID_HANDLE_VALUE) return false;
    do {
        std::string name = to_utf8(entry.cFileName);
        if (name.empty() || name == "." || name == "..") continue;
        DWORD attributes = entry.dwFileAttributes;
        // Links and junctions are never followed; other reparse points
        // (cloud placeholders, deduplicated files) are ordinary files and
        // folders. Devices are not files to send.
        if (attributes & FILE_ATTRIBUTE_DEVICE) continue;
        if (redirects(attributes, entry.dwReserved0)) continue;
        w.path.append(name);
        std::size_t named = w.path.size();
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            w.found(w.context, FolderItem::file, relative_part(w, named));
        } else {
            w.path.push_back('\\');
            bool entered = components + 1 < w.max_components && walk_below(w, components + 1);
            w.path.resize(named);
            if (!entered) w.found(w.context, FolderItem::directory_left_out, relative_part(w, named));
        }
        w.path.resize(kept);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return true;
}

}  // namespace

bool walk_folder(const char* folder, std::int32_t max_components, FolderItemFound found, void* context) {
    if (!is_directory(folder)) return false;
    Walk w{max_components, found, context, folder};
    if (!w.path.empty() && w.path.back() != '\\' && w.path.back() != '/') w.path.push_back('\\');
    w.top = w.path.size();
    return walk_below(w, 0);
}

bool open_store_directory(const Text& destination, std::string_view relative_dir, StoreDirectory& dir) {
    dir = StoreDirectory{};
    if (destination.size() + relative_dir.size() + 2 > sizeof dir.path) return false;
    std::memcpy(dir.path, destination.data(), destination.size());
    std::size_t length = destination.size();
    if (!is_directory(dir.path)) return false;
    dir.below_root = length;
    // The destination may itself be reached through a link: its final path
    // is where every file must land.
    HANDLE root = CreateFileW(system_path(dir.path).c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (root == INVALID_HANDLE_VALUE) return false;
    std::string real_root = to_utf8(final_path_of(root));
    CloseHandle(root);
    if (real_root.empty() || real_root.size() >= sizeof dir.real_root) return false;
    std::memcpy(dir.real_root, real_root.data(), real_root.size());
    std::string_view rest = relative_dir;
    while (!rest.empty()) {
        std::size_t end = rest.find('\\');
        std::string_view component = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (component.empty()) {
            remove_made_directories(dir);
            return false;
        }
        std::memcpy(dir.path + length, component.data(), component.size());
        length += component.size();
        dir.path[length] = '\0';
        if (CreateDirectoryW(system_path(dir.path).c_str(), nullptr)) ++dir.made;  // once one is made, every one inside it is too
        // Looked at without a trailing separator, which would lead through
        // a link to what it points at.
        bool plain = is_plain_directory(dir.path);
        dir.path[length++] = '\\';
        dir.path[length] = '\0';
        if (!plain) {
            remove_made_directories(dir);
            return false;
        }
    }
    if (length > 0 && dir.path[length - 1] != '\\' && dir.path[length - 1] != '/') dir.path[length++] = '\\';
    dir.path[length] = '\0';
    return true;
}

void remove_made_directories(StoreDirectory& dir) {
    char path[sizeof dir.path];
    std::memcpy(path, dir.path, sizeof path);
    std::size_t length = std::strlen(path);
    for (; dir.made > 0; --dir.made) {
        while (length > 0 && path[length - 1] == '\\') path[--length] = '\0';
        if (!RemoveDirectoryW(system_path(path).c_str())) break;
        while (length > 0 && path[length - 1] != '\\') path[--length] = '\0';
    }
    dir.made = 0;
}

// Windows keeps no handle: the directory was checked when it was opened,
// and each file is checked on its own handle where it landed.
void close_store_directory(StoreDirectory&) {}

// Nothing is held open here: the record is all there is.
bool copy_store_directory(const StoreDirectory& from, StoreDirectory& to) {
    to = from;
    to.made = 0;
    return true;
}

namespace {

std::wstring stored_path(const StoreDirectory& dir, const char* name) {
    std::string path(dir.path);
    path.append(name);
    return system_path(path);
}

// Told by the file index and the time the file was made. Not by the volume
// serial: Wine gives it for one handle and 0 for another of the same file.
bool same_file(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION first, second;
    return GetFileInformationByHandle(a, &first) && GetFileInformationByHandle(b, &second) &&
           first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow &&
           CompareFileTime(&first.ftCreationTime, &second.ftCreationTime) == 0;
}

// Where the open file lies below the root of its volume, behind that
// root's drive as the destination's final path names it ("\\\\?\\C:"). For
// a final path the system can't give: Wine gives none past MAX_PATH.
std::wstring path_below_drive(HANDLE file, const std::wstring& root) {
    if (root.size() < 6 || root.compare(0, 4, L"\\\\?\\") != 0 || root[5] != L':') return {};
    std::vector<unsigned char> buffer(sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_NAME_INFO*>(buffer.data());
    if (!GetFileInformationByHandleEx(file, FileNameInfo, info, static_cast<DWORD>(buffer.size()))) return {};
    return root.substr(0, 6).append(info->FileName, info->FileNameLength / sizeof(wchar_t));
}

}  // namespace

bool lies_where_named(const StoreDirectory& dir, const char* name, HANDLE file) {
    std::wstring expected = to_wide(dir.real_root);
    std::wstring path = final_path_of(file);
    if (path.empty()) path = path_below_drive(file, expected);
    if (path.empty() || expected.empty()) return false;
    if (expected.back() != L'\\') expected.push_back(L'\\');
    expected.append(to_wide(dir.path + dir.below_root)).append(to_wide(name));
    return path.size() == expected.size() &&
           CompareStringOrdinal(path.data(), static_cast<int>(path.size()), expected.data(),
                                static_cast<int>(expected.size()), TRUE) == CSTR_EQUAL;
}

void remove_open_file(HANDLE file) {
    FILE_DISPOSITION_INFO gone{TRUE};
    if (SetFileInformationByHandle(file, FileDispositionInfo, &gone, sizeof gone)) return;
    std::wstring path = final_path_of(file);
    if (!path.empty()) DeleteFileW(path.c_str());
}

std::FILE* stream_of(HANDLE handle, const char* mode) {
    int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), 0);
    if (descriptor < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(descriptor, mode);
    if (!file) _close(descriptor);
    return file;
}

// A new file only: nothing placed under the name beforehand is written to.
// A folder on the way swapped for a link or junction after it was checked
// puts the file outside the destination: then it is removed again. It is
// hidden until it takes its name: a dot in front hides nothing here.
std::FILE* create_stored_file(const StoreDirectory& dir, const char* name) {
    HANDLE handle = CreateFileW(stored_path(dir, name).c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    if (!lies_where_named(dir, name, handle)) {
        remove_open_file(handle);
        CloseHandle(handle);
        return nullptr;
    }
    return stream_of(handle, "wb");
}

namespace {

// Antivirus, the search indexer and sync clients open a file for a moment
// right after it was written, and a viewer may hold the file a rename
// replaces: the rename or delete then fails with a sharing, lock or access
// error. It is tried again with growing waits, about 2.5 s in all.
template <typename Call>
bool unless_held(Call call) {
    constexpr DWORD GIVE_UP_MS = 2500;
    for (DWORD wait = 10, waited = 0;; waited += wait, wait *= 2) {
        if (call()) return true;
        DWORD error = GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION && error != ERROR_ACCESS_DENIED) ||
            waited >= GIVE_UP_MS)
            return false;
        Sleep(wait);
    }
}

// What a rename to name would replace: nothing, a file of that long name,
// or something else: a folder, or a file that name is only the short (8.3)
// name of, such as REPORT~1.PDF for "Report March.pdf".
enum class Target { none, same_name, other };
Target target_of(const std::wstring& path, const char* name) {
    WIN32_FIND_DATAW entry;
    HANDLE found = FindFirstFileW(path.c_str(), &entry);
    if (found == INVALID_HANDLE_VALUE) return Target::none;
    FindClose(found);
    std::wstring wanted = to_wide(name);
    bool same = CompareStringOrdinal(entry.cFileName, -1, wanted.c_str(), -1, TRUE) == CSTR_EQUAL;
    return same && (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ? Target::same_name : Target::other;
}

// A temporary file is hidden while it is written; it shows once it takes
// its name.
void show_file(HANDLE file) {
    FILE_BASIC_INFO info;
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &info, sizeof info) ||
        (info.FileAttributes & FILE_ATTRIBUTE_HIDDEN) == 0)
        return;
    info.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN);
    if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(file, FileBasicInfo, &info, sizeof info);
}

}  // namespace

// The file is held open across the rename (for its attributes only, so the
// rename is not refused for sharing) and looked up again by its new name:
// not every system renames what an older handle tells. What the new name
// leads to must be that same file, below the destination.
bool move_stored_file(const StoreDirectory& from_dir, const char* from, const StoreDirectory& to_dir, const char* to) {
    std::wstring source = stored_path(from_dir, from), target = stored_path(to_dir, to);
    HANDLE file = open_to_look_at(source, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool where_named = lies_where_named(from_dir, from, file);
    if (where_named) show_file(file);
    if (!where_named || target_of(target, to) == Target::other ||
        !unless_held([&] {
            return MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        })) {
        CloseHandle(file);
        return false;
    }
    // Looked at, not opened to delete: a reader of the new file is not kept out.
    HANDLE placed = open_to_look_at(target, FILE_READ_ATTRIBUTES);
    bool same = placed != INVALID_HANDLE_VALUE && same_file(file, placed);
    bool kept = same && lies_where_named(to_dir, to, placed);
    if (!kept) remove_open_file(same ? placed : file);
    if (placed != INVALID_HANDLE_VALUE) CloseHandle(placed);
    CloseHandle(file);
    return kept;
}

bool replace_stored_file(const StoreDirectory& dir, const char* from, const char* to) {
    return move_stored_file(dir, from, dir, to);
}

void remove_stored_file(const StoreDirectory& dir, const char* name) {
    std::wstring path = stored_path(dir, name);
    unless_held([&] { return DeleteFileW(path.c_str()) != 0 || GetLastError() == ERROR_FILE_NOT_FOUND; });
}

namespace {

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

// A protected access list of three entries, full control each, that what
// is made inside inherits: the user running the program, SYSTEM and the
// Administrators. The parent's entries don't reach it.
struct PrivateFolder {
    alignas(8) unsigned char token_user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    alignas(8) unsigned char system[SECURITY_MAX_SID_SIZE];
    alignas(8) unsigned char administrators[SECURITY_MAX_SID_SIZE];
    alignas(8) unsigned char acl[sizeof(ACL) + 3 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE)];
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes;
};

bool prepare_private_folder(PrivateFolder& f) {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD size = 0;
    bool user = GetTokenInformation(token, TokenUser, f.token_user, sizeof f.token_user, &size) != 0;
    CloseHandle(token);
    DWORD system_size = sizeof f.system, administrators_size = sizeof f.administrators;
    if (!user || !CreateWellKnownSid(WinLocalSystemSid, nullptr, f.system, &system_size) ||
        !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, f.administrators, &administrators_size))
        return false;
    auto* acl = reinterpret_cast<ACL*>(f.acl);
    PSID owners[] = {reinterpret_cast<TOKEN_USER*>(f.token_user)->User.Sid, f.system, f.administrators};
    if (!InitializeAcl(acl, sizeof f.acl, ACL_REVISION)) return false;
    for (PSID sid : owners)
        if (!AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS, sid))
            return false;
    f.attributes = SECURITY_ATTRIBUTES{sizeof f.attributes, &f.descriptor, FALSE};
    return InitializeSecurityDescriptor(&f.descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&f.descriptor, TRUE, acl, FALSE) &&
           SetSecurityDescriptorControl(&f.descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

// Whether the volume of the path keeps access lists worth setting: a fixed
// drive whose file system keeps them. FAT and exFAT drop them, and on a
// share the local user's SID means nothing to the server.
bool keeps_access_lists(const char* path) {
    std::wstring full = system_path(path);
    std::wstring volume(full.size() + 2, L'\0');
    DWORD flags = 0;
    if (full.empty() || !GetVolumePathNameW(full.c_str(), volume.data(), static_cast<DWORD>(volume.size())) ||
        GetDriveTypeW(volume.c_str()) != DRIVE_FIXED ||
        !GetVolumeInformationW(volume.c_str(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0))
        return false;
    return (flags & FS_PERSISTENT_ACLS) != 0;
}

}  // namespace

// No directory is made without its access list where the volume keeps
// one: when that can't be built, nothing is made.
bool make_directories(const Text& path) {
    char buffer[Text::CAPACITY + 1];
    std::size_t length = path.size();
    std::memcpy(buffer, path.data(), length);
    buffer[length] = '\0';
    if (is_directory(buffer)) return true;
    PrivateFolder folder;
    if (!prepare_private_folder(folder)) return false;
    for (std::size_t i = first_component(buffer, length); i <= length; ++i) {
        if (i < length && buffer[i] != '\\' && buffer[i] != '/') continue;
        char kept = buffer[i];
        buffer[i] = '\0';
        if (buffer[0] != '\0' && !is_directory(buffer) &&
            !CreateDirectoryW(system_path(buffer).c_str(), keeps_access_lists(buffer) ? &folder.attributes : nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
        buffer[i] = kept;
    }
    return is_directory(buffer);
}

std::FILE* open_file_for_reading(const char* path) {
    return _wfopen(system_path(path).c_str(), L"rb");
}

bool open_file_size(std::FILE* file, std::uint64_t& size) {
    __int64 length = _filelengthi64(_fileno(file));
    if (length < 0) return false;
    size = static_cast<std::uint64_t>(length);
    return true;
}

Text executable_directory() {
    std::wstring path(MAX_PATH, L'\0');
    DWORD n = 0;
    // Grown until the whole path fits: it may be longer than MAX_PATH.
    while ((n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()))) == path.size())
        path.resize(path.size() * 2);
    if (n == 0) return {};
    std::string utf8 = to_utf8(without_extended_prefix(std::wstring_view(path.data(), n)));
    std::size_t last = utf8.rfind('\\');
    // A directory longer than a text holds is no directory to use.
    if (last == std::string::npos || last + 1 > Text::CAPACITY) return {};
    Text directory(std::string_view(utf8.data(), last + 1));
    lower_case(directory);
    return directory;
}

std::uint32_t process_number() { return static_cast<std::uint32_t>(GetCurrentProcessId()); }

bool process_is_running(std::uint32_t number) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, number);
    if (!process) return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

// The C runtime's stream table holds 512 open files unless told otherwise;
// 2,048 is the most it takes.
void allow_many_open_files() { _setmaxstdio(2048); }
