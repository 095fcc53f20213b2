// Modal message boxes without owner, styled by letters.
#include "toolkit/toolkit.h"

#include "platform/wide_text.h"
#include "text/text_utils.h"

// MB_SETFOREGROUND and MB_TOPMOST plus the bits of every letter that
// occurs: Windows keeps a background program from taking the foreground,
// and a box shown from a task would otherwise open unseen behind the
// window in use while its batch waits in it.
UINT message_box_style(const Text& letters) {
    Text lower = letters;
    lower_case(lower);
    UINT style = MB_SETFOREGROUND | MB_TOPMOST;
    for (std::size_t i = 0; i < lower.size(); ++i) {
        switch (lower[i]) {
        case 'y': style |= MB_YESNO; break;
        case 'c': style |= MB_OKCANCEL; break;
        case 'o': style |= MB_OK; break;
        case '!': style |= MB_ICONEXCLAMATION; break;
        case '?': style |= MB_ICONQUESTION; break;
        case 'i': style |= MB_ICONINFORMATION; break;
        case 's': style |= MB_ICONHAND; break;
        default: break;
        }
    }
    return style;
}

// OK 0, Yes 1, No 2; every other answer counts as 0.
int message_box_result(int answer) {
    if (answer == IDYES) return 1;
    if (answer == IDNO) return 2;
    return 0;
}

int message_box(const Text& text, const Text& caption, const Text& letters) {
    wchar_t wide_text[Text::CAPACITY + 1], wide_caption[Text::CAPACITY + 1];
    to_wide(text.platform().c_str(), wide_text, Text::CAPACITY + 1);
    to_wide(caption.platform().c_str(), wide_caption, Text::CAPACITY + 1);
    int answer = MessageBoxW(nullptr, wide_text, wide_caption, message_box_style(letters));
    return message_box_result(answer);
}
