// The few facts and file operations that differ between Windows and POSIX:
// the layer below the transfer engine, the toolkit and the program.
// Exactly one implementation file is built per platform.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "text/text.h"

// The character that separates directories in a path.
extern const char PATH_SEPARATOR;

// Where received files go when the settings name no directory.
Text default_destination_dir();

// Makes the directory with every missing parent; true when it exists
// afterwards as a directory. On Windows each directory it makes is open to
// the current user, SYSTEM and the Administrators only, and passes that on
// to what is made inside it; one that was there keeps its own access list.
bool make_directories(const Text& path);

// True when path names a directory (the path itself may be a link to one).
bool is_directory(const char* path);

// The absolute form of a path, "." and ".." resolved; empty when it can't
// be told.
std::string absolute_path(const char* path);

// What a folder walk reports: a regular file, or a directory it did not
// enter because it is deeper than allowed or can't be read.
enum class FolderItem { file, directory_left_out };
using FolderItemFound = void (*)(void* context, FolderItem item, std::string_view relative_path);

// Reports every regular file below folder with its path relative to the
// folder, components joined by PATH_SEPARATOR, in no particular order.
// Links, junctions and other reparse points, devices, pipes and sockets are
// neither followed nor reported. A directory of max_components components
// or more is not entered but reported as left out. False when the folder itself can't be read.
bool walk_folder(const char* folder, std::int32_t max_components, FolderItemFound found, void* context);

// The directory a received file is stored in, held open while the file is
// written, so that nothing put in its place later redirects the file.
struct StoreDirectory {
    int descriptor = -1;    // POSIX: the open directory
    char path[520] = {};    // the directory with its trailing separator
    std::int32_t made = 0;  // how many of its innermost directories were made for this file
    char real_root[520] = {};  // Windows: the destination's final path (UTF-8), links resolved
    std::size_t below_root = 0;  // Windows: where the folders below the destination begin in path
};

// Opens the directory relative_dir (components joined by PATH_SEPARATOR,
// empty for the destination itself) below destination, making the missing
// directories one by one and never passing through a link, junction or
// anything but a directory. False, with nothing left open, when one is in
// the way or can't be made.
bool open_store_directory(const Text& destination, std::string_view relative_dir, StoreDirectory& dir);
// Removes the directories open_store_directory made, where they are still
// empty; for a transfer that failed.
void remove_made_directories(StoreDirectory& dir);
void close_store_directory(StoreDirectory& dir);
// A second, independent hold of an open store directory, as having made
// none of its folders. False when the system has no handle to spare.
bool copy_store_directory(const StoreDirectory& from, StoreDirectory& to);
// Files inside a store directory, by plain name. create_stored_file makes a
// new file and never opens one that is there, nor through a link. On
// Windows a file that, once made or renamed, lies outside the destination's
// final path is removed, and the call fails.
std::FILE* create_stored_file(const StoreDirectory& dir, const char* name);
bool replace_stored_file(const StoreDirectory& dir, const char* from, const char* to);
void remove_stored_file(const StoreDirectory& dir, const char* name);

// What a receiver does before it acknowledges a file: the file's data on
// the disk before it takes its name, then the directory that holds the new
// name, and the parents of the directories made for it.
bool flush_file_to_disk(std::FILE* file);
// Starts writing a file's data to the disk without waiting for it.
void start_writeback(std::FILE* file);
bool flush_store_directory(const StoreDirectory& dir);
// Files kept across connections in one store directory (received files
// held in part until the rest arrives).
// Opens the file name to read and to append, made when missing and never
// through a link; length is what it holds. Null when it can't be opened.
std::FILE* open_kept_file(const StoreDirectory& dir, const char* name, std::uint64_t& length);
// Cuts an open kept file to nothing; what is written next starts it again.
bool empty_open_file(std::FILE* file);
// Gives a file of one store directory a name in another, replacing a file
// of that name.
bool move_stored_file(const StoreDirectory& from_dir, const char* from, const StoreDirectory& to_dir, const char* to);
// Tells found of every regular file of the directory: its name, its size
// and when it was last written (seconds since 1970, UTC).
using StoredFileFound = void (*)(void* context, const char* name, std::uint64_t size, std::int64_t written);
void list_stored_files(const StoreDirectory& dir, StoredFileFound found, void* context);
// The bytes still free to an ordinary user on the directory's volume.
bool free_space(const StoreDirectory& dir, std::uint64_t& bytes);
// Hides the directory from the usual listings where names alone don't.
void hide_directory(const StoreDirectory& dir);

// What tells one version of an open file from another: its size, when it
// was last written and when anything about it last changed (which a copy
// that keeps the write time still moves), and where it lives.
struct FileIdentity {
    std::uint64_t size = 0;
    std::uint64_t modified = 0;
    std::uint64_t changed = 0;
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
};
bool open_file_identity(std::FILE* file, FileIdentity& identity);
// An open file's last write time in nanoseconds since 1970-01-01 00:00 UTC,
// as exact as its file system keeps it; and that time given to it.
bool open_file_time(std::FILE* file, std::int64_t& nanoseconds);
bool set_open_file_time(std::FILE* file, std::int64_t nanoseconds);
// Moves the reading position of an open file to offset.
bool seek_file(std::FILE* file, std::uint64_t offset);

// Opens a file to read as binary; the path is UTF-8 on Windows (the bytes
// the system gives elsewhere). Null when it can't be opened.
std::FILE* open_file_for_reading(const char* path);

// The 64-bit size of an open file; false when it can't be told.
bool open_file_size(std::FILE* file, std::uint64_t& size);

// The directory of the running executable with its trailing separator,
// empty when unknown. Lower-cased where file names ignore case.
Text executable_directory();

// A number that tells this process apart from others running now.
std::uint32_t process_number();
// Whether a process of that number runs now (true when it can't be told).
bool process_is_running(std::uint32_t number);

// Raises the number of files the process may hold open at once above the
// system's small default: every running receive task holds a group of
// received files (and their folders) open until they take their names.
void allow_many_open_files();
