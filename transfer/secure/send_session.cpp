// The sending side of a secure session: one connection for the whole batch,
// its files sent one after the other without waiting for each one's
// acknowledgement, which are taken as they come. A lost connection is made
// again, and the files without an acknowledgement go again, resumable.
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "app/state.h"
#include "transfer/engine.h"
#include "transfer/outgoing.h"
#include "transfer/secure/session.h"
#include "transfer/wire.h"

namespace {

// Data messages made from one read of the file.
constexpr std::size_t MESSAGES_PER_READ = SECURE_BLOCK_SIZE / DATA_PER_MESSAGE;
constexpr std::size_t EARLY_FLUSH = 64 * 1024;
constexpr std::chrono::milliseconds PAUSE_STEP{50};

std::atomic<RetryObserver> retry_observer{nullptr};

PendingFile& pending_of(SendSession& s, std::uint32_t number) { return s.pending[number % MAX_UNACKNOWLEDGED]; }

// Connects and shakes hands; the connection's files count from 1.
bool open_session(Batch& b, SendSession& s) {
    SocketHandle socket = INVALID_SOCKET_HANDLE;
    s.files_sent = s.files_acknowledged = 0;
    s.progressed = false;
    if (!connect_to(b.address, b.port, socket, &abort_send)) {
        s.connect_failed = true;
        return false;
    }
    s.open = true;
    s.channel.socket = socket;
    set_idle_limit(socket, idle_limit_ms.load());
    set_no_delay(socket);
    watch_transfer(*b.watch, socket);
    if (!secure_buffers(s.channel) || !secure_connect(socket, group_key, s.channel)) return false;
    s.shaken_hands = true;
    return true;
}

// An O of the file awaited: 13 bytes at offset 0, with the part's hash
// behind them above it.
bool is_awaited_offset(const SendSession& s, const unsigned char* message, std::int32_t got) {
    if (got < static_cast<std::int32_t>(OFFSET_REPLY_SIZE) || message[0] != MESSAGE_OFFSET || s.offset_arrived ||
        get_u32(message + 1) != s.files_sent)
        return false;
    std::size_t expected = get_u64(message + REPLY_SIZE) == 0 ? OFFSET_REPLY_SIZE : PROVEN_OFFSET_REPLY_SIZE;
    return static_cast<std::size_t>(got) == expected;
}

// Takes one reply: 1 when it was the next file's A or the awaited O, 0 when
// none is there (without waiting), -1 on an R, the end of the connection or
// a message the receiver does not send.
std::int32_t take_reply(SendSession& s, bool wait) {
    unsigned char* message = nullptr;
    std::int32_t got = secure_receive(s.channel, message, wait ? ReceiveWait::yes : ReceiveWait::no);
    if (got <= 0) return got;
    if (is_awaited_offset(s, message, got)) {
        s.offset = get_u64(message + REPLY_SIZE);
        if (s.offset != 0) std::memcpy(s.proof, message + OFFSET_REPLY_SIZE, PART_PROOF_SIZE);
        s.offset_arrived = true;
        if (s.offset > s.best_offset) s.progressed = true;
        s.best_offset = s.offset > s.best_offset ? s.offset : s.best_offset;
        return 1;
    }
    if (got == static_cast<std::int32_t>(REFUSAL_SIZE) && message[0] == MESSAGE_REFUSED) {
        unsigned char reason = message[REPLY_SIZE];
        s.refusal = reason <= REFUSED_ABORTED ? static_cast<RefusalReason>(reason) : REFUSED_OTHER;
        s.refused = true;
    }
    if (got != static_cast<std::int32_t>(REPLY_SIZE) || message[0] != MESSAGE_ACCEPTED ||
        get_u32(message + 1) != s.files_acknowledged + 1 || s.files_acknowledged == s.files_sent) {
        s.gave_up = true;
        s.failed_name = pending_of(s, s.files_acknowledged + 1).display_name;
        return -1;
    }
    ++s.files_acknowledged;
    s.progressed = true;
    s.best_offset = 0;
    tell_delivered(pending_of(s, s.files_acknowledged).display_name);
    return 1;
}

// The replies there are, and while the most files are unacknowledged,
// the next one after the queued messages are sent.
bool take_replies(SendSession& s) {
    std::int32_t taken;
    while ((taken = take_reply(s, false)) > 0) {
    }
    if (taken < 0) return false;
    while (s.files_sent - s.files_acknowledged >= MAX_UNACKNOWLEDGED)
        if (!secure_flush(s.channel) || take_reply(s, true) < 0) return false;
    return true;
}

// F: size, flags, the tag of a resumable file, the file's time where it can
// be read, the name.
bool queue_file_message(SendSession& s, const Outgoing& f, const unsigned char* tag) {
    std::size_t name_size = f.name_length - 1;  // no terminator in this format
    std::int64_t modified = 0;
    bool timed = open_file_time(f.file, modified);
    std::size_t time_at = FILE_MESSAGE_HEAD + (tag ? FILE_TAG_SIZE : 0);
    std::size_t head = time_at + (timed ? SECURE_TIME_FIELD : 0);
    if (name_size == 0 || name_size > SECURE_MAX_NAME) return false;
    unsigned char* plaintext = secure_next_plaintext(s.channel, head + name_size);
    if (!plaintext) return false;
    plaintext[0] = MESSAGE_FILE;
    put_u64(plaintext + 1, f.file_total);
    plaintext[1 + SECURE_SIZE_FIELD] = static_cast<unsigned char>((tag ? FLAG_RESUMABLE : 0) | (timed ? FLAG_TIME : 0));
    if (tag) std::memcpy(plaintext + FILE_MESSAGE_HEAD, tag, FILE_TAG_SIZE);
    if (timed) put_u64(plaintext + time_at, static_cast<std::uint64_t>(modified));
    std::memcpy(plaintext + head, f.name, name_size);
    return secure_seal(s.channel, head + name_size);
}

// A resumable file's first data waits for the receiver's offset. When the
// file's first bytes hash as the receiver's part does, the data goes on
// from there; otherwise the file goes from its start, after an S.
bool take_offset(SendSession& s, Outgoing& f) {
    s.offset_arrived = false;
    if (!secure_flush(s.channel)) return false;
    while (!s.offset_arrived)
        if (abort_send.load() || take_reply(s, true) < 0) return false;
    if (s.offset > f.file_left) {
        s.gave_up = true;
        return false;
    }
    if (s.offset == 0) return true;
    unsigned char proof[PART_PROOF_SIZE];
    bool same = hash_file_head(f.file, s.offset, proof) && std::memcmp(proof, s.proof, PART_PROOF_SIZE) == 0;
    if (!same) {
        unsigned char from_start = MESSAGE_FROM_START;
        if (!seek_file(f.file, 0)) s.gave_up = true;
        return !s.gave_up && secure_queue(s.channel, &from_start, 1);
    }
    f.file_left -= s.offset;
    send_bytes_left.fetch_sub(s.offset);
    return true;
}

// Up to MESSAGES_PER_READ data messages from one read of the file: the
// bytes land at the end of the outbox, and each piece moves forward into
// its frame, in front of the bytes still to move, and is sealed in place.
bool queue_data(Batch& b, SendSession& s, Outgoing& f) {
    SecureChannel& c = s.channel;
    std::size_t want = f.file_left < MESSAGES_PER_READ * DATA_PER_MESSAGE ? static_cast<std::size_t>(f.file_left)
                                                                          : MESSAGES_PER_READ * DATA_PER_MESSAGE;
    std::size_t pieces = (want + DATA_PER_MESSAGE - 1) / DATA_PER_MESSAGE;
    // A block's frames go out in one call with what waits before them.
    if (c.outbox_used + want + pieces * (SECURE_FRAME_ROOM + 1) > SECURE_BLOCK_SIZE && !secure_flush(c)) return false;
    unsigned char* read_into = c.outbox + SECURE_BUFFER_SIZE - want;
    std::size_t got = std::fread(read_into, 1, want, f.file);
    // A file that shrank since its size was taken ends here.
    if (got == 0) {
        s.gave_up = true;
        return false;
    }
    for (std::size_t done = 0; done < got;) {
        std::size_t piece = got - done < DATA_PER_MESSAGE ? got - done : DATA_PER_MESSAGE;
        unsigned char* plaintext = secure_next_plaintext(c, piece + 1);
        if (!plaintext) return false;
        plaintext[0] = MESSAGE_DATA;
        std::memmove(plaintext + 1, read_into + done, piece);
        if (!secure_seal(c, piece + 1)) return false;
        done += piece;
    }
    f.file_left -= got;
    send_bytes_left.fetch_sub(got);
    update_progress(send_bytes_total, send_bytes_left, b.last_percent);
    return true;
}

// One file on the open connection: F, its data from the receiver's offset
// when resumable, E; the replies that came meanwhile are taken. It counts
// as sent, to go again after a lost connection, from before its F.
bool send_one(Batch& b, SendSession& s, Outgoing& f, bool resumable) {
    PendingFile& pending = pending_of(s, ++s.files_sent);
    pending.path = f.path;
    pending.wire_name.assign(f.name, f.name_length - 1);
    pending.display_name = f.display_name;
    pending.size = f.file_total;
    unsigned char tag[FILE_TAG_SIZE];
    if (resumable && !make_file_tag(f.file, tag)) resumable = false;
    if (!queue_file_message(s, f, resumable ? tag : nullptr)) return false;
    if (resumable && !take_offset(s, f)) return false;
    update_progress(send_bytes_total, send_bytes_left, b.last_percent);
    // Replies are looked for between blocks, and once after the file's end.
    while (f.file_left != 0) {
        if (abort_send.load() || !queue_data(b, s, f) || (f.file_left != 0 && !take_replies(s))) return false;
    }
    unsigned char end = MESSAGE_END;
    if (!secure_queue(s.channel, &end, 1)) return false;
    // Small files go out in groups of about EARLY_FLUSH bytes, so that the
    // receiver works on them while the next are read.
    if (s.channel.outbox_used >= EARLY_FLUSH && !secure_flush(s.channel)) return false;
    return take_replies(s);
}

void close_session(Batch& b, SendSession& s) {
    if (!s.open) return;
    s.interrupted = unwatch_transfer(*b.watch, s.channel.socket) || s.interrupted;
    close_socket(s.channel.socket);
    secure_release(s.channel);
    s.open = false;
}

// Ends a failed batch: the first file without an acknowledgement is the
// one to report.
bool fail(Batch& b, SendSession& s) {
    if (s.failed_name.empty()) s.failed_name = pending_of(s, s.files_acknowledged + 1).display_name;
    close_session(b, s);
    return false;
}

// Waits the units out; false when "abort send" ends the wait (aborts is
// the count of aborts before it).
bool pause_unless_aborted(std::int32_t units, std::uint32_t aborts) {
    auto pause = std::chrono::milliseconds(static_cast<std::int64_t>(units) * reconnect_unit_ms.load());
    for (auto waited = std::chrono::milliseconds(0); waited < pause; waited += PAUSE_STEP) {
        if (abort_send.load() || send_aborts() != aborts) return false;
        std::this_thread::sleep_for(pause - waited < PAUSE_STEP ? pause - waited : PAUSE_STEP);
    }
    return !abort_send.load() && send_aborts() == aborts;
}

// A file sent again on the new connection, resumable, opened anew by its
// path: it may have changed since, and then its tag tells the receiver.
bool send_again(Batch& b, SendSession& s, PendingFile& again) {
    Outgoing f;
    f.path = again.path.c_str();
    f.name = again.wire_name.data();
    f.name_length = static_cast<std::uint32_t>(again.wire_name.size() + 1);
    f.display_name = again.display_name;
    f.file = open_file_for_reading(f.path);
    std::uint64_t size = 0;
    if (!f.file || !open_file_size(f.file, size)) {
        if (f.file) std::fclose(f.file);
        s.failed_name = again.display_name;
        s.gave_up = true;
        return false;
    }
    std::setvbuf(f.file, nullptr, _IONBF, 0);
    // The counters held the size it had; they take the one it has now.
    send_bytes_total.fetch_add(size);
    send_bytes_left.fetch_add(size);
    send_bytes_total.fetch_sub(again.size);
    send_bytes_left.fetch_sub(again.size);
    again.size = f.file_total = f.file_left = size;
    bool sent = send_one(b, s, f, true);
    again.left = f.file_left;
    std::fclose(f.file);
    return sent;
}

// What the files to go again hold in the send counters while the sender
// tries, so that the bar stays and "abort send" reaches the tries; one byte
// beyond them, for files that are empty.
void hold_counts(const std::vector<PendingFile>& files, bool held) {
    std::uint64_t total = 1, left = 1;
    for (const PendingFile& f : files) {
        total += f.size;
        left += held ? f.left : f.size;
    }
    if (held) {
        send_bytes_total.fetch_sub(total);
        send_bytes_left.fetch_sub(left);
    } else {
        send_bytes_total.fetch_add(total);
        send_bytes_left.fetch_add(left);
    }
}

void tell_retry(std::int32_t seconds, std::int32_t attempt) {
    RetryObserver observer = retry_observer.load();
    if (observer) observer(seconds, attempt, RECONNECT_TRIES);
}

// After a lost connection: it is made again after 1, 2, 4, 8 and 16 s, and
// the files without an acknowledgement go again, resumable, from the
// first. A connection that made progress starts the count over. Never after
// an R, an abort, or a first handshake that failed.
bool recover(Batch& b, SendSession& s) {
    std::uint32_t aborts = send_aborts();
    close_session(b, s);
    std::vector<PendingFile> again;
    std::size_t reached = 0;  // of again, the files whose sending began
    bool held = false;
    bool recovered = false;
    while (!recovered && s.shaken_hands && !s.gave_up && !s.interrupted && !abort_send.load()) {
        if (s.progressed) s.tries = 0;
        if (s.tries == RECONNECT_TRIES) break;
        std::int32_t seconds = 1 << s.tries++;
        if (held) hold_counts(again, true);
        // The files of the lost connection without an A, then those it did
        // not reach.
        std::vector<PendingFile> unacknowledged;
        for (std::uint32_t n = s.files_acknowledged + 1; n <= s.files_sent; ++n)
            unacknowledged.push_back(pending_of(s, n));
        for (std::size_t i = reached; i < again.size(); ++i) unacknowledged.push_back(again[i]);
        again.swap(unacknowledged);
        reached = 0;
        for (PendingFile& f : again) f.left = f.size;
        hold_counts(again, false);
        held = true;
        tell_retry(seconds, s.tries);
        if (!pause_unless_aborted(seconds, aborts)) break;
        recovered = open_session(b, s);
        s.connect_failed = false;
        for (; recovered && reached < again.size(); ++reached) recovered = send_again(b, s, again[reached]);
        if (!recovered) close_session(b, s);
    }
    if (held) hold_counts(again, true);
    // Reported: the file refused or unreadable, else the first without an A.
    if (recovered)
        s.failed_name = Text();
    else if (s.failed_name.empty() && s.files_sent > s.files_acknowledged)
        s.failed_name = pending_of(s, s.files_acknowledged + 1).display_name;
    else if (s.failed_name.empty() && !again.empty())
        s.failed_name = again.front().display_name;
    return recovered;
}

}  // namespace

