// The secure format's cryptography against known answers of independent
// implementations (tests/crypto/make_vectors.py: the Noise handshake and
// transport of python3-dissononce, Argon2id of argon2-cffi), and against
// every kind of tampering a peer or the network could do.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gcrypt.h>

#include "tests/loopback.h"
#include "transfer/secure/group_key.h"
#include "transfer/secure/noise.h"
#include "transfer/secure/secure_channel.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes from_hex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// "name hex" per line; a name may stand several times (transport messages).
std::multimap<std::string, std::string> read_vectors() {
    std::multimap<std::string, std::string> vectors;
    std::ifstream in(ZPX_CRYPTO_VECTORS);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::string name, value;
        words >> name >> value;
        vectors.emplace(name, value);
    }
    return vectors;
}

std::vector<Bytes> all_of(const std::multimap<std::string, std::string>& v, const std::string& name) {
    std::vector<Bytes> out;
    auto range = v.equal_range(name);
    for (auto it = range.first; it != range.second; ++it) out.push_back(from_hex(it->second));
    return out;
}

Bytes one_of(const std::multimap<std::string, std::string>& v, const std::string& name) {
    auto found = all_of(v, name);
    return found.empty() ? Bytes{} : found.front();
}

const std::string PROLOGUE = SECURE_MAGIC;

struct Pair {
    NoiseSession initiator, responder;
};

// A whole handshake between two ends of this implementation.
bool shake(const unsigned char* initiator_psk, const unsigned char* responder_psk, Pair& pair,
           const std::string& responder_prologue = PROLOGUE) {
    NoiseHandshake i, r;
    noise_start(i, PROLOGUE.data(), PROLOGUE.size(), initiator_psk);
    noise_start(r, responder_prologue.data(), responder_prologue.size(), responder_psk);
    unsigned char first[NOISE_HANDSHAKE_MESSAGE_SIZE], second[NOISE_HANDSHAKE_MESSAGE_SIZE];
    if (!noise_write_first(i, first) || !noise_read_first(r, first)) return false;
    if (!noise_write_second(r, second) || !noise_read_second(i, second)) return false;
    EXPECT_TRUE(noise_split(i, true, pair.initiator));
    EXPECT_TRUE(noise_split(r, false, pair.responder));
    return true;
}

class Crypto : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(start_crypto()); }
};

TEST_F(Crypto, HandshakeAndTransportMatchAnIndependentImplementation) {
    auto v = read_vectors();
    ASSERT_FALSE(v.empty()) << "no vectors in " << ZPX_CRYPTO_VECTORS;
    Bytes psk = one_of(v, "psk"), prologue = one_of(v, "prologue");
    ASSERT_EQ(psk.size(), NOISE_KEY_SIZE);
    ASSERT_EQ(std::string(prologue.begin(), prologue.end()), PROLOGUE);

    NoiseHandshake i, r;
    noise_start(i, prologue.data(), prologue.size(), psk.data());
    noise_start(r, prologue.data(), prologue.size(), psk.data());
    Bytes ie = one_of(v, "initiator_ephemeral"), re = one_of(v, "responder_ephemeral");
    std::copy(ie.begin(), ie.end(), i.ephemeral_private);
    std::copy(re.begin(), re.end(), r.ephemeral_private);
    i.ephemeral_given = r.ephemeral_given = true;

    unsigned char first[NOISE_HANDSHAKE_MESSAGE_SIZE], second[NOISE_HANDSHAKE_MESSAGE_SIZE];
    ASSERT_TRUE(noise_write_first(i, first));
    EXPECT_EQ(Bytes(first, first + sizeof first), one_of(v, "first_message"));
    ASSERT_TRUE(noise_read_first(r, first));
    ASSERT_TRUE(noise_write_second(r, second));
    EXPECT_EQ(Bytes(second, second + sizeof second), one_of(v, "second_message"));
    ASSERT_TRUE(noise_read_second(i, second));
    // Both ends reached the handshake hash the other implementation did.
    Bytes handshake_hash = one_of(v, "handshake_hash");
    EXPECT_EQ(Bytes(i.hash, i.hash + NOISE_HASH_SIZE), handshake_hash);
    EXPECT_EQ(Bytes(r.hash, r.hash + NOISE_HASH_SIZE), handshake_hash);
    NoiseSession is, rs;
    ASSERT_TRUE(noise_split(i, true, is));
    ASSERT_TRUE(noise_split(r, false, rs));

    // Each direction: this side seals what the other implementation sealed,
    // and the other end opens it.
    const struct {
        const char* plain;
        const char* sealed;
        NoiseCipher& sender;
        NoiseCipher& receiver;
    } directions[] = {{"to_responder_plain", "to_responder_sealed", is.sending, rs.receiving},
                      {"to_initiator_plain", "to_initiator_sealed", rs.sending, is.receiving}};
    for (const auto& d : directions) {
        SCOPED_TRACE(d.plain);
        auto plains = all_of(v, d.plain), sealed = all_of(v, d.sealed);
        ASSERT_EQ(plains.size(), sealed.size());
        ASSERT_GE(plains.size(), 3u);
        for (std::size_t k = 0; k < plains.size(); ++k) {
            Bytes out(plains[k].size() + NOISE_TAG_SIZE), back(plains[k].size());
            ASSERT_TRUE(noise_encrypt(d.sender, plains[k].data(), plains[k].size(), out.data()));
            EXPECT_EQ(out, sealed[k]) << "message " << k;
            ASSERT_TRUE(noise_decrypt(d.receiver, sealed[k].data(), sealed[k].size(), back.data()));
            EXPECT_EQ(back, plains[k]);
        }
    }
}

