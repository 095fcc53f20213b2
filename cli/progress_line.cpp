#include "cli/progress_line.h"

#include <cstdio>

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

std::string progress_line(const char* kind, std::uint32_t total, std::uint32_t left,
                          double moved_bytes, double seconds) {
    double rate = seconds > 0 ? moved_bytes / seconds : 0;
    char eta[32] = "--:--";
    if (rate > 0) {
        auto s = static_cast<long>(left / rate + 0.5);
        std::snprintf(eta, sizeof eta, "%ld:%02ld", s / 60, s % 60);
    }
    char line[160];
    std::snprintf(line, sizeof line, "%s %3d%% to go  %s of %s  %s/s  %s left", kind,
                  progress_percent(total, left), byte_text(static_cast<double>(total - left)).c_str(),
                  byte_text(total).c_str(), byte_text(rate).c_str(), eta);
    return line;
}

std::string printable_name(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if (c < 32 || c == 127) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}
