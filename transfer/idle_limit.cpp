#include <cstdlib>

#include "transfer/engine.h"

std::atomic<std::int32_t> idle_limit_ms{DEFAULT_IDLE_LIMIT_MS};
std::atomic<std::int32_t> greeting_limit_ms{DEFAULT_GREETING_LIMIT_MS};
std::atomic<std::int32_t> reconnect_unit_ms{DEFAULT_RECONNECT_UNIT_MS};

namespace {

void read_override(const char* name, std::atomic<std::int32_t>& limit) {
    const char* value = std::getenv(name);
    if (!value || !*value) return;
    char* end = nullptr;
    long ms = std::strtol(value, &end, 10);
    if (*end == '\0' && ms > 0 && ms <= 86400000) limit = static_cast<std::int32_t>(ms);
}

}  // namespace

void read_idle_limit_override() {
    read_override("ZEPTRIX_IDLE_LIMIT_MS", idle_limit_ms);
    read_override("ZEPTRIX_GREETING_LIMIT_MS", greeting_limit_ms);
    read_override("ZEPTRIX_RECONNECT_UNIT_MS", reconnect_unit_ms);
}
