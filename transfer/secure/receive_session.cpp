// The receiving side of a secure session: the handshake, then the files in
// the order of their F, put in place in groups and each acknowledged once it
// has its name.
#include <cstring>
#include <memory>
#include <new>

#include "app/state.h"
#include "text/text_utils.h"
#include "transfer/engine.h"
#include "transfer/name_check.h"
#include "transfer/receipt.h"
#include "transfer/secure/aborted_files.h"
#include "transfer/secure/session.h"
#include "transfer/wire.h"

namespace {

// Far beyond any file system's files, and small enough that the sizes of
// all receive slots together can't wrap the 64-bit progress counters.
constexpr std::uint64_t LARGEST_FILE = std::uint64_t{1} << 56;

// What became of one file: complete (it waits in the group for its
// name); refused or not storable (the sender is told with R); a fault of
// the stream (it is closed at once, and a part is dropped: nothing it
// brought is trusted); the end of the connection (a resumable file's part
// is kept); or an abort (the part goes too).
enum class Outcome { complete, refused, broken, lost, aborted };

// Complete files waiting to take their names together: their data goes to
// the disk one after the other, then they take their names, then each
// folder is flushed once, and only then are they acknowledged, in one send.
// A file system writes a group's data and names in far fewer commits than
// one file at a time would take.
constexpr std::uint64_t GROUP_BYTES = 16 << 20;

struct Group {
    Receipt files[GROUP_CAPACITY];
    Receipt under_way;  // moves into files once complete
    std::uint32_t numbers[GROUP_CAPACITY] = {};
    std::uint32_t count = 0;
    std::uint64_t bytes = 0;
};

struct Session {
    SecureChannel channel;
    Group* group = nullptr;
    RecentFolder recent;
    bool refused = false;  // an R went out: nothing more is taken
    RefusalReason reason = REFUSED_OTHER;  // of the file refused
    TransferWatch* watch = nullptr;
};

// Queues the reply; after an R nothing more is taken on the connection.
bool queue_reply(Session& s, const Reply& reply) {
    unsigned char out[LONGEST_REPLY];
    s.refused = s.refused || reply.type == MESSAGE_REFUSED;
    return secure_queue(s.channel, out, encode_reply(reply, out));
}

Outcome refuse(Session& s, RefusalReason reason) {
    s.reason = reason;
    return Outcome::refused;
}

// Gives files [first, end) of the group, all in one folder, their names
// until one fails, then flushes the folder (and the folders made for them
// in their parents) once. Returns where the names stopped; first when the
// flush failed, since then none of them is sure to last.
std::uint32_t name_in_one_folder(Group& g, std::uint32_t first, std::uint32_t end) {
    std::uint32_t named = first;
    const StoreDirectory* folder = &g.files[first].directory;
    for (; named < end && take_final_name(g.files[named]); ++named)
        if (g.files[named].directory.made > folder->made) folder = &g.files[named].directory;
    return named > first && !flush_store_directory(*folder) ? first : named;
}

// Puts the group's files in place and acknowledges them, in their order.
// The first that can't be put in place is answered R, and the files after
// it go without taking their names, so older files of those names stay.
void place_group(Session& s) {
    Group& g = *s.group;
    std::uint32_t on_disk = 0;
    while (on_disk < g.count && close_to_disk(g.files[on_disk])) ++on_disk;
    // Folder by folder, as long as each one's files all took their names.
    std::uint32_t placed = 0;
    for (std::uint32_t end = 0; placed == end && placed < on_disk;) {
        while (end < on_disk && std::strcmp(g.files[end].directory.path, g.files[placed].directory.path) == 0) ++end;
        placed = name_in_one_folder(g, placed, end);
    }
    for (std::uint32_t i = 0; i < g.count; ++i) {
        finish_receipt(g.files[i], i < placed);
        if (i < placed) queue_reply(s, Reply{MESSAGE_ACCEPTED, g.numbers[i]});
    }
    if (placed < g.count) queue_reply(s, Reply{MESSAGE_REFUSED, g.numbers[placed], REFUSED_NOT_STORED});
    g.count = 0;
    g.bytes = 0;
}

// Whether one name is the other, or a folder on the other's way, in any
// letter case: then the two can't wait in one group.
bool names_meet(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = ascii_lower(*a), y = ascii_lower(*b);
        if (x == '\0' || y == '\0') return (x == '\0' && y == '\0') || x == PATH_SEPARATOR || y == PATH_SEPARATOR;
        if (x != y) return false;
    }
}

bool meets_group(const Group& g, const char* name) {
    for (std::uint32_t i = 0; i < g.count; ++i)
        if (names_meet(g.files[i].name.c_str(), name)) return true;
    return false;
}

// The next message, waiting for more bytes only once the group is in place
// and the replies queued so far are sent: they then go out together, in
// one call. False at the end of the stream.
bool next_message(Session& s, ByteSpan& message) {
    unsigned char* plaintext = nullptr;
    std::int32_t got = secure_receive(s.channel, plaintext, ReceiveWait::no_bytes_only);
    if (got == 0) {
        if (s.group->count != 0 && !receive_aborted(*s.watch)) place_group(s);
        if (!secure_flush(s.channel) || s.refused) return false;
        got = secure_receive(s.channel, plaintext);
    }
    if (got <= 0) return false;
    s.watch->heard_ms.store(monotonic_ms());
    message = ByteSpan{plaintext, static_cast<std::size_t>(got)};
    return true;
}

