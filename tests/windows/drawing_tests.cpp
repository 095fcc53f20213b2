// Pixels drawn by the toolkit, read back with GetPixel.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/windows/test_support.h"

namespace {

constexpr int TEST_WINDOW = 300;
constexpr COLORREF BLACK = RGB(0, 0, 0);
constexpr COLORREF WHITE = RGB(255, 255, 255);

// Counts the pixels that differ from what the rectangle predicts and keeps
// the first one for the failure message.
struct Mismatch {
    int count = 0;
    std::string first;
};

Mismatch compare_block(const Pixels& pixels, RECT block, COLORREF inside, COLORREF outside) {
    Mismatch result;
    for (int y = 0; y < pixels.height; ++y)
        for (int x = 0; x < pixels.width; ++x) {
            bool in = x >= block.left && x < block.right && y >= block.top && y < block.bottom;
            COLORREF expected = in ? inside : outside;
            if (pixels.at(x, y) != expected) {
                if (result.count == 0)
                    result.first = pixel_text(x, y, pixels.at(x, y), expected);
                ++result.count;
            }
        }
    return result;
}

TEST(FillArea, FillsTheBlockWithoutRightAndBottomEdge) {
    struct Case {
        const char* label;
        int x, y, width, height;
        RECT filled;
    };
    const Case cases[] = {
        {"width 0 covers the 250x19 client area", 0, 0, 0, 19, {0, 0, 250, 19}},
        {"height 0 covers it too, position ignored", 7, 3, 40, 0, {0, 0, 250, 19}},
        {"10 by 5 at the origin fills 9 by 4", 0, 0, 10, 5, {0, 0, 9, 4}},
        {"10 by 5 at (3,2) fills 9 by 4 from there", 3, 2, 10, 5, {3, 2, 12, 6}},
        {"the strip's background 251 by 20", 0, 0, 251, 20, {0, 0, 250, 19}},
        {"1 by 1 fills nothing", 4, 4, 1, 1, {0, 0, 0, 0}},
        {"a bar on rows 2 to 7", 2, 2, 100, 7, {2, 2, 101, 8}},
    };
    HWND window = make_test_window(TEST_WINDOW, 700, 20, 250, 19);
    ASSERT_NE(window, nullptr) << last_error();
    {
        SCOPED_TRACE("a new toolkit window is erased to black");
        Mismatch erased = compare_block(read_pixels(window), {0, 0, 0, 0}, BLACK, BLACK);
        EXPECT_EQ(erased.count, 0) << erased.first;
    }
    const COLORREF color = RGB(200, 40, 90);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        paint_solid(window, BLACK);
        fill_area(window, c.x, c.y, c.width, c.height, color);
        Pixels pixels = read_pixels(window);
        ASSERT_EQ(pixels.width, 250);
        ASSERT_EQ(pixels.height, 19);
        Mismatch mismatch = compare_block(pixels, c.filled, color, BLACK);
        EXPECT_EQ(mismatch.count, 0) << mismatch.first << "; " << last_error();
    }
    fill_area(nullptr, 0, 0, 0, 0, color);  // window 0: nothing, no fault
    close_test_window(TEST_WINDOW);
}

// The pixels of a bitmap handle, top-down, as COLORREF.
std::vector<COLORREF> bitmap_pixels(HBITMAP bitmap, int width, int height) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    std::vector<DWORD> raw(static_cast<std::size_t>(width * height));
    HDC screen = GetDC(nullptr);
    GetDIBits(screen, bitmap, 0, static_cast<UINT>(height), raw.data(), &info, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    std::vector<COLORREF> colors;
    for (DWORD bgr : raw) colors.push_back(RGB((bgr >> 16) & 0xFF, (bgr >> 8) & 0xFF, bgr & 0xFF));
    return colors;
}

