#include <cstdlib>

#include "transfer/engine.h"

std::atomic<std::int32_t> idle_limit_ms{DEFAULT_IDLE_LIMIT_MS};

void read_idle_limit_override() {
    const char* value = std::getenv("ZEPTRIX_IDLE_LIMIT_MS");
    if (!value || !*value) return;
    char* end = nullptr;
    long ms = std::strtol(value, &end, 10);
    if (*end == '\0' && ms > 0 && ms <= 86400000) idle_limit_ms = static_cast<std::int32_t>(ms);
}
