// The Windows edge: UTF-8 inside the program, UTF-16 in every system call
// that carries a name or a user's text. Windows only.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// UTF-8 to UTF-16; empty when the text is not valid UTF-8 (so a file call
// with it fails instead of reaching another file).
std::wstring to_wide(std::string_view utf8);

// The same into a caller's buffer of capacity units, zero-terminated, for
// painting, which allocates nothing. The count of units written without the
// terminator; 0 for empty or invalid text.
int to_wide(std::string_view utf8, wchar_t* out, int capacity);

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string to_utf8(std::wstring_view wide);

// The form in which a path reaches the file system: absolute, with "." and
// ".." resolved and "/" turned into "\\", in the extended form "\\?\C:\..." or
// "\\?\UNC\server\share\...", so that no length limit applies. A trailing
// separator stays. A path in extended form already passes unchanged; a
// device path ("\\.\...") or text that is no UTF-8 gives an empty path, which
// every file call refuses.
std::wstring system_path(std::string_view utf8);
// The same for a path already in UTF-16.
std::wstring system_path(std::wstring_view path);
// The usual form of a path the system gave in extended form.
std::wstring without_extended_prefix(std::wstring_view path);
