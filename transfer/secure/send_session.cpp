// The sending side of a secure session: one connection for the whole batch,
// its files sent one after the other without waiting for each one's
// acknowledgement, which are taken as they come. A lost connection is made
// again, and the files without an acknowledgement go again, resumable.
#include <algorithm>
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

bool is_open(const SendSession& s) {
    return s.step == SendStep::shaking_hands || s.step == SendStep::sending || s.step == SendStep::awaiting_offset;
}

// Nothing more goes on this batch. The first reason given is the one kept.
bool give_up(SendSession& s, SendFailure kind, RefusalReason reason = REFUSED_OTHER) {
    if (s.step != SendStep::failed) s.failure = Failure{kind, reason, true};
    s.step = SendStep::failed;
    return false;
}

// The connection ended or broke: unless the batch failed, it may be made again.
bool lose(SendSession& s) {
    if (s.step != SendStep::failed) s.step = SendStep::lost;
    return false;
}

// Connects and shakes hands; the connection's files count from 1.
bool open_session(Batch& b, SendSession& s) {
    SocketHandle socket = INVALID_SOCKET_HANDLE;
    s.files_sent = s.files_acknowledged = 0;
    s.progressed = false;
    ConnectFailure why = ConnectFailure::none;
    if (!connect_to(b.address, b.port, socket, &abort_send, &why)) {
        s.failure = Failure{connect_failure(why), REFUSED_OTHER, true};
        return s.shaken_hands && why != ConnectFailure::stopped ? lose(s) : give_up(s, s.failure.kind);
    }
    s.step = SendStep::shaking_hands;
    s.channel.socket = socket;
    set_idle_limit(socket, idle_limit_ms.load());
    set_no_delay(socket);
    watch_transfer(*b.watch, socket);
    if (!secure_buffers(s.channel)) return give_up(s, SendFailure::connection_lost);
    if (!secure_connect(socket, group_key, s.channel))
        return s.shaken_hands ? lose(s) : give_up(s, SendFailure::handshake_failed);
    s.shaken_hands = true;
    s.step = SendStep::sending;
    return true;
}

