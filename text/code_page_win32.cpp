// The code pages Windows itself knows, through UTF-16.
#include "text/code_page.h"

#include <windows.h>

#include "platform/wide_text.h"
#include "text/utf8.h"

namespace {

UINT windows_code_page(std::int32_t code_page) {
    return code_page == CODE_PAGE_SYSTEM ? CP_ACP : static_cast<UINT>(code_page);
}

}  // namespace

std::int32_t system_code_page() { return static_cast<std::int32_t>(GetACP()); }

bool is_supported_code_page(std::int32_t code_page) {
    return code_page == CODE_PAGE_SYSTEM || (code_page > 0 && IsValidCodePage(static_cast<UINT>(code_page)));
}

bool code_page_to_utf8(std::int32_t code_page, std::string_view bytes, std::string& utf8) {
    utf8.clear();
    if (bytes.empty()) return is_supported_code_page(code_page);
    UINT page = windows_code_page(code_page);
    int size = static_cast<int>(bytes.size());
    int n = MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
    if (n <= 0) return false;
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, bytes.data(), size, wide.data(), n);
    utf8 = to_utf8(wide);
    return true;
}

// WC_NO_BEST_FIT_CHARS keeps Windows from writing "a" for "ā"; the used
// default flag tells whether any character had no byte at all.
bool utf8_to_code_page(std::int32_t code_page, std::string_view utf8, std::string& bytes) {
    bytes.clear();
    if (!is_supported_code_page(code_page) || !is_valid_utf8(utf8)) return false;
    if (utf8.empty()) return true;
    std::wstring wide = to_wide(utf8);
    UINT page = windows_code_page(code_page);
    int size = static_cast<int>(wide.size());
    BOOL used_default = FALSE;
    int n = WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, wide.data(), size, nullptr, 0, nullptr, &used_default);
    if (n <= 0 || used_default) return false;
    bytes.assign(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, wide.data(), size, bytes.data(), n, nullptr, &used_default);
    return !used_default;
}
