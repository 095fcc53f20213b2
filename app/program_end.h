// The orderly end of the program when its window is destroyed.
#pragma once

#include <windows.h>

// Stops taking drops, lets running transfers finish while the windows keep
// answering, frees the artwork and the sockets, then ends the process.
void end_program_in_order(HWND window, WPARAM w_param, LPARAM l_param);