TEST(BlitBitmap, OrsTheAboutBitmapOntoTheWindow) {
    constexpr int BITMAP_INDEX = 14;
    load_bitmap(BITMAP_INDEX, "ZPXBACK1");
    HBITMAP bitmap = static_cast<HBITMAP>(toolkit.handle_table[BITMAP_INDEX]);
    ASSERT_NE(bitmap, nullptr) << "the resource bitmap did not load; " << last_error();
    BITMAP shape = {};
    ASSERT_NE(GetObjectA(bitmap, sizeof shape, &shape), 0) << last_error();
    EXPECT_EQ(shape.bmWidth, 560);
    EXPECT_EQ(shape.bmHeight, 400);
    std::vector<COLORREF> art = bitmap_pixels(bitmap, 560, 400);

    struct Case {
        const char* label;
        COLORREF under;
        int x, y, width, height;
    };
    const Case cases[] = {
        {"onto white it stays white", WHITE, 0, 0, 560, 400},
        {"onto black it shows exactly", BLACK, 0, 0, 560, 400},
        {"a part of it lands only in its block", BLACK, 40, 30, 200, 120},
    };
    HWND window = make_test_window(TEST_WINDOW, 0, 0, 560, 400);
    ASSERT_NE(window, nullptr) << last_error();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        paint_solid(window, c.under);
        blit_bitmap(BITMAP_INDEX, window, c.x, c.y, c.width, c.height);
        Pixels pixels = read_pixels(window);
        int wrong = 0;
        std::string first;
        for (int y = 0; y < 400; y += 3)
            for (int x = 0; x < 560; x += 3) {
                bool in = x >= c.x && x < c.x + c.width && y >= c.y && y < c.y + c.height;
                COLORREF source = in ? art[static_cast<std::size_t>((y - c.y) * 560 + (x - c.x))] : 0;
                COLORREF expected = c.under | source;
                if (pixels.at(x, y) != expected && wrong++ == 0)
                    first = pixel_text(x, y, pixels.at(x, y), expected);
            }
        EXPECT_EQ(wrong, 0) << first << "; " << last_error();
    }

    // The title band stays dark enough for light grey text.
    int brightest = 0;
    for (int y = 20; y < 95; ++y)
        for (int x = 35; x < 420; ++x) {
            COLORREF p = art[static_cast<std::size_t>(y * 560 + x)];
            brightest = std::max({brightest, int(GetRValue(p)), int(GetGValue(p)), int(GetBValue(p))});
        }
    EXPECT_LT(brightest, 90) << "the text band of the about bitmap is too bright";

    // A name that is not in the resources leaves the entry empty; a copy of
    // an empty entry draws nothing.
    load_bitmap(BITMAP_INDEX, "nosuchbitmap");
    EXPECT_EQ(toolkit.handle_table[BITMAP_INDEX], nullptr);
    paint_solid(window, BLACK);
    blit_bitmap(BITMAP_INDEX, window, 0, 0, 560, 400);
    Mismatch mismatch = compare_block(read_pixels(window), {0, 0, 0, 0}, BLACK, BLACK);
    EXPECT_EQ(mismatch.count, 0) << mismatch.first;

    // Resource names are found whatever their letter case.
    load_bitmap(BITMAP_INDEX, "zpxback1");
    EXPECT_NE(toolkit.handle_table[BITMAP_INDEX], nullptr) << last_error();
    delete_bitmap(BITMAP_INDEX);
    EXPECT_EQ(toolkit.handle_table[BITMAP_INDEX], nullptr);
    close_test_window(TEST_WINDOW);
}

// Size of a text in the toolkit's current font.
SIZE text_size(HWND window, const Text& text) {
    HDC dc = GetDC(window);
    HGDIOBJ kept = SelectObject(dc, toolkit.current_font);
    std::int32_t width = 0, height = 0;
    measure_text(dc, text, width, height);
    SelectObject(dc, kept);
    ReleaseDC(window, dc);
    return {width, height};
}

