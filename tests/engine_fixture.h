// Shared pieces of the transfer engine's tests: fresh directories, real
// files, the wire bytes of a transfer, and a peer on a real connection.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "app/state.h"
#include "tests/loopback.h"
#include "tests/socket_options.h"
#include "toolkit/headless.h"
#include "transfer/engine.h"
#include "transfer/wire.h"

namespace fs = std::filesystem;

struct SeenMessage {
    std::string text, caption, letters;
};

inline std::mutex seen_lock;
inline std::vector<SeenMessage> seen_messages;

inline void record_message(const Text& text, const Text& caption, const Text& letters) {
    std::lock_guard<std::mutex> hold(seen_lock);
    seen_messages.push_back({std::string(text.view()), std::string(caption.view()),
                             std::string(letters.view())});
}

inline std::vector<SeenMessage> messages_seen() {
    std::lock_guard<std::mutex> hold(seen_lock);
    return seen_messages;
}

inline std::vector<std::string> message_texts() {
    std::vector<std::string> texts;
    for (const auto& m : messages_seen()) texts.push_back(m.text);
    return texts;
}

inline void forget_messages() {
    std::lock_guard<std::mutex> hold(seen_lock);
    seen_messages.clear();
}

// An empty directory of its own for each caller.
// Opens count files in folder at once, as many receive tasks holding their
// groups do; how many could be opened.
inline std::size_t open_many_files(const fs::path& folder, std::size_t count) {
    std::vector<std::FILE*> files;
    for (std::size_t i = 0; i < count; ++i) {
        std::FILE* f = std::fopen((folder / std::to_string(i)).string().c_str(), "wb");
        if (!f) break;
        files.push_back(f);
    }
    for (std::FILE* f : files) std::fclose(f);
    return files.size();
}

inline fs::path fresh_dir(const std::string& label) {
    static std::atomic<int> number{0};
    fs::path dir = fs::temp_directory_path() /
                   ("zpx-" + std::to_string(process_number()) + std::string("-") + label + "-" +
                    std::to_string(number.fetch_add(1)));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

inline Text dir_text(const fs::path& dir) { return Text(dir.string()) + std::string(1, PATH_SEPARATOR); }

inline std::string read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Bytes that differ from position to position, so that a lost, doubled
// or misplaced piece shows.
inline std::string pattern_bytes(std::size_t count, std::uint32_t seed = 1) {
    std::string bytes(count, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < count; ++i) {
        x = x * 1664525u + 1013904223u;
        bytes[i] = static_cast<char>(x >> 24);
    }
    return bytes;
}

inline std::vector<std::string> entries_of(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

inline std::string u32_bytes(std::uint32_t value) {
    unsigned char field[FIELD_SIZE];
    put_u32(field, value);
    return std::string(reinterpret_cast<char*>(field), FIELD_SIZE);
}
inline std::string u64_bytes(std::uint64_t value) {
    unsigned char field[8];
    put_u64(field, value);
    return std::string(reinterpret_cast<char*>(field), 8);
}

// One transfer as a sender writes it; name_field includes its zero byte.
inline std::string wire_bytes(std::uint32_t key, const std::string& name_field, const std::string& data,
                              const std::string& mark = CLOSING_MARK) {
    std::uint32_t state = key;
    std::string name = name_field;
    scramble(name.data(), name.size(), state);
    std::string body = data;
    scramble(body.data(), body.size(), state);
    return std::string(TRANSFER_MAGIC) + u32_bytes(key) + u32_bytes(static_cast<std::uint32_t>(name.size())) +
           name + u32_bytes(static_cast<std::uint32_t>(data.size())) + body + mark;
}

// What the sending peer does after its bytes are out.
enum class PeerEnd { await_reply, hang_up };

struct ReceiveOutcome {
    std::string reply;  // what came back before the receiver closed
};

// Runs the receive task on one end of a real connection while a peer
// thread writes wire to the other end in pieces of piece bytes (0: at once).
inline ReceiveOutcome receive_from_peer(const std::string& wire, std::size_t piece = 0,
                                        PeerEnd end = PeerEnd::await_reply, std::int32_t slot_index = 1) {
    SocketPair pair = connected_pair();
    receive_slots[slot_index] = pair.server;
    ReceiveOutcome outcome;
    std::thread peer([&] {
        send_without_delay(pair.client);
        std::size_t step = piece == 0 ? wire.size() : piece;
        for (std::size_t at = 0; at < wire.size(); at += step) {
            std::size_t n = std::min(step, wire.size() - at);
            if (!send_all(pair.client, wire.data() + at, static_cast<std::int32_t>(n))) break;
            if (piece != 0 && piece < 64) std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
        if (end == PeerEnd::await_reply) {
            char reply[64];
            std::int32_t got;
            while ((got = recv_some(pair.client, reply, sizeof reply)) > 0) outcome.reply.append(reply, static_cast<std::size_t>(got));
        }
        close_socket(pair.client);
    });
    receive_connection(receive_slots[slot_index]);
    peer.join();
    return outcome;
}

// Receive tasks on a thread of their own, one after another, for the first
// count connections made to the listener.
inline std::thread receive_connections(const Loopback& l, std::size_t count, std::int32_t slot = 3) {
    return std::thread([&l, count, slot] {
        for (std::size_t i = 0; i < count; ++i) {
            SocketHandle s;
            IpAddress peer;
            if (!accept_peer(l.listening, s, peer)) return;
            receive_slots[slot] = s;
            receive_connection(receive_slots[slot]);
        }
    });
}

// Waits until bytes are under way and the count has not moved for a while:
// the task is blocked on its peer.
inline void wait_until_stalled(const std::atomic<std::uint64_t>& left) {
    using Clock = std::chrono::steady_clock;
    std::uint64_t seen = left.load();
    auto still_since = Clock::now();
    auto give_up = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::uint64_t now = left.load();
        if (now != seen || now == 0) {
            seen = now;
            still_since = Clock::now();
        } else if (Clock::now() - still_since > std::chrono::milliseconds(300)) {
            return;
        }
    }
    FAIL() << "the transfer never stalled";
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ensure_sockets();
        reset_program_state();
        idle_limit_ms = 10000;
        greeting_limit_ms = DEFAULT_GREETING_LIMIT_MS;
        reconnect_unit_ms = 5;
        forget_messages();
        set_message_observer(record_message);
        dir = fresh_dir("engine");
        destination_dir = dir_text(dir);
    }
    void TearDown() override {
        set_message_observer(nullptr);
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    // Counters, slots and flags as they were before any task ran.
    void expect_engine_at_rest() {
        EXPECT_EQ(running_tasks.load(), 0);
        EXPECT_EQ(recv_bytes_total.load(), 0u);
        EXPECT_EQ(recv_bytes_left.load(), 0u);
        EXPECT_EQ(send_bytes_total.load(), 0u);
        EXPECT_EQ(send_bytes_left.load(), 0u);
        EXPECT_FALSE(abort_receive.load());
        EXPECT_FALSE(abort_send.load());
        for (int i = 1; i <= SLOT_CAPACITY; ++i) {
            EXPECT_EQ(receive_slots[i].load(), 0u) << "receive slot " << i;
            EXPECT_EQ(send_slots[i].load(), 0u) << "send slot " << i;
        }
    }
    fs::path dir;
};
