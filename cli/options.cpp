#include "cli/options.h"

#include <cstring>

#include "transfer/name_encoding.h"

const char* const USAGE_TEXT =
    "usage: zeptrix-cli [--config FILE] [--secret-file FILE] [--codepage N|raw]\n"
    "                   send HOST[:PORT]|NAME FILE|FOLDER...\n"
    "       zeptrix-cli [--config FILE] [--secret-file FILE] [--codepage N|raw]\n"
    "                   receive [--port N] [--dir DIR] [--accept PATTERN]...\n"
    "       zeptrix-cli --help | --version\n"
    "\n"
    "send     sends the files to a Zeptrix copy listening at HOST (port 60907\n"
    "         unless :PORT is given), or to the destination NAME of the settings\n"
    "         file given with --config: one connection per file, or one for all of\n"
    "         them with a secret. A folder sends every file below it, named by its\n"
    "         path inside the folder (photos\\2026\\a.jpg); links are not followed\n"
    "         and empty folders are not carried.\n"
    "receive  listens (port 60907 unless --port or the settings say otherwise) and\n"
    "         stores arriving files in DIR (default: the current directory; made\n"
    "         with its parents where missing), with the folders their names bring,\n"
    "         replacing files of the same name, until interrupted. --accept admits\n"
    "         peers by address (10.0.*.*) or by the end of their host name\n"
    "         (*.example.org), as the settings file's \"accept\".\n"
    "--config reads a Zeptrix.cfg (port, dir, accept, sendto, secret); without\n"
    "         it no settings file is read, not even one beside the program.\n"
    "--secret-file takes the shared secret from the first line of FILE, as the\n"
    "         settings' \"secret\" line would (A to Z lower-cased, at least 16\n"
    "         bytes).\n"
    "         With a secret, transfers use the secure format: names and contents\n"
    "         encrypted, both ends proving the secret; copies without the same\n"
    "         secret can't send to it or receive from it. A secret is never taken\n"
    "         from the command line, where every user of the machine could read it.\n"
    "--codepage the ANSI code page of the fixed format's names (without a secret):\n"
    "         a name it holds is sent in it, any other as UTF-8; a name received\n"
    "         is UTF-8 when it is valid UTF-8 with a byte above 127, else read in\n"
    "         it. Default: the system's ANSI code page on Windows, 1252 (Western\n"
    "         European, most Windows copies) elsewhere, where 1251 (Cyrillic) is\n"
    "         known too. raw passes the name bytes unchanged both ways.\n"
    "\n"
    "Exit status: 0 when every file was delivered, 1 when any failed, 2 for bad usage.\n"
    "Ctrl-C aborts the transfers under way: no partial file is left under its name\n"
    "(with a secret, what arrived of a large file may stay in .zeptrix-parts, for\n"
    "the sender's next try). A failure is told in one line, and why in the next.\n";

namespace {

bool take_value(int argc, const char* const* argv, int& i, std::string& value, std::string& error) {
    if (i + 1 >= argc) {
        error = std::string(argv[i]) + " needs a value";
        return false;
    }
    value = argv[++i];
    return true;
}

}  // namespace

bool parse_port(const std::string& text, std::int32_t& port) {
    if (text.empty() || text.size() > 5) return false;
    std::int32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return false;
    port = value;
    return true;
}

bool parse_code_page(const std::string& text, std::int32_t& code_page) {
    if (text == "raw") {
        code_page = CODE_PAGE_RAW;
        return true;
    }
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    std::int32_t number = std::stoi(text);
    if (number == 0 || !is_supported_code_page(number)) return false;
    code_page = number;
    return true;
}

bool parse_options(int argc, const char* const* argv, CliOptions& options, std::string& error) {
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            options.verb = CliOptions::Verb::help;
            return true;
        } else if (arg == "--version") {
            options.verb = CliOptions::Verb::version;
            return true;
        } else if (arg == "--config") {
            if (!take_value(argc, argv, i, options.config, error)) return false;
        } else if (arg == "--secret-file") {
            if (!take_value(argc, argv, i, options.secret_file, error)) return false;
        } else if (arg.rfind("--secret", 0) == 0 || arg.rfind("-secret", 0) == 0) {
            // Without the value: messages can end up in logs.
            error = "a secret is not taken from the command line; use --secret-file FILE";
            return false;
        } else if (arg == "--codepage") {
            std::string value;
            if (!take_value(argc, argv, i, value, error)) return false;
            if (!parse_code_page(value, options.code_page)) {
                error = "unknown code page " + value;
                return false;
            }
        } else if (arg == "--port") {
            if (!take_value(argc, argv, i, options.port, error)) return false;
            // Unlike the settings file, which passes bad values over, a
            // typing error here is told rather than taken as another port.
            std::int32_t port = 0;
            if (!parse_port(options.port, port)) {
                error = "bad port " + options.port;
                return false;
            }
        } else if (arg == "--dir") {
            if (!take_value(argc, argv, i, options.dir, error)) return false;
        } else if (arg == "--accept") {
            std::string pattern;
            if (!take_value(argc, argv, i, pattern, error)) return false;
            options.accepts.push_back(pattern);
        } else if (arg == "--") {
            for (++i; i < argc; ++i) words.push_back(argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-' && words.empty()) {
            error = "unknown option " + arg;
            return false;
        } else {
            words.push_back(arg);
        }
    }
    if (words.empty()) {
        error = "no command given";
        return false;
    }
    if (words[0] == "send") {
        options.verb = CliOptions::Verb::send;
        if (words.size() < 3) {
            error = "send needs a destination and at least one file";
            return false;
        }
        if (!options.port.empty() || !options.dir.empty() || !options.accepts.empty()) {
            error = "--port, --dir and --accept belong to receive";
            return false;
        }
        options.target = words[1];
        options.files.assign(words.begin() + 2, words.end());
        return true;
    }
    if (words[0] == "receive") {
        options.verb = CliOptions::Verb::receive;
        if (words.size() > 1) {
            error = "receive takes no further words: " + words[1];
            return false;
        }
        return true;
    }
    error = "unknown command " + words[0];
    return false;
}