TEST(DrawText, OpaquePaintsTheMeasuredBoxTransparentLeavesTheBackground) {
    enum class Call { dc, window, plain, boxed };
    struct Case {
        const char* label;
        Call call;
        bool opaque;
        COLORREF text_color, background;
    };
    const Case cases[] = {
        {"draw_text_dc opaque", Call::dc, true, RGB(255, 255, 0), RGB(0, 0, 160)},
        {"draw_text_dc transparent", Call::dc, false, RGB(255, 255, 0), RGB(0, 0, 160)},
        {"draw_text opaque", Call::window, true, RGB(250, 250, 250), RGB(120, 0, 0)},
        {"draw_text_plain is transparent in the default colour", Call::plain, false, DEFAULT_TEXT_COLOR, BLACK},
        {"draw_text_boxed is a black box in the default colour", Call::boxed, true, DEFAULT_TEXT_COLOR, BLACK},
    };
    const COLORREF under = RGB(0, 90, 0);
    const Text text = "Wild |ll| text";
    const int x = 11, y = 6;
    HWND window = make_test_window(TEST_WINDOW, 700, 60, 250, 40);
    ASSERT_NE(window, nullptr) << last_error();
    SIZE box = text_size(window, text);
    ASSERT_GT(box.cx, 20);
    ASSERT_GT(box.cy, 5);
    ASSERT_LT(x + box.cx, 249);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        paint_solid(window, under);
        HDC dc = nullptr;
        switch (c.call) {
        case Call::dc:
            dc = GetDC(window);
            draw_text_dc(dc, x, y, c.text_color, c.background, text, c.opaque);
            ReleaseDC(window, dc);
            break;
        case Call::window: draw_text(window, x, y, c.text_color, c.background, text, c.opaque); break;
        case Call::plain: draw_text_plain(window, x, y, text); break;
        case Call::boxed: draw_text_boxed(window, x, y, text); break;
        }
        Pixels pixels = read_pixels(window);
        int background = 0, untouched = 0, exact_ink = 0, outside_changed = 0;
        for (int py = 0; py < pixels.height; ++py)
            for (int px = 0; px < pixels.width; ++px) {
                COLORREF p = pixels.at(px, py);
                bool in = px >= x && px < x + box.cx && py >= y && py < y + box.cy;
                if (!in) {
                    outside_changed += p != under;
                    continue;
                }
                background += p == c.background;
                untouched += p == under;
                exact_ink += p == c.text_color;
            }
        EXPECT_EQ(outside_changed, 0) << "pixels outside the measured box changed";
        EXPECT_GT(exact_ink, 10) << "no text in the text colour";
        if (c.opaque) {
            EXPECT_EQ(untouched, 0) << "the box is not painted over";
            EXPECT_GT(background, box.cx * box.cy / 2) << "the box is not in the background colour";
        } else {
            EXPECT_EQ(background, 0) << "the background colour was painted";
            EXPECT_GT(untouched, box.cx * box.cy / 2) << "the background did not show through";
        }
    }
    draw_text(nullptr, 0, 0, WHITE, BLACK, text, true);  // window 0: nothing
    draw_text_dc(nullptr, 0, 0, WHITE, BLACK, text, true);
    close_test_window(TEST_WINDOW);
}

TEST(DrawText, AmpersandIsDrawnAsWritten) {
    struct Case {
        const char* label;
        const char* text;
    };
    const Case cases[] = {{"a lone ampersand", "&"}, {"a doubled ampersand", "&&"}};
    HWND window = make_test_window(TEST_WINDOW, 700, 110, 60, 30);
    ASSERT_NE(window, nullptr) << last_error();
    int previous_ink = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        paint_solid(window, BLACK);
        draw_text(window, 4, 4, WHITE, BLACK, c.text, false);
        Pixels pixels = read_pixels(window);
        int ink = 0;
        for (COLORREF p : pixels.colors) ink += p != BLACK;
        EXPECT_GT(ink, previous_ink) << "each ampersand adds ink";
        previous_ink = ink;
    }
    EXPECT_GT(text_size(window, "a&b").cx, text_size(window, "ab").cx);
    close_test_window(TEST_WINDOW);
}

