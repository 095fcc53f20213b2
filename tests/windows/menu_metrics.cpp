// Opens a popup menu the way the program opens its own and prints where
// the running system puts its entries, so that end-to-end tests check the
// real menu against the metrics of the prefix they run in.
//   menu_metrics.exe LAYOUT      LAYOUT: one letter per entry, i item, s separator
// Output: "window WIDTH HEIGHT", then "entry INDEX TOP HEIGHT" per entry,
// with TOP relative to the menu window's top edge.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

HMENU menu = nullptr;
HWND owner = nullptr;
const char* layout = "";
bool printed = false;

// The popup menu's own window, a top-level window of the menu class.
HWND menu_window() { return FindWindowA(reinterpret_cast<const char*>(32768), nullptr); }

void print_metrics() {
    HWND popup = menu_window();
    RECT frame;
    if (!popup || !GetWindowRect(popup, &frame)) return;
    int count = static_cast<int>(std::strlen(layout));
    for (int i = 0; i < count; ++i) {
        RECT item;
        if (!GetMenuItemRect(owner, menu, static_cast<UINT>(i), &item) || item.bottom <= item.top) return;
    }
    // Windows gives the entries in screen coordinates, Wine relative to the
    // menu window; an entry above the window's top edge tells which.
    RECT first;
    GetMenuItemRect(owner, menu, 0, &first);
    LONG origin = first.top >= frame.top ? frame.top : 0;
    std::printf("window %ld %ld\n", frame.right - frame.left, frame.bottom - frame.top);
    for (int i = 0; i < count; ++i) {
        RECT item;
        GetMenuItemRect(owner, menu, static_cast<UINT>(i), &item);
        std::printf("entry %d %ld %ld\n", i, item.top - origin, item.bottom - item.top);
    }
    std::fflush(stdout);
    printed = true;
    EndMenu();
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM w_param, LPARAM l_param) {
    if (message == WM_ENTERIDLE || message == WM_TIMER) {
        if (!printed) print_metrics();
        return 0;
    }
    return DefWindowProcA(window, message, w_param, l_param);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: menu_metrics LAYOUT (i = item, s = separator)\n");
        return 2;
    }
    layout = argv[1];
    WNDCLASSA window_class = {};
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = "zpx_menu_metrics";
    if (!RegisterClassA(&window_class)) return 3;
    owner = CreateWindowExA(WS_EX_TOPMOST, "zpx_menu_metrics", "menu metrics", WS_POPUP | WS_VISIBLE,
                            0, 0, 10, 10, nullptr, nullptr, window_class.hInstance, nullptr);
    if (!owner) return 3;
    menu = CreatePopupMenu();
    for (const char* p = layout; *p; ++p) {
        if (*p == 's')
            AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
        else
            AppendMenuA(menu, MF_STRING, static_cast<UINT_PTR>(p - layout + 1), "entry");
    }
    // Timers reach the owner from inside the menu's own loop as well.
    SetTimer(owner, 1, 50, nullptr);
    SetForegroundWindow(owner);
    RECT none = {};
    TrackPopupMenu(menu, TPM_CENTERALIGN | TPM_LEFTBUTTON, 400, 300, 0, owner, &none);
    return printed ? 0 : 1;
}
