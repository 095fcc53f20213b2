// The few facts and file operations that differ between Windows and POSIX.
// Exactly one implementation file is built per platform.
#pragma once

#include <cstdint>
#include <cstdio>

#include "text/text.h"

// The character that separates directories in a path.
extern const char PATH_SEPARATOR;

// Where received files go when the settings name no directory.
Text default_destination_dir();

// Makes the directory with every missing parent; true when it exists
// afterwards as a directory.
bool make_directories(const Text& path);

// Moves file from over file to, replacing to if it exists.
bool replace_file(const char* from, const char* to);

// The 64-bit size of an open file; false when it can't be told.
bool open_file_size(std::FILE* file, std::uint64_t& size);

// The directory of the running executable with its trailing separator,
// empty when unknown. Lower-cased where file names ignore case.
Text executable_directory();

// A number that tells this process apart from others running now.
std::uint32_t process_number();
