#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/loopback.h"
#include "transfer/wire.h"

namespace {

// The cipher exactly as defined, one byte at a time.
void reference_scramble(unsigned char* bytes, std::size_t count, std::uint32_t& state) {
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] ^= static_cast<unsigned char>(state & 0xFF);
        state = ((state << 1) & 0xFE) | ((state & 0x80) >> 7);
    }
}

}  // namespace

TEST(WireFields, LittleEndianByteByByte) {
    struct Row { std::uint32_t value; unsigned char bytes[4]; };
    const Row rows[] = {{0, {0, 0, 0, 0}},
                        {1, {1, 0, 0, 0}},
                        {0x12345678, {0x78, 0x56, 0x34, 0x12}},
                        {0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF}},
                        {8193, {0x01, 0x20, 0, 0}}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.value);
        unsigned char out[5] = {0, 0, 0, 0, 0xAA};
        put_u32(out, row.value);
        EXPECT_EQ(0, std::memcmp(out, row.bytes, 4));
        EXPECT_EQ(out[4], 0xAA);
        EXPECT_EQ(get_u32(row.bytes), row.value);
    }
    EXPECT_EQ(std::string(TRANSFER_MAGIC).size(), static_cast<std::size_t>(TRANSFER_MAGIC_SIZE));
    EXPECT_EQ(std::string(CLOSING_MARK).size(), static_cast<std::size_t>(CLOSING_MARK_SIZE));
}

TEST(Scramble, KnownStreams) {
    struct Row { const char* label; std::uint32_t key; std::vector<unsigned char> xor_stream; std::uint32_t end; };
    const Row rows[] = {
        {"key 1", 1, {1, 2, 4, 8, 16, 32, 64, 128, 1}, 2},
        {"key 0x81", 0x81, {0x81, 0x03, 0x06}, 0x0C},
        {"low byte zero", 0x1200, {0, 0, 0}, 0},
        {"above 255", 0x1FF, {0xFF, 0xFF}, 0xFF},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        std::vector<unsigned char> bytes(row.xor_stream.size(), 0);
        std::uint32_t state = row.key;
        scramble(bytes.data(), bytes.size(), state);
        EXPECT_EQ(bytes, row.xor_stream);
        EXPECT_EQ(state, row.end);
    }
    std::uint32_t state = 0xABCD1234;
    scramble(nullptr, 0, state);
    EXPECT_EQ(state, 0xABCD1234u) << "a count of 0 changes nothing";
}

// Any key, any length, any split into calls: the same bytes and end state
// as the byte-by-byte definition, and a second pass gives the input back.
TEST(Scramble, MatchesTheByteByByteDefinition) {
    std::mt19937 random(20261208);
    for (int round = 0; round < 12000; ++round) {
        std::uint32_t key = random();
        if (round % 7 == 0) key &= 0xFFFFFF00;  // low byte zero
        if (round % 5 == 0) key &= 0xFF;
        std::size_t length = round % 50 == 0 ? random() % 100000 : random() % 300;
        std::vector<unsigned char> data(length);
        for (auto& b : data) b = static_cast<unsigned char>(random());

        std::vector<unsigned char> expected = data;
        std::uint32_t expected_state = key;
        reference_scramble(expected.data(), expected.size(), expected_state);

        std::vector<unsigned char> actual = data;
        std::uint32_t state = key;
        std::size_t done = 0;
        while (done < length) {
            std::size_t piece = 1 + random() % (length - done);
            if (random() % 4 == 0) scramble(actual.data() + done, 0, state);
            scramble(actual.data() + done, piece, state);
            done += piece;
        }
        if (length == 0) scramble(actual.data(), 0, state);
        ASSERT_EQ(actual, expected) << "key " << key << " length " << length;
        ASSERT_EQ(state, expected_state) << "key " << key << " length " << length;

        std::uint32_t again = key;
        scramble(actual.data(), actual.size(), again);
        ASSERT_EQ(actual, data);
    }
}

