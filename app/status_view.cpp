#include "app/status_view.h"

#include <cmath>

#include "app/state.h"
#include "transfer/engine.h"

std::int32_t bar_length(std::int32_t area_width, std::int32_t percent) {
    long double length = static_cast<long double>(area_width - 3) / 100.0L * percent;
    return static_cast<std::int32_t>(std::nearbyint(length));
}

StatusView status_view(std::int32_t area_width) {
    StatusView view;
    if (address_to_text(current_destination.address) != "0.0.0.0") {
        view.status_line = Text("send file to \"") + current_destination.name + "\"";
    } else {
        view.status_line = Text("Zeptrix: receive only");
    }
    view.send_bar_length =
        bar_length(area_width, progress_percent(send_bytes_total.load(), send_bytes_left.load()));
    view.receive_bar_length =
        bar_length(area_width, progress_percent(recv_bytes_total.load(), recv_bytes_left.load()));
    return view;
}
