#include "transfer/name_encoding.h"

#include <atomic>

#include "text/utf8.h"

namespace {

std::atomic<std::int32_t> name_code_page{CODE_PAGE_SYSTEM};

}  // namespace

void set_fixed_name_code_page(std::int32_t code_page) { name_code_page.store(code_page); }

std::int32_t fixed_name_code_page() { return name_code_page.load(); }

std::string fixed_name_bytes(std::string_view name) {
    std::int32_t code_page = fixed_name_code_page();
    std::string bytes;
    if (code_page != CODE_PAGE_RAW && utf8_to_code_page(code_page, name, bytes)) return bytes;
    return std::string(name);
}

bool fixed_name_text(std::string_view bytes, std::string& name) {
    std::int32_t code_page = fixed_name_code_page();
    if (code_page == CODE_PAGE_RAW || (has_high_byte(bytes) && is_valid_utf8(bytes))) {
        name.assign(bytes);
        return true;
    }
    return code_page_to_utf8(code_page, bytes, name);
}
