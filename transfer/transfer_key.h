// The key of each transfer: uniform over 32..255, drawn from one generator
// that every send task shares without a lock.
#pragma once

#include <cstdint>

constexpr std::uint32_t LOWEST_KEY = 32;
constexpr std::uint32_t HIGHEST_KEY = 255;

// Sets the generator's position; start-up calls it once.
void seed_transfer_keys(std::uint64_t seed);
std::uint32_t draw_transfer_key();
