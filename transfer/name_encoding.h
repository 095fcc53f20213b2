// The fixed format's name bytes. Older copies write and read names in their
// ANSI code page; a newer copy keeps those bytes for every name the code
// page holds, sends UTF-8 for the rest, and tells the two apart when it
// receives. Names inside the program are UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "text/code_page.h"

// Passes name bytes unchanged both ways, as copies before UTF-8 did.
constexpr std::int32_t CODE_PAGE_RAW = -1;

// The code page of the fixed format's names: CODE_PAGE_SYSTEM (the
// default), a code page number, or CODE_PAGE_RAW.
void set_fixed_name_code_page(std::int32_t code_page);
std::int32_t fixed_name_code_page();

// The bytes to send for a name: in the code page when it holds every
// character, else the UTF-8 bytes themselves (also for a name that is not
// valid UTF-8, which has nothing better).
std::string fixed_name_bytes(std::string_view name);

// The name that bytes received stand for: valid UTF-8 with a byte above
// 127 is taken as UTF-8, anything else in the code page. False when the
// bytes are text in neither.
bool fixed_name_text(std::string_view bytes, std::string& name);
