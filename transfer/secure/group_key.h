// The key that copies sharing a secret derive from it: Argon2id over the
// secret with a fixed salt, computed once at start-up.
#pragma once

#include <string_view>

#include "transfer/secure/noise.h"

// The salt, 16 bytes, fixed for every copy.
constexpr char GROUP_KEY_SALT[] = "zeptrix-group-v2";

// Argon2id, 3 passes over 64 MiB in one lane, 32 bytes out; false when the
// crypto library can't compute it.
bool derive_group_key(std::string_view secret, unsigned char (&key)[NOISE_KEY_SIZE]);
