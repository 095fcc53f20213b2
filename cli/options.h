// The console peer's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CliOptions {
    enum class Verb { none, send, receive, help, version } verb = Verb::none;
    std::string config;                 // --config FILE, empty when none
    std::string secret_file;            // --secret-file FILE, empty when none
    std::string target;                 // send: HOST[:PORT] or a destination's name
    std::vector<std::string> files;     // send: the files of the batch
    std::string port;                   // receive: --port N, empty when none
    std::string dir;                    // receive: --dir DIR, empty when none
    std::vector<std::string> accepts;   // receive: --accept PATTERN...
    std::int32_t code_page = 0;         // --codepage N or raw: the fixed format's names (0: the default)
};

// Parses argv; on bad usage returns false with a one-line reason in error.
bool parse_options(int argc, const char* const* argv, CliOptions& options, std::string& error);

// A port on the command line: decimal digits only, 1 to 65535.
bool parse_port(const std::string& text, std::int32_t& port);

// A code page on the command line: "raw" or the number of one this system
// converts (not UTF-8 itself).
bool parse_code_page(const std::string& text, std::int32_t& code_page);

extern const char* const USAGE_TEXT;
