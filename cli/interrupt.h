// Ctrl-C (and a termination request) for the console peer.
#pragma once

// Runs handler on a thread of its own when the user interrupts; a second
// interrupt while the first is being handled ends the process at once.
void on_interrupt(void (*handler)());

// True when standard error is a terminal (the progress line is shown then).
bool stderr_is_terminal();
// Readies the terminal: UTF-8 out, and escape sequences understood where
// the console can be told to. False when escapes would show as text.
bool prepare_terminal();
