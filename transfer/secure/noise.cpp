#include "transfer/secure/noise.h"

#include <gcrypt.h>

#include <cstring>

namespace {

constexpr char PROTOCOL_NAME[] = "Noise_NNpsk0_25519_ChaChaPoly_BLAKE2b";
constexpr std::size_t NONCE_SIZE = 12;

// Noise's HKDF: two or three outputs of HASHLEN from the chaining key.
bool hkdf(const unsigned char* chaining_key, const unsigned char* input, std::size_t input_size,
          unsigned char* out1, unsigned char* out2, unsigned char* out3) {
    unsigned char temp_key[NOISE_HASH_SIZE];
    const unsigned char one = 1, two = 2, three = 3;
    constexpr std::size_t H = NOISE_HASH_SIZE;
    bool ok = blake2b(H, true, {{chaining_key, H}, {input, input_size}}, temp_key) &&
              blake2b(H, true, {{temp_key, H}, {&one, 1}}, out1) &&
              blake2b(H, true, {{temp_key, H}, {out1, H}, {&two, 1}}, out2) &&
              (!out3 || blake2b(H, true, {{temp_key, H}, {out2, H}, {&three, 1}}, out3));
    noise_wipe(temp_key, sizeof temp_key);
    return ok;
}

bool mix_hash(NoiseHandshake& h, const void* data, std::size_t size) {
    unsigned char next[NOISE_HASH_SIZE];
    if (!blake2b(NOISE_HASH_SIZE, false, {{h.hash, NOISE_HASH_SIZE}, {data, size}}, next)) return false;
    std::memcpy(h.hash, next, NOISE_HASH_SIZE);
    return true;
}

void initialize_key(NoiseCipher& c, const unsigned char* key) {
    std::memcpy(c.key, key, NOISE_KEY_SIZE);  // the first 32 bytes of an output of 64
    c.nonce = 0;
    c.has_key = true;
}

bool mix_key(NoiseHandshake& h, const unsigned char* input, std::size_t size) {
    unsigned char temp_key[NOISE_HASH_SIZE];
    if (!hkdf(h.chaining_key, input, size, h.chaining_key, temp_key, nullptr)) return false;
    initialize_key(h.cipher, temp_key);
    noise_wipe(temp_key, sizeof temp_key);
    return true;
}

bool mix_key_and_hash(NoiseHandshake& h, const unsigned char* input, std::size_t size) {
    unsigned char temp_hash[NOISE_HASH_SIZE], temp_key[NOISE_HASH_SIZE];
    bool ok = hkdf(h.chaining_key, input, size, h.chaining_key, temp_hash, temp_key) &&
              mix_hash(h, temp_hash, sizeof temp_hash);
    if (ok) initialize_key(h.cipher, temp_key);
    noise_wipe(temp_key, sizeof temp_key);
    return ok;
}

// ChaCha20-Poly1305 with the nonce as four zero bytes and the counter in
// little-endian order, and ad as associated data.
bool seal(const NoiseCipher& c, const unsigned char* ad, std::size_t ad_size, const unsigned char* in,
          std::size_t size, unsigned char* out, bool encrypting) {
    unsigned char nonce[NONCE_SIZE] = {};
    for (int i = 0; i < 8; ++i) nonce[4 + i] = static_cast<unsigned char>(c.nonce >> (8 * i));
    gcry_cipher_hd_t cipher = nullptr;
    if (gcry_cipher_open(&cipher, GCRY_CIPHER_CHACHA20, GCRY_CIPHER_MODE_POLY1305, 0) != 0) return false;
    bool ok = gcry_cipher_setkey(cipher, c.key, NOISE_KEY_SIZE) == 0 &&
              gcry_cipher_setiv(cipher, nonce, NONCE_SIZE) == 0 &&
              gcry_cipher_authenticate(cipher, ad, ad_size) == 0;
    const unsigned char* tag = in + size;  // where a sealed input's tag stands
    // libgcrypt works in place when it is given no separate input.
    if (in == out) in = nullptr;
    if (ok && encrypting) {
        ok = gcry_cipher_encrypt(cipher, out, size, in, in ? size : 0) == 0 &&
             gcry_cipher_gettag(cipher, out + size, NOISE_TAG_SIZE) == 0;
    } else if (ok) {
        ok = gcry_cipher_decrypt(cipher, out, size, in, in ? size : 0) == 0 &&
             gcry_cipher_checktag(cipher, tag, NOISE_TAG_SIZE) == 0;
    }
    gcry_cipher_close(cipher);
    return ok;
}

// An empty payload: only its tag, written to tag_out or checked as tag_in
// under the handshake hash, then hashed.
bool empty_payload(NoiseHandshake& h, const unsigned char* tag_in, unsigned char* tag_out) {
    unsigned char nothing[1];
    bool encrypting = tag_out != nullptr;
    if (!h.cipher.has_key ||
        !seal(h.cipher, h.hash, NOISE_HASH_SIZE, tag_in, 0, encrypting ? tag_out : nothing, encrypting))
        return false;
    ++h.cipher.nonce;
    return mix_hash(h, encrypting ? tag_out : tag_in, NOISE_TAG_SIZE);
}

bool x25519(const unsigned char* scalar, const unsigned char* point, unsigned char* out) {
    if (gcry_ecc_mul_point(GCRY_ECC_CURVE25519, out, scalar, point) != 0) return false;
    // An all-zero result means a low-order point from the peer.
    unsigned char any = 0;
    for (std::size_t i = 0; i < NOISE_KEY_SIZE; ++i) any |= out[i];
    return any != 0;
}

// The "e" token of a PSK handshake: a new key pair, whose public key is
// hashed and mixed in.
bool write_ephemeral(NoiseHandshake& h, unsigned char* message) {
    if (!h.ephemeral_given) gcry_randomize(h.ephemeral_private, NOISE_KEY_SIZE, GCRY_STRONG_RANDOM);
    const unsigned char base[NOISE_KEY_SIZE] = {9};
    if (!x25519(h.ephemeral_private, base, h.ephemeral_public)) return false;
    std::memcpy(message, h.ephemeral_public, NOISE_KEY_SIZE);
    return mix_hash(h, h.ephemeral_public, NOISE_KEY_SIZE) && mix_key(h, h.ephemeral_public, NOISE_KEY_SIZE);
}

bool read_ephemeral(NoiseHandshake& h, const unsigned char* message) {
    std::memcpy(h.remote_ephemeral, message, NOISE_KEY_SIZE);
    return mix_hash(h, h.remote_ephemeral, NOISE_KEY_SIZE) && mix_key(h, h.remote_ephemeral, NOISE_KEY_SIZE);
}

bool mix_ee(NoiseHandshake& h) {
    unsigned char shared[NOISE_KEY_SIZE];
    bool ok = x25519(h.ephemeral_private, h.remote_ephemeral, shared) && mix_key(h, shared, sizeof shared);
    noise_wipe(shared, sizeof shared);
    return ok;
}

}  // namespace