TEST_F(Crypto, GroupKeyMatchesAnIndependentArgon2id) {
    auto v = read_vectors();
    auto secrets = all_of(v, "secret"), keys = all_of(v, "group_key");
    ASSERT_EQ(secrets.size(), keys.size());
    ASSERT_GE(secrets.size(), 2u);
    for (std::size_t k = 0; k < secrets.size(); ++k) {
        std::string secret(secrets[k].begin(), secrets[k].end());
        SCOPED_TRACE(secret);
        unsigned char key[NOISE_KEY_SIZE];
        ASSERT_TRUE(derive_group_key(secret, key));
        EXPECT_EQ(Bytes(key, key + NOISE_KEY_SIZE), keys[k]);
    }
}

// The library's Argon2id, which the group key rests on, against the
// published test vector (RFC 9106, 5.3): with a secret and associated data,
// 32 KiB, 3 passes, 4 lanes.
TEST_F(Crypto, Argon2idGivesThePublishedTestVector) {
    ASSERT_TRUE(start_crypto());
    const Bytes password(32, 0x01), salt(16, 0x02), secret(8, 0x03), data(12, 0x04);
    const unsigned long parameters[4] = {32, 3, 32, 4};
    gcry_kdf_hd_t kdf = nullptr;
    ASSERT_EQ(gcry_kdf_open(&kdf, GCRY_KDF_ARGON2, GCRY_KDF_ARGON2ID, parameters, 4, password.data(),
                            password.size(), salt.data(), salt.size(), secret.data(), secret.size(),
                            data.data(), data.size()),
              0u);
    unsigned char tag[32];
    EXPECT_EQ(gcry_kdf_compute(kdf, nullptr), 0u);
    EXPECT_EQ(gcry_kdf_final(kdf, sizeof tag, tag), 0u);
    gcry_kdf_close(kdf);
    EXPECT_EQ(Bytes(tag, tag + sizeof tag),
              from_hex("0d640df58d78766c08c037a34a8b53c9d01ef0452d75b65eb52520e96b01e659"));
}

