// Device contexts, one-line text and solid rectangles on toolkit windows.
#include "toolkit/toolkit.h"

#include "platform/wide_text.h"

HDC get_dc(HWND window) {
    return window ? GetDC(window) : nullptr;
}

void release_dc(HWND window, HDC dc) {
    if (window && dc) ReleaseDC(window, dc);
}

HDC begin_paint(HWND window, PAINTSTRUCT& paint) {
    return window ? BeginPaint(window, &paint) : nullptr;
}

void end_paint(HWND window, PAINTSTRUCT& paint) {
    if (window) EndPaint(window, &paint);
}

// Width and height of the text in the context's selected font, tabs at the
// platform's default stops.
// Texts are drawn from UTF-16 in a buffer on the stack: painting allocates
// nothing.
void measure_text(HDC dc, const Text& text, std::int32_t& width, std::int32_t& height) {
    wchar_t wide[Text::CAPACITY + 1];
    int units = to_wide(text.view(), wide, Text::CAPACITY + 1);
    DWORD extent = GetTabbedTextExtentW(dc, wide, units, 0, nullptr);
    width = LOWORD(extent);
    height = HIWORD(extent);
}

// One line with its top-left corner at (x, y), ampersands drawn as written;
// opaque paints exactly the measured box in the background colour.
void draw_text_dc(HDC dc, std::int32_t x, std::int32_t y, COLORREF text_color,
                  COLORREF background_color, const Text& text, bool opaque) {
    if (!dc) return;
    HGDIOBJ kept = toolkit.current_font ? SelectObject(dc, toolkit.current_font) : nullptr;
    SetBkMode(dc, opaque ? OPAQUE : TRANSPARENT);
    SetBkColor(dc, background_color);
    SetTextColor(dc, text_color);
    std::int32_t width, height;
    measure_text(dc, text, width, height);
    RECT box = {x, y, x + width, y + height};
    wchar_t wide[Text::CAPACITY + 1];
    int units = to_wide(text.view(), wide, Text::CAPACITY + 1);
    DrawTextW(dc, wide, units, &box, DRAW_TEXT_FORMAT);
    if (kept) SelectObject(dc, kept);
}

void draw_text(HWND window, std::int32_t x, std::int32_t y, COLORREF text_color,
               COLORREF background_color, const Text& text, bool opaque) {
    if (!window) return;
    HDC dc = get_dc(window);
    draw_text_dc(dc, x, y, text_color, background_color, text, opaque);
    release_dc(window, dc);
}

void draw_text_plain(HWND window, std::int32_t x, std::int32_t y, const Text& text) {
    draw_text(window, x, y, toolkit.default_text_color, 0, text, false);
}

void draw_text_boxed(HWND window, std::int32_t x, std::int32_t y, const Text& text) {
    draw_text(window, x, y, toolkit.default_text_color, 0, text, true);
}

// Fills (width - 1) x (height - 1) pixels from (x, y): FillRect leaves out
// the rectangle's right and bottom edges.
void fill_rect_dc(HDC dc, std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                  COLORREF color) {
    if (!dc) return;
    HBRUSH brush = CreateSolidBrush(color);
    if (!brush) return;
    RECT rect = {x, y, x + width - 1, y + height - 1};
    FillRect(dc, &rect, brush);
    DeleteObject(brush);
}

// A width or height of 0 fills the whole client area.
void fill_area(HWND window, std::int32_t x, std::int32_t y, std::int32_t width,
               std::int32_t height, COLORREF color) {
    if (!window) return;
    if (width == 0 || height == 0) {
        RECT client;
        get_client_rect(window, client);
        x = 0;
        y = 0;
        width = client.right - client.left + 1;
        height = client.bottom - client.top + 1;
    }
    HDC dc = get_dc(window);
    fill_rect_dc(dc, x, y, width, height, color);
    release_dc(window, dc);
}