bool blake2b(std::size_t digest_size, bool hmac, std::initializer_list<HashInput> inputs, unsigned char* out) {
    gcry_buffer_t parts[3] = {};
    int count = 0;
    for (const HashInput& input : inputs) {
        if (count == 3) return false;
        parts[count].size = parts[count].len = input.size;
        parts[count++].data = const_cast<void*>(input.data);
    }
    int algorithm = digest_size == 32 ? GCRY_MD_BLAKE2B_256 : GCRY_MD_BLAKE2B_512;
    return gcry_md_hash_buffers(algorithm, hmac ? GCRY_MD_FLAG_HMAC : 0, out, parts, count) == 0;
}

bool start_crypto() {
    static const bool started = [] {
        // Ephemeral keys come from the system's generator. The library's own
        // pool would also gather system state at every cipher opened, that
        // is at every message: two system calls here, and a dozen calls to
        // the window system on Windows.
        gcry_control(GCRYCTL_SET_PREFERRED_RNG_TYPE, GCRY_RNG_TYPE_SYSTEM);
        if (!gcry_check_version(GCRYPT_VERSION)) return false;
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    return started;
}

void noise_wipe(void* secret, std::size_t size) {
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(secret);
    while (size--) *bytes++ = 0;
}

void noise_start(NoiseHandshake& h, const void* prologue, std::size_t prologue_size, const unsigned char* psk) {
    std::memset(h.hash, 0, NOISE_HASH_SIZE);
    std::memcpy(h.hash, PROTOCOL_NAME, sizeof PROTOCOL_NAME - 1);
    std::memcpy(h.chaining_key, h.hash, NOISE_HASH_SIZE);
    h.cipher = NoiseCipher{};
    std::memcpy(h.psk, psk, NOISE_KEY_SIZE);
    h.broken = !mix_hash(h, prologue, prologue_size);
}

bool noise_write_first(NoiseHandshake& h, unsigned char* message) {
    return !h.broken && mix_key_and_hash(h, h.psk, NOISE_KEY_SIZE) && write_ephemeral(h, message) &&
           empty_payload(h, nullptr, message + NOISE_KEY_SIZE);
}

bool noise_read_first(NoiseHandshake& h, const unsigned char* message) {
    return !h.broken && mix_key_and_hash(h, h.psk, NOISE_KEY_SIZE) && read_ephemeral(h, message) &&
           empty_payload(h, message + NOISE_KEY_SIZE, nullptr);
}

bool noise_write_second(NoiseHandshake& h, unsigned char* message) {
    return write_ephemeral(h, message) && mix_ee(h) && empty_payload(h, nullptr, message + NOISE_KEY_SIZE);
}

bool noise_read_second(NoiseHandshake& h, const unsigned char* message) {
    return read_ephemeral(h, message) && mix_ee(h) && empty_payload(h, message + NOISE_KEY_SIZE, nullptr);
}

bool noise_split(NoiseHandshake& h, bool initiator, NoiseSession& session) {
    unsigned char first[NOISE_HASH_SIZE], second[NOISE_HASH_SIZE];
    bool ok = hkdf(h.chaining_key, nullptr, 0, first, second, nullptr);
    if (ok) {
        initialize_key(initiator ? session.sending : session.receiving, first);
        initialize_key(initiator ? session.receiving : session.sending, second);
    }
    noise_wipe(first, sizeof first);
    noise_wipe(second, sizeof second);
    noise_wipe(&h, sizeof h);
    return ok;
}

bool noise_encrypt(NoiseCipher& c, const unsigned char* plaintext, std::size_t size, unsigned char* out) {
    if (!c.has_key || c.nonce == ~std::uint64_t{0} || !seal(c, nullptr, 0, plaintext, size, out, true)) return false;
    ++c.nonce;
    return true;
}

bool noise_decrypt(NoiseCipher& c, const unsigned char* message, std::size_t size, unsigned char* out) {
    if (!c.has_key || size < NOISE_TAG_SIZE || c.nonce == ~std::uint64_t{0} ||
        !seal(c, nullptr, 0, message, size - NOISE_TAG_SIZE, out, false))
        return false;
    ++c.nonce;
    return true;
}