// Whatever is changed on the way, or a peer without the key, fails the
// handshake or the message; nothing decrypts to something else.
TEST_F(Crypto, TamperingAndWrongKeysFail) {
    unsigned char key[NOISE_KEY_SIZE] = {1, 2, 3}, other[NOISE_KEY_SIZE] = {1, 2, 4};
    Pair ok;
    ASSERT_TRUE(shake(key, key, ok));
    Pair wrong;
    EXPECT_FALSE(shake(key, other, wrong)) << "another key";
    EXPECT_FALSE(shake(key, key, wrong, "zeptrixv1.0")) << "another prologue";

    for (std::size_t at : {std::size_t{0}, std::size_t{31}, std::size_t{32}, std::size_t{47}}) {
        SCOPED_TRACE(at);
        for (int message = 1; message <= 2; ++message) {
            NoiseHandshake i, r;
            noise_start(i, PROLOGUE.data(), PROLOGUE.size(), key);
            noise_start(r, PROLOGUE.data(), PROLOGUE.size(), key);
            unsigned char first[NOISE_HANDSHAKE_MESSAGE_SIZE], second[NOISE_HANDSHAKE_MESSAGE_SIZE];
            ASSERT_TRUE(noise_write_first(i, first));
            if (message == 1) first[at] ^= 0x40;
            bool read = noise_read_first(r, first);
            if (message == 1) {
                EXPECT_FALSE(read) << "first message changed";
                continue;
            }
            ASSERT_TRUE(read);
            ASSERT_TRUE(noise_write_second(r, second));
            second[at] ^= 0x40;
            EXPECT_FALSE(noise_read_second(i, second)) << "second message changed";
        }
    }

    const std::string text = "a piece of a file";
    Bytes sealed(text.size() + NOISE_TAG_SIZE), opened(text.size());
    auto plain = reinterpret_cast<const unsigned char*>(text.data());
    ASSERT_TRUE(noise_encrypt(ok.initiator.sending, plain, text.size(), sealed.data()));
    for (std::size_t at = 0; at < sealed.size(); ++at) {
        Bytes changed = sealed;
        changed[at] ^= 0x01;
        NoiseCipher copy = ok.responder.receiving;
        EXPECT_FALSE(noise_decrypt(copy, changed.data(), changed.size(), opened.data())) << "byte " << at;
    }
    NoiseCipher copy = ok.responder.receiving;
    EXPECT_FALSE(noise_decrypt(copy, sealed.data(), sealed.size() - 1, opened.data())) << "cut short";
    EXPECT_FALSE(noise_decrypt(copy, sealed.data(), 3, opened.data())) << "shorter than a tag";
    EXPECT_FALSE(noise_decrypt(ok.initiator.receiving, sealed.data(), sealed.size(), opened.data()))
        << "sent back to its sender";
    ASSERT_TRUE(noise_decrypt(ok.responder.receiving, sealed.data(), sealed.size(), opened.data()));
    EXPECT_EQ(std::string(opened.begin(), opened.end()), text);
    EXPECT_FALSE(noise_decrypt(ok.responder.receiving, sealed.data(), sealed.size(), opened.data()))
        << "replayed";

    // Two handshakes with the same key agree on different transport keys.
    Pair again;
    ASSERT_TRUE(shake(key, key, again));
    Bytes first_sealed(NOISE_TAG_SIZE + 1), second_sealed(NOISE_TAG_SIZE + 1);
    NoiseCipher a = ok.initiator.sending, b = again.initiator.sending;
    a.nonce = b.nonce = 0;
    ASSERT_TRUE(noise_encrypt(a, plain, 1, first_sealed.data()));
    ASSERT_TRUE(noise_encrypt(b, plain, 1, second_sealed.data()));
    EXPECT_NE(first_sealed, second_sealed);
}

