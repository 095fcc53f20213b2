#include "app/secret_setup.h"

#include "app/state.h"
#include "transfer/secure/group_key.h"
#include "transfer/secure/noise.h"

static_assert(GROUP_KEY_SIZE == NOISE_KEY_SIZE);

SecretSetup prepare_secret() {
    secure_transfers = false;
    if (shared_secret.empty()) return SecretSetup::none;
    if (shared_secret.size() < MIN_SECRET_LENGTH) return SecretSetup::too_short;
    bool derived = derive_group_key(shared_secret.view(), group_key);
    noise_wipe(&shared_secret[0], shared_secret.size());
    shared_secret.clear();
    if (!derived) return SecretSetup::failed;
    secure_transfers = true;
    return SecretSetup::ready;
}
