// What the main area shows: the status line and the lengths of the two
// progress bars, computed from the shared counters.
#pragma once

#include <cstdint>

#include "text/text.h"

struct StatusView {
    Text status_line;
    std::int32_t send_bar_length = 0;     // pixels; 0 draws no bar
    std::int32_t receive_bar_length = 0;  // pixels; 0 draws no bar
};

// A bar of area_width - 3 pixels at 100 percent, rounded halves to even.
std::int32_t bar_length(std::int32_t area_width, std::int32_t percent);

// The view for a main area area_width pixels wide (client width).
StatusView status_view(std::int32_t area_width);
