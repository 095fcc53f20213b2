#include "transfer/secure/group_key.h"

#include <gcrypt.h>

namespace {

constexpr unsigned long KEY_BYTES = NOISE_KEY_SIZE;
constexpr unsigned long PASSES = 3;
constexpr unsigned long MEMORY_KIB = 65536;
constexpr unsigned long LANES = 1;

}  // namespace

bool derive_group_key(std::string_view secret, unsigned char (&key)[NOISE_KEY_SIZE]) {
    if (!start_crypto()) return false;
    const unsigned long parameters[4] = {KEY_BYTES, PASSES, MEMORY_KIB, LANES};
    gcry_kdf_hd_t kdf = nullptr;
    if (gcry_kdf_open(&kdf, GCRY_KDF_ARGON2, GCRY_KDF_ARGON2ID, parameters, 4, secret.data(), secret.size(),
                      GROUP_KEY_SALT, sizeof GROUP_KEY_SALT - 1, nullptr, 0, nullptr, 0) != 0)
        return false;
    bool ok = gcry_kdf_compute(kdf, nullptr) == 0 && gcry_kdf_final(kdf, KEY_BYTES, key) == 0;
    gcry_kdf_close(kdf);
    return ok;
}
