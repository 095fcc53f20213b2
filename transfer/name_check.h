// Which received file names may be stored: a plain name in the destination
// directory, never a path, a device or a name that Windows would alter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

bool is_safe_file_name(std::string_view name);

// Backslash separates the folders of a name on the wire, on every platform.
constexpr char WIRE_SEPARATOR = '\\';
// The most components a name may have, folders and file together.
constexpr std::int32_t MAX_NAME_COMPONENTS = 32;

// The receiver's temporary files, and the folder of the files it holds in
// part, begin so; no part of a stored name may. A temporary file is named
// PREFIXprocess-sequenceEND.
constexpr std::string_view TEMP_NAME_PREFIX = ".zeptrix-";
constexpr std::string_view TEMP_NAME_END = ".part";

// A name a receiver stores: one safe file name, or at most
// MAX_NAME_COMPONENTS of them joined by single backslashes, none of them
// one of the receiver's own names.
bool is_storable_name(std::string_view name);

// The most bytes a name may have, in both formats (the fixed format's
// field carries a terminating zero besides).
constexpr std::size_t MAX_NAME_BYTES = 255;

// A name the secure format's receiver stores: a storable name of at most
// MAX_NAME_BYTES bytes of valid UTF-8 (no overlong form, surrogate,
// code point above U+10FFFF or cut sequence) without C1 controls
// (U+0080 to U+009F) or bidirectional controls (U+061C, U+200E, U+200F,
// U+202A to U+202E, U+2066 to U+2069).
bool is_secure_name(std::string_view name);