// Both ends of a connection of the secure format over real loopback
// sockets: the handshake, messages of every size the format allows, and
// frames that must fail.
TEST_F(Crypto, ChannelOverARealConnection) {
    unsigned char key[NOISE_KEY_SIZE] = {9, 8, 7};
    SocketPair pair = connected_pair();
    SecureChannel sender, receiver;
    bool accepted = false;
    std::string magic(SECURE_MAGIC_SIZE, '\0');
    std::thread other([&] {
        accepted = recv_exact(pair.server, magic.data(), SECURE_MAGIC_SIZE) &&
                   secure_accept(pair.server, key, receiver, monotonic_ms() + 10000);
    });
    ASSERT_TRUE(secure_connect(pair.client, key, sender));
    other.join();
    EXPECT_EQ(magic, SECURE_MAGIC);
    ASSERT_TRUE(accepted);

    ASSERT_TRUE(secure_buffers(sender) && secure_buffers(receiver));

    // Messages of every size the format allows, queued together and sent
    // in few calls; the receiver opens them in order from its blocks.
    const std::size_t sizes[] = {1, 13, 8193, SECURE_MAX_PLAINTEXT, 2, SECURE_MAX_PLAINTEXT, SECURE_MAX_PLAINTEXT,
                                 SECURE_MAX_PLAINTEXT, SECURE_MAX_PLAINTEXT, 7};
    std::vector<std::vector<unsigned char>> sent;
    for (std::size_t size : sizes) {
        std::vector<unsigned char> plain(size);
        for (std::size_t i = 0; i < size; ++i) plain[i] = static_cast<unsigned char>(i * 7 + size + sent.size());
        sent.push_back(plain);
    }
    std::thread send([&] {
        for (const auto& plain : sent) EXPECT_TRUE(secure_queue(sender, plain.data(), plain.size()));
        EXPECT_TRUE(secure_flush(sender));
    });
    for (const auto& plain : sent) {
        SCOPED_TRACE(plain.size());
        unsigned char* got = nullptr;
        std::int32_t n = secure_receive(receiver, got);
        ASSERT_EQ(n, static_cast<std::int32_t>(plain.size()));
        EXPECT_EQ(std::vector<unsigned char>(got, got + n), plain);
    }
    send.join();
    unsigned char* got = nullptr;
    EXPECT_EQ(secure_receive(receiver, got, ReceiveWait::no), 0) << "nothing waits";
    EXPECT_EQ(secure_receive(receiver, got, ReceiveWait::no_bytes_only), 0) << "nothing waits";
    EXPECT_EQ(secure_next_plaintext(sender, 0), nullptr) << "no empty messages";
    EXPECT_EQ(secure_next_plaintext(sender, SECURE_MAX_PLAINTEXT + 1), nullptr) << "longer than a length holds";

    // A frame arriving byte by byte opens; lengths below 17 and a frame
    // changed on the way fail.
    const unsigned char one = 'x';
    ASSERT_TRUE(secure_queue(sender, &one, 1));
    std::vector<unsigned char> frame(sender.outbox, sender.outbox + sender.outbox_used);
    sender.outbox_used = 0;
    std::thread trickle([&] {
        for (unsigned char byte : frame) EXPECT_TRUE(send_all(pair.client, &byte, 1));
    });
    EXPECT_EQ(secure_receive(receiver, got), 1);
    EXPECT_EQ(*got, one);
    trickle.join();
    for (unsigned char length : {0, 16}) {
        SecureChannel fresh = receiver;
        fresh.inbox_start = fresh.inbox_end = 0;
        const unsigned char short_frame[2] = {0, length};
        ASSERT_TRUE(send_all(pair.client, short_frame, 2));
        EXPECT_EQ(secure_receive(fresh, got), -1) << "length " << int{length};
    }
    ASSERT_TRUE(secure_queue(sender, &one, 1));
    sender.outbox[SECURE_LENGTH_SIZE] ^= 1;
    ASSERT_TRUE(secure_flush(sender));
    receiver.inbox_start = receiver.inbox_end = 0;
    EXPECT_EQ(secure_receive(receiver, got), -1);
    close_socket(pair.client);
    receiver.inbox_start = receiver.inbox_end = 0;
    EXPECT_EQ(secure_receive(receiver, got, ReceiveWait::no_bytes_only), 0) << "the end shows only to a wait";
    EXPECT_EQ(secure_receive(receiver, got, ReceiveWait::no), -1) << "the connection ended";
    EXPECT_EQ(secure_receive(receiver, got), -1) << "the connection ended";
    close_socket(pair.server);
    secure_release(sender);
    secure_release(receiver);
}

// A receiver with another key: neither side gets a channel.
TEST_F(Crypto, ChannelWithAnotherKeyFailsOnBothSides) {
    unsigned char key[NOISE_KEY_SIZE] = {1}, other[NOISE_KEY_SIZE] = {2};
    SocketPair pair = connected_pair();
    SecureChannel sender, receiver;
    bool accepted = true;
    std::thread other_end([&] {
        char magic[SECURE_MAGIC_SIZE];
        accepted = recv_exact(pair.server, magic, SECURE_MAGIC_SIZE) && secure_accept(pair.server, other, receiver, monotonic_ms() + 10000);
        close_socket(pair.server);
    });
    EXPECT_FALSE(secure_connect(pair.client, key, sender));
    other_end.join();
    EXPECT_FALSE(accepted);
    close_socket(pair.client);
}

}  // namespace
