// The live progress line of the console peer.
#pragma once

#include <cstdint>
#include <string>

// Human-readable byte count: "512 B", "3.4 KiB", "1.0 GiB".
std::string byte_text(double bytes);

// "send  42% to go  3.1 MiB of 5.4 MiB  12.0 MiB/s  0:01 left" from the
// counters of one kind; seconds is the time since the kind began moving.
std::string progress_line(const char* kind, std::uint64_t total, std::uint64_t left,
                          double moved_bytes, double seconds);

// A received name as it may be shown on a terminal: control characters are
// written as \xNN and, where it separates no folders, a backslash as \\, so a
// hostile name can neither move the cursor nor pass for another.
std::string printable_name(const std::string& name);
// A message as it may be shown: control characters written as \xNN; the
// backslashes between the folders of a name stay as they are.
std::string printable_message(const std::string& text);
