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
