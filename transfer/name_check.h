// Which received file names may be stored: a plain name in the destination
// directory, never a path, a device or a name that Windows would alter.
#pragma once

#include <string_view>

bool is_safe_file_name(std::string_view name);
