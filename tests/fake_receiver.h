// A receiving peer for the send task's tests: it reads each transfer off a
// real connection, keeps what it decoded, and answers as told.
#pragma once

#include <functional>

#include "tests/engine_fixture.h"

struct Received {
    bool whole = false;  // every field up to the closing mark arrived
    bool refused = false;  // closed after the name, without an answer
    std::uint32_t key = 0;
    std::string name;    // without its zero byte
    std::uint32_t size = 0;
    std::string data;
    std::string mark;
};

enum class Answer { ack, wrong_ack, short_ack, hang_up, stay_silent, never_read };

class FakeReceiver {
public:
    explicit FakeReceiver(Answer answer = Answer::ack) : answer_(answer) {
        Loopback l = open_listener();
        listening_ = l.listening;
        port_ = l.port;
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeReceiver() { stop(); }

    std::int32_t port() const { return port_; }
    // Runs on the receiver's thread right after each accept.
    std::function<void()> on_accept;
    // Runs after the header (up to the size field) of each transfer.
    std::function<void()> on_header;
    // Closes a connection whose name holds c right after the name, as a
    // receiver that refuses such names does.
    void refuse_name_with(char c) { refused_char_ = c; }

    // Ends the serving thread: a connection that sends nothing tells it to.
    std::vector<Received> stop() {
        if (thread_.joinable()) {
            sender_done_ = true;
            SocketHandle wake;
            if (connect_to(localhost(), port_, wake)) close_socket(wake);
            thread_.join();
            close_socket(listening_);
        }
        return received_;
    }

private:
    static bool read_u32(SocketHandle s, std::uint32_t& value) {
        unsigned char field[FIELD_SIZE];
        if (!recv_exact(s, field, FIELD_SIZE)) return false;
        value = get_u32(field);
        return true;
    }

    // False when the connection carried no magic at all: the stop signal.
    bool read_transfer(SocketHandle s, Received& r) {
        char magic[TRANSFER_MAGIC_SIZE];
        if (!recv_exact(s, magic, TRANSFER_MAGIC_SIZE)) return false;
        std::uint32_t name_length = 0;
        if (!read_u32(s, r.key) || !read_u32(s, name_length) || name_length > 100000) return true;
        std::string name(name_length, '\0');
        if (!recv_exact(s, name.data(), static_cast<std::int32_t>(name_length))) return true;
        std::uint32_t state = r.key;
        scramble(name.data(), name.size(), state);
        r.name = name.substr(0, name.find('\0'));
        r.refused = refused_char_ && r.name.find(refused_char_) != std::string::npos;
        if (r.refused) return true;
        if (!read_u32(s, r.size)) return true;
        if (on_header) on_header();
        char buffer[65536];
        while (r.data.size() < r.size) {
            std::size_t want = std::min<std::size_t>(sizeof buffer, r.size - r.data.size());
            std::int32_t got = recv_some(s, buffer, static_cast<std::int32_t>(want));
            if (got <= 0) return true;
            scramble(buffer, static_cast<std::size_t>(got), state);
            r.data.append(buffer, static_cast<std::size_t>(got));
        }
        char mark[CLOSING_MARK_SIZE];
        if (!recv_exact(s, mark, CLOSING_MARK_SIZE)) return true;
        r.mark.assign(mark, CLOSING_MARK_SIZE);
        r.whole = true;
        return true;
    }

    void answer(SocketHandle s) {
        switch (answer_) {
            case Answer::ack: send_all(s, CLOSING_MARK, CLOSING_MARK_SIZE); break;
            case Answer::wrong_ack: send_all(s, "zeptrix**OK**", CLOSING_MARK_SIZE); break;
            case Answer::short_ack: send_all(s, CLOSING_MARK, CLOSING_MARK_SIZE - 1); break;
            case Answer::hang_up: break;
            case Answer::stay_silent: {
                char ignored[64];
                while (recv_some(s, ignored, sizeof ignored) > 0) {
                }
                break;
            }
            case Answer::never_read: break;
        }
    }

    void serve() {
        for (;;) {
            SocketHandle s;
            IpAddress peer;
            if (!accept_peer(listening_, s, peer)) return;
            if (on_accept) on_accept();
            if (answer_ == Answer::never_read && !sender_done_) {
                while (!sender_done_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                close_socket(s);
                continue;
            }
            Received r;
            bool transfer = read_transfer(s, r);
            if (transfer && !r.refused) answer(s);
            close_socket(s);
            if (!transfer) return;
            received_.push_back(std::move(r));
        }
    }

    Answer answer_;
    char refused_char_ = 0;
    SocketHandle listening_ = INVALID_SOCKET_HANDLE;
    std::int32_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> sender_done_{false};
    std::vector<Received> received_;
};
