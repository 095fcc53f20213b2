// Popup menus kept in the handle table.
#include "toolkit/toolkit.h"

#include "platform/wide_text.h"
#include "text/text_utils.h"

void create_popup_menu(std::int32_t index) {
    if (!is_table_index(index)) return;
    HANDLE& entry = toolkit.handle_table[index];
    if (entry && IsMenu(static_cast<HMENU>(entry))) DestroyMenu(static_cast<HMENU>(entry));
    entry = CreatePopupMenu();
}

// An empty text is a separator; otherwise "c" checks and "g" greys.
void append_menu_item(std::int32_t index, std::int32_t identifier, const Text& text,
                      const Text& letters) {
    if (!is_table_index(index)) return;
    HMENU menu = static_cast<HMENU>(toolkit.handle_table[index]);
    if (!menu) return;
    if (text.empty()) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        return;
    }
    Text lower = letters;
    lower_case(lower);
    UINT flags = MF_STRING;
    if (lower.view().find('c') != std::string_view::npos) flags |= MF_CHECKED;
    if (lower.view().find('g') != std::string_view::npos) flags |= MF_GRAYED;
    wchar_t wide[Text::CAPACITY + 1];
    to_wide(text.platform().c_str(), wide, Text::CAPACITY + 1);
    AppendMenuW(menu, flags, static_cast<UINT_PTR>(static_cast<std::uint32_t>(identifier)), wide);
}

// Centred on the screen point; a chosen item comes to the main area as
// WM_COMMAND.
void track_popup_menu(std::int32_t x, std::int32_t y, std::int32_t index) {
    if (!is_table_index(index)) return;
    HMENU menu = static_cast<HMENU>(toolkit.handle_table[index]);
    if (!menu) return;
    RECT none = {};
    TrackPopupMenu(menu, TPM_CENTERALIGN | TPM_LEFTBUTTON, x, y, 0, toolkit.main_area, &none);
}
