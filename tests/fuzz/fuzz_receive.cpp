// One connection into the receive task: the fuzzer's bytes are written by a
// peer thread into a real loopback connection, which the peer then closes.
// Afterwards the destination holds exactly the file a plain reading of the
// bytes says was sent whole (or nothing), its parent holds nothing new, no
// temporary file is left and the engine's counters and slot are back at rest.
//
// The first bytes choose the receiver and the peer:
// - "secret" then raw bytes: a receiver with a secret, the bytes as they
//   are (the secure magic, the handshake's framing, the fixed format sent
//   to it); nothing can be stored without the key.
// - "sealed" then records, each a kind byte, a 2-byte big-endian length
//   and that many bytes: a receiver with a secret and a peer holding the
//   key, which makes the handshake, seals one message per record, ends its
//   sending side and reads the receiver's answers. A record's message is
//   its kind byte followed by its bytes (F, D, E, Q or any other type, cut
//   to the largest plaintext), except kind 0: a message of the tag alone,
//   and kind 1: an F whose size is the sum of the D messages right after it
//   and whose bytes are the flags and the name, so that whole files are
//   easy to reach. The answers (A n, R n, O n for a resumable file; S is a
//   fault, since no part is held before the connection) and the
//   files in place, and the part kept of a resumable file the connection
//   ended in, must be what a plain reading of the messages says.
// - anything else: a receiver without a secret, the bytes as they are.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/state.h"
#include "net/socket.h"
#include "transfer/engine.h"
#include "transfer/name_check.h"
#include "transfer/name_encoding.h"
#include "transfer/secure/file_tag.h"
#include "transfer/secure/part_store.h"
#include "transfer/secure/secure_channel.h"
#include "transfer/wire.h"

namespace {

// Memory-backed when the system has it: a disk-backed /tmp costs
// milliseconds per file and would starve the fuzzer.
std::string scratch_dir() {
    struct stat info {};
    return stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) ? "/dev/shm" : "/tmp";
}

constexpr char MAGIC[] = "zeptrixv1.0";
constexpr char MARK[] = "zeptrix**ok**";

struct Place {
    std::string base;  // holds only "dest"
    std::string dest;
    SocketHandle listening = INVALID_SOCKET_HANDLE;
    std::int32_t port = 0;
};

void remove_tree(const std::string& dir) {
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n == "." || n == "..") continue;
            std::string p = dir + "/" + n;
            struct stat info {};
            if (lstat(p.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
                remove_tree(p);
            else
                unlink(p.c_str());
        }
        closedir(d);
    }
    rmdir(dir.c_str());
}

Place& place() {
    static Place p = [] {
        Place made;
        std::string where = scratch_dir() + "/zpx-fuzz-receive-XXXXXX";
        char* pattern = where.data();
        if (!mkdtemp(pattern)) std::abort();
        made.base = pattern;
        made.dest = made.base + "/dest";
        if (mkdir(made.dest.c_str(), 0700) != 0) std::abort();
        start_sockets();
        if (!listen_on(0, made.listening)) std::abort();
        made.port = local_port(made.listening);
        return made;
    }();
    return p;
}

void remove_place() { remove_tree(place().base); }

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

