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
// - "sealed" then records, each a 2-byte big-endian length and that many
//   bytes: a receiver with a secret and a peer holding the key, which makes
//   the handshake and seals each record as one message (lengths above the
//   largest plaintext are cut to it). What the records say is checked.
// - anything else: a receiver without a secret, the bytes as they are.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/state.h"
#include "net/socket.h"
#include "transfer/engine.h"
#include "transfer/name_check.h"
#include "transfer/secure/secure_channel.h"

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
    if (n == 0 || n > MAX_NAME_LENGTH || size < 19 + n + 4) return false;
    std::string raw(reinterpret_cast<const char*>(data + 19), n);
    descramble(raw, state);
    name = raw.substr(0, raw.find('\0'));
    if (!is_safe_nested_name(name)) return false;
    std::size_t last = name.rfind('\\');
    if (name.compare(last == std::string::npos ? 0 : last + 1, 9, ".zeptrix-") == 0) return false;
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

struct Record {
    const std::uint8_t* bytes;
    std::size_t size;
};

std::vector<Record> records_of(const std::uint8_t* data, std::size_t size) {
    std::vector<Record> records;
    std::size_t at = 0;
    while (at + 2 <= size) {
        std::size_t n = static_cast<std::size_t>(data[at]) << 8 | data[at + 1];
        at += 2;
        if (n > size - at) n = size - at;
        std::size_t sealed = n > SECURE_MAX_PLAINTEXT ? SECURE_MAX_PLAINTEXT : n;
        records.push_back({data + at, sealed});
        at += n;
    }
    return records;
}

// What whole, acceptable records would store: a header of size and name,
// data adding up to the size exactly, then the closing mark.
bool expected_sealed_file(const std::vector<Record>& records, std::string& name, std::string& body) {
    if (records.empty() || records[0].size < 9 || records[0].size > 8 + MAX_NAME_LENGTH - 1) return false;
    std::uint64_t size = u32_at(records[0].bytes) | static_cast<std::uint64_t>(u32_at(records[0].bytes + 4)) << 32;
    name.assign(reinterpret_cast<const char*>(records[0].bytes + 8), records[0].size - 8);
    if (name.find('\0') != std::string::npos || !is_safe_nested_name(name)) return false;
    std::size_t last = name.rfind('\\');
    if (name.compare(last == std::string::npos ? 0 : last + 1, 9, ".zeptrix-") == 0) return false;
    for (char& c : name)
        if (c == '\\') c = '/';
    std::size_t i = 1;
    body.clear();
    while (body.size() < size) {
        if (i == records.size() || records[i].size == 0 || body.size() + records[i].size > size) return false;
        body.append(reinterpret_cast<const char*>(records[i].bytes), records[i].size);
        ++i;
    }
    return i < records.size() && records[i].size == 13 && std::memcmp(records[i].bytes, MARK, 13) == 0;
}

// The peer holding the key: the handshake, then each record sealed.
void send_sealed(SocketHandle client, const std::vector<Record>& records) {
    SecureChannel channel;
    if (!secure_connect(client, group_key, channel)) return;
    static std::vector<unsigned char> frame(SECURE_MAX_MESSAGE + SECURE_LENGTH_SIZE);
    for (const Record& r : records) {
        if (r.size == 0) {
            // An empty plaintext: a message of the tag alone.
            unsigned char tag_only[SECURE_FRAME_ROOM];
            noise_encrypt(channel.session.sending, tag_only + 2, 0, tag_only + 2);
            tag_only[0] = 0;
            tag_only[1] = NOISE_TAG_SIZE;
            if (!send_all(client, tag_only, sizeof tag_only)) return;
            continue;
        }
        std::memcpy(frame.data() + SECURE_LENGTH_SIZE, r.bytes, r.size);
        if (!secure_send(channel, frame.data(), r.size)) return;
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
    std::vector<Record> records = mode == Mode::sealed ? records_of(data, size) : std::vector<Record>{};

    SocketHandle client = INVALID_SOCKET_HANDLE, server = INVALID_SOCKET_HANDLE;
    if (!connect_pair(client, server)) std::abort();
    receive_slots[1] = server;
    std::thread peer([&] {
        if (mode == Mode::sealed)
            send_sealed(client, records);
        else
            send_all(client, data, static_cast<std::int32_t>(size));
        close_socket(client);
    });
    receive_file(receive_slots[1]);
    peer.join();

    if (running_tasks.load() != 0 || recv_bytes_total.load() != 0 || recv_bytes_left.load() != 0 ||
        receive_slots[1].load() != 0)
        std::abort();
    if (entries(p.base) != std::vector<std::string>{"dest"}) std::abort();

    std::string name, body;
    bool whole = mode == Mode::fixed    ? expected_file(data, size, name, body)
                 : mode == Mode::sealed ? expected_sealed_file(records, name, body)
                                        : false;
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
