// What ties a file held in part at the receiver to the file a sender has:
// the sender's tag, which changes whenever the file may have changed, and
// the receiver's name for the part.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

constexpr std::size_t FILE_TAG_SIZE = 16;
// The part's name in hexadecimal digits: first a hash of the file's name
// and size alone, then one that adds the tag, so that a part of an older
// version of the same file is known by its first half.
constexpr std::size_t PART_NAME_SIZE = 2 * FILE_TAG_SIZE;
constexpr std::size_t PART_NAME_FILE_DIGITS = PART_NAME_SIZE / 2;
// What proves a kept part: BLAKE2b-256 of its bytes.
constexpr std::size_t PART_PROOF_SIZE = 32;

// A hash of 16 bytes (BLAKE2b-256 cut short) over the open file's size, last
// write and change times, volume and index.
// False when they can't be told.
bool make_file_tag(std::FILE* file, unsigned char (&tag)[FILE_TAG_SIZE]);
// The part's name for the announced size, the tag and the name as it came,
// with a terminating zero.
bool make_part_name(std::string_view name, std::uint64_t size, const unsigned char* tag,
                    char (&part_name)[PART_NAME_SIZE + 1]);
// BLAKE2b-256 of the file's first length bytes, read from its start; the
// file is then positioned at length. False when they can't all be read.
bool hash_file_head(std::FILE* file, std::uint64_t length, unsigned char (&proof)[PART_PROOF_SIZE]);