std::uint32_t u32_at(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void descramble(std::string& bytes, std::uint32_t& state) {
    for (char& c : bytes) {
        c = static_cast<char>(static_cast<std::uint8_t>(c) ^ (state & 0xFF));
        state = ((state << 1) & 0xFE) | ((state & 0x80) >> 7);
    }
}

// What a whole, acceptable transfer at the start of the bytes would store.
bool expected_file(const std::uint8_t* data, std::size_t size, std::string& name, std::string& body) {
    if (size < 19 || std::memcmp(data, MAGIC, 11) != 0) return false;
    std::uint32_t state = u32_at(data + 11);
    std::uint64_t n = u32_at(data + 15);
    if (n == 0 || n > MAX_NAME_FIELD || size < 19 + n + 4) return false;
    std::string raw(reinterpret_cast<const char*>(data + 19), n);
    descramble(raw, state);
    // The name in the code page, or as UTF-8 when it is that, as a newer
    // copy reads it.
    if (!fixed_name_text(raw.substr(0, raw.find('\0')), name) || !is_storable_name(name)) return false;
    for (char& c : name)
        if (c == '\\') c = '/';
    std::uint64_t s = u32_at(data + 19 + n);
    std::uint64_t at = 23 + n;
    if (size < at + s + 13) return false;
    body.assign(reinterpret_cast<const char*>(data + at), s);
    descramble(body, state);
    return std::memcmp(data + at + s, MARK, 13) == 0;
}

enum class Mode { fixed, secure_raw, sealed };

Mode mode_of(const std::uint8_t*& data, std::size_t& size) {
    if (size >= 6 && std::memcmp(data, "secret", 6) == 0) {
        data += 6;
        size -= 6;
        return Mode::secure_raw;
    }
    if (size >= 6 && std::memcmp(data, "sealed", 6) == 0) {
        data += 6;
        size -= 6;
        return Mode::sealed;
    }
    return Mode::fixed;
}

// One sealed message of the peer: a plaintext, or the tag alone.
struct Message {
    std::string plaintext;
    bool tag_only = false;
};

constexpr std::uint8_t KIND_TAG_ONLY = 0;
constexpr std::uint8_t KIND_SIZED_FILE = 1;

std::string u64_bytes(std::uint64_t value) {
    std::string out;
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
    return out;
}

std::uint64_t u64_at(const char* p) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(p);
    return u32_at(b) | static_cast<std::uint64_t>(u32_at(b + 4)) << 32;
}

std::vector<Message> messages_of(const std::uint8_t* data, std::size_t size) {
    std::vector<Message> messages;
    std::vector<std::size_t> sized_files;
    std::size_t at = 0;
    while (at + 3 <= size) {
        std::uint8_t kind = data[at];
        std::size_t n = static_cast<std::size_t>(data[at + 1]) << 8 | data[at + 2];
        at += 3;
        if (n > size - at) n = size - at;
        std::string bytes(reinterpret_cast<const char*>(data + at), n);
        at += n;
        Message m;
        if (kind == KIND_TAG_ONLY) {
            m.tag_only = true;
        } else if (kind == KIND_SIZED_FILE) {
            // Flags and name; the size is filled in below.
            sized_files.push_back(messages.size());
            m.plaintext = "F" + u64_bytes(0) + (bytes.empty() ? std::string(1, '\0') : bytes);
        } else {
            m.plaintext = static_cast<char>(kind) + bytes;
        }
        if (m.plaintext.size() > SECURE_MAX_PLAINTEXT) m.plaintext.resize(SECURE_MAX_PLAINTEXT);
        messages.push_back(m);
    }
    for (std::size_t i : sized_files) {
        std::uint64_t total = 0;
        for (std::size_t j = i + 1; j < messages.size() && messages[j].plaintext.size() > 1 &&
                                    messages[j].plaintext[0] == 'D';
             ++j)
            total += messages[j].plaintext.size() - 1;
        messages[i].plaintext.replace(1, 8, u64_bytes(total));
    }
    return messages;
}

// What the receiver must make of the messages: its answers ("A1 A2 R3") and
// the files in place (path with slashes -> bytes), every folder among them.
struct Expected {
    std::string replies;
    std::map<std::string, std::string> files;
    std::set<std::string> folders;
};

void add_reply(Expected& e, char type, std::uint32_t number) {
    if (!e.replies.empty()) e.replies += ' ';
    e.replies += type + std::to_string(number);
}

// Whether the folders on a file's way can be made: none of them is a file.
bool folders_free(const Expected& e, const std::string& path) {
    for (std::size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1))
        if (e.files.count(path.substr(0, at))) return false;
    return true;
}

