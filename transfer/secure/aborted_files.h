// Files whose receipt "abort receive" ended, remembered for a minute. A
// secure sender tries again by itself after a lost connection, and an abort
// looks like one to it: the file's next try is refused, so that the sender
// reports it and stops instead of sending it again from its start.
#pragma once

#include <cstdint>
#include <string_view>

constexpr std::int64_t ABORTED_FILE_MEMORY_MS = 60 * 1000;

// The file as the receiver named it (its folders included), and its size.
void remember_aborted_file(std::string_view name, std::uint64_t size);
bool was_aborted_lately(std::string_view name, std::uint64_t size);
void forget_aborted_files();