void set_retry_observer(RetryObserver observer) { retry_observer.store(observer); }

bool secure_send_file(Batch& b, Outgoing& f) {
    SendSession& s = *b.session;
    if (!s.open && !s.shaken_hands && !open_session(b, s)) {
        pending_of(s, 1).display_name = f.display_name;
        return s.connect_failed ? false : fail(b, s);
    }
    bool resumable = f.file_total >= RESUMABLE_SIZE;
    if (s.open && send_one(b, s, f, resumable)) return true;
    // The file goes again with the rest; the counters let it go here.
    send_bytes_total.fetch_sub(f.file_total);
    send_bytes_left.fetch_sub(f.file_left);
    f.file_total = f.file_left = 0;
    return recover(b, s) || fail(b, s);
}

bool secure_end_batch(Batch& b) {
    SendSession& s = *b.session;
    if (!s.open) return true;
    for (;;) {
        unsigned char quit = MESSAGE_QUIT;
        bool ended = !abort_send.load() && secure_queue(s.channel, &quit, 1) && secure_flush(s.channel);
        while (ended && s.files_acknowledged < s.files_sent) ended = !abort_send.load() && take_reply(s, true) >= 0;
        // Every file has its A: the batch is delivered, whatever became of
        // the connection after that.
        if (ended || (s.files_acknowledged == s.files_sent && !abort_send.load())) break;
        if (!recover(b, s)) return fail(b, s);
    }
    close_session(b, s);
    return true;
}