// A plain reading of the session: files in the order of their F, each
// F D* E with data adding up to its size (a tag when resumable, then a time
// when flagged, before the name); O 0 after the F of a resumable file
// (nothing is held yet, so an S is a fault); A after each file in place; R for a name or
// flags it refuses, a size beyond any file or a place it can't store to,
// and then the end; any other message ends the session unanswered. A
// resumable file under way when the connection ends is kept as a part.
Expected expected_session(const std::vector<Message>& messages) {
    Expected e;
    std::size_t i = 0;
    for (std::uint32_t number = 1;; ++number) {
        if (i == messages.size()) return e;
        const Message& f = messages[i++];
        if (f.tag_only || f.plaintext == "Q" || f.plaintext[0] != 'F') return e;
        if (f.plaintext.size() < 10) return e;
        bool resumable = (f.plaintext[9] & 1) != 0;
        std::size_t tag_end = resumable ? 10 + FILE_TAG_SIZE : 10;
        std::size_t head = tag_end + ((f.plaintext[9] & 2) != 0 ? 8 : 0);
        if (f.plaintext.size() < head + 1 || f.plaintext.size() > head + 255) return e;
        std::string tag = f.plaintext.substr(10, tag_end - 10);
        std::string name = f.plaintext.substr(head);
        std::uint64_t size = u64_at(f.plaintext.data() + 1);
        std::string path = name;
        for (char& c : path)
            if (c == '\\') c = '/';
        if (name.find('\0') != std::string::npos || !is_storable_name(name) || !is_secure_name(name) ||
            (f.plaintext[9] & ~3) != 0 ||
            size > (std::uint64_t{1} << 56) || !folders_free(e, path)) {
            add_reply(e, 'R', number);
            return e;
        }
        if (resumable) add_reply(e, 'O', number);
        std::string body;
        for (;;) {
            if (i == messages.size()) {
                if (!resumable) return e;
                char part[PART_NAME_SIZE + 1];
                make_part_name(path, size, reinterpret_cast<const unsigned char*>(tag.data()), part);
                e.files[std::string(PARTS_FOLDER) + "/" + part] = body;
                e.folders.insert(PARTS_FOLDER);
                return e;
            }
            const Message& m = messages[i++];
            if (m.tag_only) return e;
            if (m.plaintext == "E") break;
            if (m.plaintext[0] != 'D' || m.plaintext.size() == 1 || body.size() + m.plaintext.size() - 1 > size)
                return e;
            body += m.plaintext.substr(1);
        }
        if (body.size() != size) return e;
        // A folder in the file's place.
        if (e.folders.count(path)) {
            add_reply(e, 'R', number);
            return e;
        }
        e.files[path] = body;
        for (std::size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1))
            e.folders.insert(path.substr(0, at));
        add_reply(e, 'A', number);
    }
}

// The peer holding the key: the handshake, the messages, the end of its
// sending side, then the receiver's answers until it closes.
std::string run_sealed_peer(SocketHandle client, const std::vector<Message>& messages) {
    SecureChannel channel;
    std::string replies;
    if (secure_buffers(channel) && secure_connect(client, group_key, channel)) {
        for (const Message& m : messages) {
            if (!m.tag_only) {
                if (!secure_queue(channel, reinterpret_cast<const unsigned char*>(m.plaintext.data()),
                                  m.plaintext.size()))
                    break;
                continue;
            }
            unsigned char tag_only[SECURE_FRAME_ROOM];
            noise_encrypt(channel.session.sending, tag_only + 2, 0, tag_only + 2);
            tag_only[0] = 0;
            tag_only[1] = NOISE_TAG_SIZE;
            if (!secure_flush(channel) || !send_all(client, tag_only, sizeof tag_only)) break;
        }
        secure_flush(channel);
        shutdown_sending(client);
        unsigned char* reply = nullptr;
        std::int32_t got;
        while ((got = secure_receive(channel, reply)) > 0) {
            if (!replies.empty()) replies += ' ';
            if ((got == 5 && reply[0] == 'A') || (got == 6 && reply[0] == 'R'))
                replies += static_cast<char>(reply[0]) + std::to_string(u32_at(reply + 1));
            else if (got == 13 && reply[0] == 'O' && u64_at(reinterpret_cast<const char*>(reply) + 5) == 0)
                replies += 'O' + std::to_string(u32_at(reply + 1));
            else
                replies += '?';
        }
    }
    secure_release(channel);
    return replies;
}

