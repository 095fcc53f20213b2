#include "app/settings.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "app/state.h"
#include "text/code_page.h"
#include "text/text_utils.h"
#include "text/utf8.h"
#include "toolkit/task_services.h"

namespace {

constexpr int END_OF_FILE_MARK = 26;  // Ctrl-Z where a line would begin

std::string_view trim_blanks(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// The whole file as UTF-8: taken as it is when it is valid UTF-8 (after a
// byte-order mark, which is skipped), else read in the ANSI code page, as an
// older copy's file was written.
std::string settings_text(std::FILE* file) {
    std::string bytes;
    char piece[4096];
    std::size_t got;
    while ((got = std::fread(piece, 1, sizeof piece, file)) > 0) bytes.append(piece, got);
    constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";
    std::string_view text = bytes;
    if (text.starts_with(BYTE_ORDER_MARK)) text.remove_prefix(BYTE_ORDER_MARK.size());
    if (is_valid_utf8(text)) return std::string(text);
    std::string converted;
    return code_page_to_utf8(CODE_PAGE_SYSTEM, bytes, converted) ? converted : bytes;
}

// Takes the next line, ending in CR LF, LF or a lone CR, keeping its first
// 255 bytes (whole characters). False at the end of the text or at a
// Ctrl-Z that starts a line.
bool read_line(std::string_view& rest, Text& line) {
    if (rest.empty() || rest.front() == END_OF_FILE_MARK) return false;
    std::size_t end = rest.find_first_of("\r\n");
    line = Text(rest.substr(0, end));
    if (end == std::string_view::npos) {
        rest = {};
    } else {
        bool crlf = rest[end] == '\r' && end + 1 < rest.size() && rest[end + 1] == '\n';
        rest.remove_prefix(end + (crlf ? 2 : 1));
    }
    return true;
}

void read_port(const Text& value) {
    std::uint32_t port = digits_value(value);
    listen_port = port == 0 ? DEFAULT_PORT : static_cast<std::int32_t>(port);
}

void read_dir(const Text& value) {
    destination_dir = value;
    if (destination_dir.back() != PATH_SEPARATOR) destination_dir.push_back(PATH_SEPARATOR);
}

// A host-name ending: what follows the "*", letters, digits, dots and
// hyphens only.
bool is_host_ending(std::string_view ending) {
    if (ending.empty()) return false;
    for (char c : ending)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-')) return false;
    return true;
}

// "*.example.org" or an address with "*" (or 255) for any octet. A value
// that is neither is remembered, so the program can say so; it admits
// nobody.
void read_accept(const Text& value) {
    ++accept_line_count;
    IpAddress address;
    Text pattern;
    for (char c : value.view()) {
        if (c == '*')
            pattern.append("255");
        else
            pattern.push_back(c);
    }
    bool host = value[0] == '*' && is_host_ending(value.view().substr(1));
    if (!host && !parse_address(pattern, address)) {
        if (accept_not_understood.empty()) accept_not_understood = value;
        return;
    }
    if (host) {
        if (accept_host_count >= ACCEPT_CAPACITY) return;
        accept_host_suffixes[++accept_host_count] = Text(value.view().substr(1));
        return;
    }
    if (accept_address_count >= ACCEPT_CAPACITY) return;
    accept_addresses[++accept_address_count] = address;
}

void read_sendto(const Text& value) {
    if (destination_count >= DESTINATION_CAPACITY) return;
    std::string_view all = value.view();
    std::size_t blank = all.find(' ');
    Text address_part(trim_blanks(all.substr(0, blank)));
    Text name;
    if (blank != std::string_view::npos) name = Text(trim_blanks(all.substr(blank + 1)));
    if (name.empty()) name = address_part;

    std::int32_t port = 0;
    std::size_t colon = address_part.view().find(':');
    if (colon != std::string_view::npos) {
        port = static_cast<std::int32_t>(digits_value(Text(address_part.view().substr(colon + 1))));
        address_part.truncate(colon);
    }
    if (port == 0) port = listen_port;

    IpAddress address;
    if (!parse_address(address_part, address) && resolve_host(address_part, address).empty())
        return;
    ++destination_count;
    destination_names[destination_count] = name;
    destination_addresses[destination_count] = address;
    destination_ports[destination_count] = port;
    if (destination_count == 1) current_destination = Destination{name, address, port};
}

// "secret" takes the rest of its line as written, a ";" included: cutting a
// passphrase at a comment would weaken it without a word.
bool read_secret_line(const Text& line) {
    std::string_view rest = trim_blanks(line.view());
    constexpr std::string_view KEYWORD = "secret ";
    if (rest.size() < KEYWORD.size()) return false;
    Text keyword(rest.substr(0, KEYWORD.size()));
    lower_case(keyword);
    if (keyword.view() != KEYWORD) return false;
    Text value(trim_blanks(rest.substr(KEYWORD.size())));
    lower_case(value);
    if (!value.empty()) shared_secret = value;
    return true;
}

void read_setting(Text line) {
    if (read_secret_line(line)) return;
    std::size_t comment = line.view().find(';');
    if (comment != std::string_view::npos) line.truncate(comment);
    if (line.empty()) return;
    std::string_view rest = line.view();
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    Text lowered(rest);
    lower_case(lowered);

    std::size_t blank = lowered.view().find(' ');
    if (blank == std::string_view::npos) return;
    std::string_view keyword = trim_blanks(lowered.view().substr(0, blank));
    Text value(trim_blanks(lowered.view().substr(blank + 1)));
    if (keyword.empty() || value.empty()) return;

    if (keyword == "port")
        read_port(value);
    else if (keyword == "dir")
        read_dir(value);
    else if (keyword == "accept")
        read_accept(value);
    else if (keyword == "sendto")
        read_sendto(value);
}

}  // namespace

void load_settings_from(const Text& path) {
    std::FILE* file = open_file_for_reading(path.platform().c_str());
    if (!file) return;
    accept_address_count = 0;
    std::string text = settings_text(file);
    std::fclose(file);
    std::string_view rest = text;
    Text line;
    while (read_line(rest, line)) read_setting(line);
}

void apply_setting_line(const Text& line) { read_setting(line); }

void load_settings() { load_settings_from(program_directory() + "Zeptrix.cfg"); }
