// What ties a file held in part at the receiver to the file a sender has:
// the sender's tag, which changes whenever the file may have changed, and
// the receiver's name for the part.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

constexpr std::size_t FILE_TAG_SIZE = 16;
// The part's name: the hash in hexadecimal digits.
constexpr std::size_t PART_NAME_SIZE = 2 * FILE_TAG_SIZE;

// A hash of 16 bytes (BLAKE2b-256 cut short) over the open file's size, last
// write and change times, volume and index.
// False when they can't be told.
bool make_file_tag(std::FILE* file, unsigned char (&tag)[FILE_TAG_SIZE]);
// The same hash over the announced size, the tag and the name as it came,
// written as hexadecimal digits with a terminating zero.
bool make_part_name(std::string_view name, std::uint64_t size, const unsigned char* tag,
                    char (&part_name)[PART_NAME_SIZE + 1]);
