// The about window: the artwork with the program's name and purpose,
// centred on the screen, closed by a click.
#pragma once

#include <windows.h>

void open_about_window();
LRESULT about_window_message(HWND window, UINT message, WPARAM w_param, LPARAM l_param);