// Every path below dir, relative to it: folders and files.
void walk(const std::string& dir, const std::string& prefix, std::set<std::string>& folders,
          std::set<std::string>& files) {
    for (const std::string& n : entries(dir)) {
        struct stat info {};
        std::string path = dir + "/" + n;
        if (lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            folders.insert(prefix + n);
            walk(path, prefix + n + "/", folders, files);
        } else {
            files.insert(prefix + n);
        }
    }
}

std::string file_bytes(const std::string& path) {
    std::string bytes;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        std::size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, got);
        std::fclose(f);
    }
    return bytes;
}

bool connect_pair(SocketHandle& client, SocketHandle& server) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        IpAddress local;
        local.octets[0] = 127;
        local.octets[3] = 1;
        if (connect_to(local, place().port, client)) {
            IpAddress peer;
            if (accept_peer(place().listening, server, peer)) return true;
            close_socket(client);
        }
        usleep(20000);
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    place();
    std::atexit(remove_place);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Place& p = place();
    reset_program_state();
    destination_dir = Text(p.dest) + "/";
    idle_limit_ms = 200;
    Mode mode = mode_of(data, size);
    if (mode != Mode::fixed) {
        if (!start_crypto()) std::abort();
        for (std::size_t i = 0; i < GROUP_KEY_SIZE; ++i) group_key[i] = static_cast<unsigned char>(i);
        secure_transfers = true;
    }
    std::vector<Message> messages = mode == Mode::sealed ? messages_of(data, size) : std::vector<Message>{};

    SocketHandle client = INVALID_SOCKET_HANDLE, server = INVALID_SOCKET_HANDLE;
    if (!connect_pair(client, server)) std::abort();
    receive_slots[1] = server;
    std::string replies;
    std::thread peer([&] {
        if (mode == Mode::sealed)
            replies = run_sealed_peer(client, messages);
        else
            send_all(client, data, static_cast<std::int32_t>(size));
        close_socket(client);
    });
    receive_connection(receive_slots[1]);
    peer.join();

    if (running_tasks.load() != 0 || recv_bytes_total.load() != 0 || recv_bytes_left.load() != 0 ||
        receive_slots[1].load() != 0)
        std::abort();
    if (entries(p.base) != std::vector<std::string>{"dest"}) std::abort();

    if (mode == Mode::sealed) {
        Expected e = expected_session(messages);
        if (replies != e.replies) std::abort();
        std::set<std::string> folders, files;
        walk(p.dest, "", folders, files);
        if (folders != e.folders) std::abort();
        std::set<std::string> expected_files;
        for (const auto& [path, body] : e.files) {
            expected_files.insert(path);
            if (file_bytes(p.dest + "/" + path) != body) std::abort();
        }
        if (files != expected_files) std::abort();
        for (const std::string& top : folders)
            if (top.find('/') == std::string::npos) remove_tree(p.dest + "/" + top);
        for (const std::string& path : files)
            if (path.find('/') == std::string::npos) unlink((p.dest + "/" + path).c_str());
        return 0;
    }

    std::string name, body;
    bool whole = mode == Mode::fixed && expected_file(data, size, name, body);
    std::vector<std::string> stored = entries(p.dest);
    if (whole) {
        // The file under its name, with its folders, and nothing beside it.
        std::string top = name.substr(0, name.find('/'));
        if (stored != std::vector<std::string>{top}) std::abort();
        std::string path = p.dest + "/" + name;
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) std::abort();
        if (file_bytes(path) != body) std::abort();
        for (std::size_t at = name.find('/'); at != std::string::npos; at = name.find('/', at + 1))
            if (entries(p.dest + "/" + name.substr(0, at)).size() != 1) std::abort();
        if (top == name)
            unlink(path.c_str());
        else
            remove_tree(p.dest + "/" + top);
    } else if (!stored.empty()) {
        std::abort();
    }
    return 0;
}
