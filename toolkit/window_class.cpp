// The toolkit's fonts and its one window class, and the way the program ends.
#include "toolkit/toolkit.h"

#include <cstring>

namespace {

const char* const FONT_FACES[] = {"movelant", "verdana", "verdana standard", "arial"};

// The first face of the list that yields a font of that height.
HFONT create_font(LONG height) {
    LOGFONTA font = {};
    font.lfHeight = height;
    font.lfWeight = FW_NORMAL;
    font.lfCharSet = DEFAULT_CHARSET;
    font.lfPitchAndFamily = VARIABLE_PITCH;
    for (const char* face : FONT_FACES) {
        std::memset(font.lfFaceName, 0, sizeof font.lfFaceName);
        std::strncpy(font.lfFaceName, face, sizeof font.lfFaceName - 1);
        if (HFONT handle = CreateFontIndirectA(&font)) return handle;
    }
    return nullptr;
}

}  // namespace

// Deletes both fonts. current_font is cleared with them so that nothing
// can select a deleted font afterwards.
void free_fonts() {
    if (toolkit.normal_font) DeleteObject(toolkit.normal_font);
    if (toolkit.large_font) DeleteObject(toolkit.large_font);
    toolkit.normal_font = nullptr;
    toolkit.large_font = nullptr;
    toolkit.current_font = nullptr;
}

// Every way out of the program: fonts first, then the process ends.
void end_program(UINT exit_code) {
    free_fonts();
    ExitProcess(exit_code);
}

ATOM create_window_class(WNDPROC window_proc) {
    free_fonts();
    toolkit.normal_font = create_font(13);
    toolkit.current_font = toolkit.normal_font;
    toolkit.large_font = create_font(22);

    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSW window_class = {};
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconA(instance, "k9icon");
    window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    window_class.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    window_class.lpszClassName = WIDE_CLASS_NAME;
    ATOM atom = RegisterClassW(&window_class);
    if (!atom) {
        message_box("error initializing k9 windowclass", "error", "os");
        end_program(0);
    }
    return atom;
}