// The program's strip, painted as its main area is painted: background,
// the two bars, the status line and the frame.
TEST(Screenshots, StripOfTheProgram) {
    const COLORREF background = RGB(16, 16, 40), send_bar = RGB(0, 0, 128),
                   receive_bar = RGB(112, 0, 0), frame = RGB(160, 160, 192);
    HWND window = make_test_window(TEST_WINDOW, 664, 0, 250, 19);
    ASSERT_NE(window, nullptr) << last_error();
    const int W = 251, H = 20;
    const Text status = "send file to \"office\"";
    const int text_end = 5 + text_size(window, status).cx;
    ASSERT_LT(text_end, 180) << "the probes below assume a shorter status line";
    fill_area(window, 0, 0, W + 1, H + 1, background);
    fill_area(window, 2, 2, 230, 7, send_bar);
    fill_area(window, 2, 10, 200, 7, receive_bar);
    draw_text(window, 5, 2, toolkit.default_text_color, 0, status, false);
    fill_area(window, 0, 0, W + 1, 2, frame);
    fill_area(window, 0, H - 2, W + 1, 2, frame);
    fill_area(window, 0, 0, 2, H + 1, frame);
    fill_area(window, W - 2, 0, 2, H + 1, frame);
    Pixels pixels = read_pixels(window);

    struct Probe {
        const char* label;
        int x, y;
        COLORREF expected;
    };
    const Probe probes[] = {
        {"top frame", 120, 0, frame},       {"bottom frame", 120, 18, frame},
        {"left frame", 0, 9, frame},        {"right frame", 249, 9, frame},
        {"inside the frame", 1, 1, background},
        {"send bar start", 2, 2, send_bar},
        {"send bar top row", 220, 2, send_bar}, {"send bar bottom row", 220, 7, send_bar},
        {"send bar end", 230, 5, send_bar},     {"after the send bar", 231, 5, background},
        {"between the bars", 220, 8, background}, {"between the bars", 190, 9, background},
        {"receive bar top row", 190, 10, receive_bar}, {"receive bar bottom row", 190, 15, receive_bar},
        {"receive bar end", 200, 12, receive_bar},
        {"after the receive bar", 201, 12, background}, {"below the receive bar", 190, 16, background},
    };
    for (const Probe& probe : probes) {
        SCOPED_TRACE(probe.label);
        EXPECT_EQ(color_text(pixels.at(probe.x, probe.y)), color_text(probe.expected))
            << "at (" << probe.x << "," << probe.y << "); " << last_error();
    }
    int text_pixels = 0;
    for (COLORREF p : pixels.colors) text_pixels += p == DEFAULT_TEXT_COLOR;
    EXPECT_GT(text_pixels, 20) << "the status line is missing";
    EXPECT_TRUE(save_screenshot(window, "strip.bmp")) << last_error();
    close_test_window(TEST_WINDOW);
}

// The about window's content: the bitmap ORed onto black and the two lines
// of text in the two fonts.
TEST(Screenshots, AboutWindow) {
    constexpr int BITMAP_INDEX = 14;
    load_bitmap(BITMAP_INDEX, "ZPXBACK1");
    ASSERT_NE(toolkit.handle_table[BITMAP_INDEX], nullptr) << last_error();
    HWND window = make_test_window(TEST_WINDOW, 0, 0, 560, 400);
    ASSERT_NE(window, nullptr) << last_error();
    paint_solid(window, BLACK);
    blit_bitmap(BITMAP_INDEX, window, 0, 0, 560, 400);
    select_font(1);
    draw_text_plain(window, 150, 27, "Zeptrix v1.0");
    select_font(0);
    draw_text_plain(window, 40, 75, "Crypted file transfer through the internet.");
    Pixels pixels = read_pixels(window);
    auto text_in = [&](int x0, int y0, int x1, int y1) {
        int count = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) count += pixels.at(x, y) == DEFAULT_TEXT_COLOR;
        return count;
    };
    const int title = text_in(150, 27, 300, 27 + 24), line = text_in(40, 75, 330, 75 + 15);
    EXPECT_GT(title, 30) << "the title is missing";
    EXPECT_GT(line, 30) << "the product line is missing";
    EXPECT_TRUE(save_screenshot(window, "about.bmp")) << last_error();
    delete_bitmap(BITMAP_INDEX);
    close_test_window(TEST_WINDOW);
}

}  // namespace
