#include "app/popup_menu_entries.h"

#include "net/socket.h"
#include "text/text_utils.h"
#include "transfer/transfer_watch.h"
#include "transfer/secure/part_store.h"

namespace {

void add(MenuEntries& menu, std::int32_t identifier, const Text& label, const Text& letters = {}) {
    if (menu.count == MenuEntries::CAPACITY) return;
    MenuEntry& entry = menu.entries[menu.count++];
    entry.identifier = identifier;
    entry.label = label;
    entry.letters = letters;
}

void add_separator(MenuEntries& menu) { add(menu, 0, Text()); }

bool is_current(std::int32_t i) {
    return destination_names[i] == current_destination.name &&
           same_octets(destination_addresses[i], current_destination.address) &&
           destination_ports[i] == current_destination.port;
}

}  // namespace

Text destination_label(std::int32_t i) {
    Text label = destination_names[i] + " (" + address_to_text(destination_addresses[i]);
    if (destination_ports[i] != listen_port) label += Text(":") + decimal_text(destination_ports[i]);
    return label + ")";
}

MenuEntries popup_menu_entries() {
    MenuEntries menu;
    if (destination_count > 1) {
        for (std::int32_t i = 1; i <= destination_count; ++i)
            add(menu, CMD_DESTINATION_BASE + i, destination_label(i), is_current(i) ? Text("c") : Text());
        add_separator(menu);
    }
    if (send_bytes_total.load() > 0) {
        add(menu, CMD_ABORT_SEND, Text("abort send"));
        add_separator(menu);
    }
    if (recv_bytes_total.load() > 0) {
        add(menu, CMD_ABORT_RECEIVE, Text("abort receive"));
        add_separator(menu);
    }
    add(menu, CMD_ABOUT, Text("about"));
    add_separator(menu);
    add(menu, CMD_EXIT, Text("exit"));
    return menu;
}

bool choose_destination(std::int32_t i) {
    if (i < 1 || i > destination_count) return false;
    current_destination.name = destination_names[i];
    current_destination.address = destination_addresses[i];
    current_destination.port = destination_ports[i];
    return true;
}

void request_abort_send() {
    if (send_bytes_total.load() > 0) abort_sends();
}

// The user wants what arrives gone: also the parts kept of files whose
// connection broke, which their senders could otherwise resume.
void request_abort_receive() {
    if (recv_bytes_total.load() > 0) abort_receives();
    if (secure_transfers) remove_unused_parts();
}