namespace {

// The piece size of the original senders, where a test cuts data as they did.
constexpr std::int32_t TEST_PIECE = 8193;

struct Sent {
    std::uint32_t key;
    std::string name;  // without the terminating zero
    std::vector<unsigned char> data;
};

std::vector<unsigned char> encode_transfer(const Sent& s) {
    std::vector<unsigned char> wire(TRANSFER_MAGIC, TRANSFER_MAGIC + TRANSFER_MAGIC_SIZE);
    unsigned char field[4];
    put_u32(field, s.key);
    wire.insert(wire.end(), field, field + 4);
    std::vector<unsigned char> name(s.name.begin(), s.name.end());
    name.push_back(0);
    put_u32(field, static_cast<std::uint32_t>(name.size()));
    wire.insert(wire.end(), field, field + 4);
    std::uint32_t state = s.key;
    scramble(name.data(), name.size(), state);
    wire.insert(wire.end(), name.begin(), name.end());
    put_u32(field, static_cast<std::uint32_t>(s.data.size()));
    wire.insert(wire.end(), field, field + 4);
    std::vector<unsigned char> data = s.data;
    for (std::size_t at = 0; at < data.size(); at += TEST_PIECE)
        scramble(data.data() + at, std::min<std::size_t>(TEST_PIECE, data.size() - at), state);
    wire.insert(wire.end(), data.begin(), data.end());
    wire.insert(wire.end(), CLOSING_MARK, CLOSING_MARK + CLOSING_MARK_SIZE);
    return wire;
}

// Reads one transfer the way a receiver does; false on any protocol fault.
bool decode_transfer(SocketHandle s, Sent& out) {
    unsigned char field[CLOSING_MARK_SIZE];
    if (!recv_exact(s, field, TRANSFER_MAGIC_SIZE) ||
        std::memcmp(field, TRANSFER_MAGIC, TRANSFER_MAGIC_SIZE) != 0)
        return false;
    if (!recv_exact(s, field, 4)) return false;
    out.key = get_u32(field);
    std::uint32_t state = out.key;
    if (!recv_exact(s, field, 4)) return false;
    std::vector<char> name(get_u32(field));
    if (!recv_exact(s, name.data(), static_cast<std::int32_t>(name.size()))) return false;
    scramble(name.data(), name.size(), state);
    out.name.assign(name.data());
    if (!recv_exact(s, field, 4)) return false;
    std::uint32_t left = get_u32(field);
    unsigned char chunk[TEST_PIECE];
    while (left) {
        std::int32_t n = recv_some(s, chunk, static_cast<std::int32_t>(std::min<std::uint32_t>(TEST_PIECE, left)));
        if (n <= 0) return false;
        scramble(chunk, static_cast<std::size_t>(n), state);
        out.data.insert(out.data.end(), chunk, chunk + n);
        left -= static_cast<std::uint32_t>(n);
    }
    if (!recv_exact(s, field, CLOSING_MARK_SIZE) ||
        std::memcmp(field, CLOSING_MARK, CLOSING_MARK_SIZE) != 0)
        return false;
    return send_all(s, CLOSING_MARK, CLOSING_MARK_SIZE);
}

}  // namespace

// Every field of a transfer carried over a real TCP connection, written in
// pieces from 1 byte up, read back and descrambled.
TEST(WireRoundTrip, EveryFieldSurvivesPiecewiseWrites) {
    struct Row { const char* label; std::uint32_t key; std::size_t size; std::size_t piece; };
    const Row rows[] = {
        {"empty file, 1-byte pieces", 32, 0, 1},
        {"one byte", 255, 1, 1},
        {"chunk + 1, 1-byte pieces", 77, TEST_PIECE + 1, 1},
        {"key low byte 0", 0x300, 20000, 3},
        {"key above 255", 0x1C5, 100000, 4096},
        {"one megabyte, uneven pieces", 200, 1 << 20, 8191},
    };
    std::mt19937 random(7);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        Sent sent{row.key, "report 2026.txt", std::vector<unsigned char>(row.size)};
        for (auto& b : sent.data) b = static_cast<unsigned char>(random());
        std::vector<unsigned char> wire = encode_transfer(sent);

        SocketPair p = connected_pair();
        Sent got{};
        bool decoded = false;
        std::thread receiver([&] { decoded = decode_transfer(p.server, got); });
        for (std::size_t at = 0; at < wire.size(); at += row.piece)
            ASSERT_TRUE(send_all(p.client, wire.data() + at,
                                 static_cast<std::int32_t>(std::min(row.piece, wire.size() - at))));
        char ack[CLOSING_MARK_SIZE];
        EXPECT_TRUE(recv_exact(p.client, ack, CLOSING_MARK_SIZE));
        EXPECT_EQ(0, std::memcmp(ack, CLOSING_MARK, CLOSING_MARK_SIZE));
        receiver.join();
        EXPECT_TRUE(decoded);
        EXPECT_EQ(got.key, sent.key);
        EXPECT_EQ(got.name, sent.name);
        EXPECT_EQ(got.data, sent.data);
        p.close();
    }
}
