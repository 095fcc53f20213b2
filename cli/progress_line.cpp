#include "cli/progress_line.h"

#include <cstdio>

#include "platform/platform.h"
#include "transfer/engine.h"

std::string byte_text(double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 3) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

std::string progress_line(const char* kind, std::uint64_t total, std::uint64_t left,
                          double moved_bytes, double seconds) {
    double rate = seconds > 0 ? moved_bytes / seconds : 0;
    char eta[32] = "--:--";
    if (rate > 0) {
        auto s = static_cast<long long>(static_cast<double>(left) / rate + 0.5);
        std::snprintf(eta, sizeof eta, "%lld:%02lld", s / 60, s % 60);
    }
    char line[160];
    std::snprintf(line, sizeof line, "%s %3d%% to go  %s of %s  %s/s  %s left", kind,
                  progress_percent(total, left), byte_text(static_cast<double>(total - left)).c_str(),
                  byte_text(static_cast<double>(total)).c_str(), byte_text(rate).c_str(), eta);
    return line;
}

namespace {

std::string escaped(const std::string& text, bool backslash_too) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 32 || c == 127) {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02X", c);
            out += code;
        } else if (c == '\\' && backslash_too) {
            out += "\\\\";
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace

// Where the backslash separates folders it is shown as it is.
std::string printable_name(const std::string& name) { return escaped(name, PATH_SEPARATOR != '\\'); }

std::string printable_message(const std::string& text) { return escaped(text, false); }