// Takes one reply: 1 when it was the next file's A or the awaited O, 0 when
// none is there (without waiting), -1 when the connection ended, or on an
// R or a message no receiver sends.
std::int32_t take_reply(SendSession& s, bool wait) {
    unsigned char* plaintext = nullptr;
    std::int32_t got = secure_receive(s.channel, plaintext, wait ? ReceiveWait::yes : ReceiveWait::no);
    if (got <= 0) {
        if (got < 0) lose(s);
        return got;  // 0 or -1
    }
    Reply reply;
    bool known = decode_reply(ByteSpan{plaintext, static_cast<std::size_t>(got)}, reply);
    if (known && reply.type == MESSAGE_OFFSET && s.step == SendStep::awaiting_offset && reply.number == s.files_sent) {
        s.offset = reply.offset;
        if (reply.proof) std::memcpy(s.proof, reply.proof, PART_PROOF_SIZE);
        s.step = SendStep::sending;
        s.progressed = s.progressed || s.offset > s.best_offset;
        s.best_offset = std::max(s.offset, s.best_offset);
        return 1;
    }
    bool next = reply.number == s.files_acknowledged + 1 && s.files_acknowledged != s.files_sent;
    if (!known || !next || reply.type != MESSAGE_ACCEPTED) {
        s.failed_name = pending_of(s, s.files_acknowledged + 1).display_name;
        give_up(s, known && reply.type == MESSAGE_REFUSED ? SendFailure::refused : SendFailure::other_format,
                reply.reason);
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
    for (std::int32_t taken = 1; taken > 0;)
        if ((taken = take_reply(s, false)) < 0) return false;
    while (s.files_sent - s.files_acknowledged >= MAX_UNACKNOWLEDGED)
        if (!secure_flush(s.channel) || take_reply(s, true) < 0) return lose(s);
    return true;
}

// A message of its type byte alone.
bool queue_type(SendSession& s, unsigned char type) { return secure_queue(s.channel, &type, 1) || lose(s); }

// F, with the file's time where it can be read.
bool queue_file_message(SendSession& s, const Outgoing& f, const unsigned char* tag) {
    FileMessage m;
    m.size = f.file_total;
    m.name = f.name;
    m.tag = tag;
    bool timed = open_file_time(f.file, m.time_ns);
    m.flags = static_cast<unsigned char>((tag ? FLAG_RESUMABLE : 0) | (timed ? FLAG_TIME : 0));
    if (m.name.empty() || m.name.size() > MAX_NAME_BYTES) return give_up(s, SendFailure::unreadable);
    unsigned char* plaintext = secure_next_plaintext(s.channel, file_message_size(m));
    if (!plaintext) return lose(s);
    encode_file(m, plaintext);
    return secure_seal(s.channel, file_message_size(m)) || lose(s);
}

// A resumable file's first data waits for the receiver's offset. When the
// file's first bytes hash as the receiver's part does, the data goes on
// from there; otherwise the file goes from its start, after an S.
bool take_offset(SendSession& s, Outgoing& f) {
    s.step = SendStep::awaiting_offset;
    if (!secure_flush(s.channel)) return lose(s);
    while (s.step == SendStep::awaiting_offset) {
        if (abort_send.load()) return give_up(s, SendFailure::aborted);
        if (take_reply(s, true) < 0) return false;
    }
    if (s.offset > f.file_left) return give_up(s, SendFailure::other_format);
    if (s.offset == 0) return true;
    unsigned char proof[PART_PROOF_SIZE];
    if (!hash_file_head(f.file, s.offset, proof)) return give_up(s, SendFailure::unreadable);
    if (std::memcmp(proof, s.proof, PART_PROOF_SIZE) != 0)
        return seek_file(f.file, 0) ? queue_type(s, MESSAGE_FROM_START) : give_up(s, SendFailure::unreadable);
    f.file_left -= s.offset;
    send_bytes_left.fetch_sub(s.offset);
    return true;
}

// Up to MESSAGES_PER_READ data messages from one read of the file: the
// bytes land at the end of the outbox, and each piece moves forward into
// its frame, in front of the bytes still to move, and is sealed in place.
bool queue_data(Batch& b, SendSession& s, Outgoing& f) {
    SecureChannel& c = s.channel;
    std::size_t want = up_to(f.file_left, MESSAGES_PER_READ * DATA_PER_MESSAGE);
    std::size_t pieces = (want + DATA_PER_MESSAGE - 1) / DATA_PER_MESSAGE;
    // A block's frames go out in one call with what waits before them.
    if (c.outbox_used + want + pieces * (SECURE_FRAME_ROOM + 1) > SECURE_BLOCK_SIZE && !secure_flush(c)) return lose(s);
    unsigned char* read_into = c.outbox + SECURE_BUFFER_SIZE - want;
    std::size_t got = 0;
    if (!read_piece(b, f, read_into, want, got)) {
        s.failed_name = f.display_name;
        return give_up(s, SendFailure::changed);
    }
    for (std::size_t done = 0; done < got;) {
        std::size_t piece = up_to(got - done, DATA_PER_MESSAGE);
        unsigned char* plaintext = secure_next_plaintext(c, piece + 1);
        if (!plaintext) return lose(s);
        plaintext[0] = MESSAGE_DATA;
        std::memmove(plaintext + 1, read_into + done, piece);
        if (!secure_seal(c, piece + 1)) return lose(s);
        done += piece;
    }
    return true;
}

// One file on the open connection: F, its data from the receiver's offset
// when resumable, E; the replies that came meanwhile are taken. It counts
// as sent, to go again after a lost connection, from before its F.
bool send_one(Batch& b, SendSession& s, Outgoing& f, bool resumable) {
    PendingFile& pending = pending_of(s, ++s.files_sent);
    pending.path = f.path;
    pending.wire_name.assign(f.name);
    pending.display_name = f.display_name;
    pending.size = f.file_total;
    unsigned char tag[FILE_TAG_SIZE];
    if (resumable && !make_file_tag(f.file, tag)) resumable = false;
    if (!queue_file_message(s, f, resumable ? tag : nullptr)) return false;
    if (resumable && !take_offset(s, f)) return false;
    update_progress(send_bytes_total, send_bytes_left, b.last_percent);
    // Replies are looked for between blocks, and once after the file's end.
    while (f.file_left != 0) {
        if (abort_send.load()) return give_up(s, SendFailure::aborted);
        if (!queue_data(b, s, f) || (f.file_left != 0 && !take_replies(s))) return false;
    }
    if (!queue_type(s, MESSAGE_END)) return false;
    // Small files go out in groups of about EARLY_FLUSH bytes, so that the
    // receiver works on them while the next are read.
    if (s.channel.outbox_used >= EARLY_FLUSH && !secure_flush(s.channel)) return lose(s);
    return take_replies(s);
}

void close_session(Batch& b, SendSession& s) {
    if (s.channel.socket == INVALID_SOCKET_HANDLE) return;
    if (unwatch_transfer(*b.watch, s.channel.socket)) give_up(s, SendFailure::aborted);
    close_socket(s.channel.socket);
    s.channel.socket = INVALID_SOCKET_HANDLE;
    secure_release(s.channel);
    if (s.step != SendStep::failed) s.step = SendStep::closed;
}

// Ends a failed batch: the first file without an acknowledgement is the
// one to report, and a connection given up counts as lost.
bool fail(Batch& b, SendSession& s) {
    if (s.failed_name.empty()) s.failed_name = pending_of(s, s.files_acknowledged + 1).display_name;
    if (s.step != SendStep::failed) give_up(s, SendFailure::connection_lost);
    close_session(b, s);
    return false;
}

// Waits the units out; false when "abort send" ends the wait (aborts is
// the count of aborts before it).
bool pause_unless_aborted(std::int32_t units, std::uint32_t aborts) {
    auto pause = std::chrono::milliseconds(static_cast<std::int64_t>(units) * reconnect_unit_ms.load());
    for (auto waited = std::chrono::milliseconds(0); waited < pause; waited += PAUSE_STEP) {
        if (abort_send.load() || send_aborts() != aborts) return false;
        std::this_thread::sleep_for(std::min(pause - waited, PAUSE_STEP));
    }
    return !abort_send.load() && send_aborts() == aborts;
}

// A file sent again on the new connection, resumable, opened anew by its
// path: it may have changed since, and then its tag tells the receiver.
bool send_again(Batch& b, SendSession& s, PendingFile& again) {
    Outgoing f;
    f.path = again.path.c_str();
    f.name = again.wire_name;
    f.display_name = again.display_name;
    std::uint64_t size = 0;
    f.file = open_file_to_send(f.path, size);
    if (!f.file) {
        s.failed_name = again.display_name;
        return give_up(s, SendFailure::unreadable);
    }
    // The counters held the size it had; they take the one it has now
    // (unsigned: the difference wraps as it should).
    send_bytes_total.fetch_add(size - again.size);
    send_bytes_left.fetch_add(size - again.size);
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
    // Unsigned: adding 0 - n takes n away.
    send_bytes_total.fetch_add(held ? 0 - total : total);
    send_bytes_left.fetch_add(held ? 0 - left : left);
}

// After a lost connection: it is made again after 1, 2, 4, 8 and 16 s, and
// the files without an acknowledgement go again, resumable, from the
// first. A connection that made progress starts the count over. Never after
// the batch failed (an R, an abort, a file that can't be read) or before a
// first handshake succeeded.
bool recover(Batch& b, SendSession& s) {
    std::uint32_t aborts = send_aborts();
    close_session(b, s);
    std::vector<PendingFile> again;
    std::size_t reached = 0;  // of again, the files whose sending began
    bool held = false;
    bool recovered = false;
    while (!recovered && s.shaken_hands && s.step != SendStep::failed && !abort_send.load()) {
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
        if (RetryObserver observer = retry_observer.load()) observer(seconds, s.tries, RECONNECT_TRIES);
        if (!pause_unless_aborted(seconds, aborts)) break;
        recovered = open_session(b, s);
        for (; recovered && reached < again.size(); ++reached) recovered = send_again(b, s, again[reached]);
        if (!recovered) close_session(b, s);
    }
    if (held) hold_counts(again, true);
    if (abort_send.load() || send_aborts() != aborts) give_up(s, SendFailure::aborted);
    // Reported: the file refused or unreadable, else the first without an A
    // (on the last connection, which fail names).
    if (recovered)
        s.failed_name = Text();
    else if (s.failed_name.empty() && s.files_sent == s.files_acknowledged && !again.empty())
        s.failed_name = again.front().display_name;
    return recovered;
}

}  // namespace

