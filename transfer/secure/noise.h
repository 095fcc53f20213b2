// The handshake and the cipher states of Noise_NNpsk0_25519_ChaChaPoly_BLAKE2b:
// both ends prove the shared key, agree fresh ephemeral keys, and then
// seal each message with ChaCha20-Poly1305 under a counting nonce.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

constexpr std::size_t NOISE_KEY_SIZE = 32;
constexpr std::size_t NOISE_HASH_SIZE = 64;
constexpr std::size_t NOISE_TAG_SIZE = 16;
// "-> psk, e" and "<- e, ee", each with an empty payload: a public key and a tag.
constexpr std::size_t NOISE_HANDSHAKE_MESSAGE_SIZE = NOISE_KEY_SIZE + NOISE_TAG_SIZE;

struct NoiseCipher {
    unsigned char key[NOISE_KEY_SIZE] = {};
    std::uint64_t nonce = 0;
    bool has_key = false;
};

struct NoiseHandshake {
    unsigned char chaining_key[NOISE_HASH_SIZE] = {};
    unsigned char hash[NOISE_HASH_SIZE] = {};
    NoiseCipher cipher;
    unsigned char psk[NOISE_KEY_SIZE] = {};
    // The own ephemeral key pair; a caller may set the private key and
    // ephemeral_given beforehand (known answers in tests), else it is drawn.
    unsigned char ephemeral_private[NOISE_KEY_SIZE] = {};
    unsigned char ephemeral_public[NOISE_KEY_SIZE] = {};
    bool ephemeral_given = false;
    unsigned char remote_ephemeral[NOISE_KEY_SIZE] = {};
    bool broken = false;  // the library failed at the start: every step fails
};

// The two directions after the handshake.
struct NoiseSession {
    NoiseCipher sending;
    NoiseCipher receiving;
};

// Brings up the crypto library once per process; false when it can't.
bool start_crypto();

// Starts a handshake with the prologue and the 32-byte pre-shared key.
void noise_start(NoiseHandshake& handshake, const void* prologue, std::size_t prologue_size,
                 const unsigned char* psk);
// The initiator's "-> psk, e" and the responder's reading of it.
bool noise_write_first(NoiseHandshake& handshake, unsigned char* message);
bool noise_read_first(NoiseHandshake& handshake, const unsigned char* message);
// The responder's "<- e, ee" and the initiator's reading of it.
bool noise_write_second(NoiseHandshake& handshake, unsigned char* message);
bool noise_read_second(NoiseHandshake& handshake, const unsigned char* message);
// The transport keys; the handshake's secrets are wiped. False (and no keys)
// when the library fails.
bool noise_split(NoiseHandshake& handshake, bool initiator, NoiseSession& session);

// Seals plaintext into out (size + NOISE_TAG_SIZE bytes; out may be
// plaintext itself) and advances the nonce.
bool noise_encrypt(NoiseCipher& cipher, const unsigned char* plaintext, std::size_t size, unsigned char* out);
// Opens a sealed message of size bytes (tag included) into out; false when
// it does not authenticate. The nonce advances only on success.
bool noise_decrypt(NoiseCipher& cipher, const unsigned char* message, std::size_t size, unsigned char* out);

void noise_wipe(void* secret, std::size_t size);

// BLAKE2b of up to three inputs one after the other into out, digest_size
// bytes long (32 or 64); with hmac, HMAC keyed with the first input.
struct HashInput {
    const void* data;
    std::size_t size;
};
bool blake2b(std::size_t digest_size, bool hmac, std::initializer_list<HashInput> inputs, unsigned char* out);
