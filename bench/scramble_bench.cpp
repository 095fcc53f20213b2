// Throughput of scramble against memcpy over the same buffer sizes.
// Prints the median of several runs of each and their ratio.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "transfer/wire.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename Step>
double median_gib_per_s(std::size_t bytes, int repeats, Step step) {
    std::vector<double> rates;
    for (int run = 0; run < 7; ++run) {
        auto start = Clock::now();
        for (int r = 0; r < repeats; ++r) step();
        std::chrono::duration<double> took = Clock::now() - start;
        rates.push_back(static_cast<double>(bytes) * repeats / took.count() / (1 << 30));
    }
    std::sort(rates.begin(), rates.end());
    return rates[rates.size() / 2];
}

}  // namespace

int main() {
    std::printf("%-8s %14s %14s %8s\n", "size", "memcpy GiB/s", "scramble GiB/s", "ratio");
    for (std::size_t size : {std::size_t(1) << 20, std::size_t(64) << 20}) {
        std::vector<unsigned char> from(size, 0x5A), to(size, 0);
        int repeats = size <= (1u << 20) ? 400 : 8;
        std::uint32_t state = 0xC3;
        double copy = median_gib_per_s(size, repeats, [&] {
            std::memcpy(to.data(), from.data(), size);
            from[0] ^= to[size / 2];  // keeps the copy from being optimised away
        });
        double cipher = median_gib_per_s(size, repeats, [&] { scramble(to.data(), size, state); });
        std::printf("%-8s %14.2f %14.2f %8.2f\n", size <= (1u << 20) ? "1 MiB" : "64 MiB", copy,
                    cipher, cipher / copy);
    }
    return 0;
}
