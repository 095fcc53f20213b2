// The entries of the main area's popup menu, rebuilt from the current state
// on every right click, and what choosing one of them does to the state.
#pragma once

#include <cstdint>

#include "app/state.h"
#include "text/text.h"

constexpr std::int32_t POPUP_MENU_ID = 1;
constexpr std::int32_t ABOUT_WINDOW_ID = 37;
constexpr std::int32_t CMD_ABORT_SEND = 50;
constexpr std::int32_t CMD_ABORT_RECEIVE = 51;
constexpr std::int32_t CMD_ABOUT = 97;
constexpr std::int32_t CMD_EXIT = 100;
constexpr std::int32_t CMD_DESTINATION_BASE = 100;

// One menu entry; an empty label is a separator.
struct MenuEntry {
    std::int32_t identifier = 0;
    Text label;
    Text letters;
};

struct MenuEntries {
    // Every destination and its separator (1), "abort send" and "abort
    // receive" with a separator each (4), "about" with its separator and
    // "exit" (3): the largest menu fits whole, so "exit" is never dropped.
    static constexpr std::int32_t CAPACITY = DESTINATION_CAPACITY + 8;
    MenuEntry entries[CAPACITY];
    std::int32_t count = 0;
};

MenuEntries popup_menu_entries();

// The label of destination i: name and dotted address, with the port when
// it differs from listen_port.
Text destination_label(std::int32_t i);

// What the menu commands do to the shared state. Each returns true when the
// status line must be repainted.
bool choose_destination(std::int32_t i);
void request_abort_send();
void request_abort_receive();
