#include "transfer/transfer_key.h"

#include <atomic>

namespace {

// A splitmix64 stream: every draw claims the next position of the counter
// with one atomic add, so threads never share or repeat a position.
constexpr std::uint64_t GOLDEN_GAMMA = 0x9E3779B97F4A7C15ull;
std::atomic<std::uint64_t> key_counter{GOLDEN_GAMMA};

std::uint64_t next_random() {
    std::uint64_t z = key_counter.fetch_add(GOLDEN_GAMMA, std::memory_order_relaxed) + GOLDEN_GAMMA;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

void seed_transfer_keys(std::uint64_t seed) { key_counter.store(seed, std::memory_order_relaxed); }

// Each byte of a draw is uniform over 0..255; bytes below 32 are rejected,
// which leaves the rest uniform over 32..255.
std::uint32_t draw_transfer_key() {
    for (;;) {
        std::uint64_t bits = next_random();
        for (int i = 0; i < 8; ++i, bits >>= 8) {
            std::uint32_t byte = static_cast<std::uint32_t>(bits & 0xFF);
            if (byte >= LOWEST_KEY) return byte;
        }
    }
}
