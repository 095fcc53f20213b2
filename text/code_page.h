// Conversion between UTF-8 and the 8-bit code pages of older copies' names.
// Exactly one implementation file is built per platform: Windows asks the
// system, elsewhere a few tables stand in.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The system's ANSI code page: GetACP() on Windows, Windows-1252 elsewhere
// (the code page of most Windows copies).
constexpr std::int32_t CODE_PAGE_SYSTEM = 0;

// The number of the system's ANSI code page.
std::int32_t system_code_page();

// True when the conversions below know the code page.
bool is_supported_code_page(std::int32_t code_page);

// Bytes in the code page to UTF-8; false when the code page is unknown or
// the bytes are not text in it.
bool code_page_to_utf8(std::int32_t code_page, std::string_view bytes, std::string& utf8);

// Valid UTF-8 to the code page with no best-fit replacement; false when the
// code page lacks any of its characters.
bool utf8_to_code_page(std::int32_t code_page, std::string_view utf8, std::string& bytes);
