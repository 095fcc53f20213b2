#include <cmath>

#include "app/state.h"
#include "transfer/engine.h"

std::int32_t progress_percent(std::uint64_t total, std::uint64_t left) {
    if (total == 0) return 0;
    if (left >= total) return 100;
    long double share = static_cast<long double>(left) / (static_cast<long double>(total) / 100);
    // nearbyint rounds halves to even under the default rounding mode.
    return static_cast<std::int32_t>(std::nearbyint(share));
}

void update_progress(const std::atomic<std::uint64_t>& total,
                     const std::atomic<std::uint64_t>& left, std::int32_t& last_percent) {
    std::int32_t percent = progress_percent(total.load(), left.load());
    if (percent != last_percent && percent % 2 == 0) invalidate_window(main_area_handle(), false);
    last_percent = percent;
}
