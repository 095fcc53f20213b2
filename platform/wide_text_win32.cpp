#include "platform/wide_text.h"

#include <windows.h>

int to_wide(std::string_view utf8, wchar_t* out, int capacity) {
    if (capacity <= 0) return 0;
    out[0] = L'\0';
    if (utf8.empty()) return 0;
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), out,
                                capacity - 1);
    if (n <= 0) return 0;
    out[n] = L'\0';
    return n;
}

std::wstring to_wide(std::string_view utf8) {
    if (utf8.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                                nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string to_utf8(std::wstring_view wide) {
    if (wide.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                nullptr);
    if (n <= 0) return {};
    std::string utf8(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n, nullptr, nullptr);
    return utf8;
}

namespace {

constexpr std::wstring_view EXTENDED = L"\\\\?\\";
constexpr std::wstring_view EXTENDED_UNC = L"\\\\?\\UNC\\";
constexpr std::wstring_view DEVICE = L"\\\\.\\";

bool starts_with(std::wstring_view text, std::wstring_view start) {
    return text.size() >= start.size() && text.compare(0, start.size(), start) == 0;
}

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Where the part that "..", "." and doubled separators may change begins:
// after "C:\" or after "\\server\share\"; 0 when the path is neither.
std::size_t root_length(std::wstring_view path) {
    if (path.size() >= 3 && path[1] == L':' && is_separator(path[2])) return 3;
    if (path.size() < 3 || !is_separator(path[0]) || !is_separator(path[1]) || is_separator(path[2])) return 0;
    std::size_t separators = 0, i = 2;
    for (; i < path.size() && separators < 2; ++i)
        if (is_separator(path[i])) ++separators;
    return separators == 2 || i == path.size() ? i : 0;
}

// An absolute path made normal by hand, at any length: the system's own
// call takes only MAX_PATH characters unless long paths are switched on.
std::wstring normal_path(std::wstring_view path, std::size_t root) {
    std::wstring out;
    for (wchar_t c : path.substr(0, root)) out.push_back(is_separator(c) ? L'\\' : c);
    if (out.back() != L'\\') out.push_back(L'\\');
    std::size_t floor = out.size();
    for (std::size_t at = root; at < path.size();) {
        std::size_t end = at;
        while (end < path.size() && !is_separator(path[end])) ++end;
        std::wstring_view part = path.substr(at, end - at);
        if (part == L"..") {
            if (out.size() > floor) out.resize(out.rfind(L'\\', out.size() - 2) + 1);
        } else if (!part.empty() && part != L".") {
            out.append(part).push_back(L'\\');
        }
        at = end + 1;
    }
    if (out.size() > floor && !is_separator(path.back())) out.pop_back();
    return out;
}

}  // namespace

std::wstring system_path(std::wstring_view path) {
    if (path.empty() || path.find(L'\0') != std::wstring_view::npos) return {};
    if (starts_with(path, EXTENDED)) return std::wstring(path);
    if (starts_with(path, DEVICE) || (path.size() > 2 && is_separator(path[0]) && is_separator(path[1]) &&
                                      (path[2] == L'?' || path[2] == L'.')))
        return {};
    std::wstring full;
    if (root_length(path) == 0) {
        // Relative, or below the current drive: the system resolves it, with
        // a buffer of the size it asks for.
        std::wstring given(path);
        DWORD needed = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
        full.resize(needed);
        DWORD n = needed ? GetFullPathNameW(given.c_str(), needed, full.data(), nullptr) : 0;
        if (n == 0 || n >= needed) {
            // Past MAX_PATH: the current directory in front, made normal here.
            DWORD size = GetCurrentDirectoryW(0, nullptr);
            std::wstring current(size, L'\0');
            if (size == 0 || GetCurrentDirectoryW(size, current.data()) + 1 != size || is_separator(path[0])) return {};
            current.resize(size - 1);
            full = current.append(L"\\").append(path);
        } else {
            full.resize(n);
        }
        path = full;
    }
    std::size_t root = root_length(path);
    if (root == 0) return {};
    std::wstring normal = normal_path(path, root);
    if (normal[1] == L':') return std::wstring(EXTENDED).append(normal);
    return std::wstring(EXTENDED_UNC).append(normal, 2);
}

std::wstring system_path(std::string_view utf8) {
    std::wstring wide = to_wide(utf8);
    return wide.empty() ? std::wstring() : system_path(std::wstring_view(wide));
}

std::wstring without_extended_prefix(std::wstring_view path) {
    if (starts_with(path, EXTENDED_UNC)) return std::wstring(L"\\\\").append(path.substr(EXTENDED_UNC.size()));
    return std::wstring(starts_with(path, EXTENDED) ? path.substr(EXTENDED.size()) : path);
}