void set_retry_observer(RetryObserver observer) { retry_observer.store(observer); }

bool secure_send_file(Batch& b, Outgoing& f) {
    SendSession& s = *b.session;
    if (s.step == SendStep::closed && !open_session(b, s)) {
        pending_of(s, 1).display_name = f.display_name;
        return fail(b, s);
    }
    bool resumable = f.file_total >= RESUMABLE_SIZE;
    if (is_open(s) && send_one(b, s, f, resumable)) return true;
    // The file goes again with the rest; the counters let it go here.
    send_bytes_total.fetch_sub(f.file_total);
    send_bytes_left.fetch_sub(f.file_left);
    f.file_total = f.file_left = 0;
    return recover(b, s) || fail(b, s);
}

bool secure_end_batch(Batch& b) {
    SendSession& s = *b.session;
    if (!is_open(s)) return s.step != SendStep::failed;
    for (;;) {
        bool ended = !abort_send.load() && queue_type(s, MESSAGE_QUIT) && (secure_flush(s.channel) || lose(s));
        while (ended && s.files_acknowledged < s.files_sent) ended = !abort_send.load() && take_reply(s, true) >= 0;
        // Every file has its A: the batch is delivered, whatever became of
        // the connection after that.
        if (ended || (s.files_acknowledged == s.files_sent && !abort_send.load())) break;
        if (abort_send.load()) give_up(s, SendFailure::aborted);
        if (!recover(b, s)) return fail(b, s);
    }
    close_session(b, s);
    return true;
}
