// Helpers of the toolkit tests: a recording window procedure, test windows,
// pixels, message pumping, child processes and screenshots.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "toolkit/toolkit.h"

// One message that reached the test window procedure.
struct SeenMessage {
    HWND window;
    UINT message;
    WPARAM w_param;
    LPARAM l_param;
};

// The window procedure given to the toolkit's class: it notes the messages
// the tests look for and hands everything to default_window_proc.
LRESULT CALLBACK recording_window_proc(HWND window, UINT message, WPARAM w_param, LPARAM l_param);
std::vector<SeenMessage>& seen_messages();
bool was_seen(HWND window, UINT message, WPARAM w_param);

// "error 5" style text of GetLastError for failure messages.
std::string last_error();

// Dispatches what is waiting, for at least the given time.
void pump_for(DWORD milliseconds);

// A borderless popup toolkit window at a table index, shown and
// painted, whose client area is exactly width x height.
HWND make_test_window(int index, int x, int y, int width, int height);
void close_test_window(int index);

// Fills the whole client area with GDI directly (not with the toolkit).
void paint_solid(HWND window, COLORREF color);

// The pixels of the client area, read with GetPixel; CLR_INVALID where
// a read failed.
struct Pixels {
    int width = 0, height = 0;
    std::vector<COLORREF> colors;
    COLORREF at(int x, int y) const { return colors[static_cast<std::size_t>(y * width + x)]; }
};
Pixels read_pixels(HWND window);
std::string color_text(COLORREF color);
// "(x,y) is RGB(..), expected RGB(..)"
std::string pixel_text(int x, int y, COLORREF actual, COLORREF expected);

// Writes the client area into a 24-bit BMP file in the artifacts directory.
bool save_screenshot(HWND window, const char* file_name);
std::string artifacts_dir();

// Runs this test program again with a child mode argument. While it runs,
// a top-level window with the given caption (if any) gets the command
// posted to it. Returns false when the child could not be run or did not
// end in time.
// The child's Wine debug lines are found in the file that ZPX_WINE_STDERR
// names, which holds this program's Wine stderr (see run_keeping_stderr.sh).
struct ChildRun {
    DWORD exit_code = 0xFFFFFFFF;
    std::string output;        // what the child wrote to stdout and stderr
    bool trace_available = false;
    std::string trace;         // Wine debug lines of the child's main thread
    bool box_found = false;
    bool box_had_owner = false;
    bool box_had_yes = false;
    bool box_had_ok = false;
};
bool run_child(const std::string& mode, const char* box_caption, WPARAM box_command,
               ChildRun& result);

// The child modes; true when the argument named one (it never returns then).
bool run_child_mode(const char* argument);
