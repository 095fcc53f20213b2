// The window procedure of every toolkit window of the program: the strip's
// main area (status, bars, drops, popup menu), the program window (timers,
// slot messages, program end) and the about window.
#pragma once

#include <windows.h>

#include <cstdint>

constexpr std::int32_t ABOUT_TIMER = 44;
constexpr COLORREF BACKGROUND_COLOR = RGB(16, 16, 40);
constexpr COLORREF SEND_BAR_COLOR = RGB(0, 0, 128);
constexpr COLORREF RECEIVE_BAR_COLOR = RGB(112, 0, 0);
constexpr COLORREF FRAME_COLOR = RGB(160, 160, 192);

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM w_param, LPARAM l_param);
