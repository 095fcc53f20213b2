// Bitmaps from the executable's resources, kept in the handle table and
// ORed onto windows.
#include "toolkit/toolkit.h"

namespace {

// Deletes what an entry holds when it is a bitmap of ours.
void release_bitmap(HANDLE& entry) {
    if (entry && GetObjectType(entry) == OBJ_BITMAP) DeleteObject(entry);
    entry = nullptr;
}

}  // namespace

void load_bitmap(std::int32_t index, const Text& resource_name) {
    if (!is_table_index(index)) return;
    HANDLE& entry = toolkit.handle_table[index];
    release_bitmap(entry);
    entry = LoadBitmapA(GetModuleHandleA(nullptr), resource_name.platform().c_str());
}

void delete_bitmap(std::int32_t index) {
    if (!is_table_index(index)) return;
    release_bitmap(toolkit.handle_table[index]);
}

// SRCPAINT: on the black background of toolkit windows the bitmap shows
// exactly; an empty entry draws nothing.
void blit_bitmap(std::int32_t index, HWND window, std::int32_t x, std::int32_t y,
                 std::int32_t width, std::int32_t height) {
    if (!is_table_index(index) || !window) return;
    HANDLE bitmap = toolkit.handle_table[index];
    if (!bitmap) return;
    HDC dc = get_dc(window);
    if (!dc) return;
    HDC memory = CreateCompatibleDC(dc);
    if (memory) {
        HGDIOBJ kept = SelectObject(memory, bitmap);
        if (kept) {
            BitBlt(dc, x, y, width, height, memory, 0, 0, SRCPAINT);
            SelectObject(memory, kept);
        }
        DeleteDC(memory);
    }
    release_dc(window, dc);
}
