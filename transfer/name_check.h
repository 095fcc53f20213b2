// Which received file names may be stored: a plain name in the destination
// directory, never a path, a device or a name that Windows would alter.
#pragma once

#include <cstdint>
#include <string_view>

bool is_safe_file_name(std::string_view name);

// Backslash separates the folders of a name on the wire, on every platform.
constexpr char WIRE_SEPARATOR = '\\';
// The most components a name may have, folders and file together.
constexpr std::int32_t MAX_NAME_COMPONENTS = 32;

// A received name: one safe file name, or at most MAX_NAME_COMPONENTS safe
// names joined by single backslashes, with no '/' anywhere.
bool is_safe_nested_name(std::string_view name);

// The receiver's temporary files begin so; no stored name may.
constexpr std::string_view TEMP_NAME_PREFIX = ".zeptrix-";

// A name a receiver stores: a safe nested name whose file part is not one
// of the receiver's temporary names.
bool is_storable_name(std::string_view name);
