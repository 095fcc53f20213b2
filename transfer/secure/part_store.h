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
// Ends a part's name while a task writes into it; it goes once the part is
// kept, on the disk. A part found with it was being written when its
// program ended without keeping it.
constexpr char WRITING_MARK = '~';

// One part held by a receive task while its file arrives.
struct HeldPart {
    StoreDirectory folder;
    bool folder_open = false;
    char name[PART_NAME_SIZE + 1] = {};
    char file[PART_NAME_SIZE + 2] = {};  // its name while written: name and the mark
    bool claimed = false;
    // The connection the file arrives on, where the task watches it.
    TransferWatch* watch = nullptr;
};

// Opens the part of the file (its name, size and tag), made when missing,
// for appending; offset is how much of the file it holds. A part longer
// than the file starts again empty. Null when it can't be opened, or when
// another connection still holds it after a wait of some seconds. A
// connection that holds it and has been silent a while is shut down: its
// sender has connected again, and the part is kept for this connection.
std::FILE* open_part(HeldPart& part, std::string_view name, std::uint64_t size, const unsigned char* tag,
                     std::uint64_t& offset);
// After the file took its name from the part: the part is let go.
void release_part(HeldPart& part);
// The part stays for a later connection (its file closed and on the disk
// already); parts over a day old go.
void keep_part(HeldPart& part);
// The part is removed (its file closed already).
void drop_part(HeldPart& part);

// At start: removes the parts over a day old.
void remove_stale_parts();
// "abort receive": removes every part that no transfer holds now.
void remove_unused_parts();
