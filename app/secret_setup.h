// The shared secret taken at start-up: checked, then turned into the key
// that every transfer of the secure format uses.
#pragma once

enum class SecretSetup { none, ready, too_short, failed };

constexpr char SECRET_TOO_SHORT_TEXT[] = "secret too short: at least 16 characters";
constexpr char SECRET_FAILED_TEXT[] = "deriving the key of the secret failed!";

// With a secret in the settings: too_short under 16 characters, failed when
// the key can't be computed, else ready with the secure format switched on
// and the secret's text wiped. none leaves the fixed format.
SecretSetup prepare_secret();
