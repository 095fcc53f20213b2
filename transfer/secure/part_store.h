// Files a broken connection left received in part, kept so that their
// sender can go on where the data stopped: one hidden folder below the
// destination, one file per part, named by a hash of the file's name, size
// and tag, so that only the same file finds it again.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "platform/platform.h"
#include "transfer/secure/file_tag.h"
#include "transfer/transfer_watch.h"

// Begins as the temporary names do, so that no received name reaches it.
constexpr char PARTS_FOLDER[] = ".zeptrix-parts";
constexpr std::int64_t PART_MAX_AGE_SECONDS = 24 * 60 * 60;
// All parts together hold at most this share of what they and the free
// space of the destination's volume come to: a quarter.
constexpr std::uint64_t PARTS_SHARE_OF_SPACE = 4;

// One part held by a receive task while its file arrives.
struct HeldPart {
    StoreDirectory folder;
    bool folder_open = false;
    char name[PART_NAME_SIZE + 1] = {};
    bool claimed = false;
    // The connection the file arrives on, where the task watches it.
    TransferWatch* watch = nullptr;
};

// Opens the part of the file (its name, size and tag), made when missing,
// to be appended to; offset is how much of the file it holds, and proof
// the hash of those bytes as read back from the disk. Null when it can't
// be opened or would pass the cap, or when another connection still holds
// it after a wait.
std::FILE* open_part(HeldPart& part, std::string_view name, std::uint64_t size, const unsigned char* tag,
                     std::uint64_t& offset, unsigned char (&proof)[PART_PROOF_SIZE]);
// The part is let go: it stays for a later connection (its file closed and
// on the disk), or the file took its name from it.
void let_go_part(HeldPart& part);
// The part is removed (its file closed already).
void drop_part(HeldPart& part);

// Removes the parts over a day old that no transfer holds (at start and
// every hour, see leftover_files.h).
void remove_stale_parts();
// "abort receive": removes every part that no transfer holds now.
void remove_unused_parts();
