#include "transfer/name_check.h"

#include "text/text_utils.h"
#include "text/utf8.h"

namespace {

bool same_letters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

bool is_device_digit(unsigned char c) {
    // Windows also takes the superscript digits 1, 2 and 3 of its ANSI page.
    return (c >= '0' && c <= '9') || c == 0xB9 || c == 0xB2 || c == 0xB3;
}

// CON, PRN, AUX, NUL, COMn, LPTn with or without an extension: Windows
// opens the device instead of a file.
bool is_device_name(std::string_view name) {
    std::string_view stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
    for (const char* device : {"CON", "PRN", "AUX", "NUL"})
        if (same_letters(stem, device)) return true;
    if (stem.size() < 4) return false;
    std::string_view prefix = stem.substr(0, 3), digit = stem.substr(3);
    // A superscript digit comes as one ANSI byte or as its two UTF-8 bytes.
    bool one_digit = (digit.size() == 1 && is_device_digit(static_cast<unsigned char>(digit[0]))) ||
                     digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3";
    return one_digit && (same_letters(prefix, "COM") || same_letters(prefix, "LPT"));
}

}  // namespace

bool is_safe_file_name(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char ch : name) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < 32) return false;
        switch (c) {
            case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>':
            case '|':
                return false;
            default:
                break;
        }
    }
    // Windows drops trailing dots and spaces, so such a name would land on
    // another file than the one announced.
    if (name.back() == '.' || name.back() == ' ') return false;
    return !is_device_name(name);
}

namespace {

// The temporary names in any letter case: NTFS and FAT take ".ZEPTRIX-"
// for ".zeptrix-", and refusing them elsewhere too costs nothing.
bool is_temp_name(std::string_view file) {
    if (file.size() < TEMP_NAME_PREFIX.size()) return false;
    for (std::size_t i = 0; i < TEMP_NAME_PREFIX.size(); ++i)
        if (ascii_lower(file[i]) != TEMP_NAME_PREFIX[i]) return false;
    return true;
}

// Characters a name shown to a person must not hold: the C1 controls, and
// the bidirectional controls that make "gpj.exe" look like "exe.jpg".
bool is_hidden_control(std::uint32_t c) {
    return (c >= 0x80 && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

bool is_storable_name(std::string_view name) {
    for (std::int32_t components = 1;; ++components) {
        std::size_t end = name.find(WIRE_SEPARATOR);
        std::string_view part = name.substr(0, end);
        if (!is_safe_file_name(part) || is_temp_name(part) || components > MAX_NAME_COMPONENTS) return false;
        if (end == std::string_view::npos) return true;
        name.remove_prefix(end + 1);
    }
}

bool is_secure_name(std::string_view name) {
    if (name.size() > MAX_NAME_BYTES || !is_valid_utf8(name)) return false;
    for (std::size_t i = 0; i < name.size();)
        if (is_hidden_control(next_code_point(name, i))) return false;
    return is_storable_name(name);
}