// The F message; a resumable file is answered with the offset it goes on from.
Outcome take_file_message(Receipt& r, Session& s, std::uint32_t number, ByteSpan message) {
    FileMessage f;
    if (!decode_file(message, f)) return Outcome::broken;
    // UTF-8 checked before take_name turns backslashes into this system's
    // separator.
    bool allowed = is_secure_name(f.name);
    if (!take_name(r, std::string(f.name)) || !allowed) return refuse(s, REFUSED_NAME);
    if ((f.flags & ~KNOWN_FLAGS) != 0 || f.size > LARGEST_FILE) return refuse(s, REFUSED_OTHER);
    if (was_aborted_lately(r.name, f.size)) return refuse(s, REFUSED_ABORTED);
    r.has_time = f.timed();
    r.modified_ns = f.time_ns;
    announce_size(r, f.size);
    // The files before it take their names first where its folders or name
    // meet theirs, as they would one at a time.
    if (meets_group(*s.group, r.name.c_str())) place_group(s);
    if (s.refused) return Outcome::broken;
    if (!f.resumable()) return create_temp_file(r, &s.recent) ? Outcome::complete : refuse(s, REFUSED_NOT_STORED);
    unsigned char proof[PART_PROOF_SIZE] = {};
    r.part.watch = s.watch;
    if (!create_part_file(r, f.tag, proof)) return refuse(s, REFUSED_NOT_STORED);
    return queue_reply(s, Reply{MESSAGE_OFFSET, number, REFUSED_OTHER, r.resumed_from, proof}) ? Outcome::complete
                                                                                          : Outcome::lost;
}

// One file, from its F to its E, into its temporary file or part and then
// in place. Data beyond or short of the size, or any message but D or E
// (or S first, after an offset above 0), is a fault.
Outcome receive_one_file(Receipt& r, Session& s, std::uint32_t number, ByteSpan file_message) {
    Outcome taken = take_file_message(r, s, number, file_message);
    if (taken != Outcome::complete) return taken;
    for (bool first = true;; first = false) {
        if (receive_aborted(*s.watch)) return Outcome::aborted;
        ByteSpan message;
        if (!next_message(s, message))
            return receive_aborted(*s.watch)            ? Outcome::aborted
                   : s.refused || s.channel.faulted ? Outcome::broken
                                                    : Outcome::lost;
        if (is_message(message, MESSAGE_END)) break;
        // The sender's file differs from the part: it comes again whole.
        if (is_message(message, MESSAGE_FROM_START) && first && r.resumed_from != 0) {
            if (!restart_part(r)) return refuse(s, REFUSED_NOT_STORED);
            continue;
        }
        ByteSpan data;
        if (!decode_data(message, data) || data.size() > r.file_left) return Outcome::broken;
        if (!store_piece(r, data.data(), data.size())) return refuse(s, REFUSED_NOT_STORED);
    }
    return r.file_left == 0 ? Outcome::complete : Outcome::broken;
}

// After an R: the sending side is shut down, so that the R is not thrown
// away by a reset while the sender's data is still unread; what still comes
// is read and dropped until the sender closes or the idle limit passes.
void drain(SecureChannel& channel) {
    shutdown_sending(channel.socket);
    while (recv_some(channel.socket, channel.inbox, static_cast<std::int32_t>(SECURE_BLOCK_SIZE)) > 0) continue;
}

}  // namespace

void receive_secure_session(SocketHandle socket, std::int64_t deadline, std::atomic<bool>& greeting,
                            TransferWatch& watch) {
    Session s;
    s.watch = &watch;
    std::unique_ptr<Group> group(new (std::nothrow) Group);
    s.group = group.get();
    bool accepted = s.group && secure_buffers(s.channel) && secure_accept(socket, group_key, s.channel, deadline);
    if (!accepted) return secure_release(s.channel);
    greeting.store(false);
    set_idle_limit(socket, idle_limit_ms.load());
    set_no_delay(socket);
    Group& g = *s.group;
    for (std::uint32_t number = 1;; ++number) {
        if (receive_aborted(watch)) break;
        ByteSpan message;
        if (!next_message(s, message) || message[0] != MESSAGE_FILE) break;
        Receipt& r = g.under_way;
        r = Receipt{};
        Outcome outcome = receive_one_file(r, s, number, message);
        if (outcome == Outcome::complete) {
            // The group may have been put in place while the file came.
            g.bytes += r.file_total;
            g.numbers[g.count] = number;
            g.files[g.count++] = std::move(r);
            if (g.count == GROUP_CAPACITY || g.bytes >= GROUP_BYTES) place_group(s);
            if (s.refused) break;
            continue;
        }
        // The files before it are told first.
        if (g.count != 0 && outcome != Outcome::aborted) place_group(s);
        if (outcome == Outcome::aborted) remember_aborted_file(r.name, r.file_total);
        finish_receipt(r, false, outcome == Outcome::lost);
        if (outcome == Outcome::refused && !s.refused) queue_reply(s, Reply{MESSAGE_REFUSED, number, s.reason});
        break;
    }
    // Files complete are put in place and told so, even when the stream
    // ended in a fault; an abort removes them.
    if (receive_aborted(watch)) {
        for (std::uint32_t i = 0; i < g.count; ++i) {
            remember_aborted_file(g.files[i].name, g.files[i].file_total);
            finish_receipt(g.files[i], false);
        }
        g.count = 0;
    }
    if (g.count != 0) place_group(s);
    if (secure_flush(s.channel) && s.refused) drain(s.channel);
    forget_recent_folder(s.recent);
    secure_release(s.channel);
}
