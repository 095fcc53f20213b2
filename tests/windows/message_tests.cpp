// The message loop's key forwarding, timers, message boxes and the paths
// that end the program.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/windows/test_support.h"

namespace {

bool seen_at(HWND window, UINT message) {
    for (const SeenMessage& seen : seen_messages())
        if (seen.window == window && seen.message == message) return true;
    return false;
}

TEST(DispatchMessage, ForwardsKeysToTheProgramWindow) {
    struct Case {
        const char* label;
        UINT message;
        WPARAM key;
        bool forwarded, reaches_focus;
    };
    const Case cases[] = {
        {"return instead", WM_KEYDOWN, VK_RETURN, true, false},
        {"tab instead", WM_KEYDOWN, VK_TAB, true, false},
        {"escape instead", WM_KEYDOWN, VK_ESCAPE, true, false},
        {"page up instead", WM_KEYDOWN, VK_PRIOR, true, false},
        {"home instead", WM_KEYDOWN, VK_HOME, true, false},
        {"down instead", WM_KEYDOWN, VK_DOWN, true, false},
        {"insert instead", WM_KEYDOWN, VK_INSERT, true, false},
        {"F1 instead", WM_KEYDOWN, VK_F1, true, false},
        {"F12 instead", WM_KEYDOWN, VK_F12, true, false},
        {"F10 as a system key instead", WM_SYSKEYDOWN, VK_F10, true, false},
        {"left also", WM_KEYDOWN, VK_LEFT, true, true},
        {"right also", WM_KEYDOWN, VK_RIGHT, true, true},
        {"multiply also", WM_KEYDOWN, VK_MULTIPLY, true, true},
        {"divide also", WM_KEYDOWN, VK_DIVIDE, true, true},
        {"letter A only to the focus", WM_KEYDOWN, 'A', false, true},
        {"space only to the focus", WM_KEYDOWN, VK_SPACE, false, true},
        {"F13 only to the focus", WM_KEYDOWN, VK_F13, false, true},
        {"key up of return is not forwarded", WM_KEYUP, VK_RETURN, false, true},
    };
    constexpr int INDEX = 302;
    HWND focus = make_test_window(INDEX, 700, 320, 120, 40);
    ASSERT_NE(focus, nullptr) << last_error();
    SetFocus(focus);
    ASSERT_EQ(GetFocus(), focus) << last_error();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        pump_for(5);
        seen_messages().clear();
        ASSERT_TRUE(PostMessageA(focus, c.message, c.key, 1)) << last_error();
        ASSERT_TRUE(PeekMessageA(&toolkit.current_message, focus, c.message, c.message, PM_REMOVE))
            << last_error();
        dispatch_message();
        pump_for(5);
        bool forwarded = false;
        for (const SeenMessage& seen : seen_messages())
            if (seen.window == toolkit.program_window && seen.message == WM_USER) {
                forwarded = true;
                EXPECT_EQ(seen.w_param, c.key);
                EXPECT_EQ(seen.l_param, reinterpret_cast<LPARAM>(focus)) << "lParam is the focus";
            }
        EXPECT_EQ(forwarded, c.forwarded);
        EXPECT_EQ(seen_at(focus, c.message), c.reaches_focus);
        if (!c.reaches_focus) {
            EXPECT_FALSE(seen_at(focus, WM_CHAR)) << "translated anyway";
        }
    }
    close_test_window(INDEX);
}

TEST(KeyForwarding, GroupsOfKeys) {
    struct Case {
        const char* label;
        unsigned first, last;
        KeyForwarding expected;
    };
    const Case cases[] = {
        {"below tab", 0, 8, KeyForwarding::none},      {"tab", 9, 9, KeyForwarding::instead},
        {"return", 13, 13, KeyForwarding::instead},    {"escape", 27, 27, KeyForwarding::instead},
        {"page up to home", 33, 36, KeyForwarding::instead}, {"left", 37, 37, KeyForwarding::also},
        {"up", 38, 38, KeyForwarding::instead},        {"right", 39, 39, KeyForwarding::also},
        {"down", 40, 40, KeyForwarding::instead},      {"insert", 45, 45, KeyForwarding::instead},
        {"delete", 46, 46, KeyForwarding::none},       {"digits and letters", 48, 90, KeyForwarding::none},
        {"multiply and add", 106, 107, KeyForwarding::also}, {"separator", 108, 108, KeyForwarding::none},
        {"subtract", 109, 109, KeyForwarding::also},   {"decimal", 110, 110, KeyForwarding::none},
        {"divide", 111, 111, KeyForwarding::also},     {"F1 to F12", 112, 123, KeyForwarding::instead},
        {"F13 and above", 124, 255, KeyForwarding::none},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        for (unsigned key = c.first; key <= c.last; ++key)
            EXPECT_EQ(key_forwarding(key), c.expected) << "key " << key;
    }
}

TEST(PumpMessages, HandlesWhatWaitsAndLeavesTheQuitMessage) {
    seen_messages().clear();
    PostMessageA(toolkit.program_window, WM_COMMAND, 4711, 0);
    PostMessageA(toolkit.main_area, WM_COMMAND, 4712, 0);
    DWORD start = GetTickCount();
    pump_messages();
    EXPECT_LT(GetTickCount() - start, 500u) << "pump_messages waited";
    EXPECT_TRUE(was_seen(toolkit.program_window, WM_COMMAND, 4711));
    EXPECT_TRUE(was_seen(toolkit.main_area, WM_COMMAND, 4712));

    PostQuitMessage(3);
    pump_messages();
    MSG quit = {};
    ASSERT_TRUE(PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
        << "the quit message was lost";
    EXPECT_EQ(quit.wParam, 3u);
}

TEST(Timers, ExpiriesArriveAtTheProgramWindow) {
    struct Case {
        const char* label;
        int identifier, interval;
    };
    const Case cases[] = {{"the about timer", 44, 3}, {"another one", 7, 20}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        seen_messages().clear();
        start_timer(c.identifier, c.interval);
        DWORD start = GetTickCount();
        while (!was_seen(toolkit.program_window, WM_TIMER, c.identifier) && GetTickCount() - start < 3000)
            pump_for(5);
        stop_timer(c.identifier);
        EXPECT_TRUE(was_seen(toolkit.program_window, WM_TIMER, c.identifier)) << last_error();
        pump_for(20);
        seen_messages().clear();
        pump_for(100);
        EXPECT_FALSE(was_seen(toolkit.program_window, WM_TIMER, c.identifier)) << "still running";
    }
}

TEST(Timers, NothingBeforeTheProgramWindowExists) {
    HWND kept = toolkit.program_window;
    toolkit.program_window = nullptr;
    start_timer(8, 1);
    toolkit.program_window = kept;
    int timer_messages = 0;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 150) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            timer_messages += message.message == WM_TIMER;
            DispatchMessageA(&message);
        }
        Sleep(5);
    }
    EXPECT_EQ(timer_messages, 0) << "a timer without window was started";
}

TEST(MessageBoxStyle, LettersToFlags) {
    struct Case {
        const char* label;
        const char* letters;
        UINT expected;
    };
    const UINT base = MB_SETFOREGROUND | MB_TOPMOST;
    const Case cases[] = {
        {"nothing", "", base},
        {"os: stop and OK", "os", base | MB_ICONHAND | MB_OK},
        {"io: information and OK", "io", base | MB_ICONINFORMATION},
        {"Y and I upper case", "YI", base | MB_YESNO | MB_ICONINFORMATION},
        {"c: OK and Cancel", "c", base | MB_OKCANCEL},
        {"!: exclamation", "!", base | MB_ICONEXCLAMATION},
        {"?: question", "?", base | MB_ICONQUESTION},
        {"y and c OR together", "yc", base | MB_YESNO | MB_OKCANCEL},
        {"? and s OR together", "?s", base | 48},
        {"repeated letters count once", "iiii", base | MB_ICONINFORMATION},
        {"unknown letters add nothing", "xz#O", base},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(message_box_style(c.letters), c.expected);
    }
}

TEST(MessageBoxResult, AnswersToResults) {
    struct Case {
        const char* label;
        int answer, expected;
    };
    const Case cases[] = {{"OK", IDOK, 0}, {"Yes", IDYES, 1}, {"No", IDNO, 2},
                          {"Cancel", IDCANCEL, 0}, {"failure", 0, 0}, {"Abort", IDABORT, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(message_box_result(c.answer), c.expected);
    }
}

// The box's text as Wine's message box channel printed it for the child.
void expect_box_text(const ChildRun& run, const std::string& text) {
    if (!run.trace_available) {
        std::printf("note: ZPX_WINE_STDERR is not set, the box text is not checked\n");
        return;
    }
    std::string wanted = "MSGBOX_OnInit L\"";
    wanted.append(text).append("\"");
    EXPECT_NE(run.trace.find(wanted), std::string::npos) << "trace of the child:\n" << run.trace;
}

TEST(MessageBox, ARealBoxWithoutOwner) {
    struct Case {
        const char* label;
        const char* letters;
        WPARAM answer;
        DWORD result;
        bool yes_no;
    };
    const Case cases[] = {
        {"io answered OK", "io", IDOK, 0, false},
        {"YI answered Yes", "YI", IDYES, 1, true},
        {"YI answered No", "YI", IDNO, 2, true},
        {"c answered Cancel", "c", IDCANCEL, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ChildRun run;
        ASSERT_TRUE(run_child(std::string("child:box:") + c.letters, "zpx box", c.answer, run))
            << last_error() << "\n" << run.output;
        EXPECT_TRUE(run.box_found) << "no box with the caption appeared";
        EXPECT_FALSE(run.box_had_owner);
        EXPECT_EQ(run.box_had_yes, c.yes_no);
        EXPECT_EQ(run.box_had_ok, !c.yes_no);
        EXPECT_EQ(run.exit_code, 40 + c.result);
        expect_box_text(run, std::string("zeptrix box test ") + c.letters);
    }
}

TEST(ProgramEnd, PathsThatEndTheProcess) {
    struct Case {
        const char* label;
        const char* mode;
        const char* box_text;  // the error box the child shows first, if any
        DWORD exit_code;
    };
    const Case cases[] = {
        {"class registration fails", "child:class-fails", "error initializing k9 windowclass", 0},
        {"program window fails", "child:window-fails", "error initializing program window areas", 0},
        {"program window fails quietly", "child:window-fails-quietly", nullptr, 41},
        {"program window destroyed", "child:destroy-window", nullptr, 0},
        {"WM_DESTROY sent as the exit command does", "child:destroy-message", nullptr, 0},
        {"quit message 0", "child:quit:0", nullptr, 0},
        {"quit message keeps the low byte", "child:quit:308", nullptr, 308 & 0xFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ChildRun run;
        ASSERT_TRUE(run_child(c.mode, "error", IDOK, run))
            << last_error() << "\n" << run.output;
        EXPECT_EQ(run.exit_code, c.exit_code) << run.output;
        if (c.box_text) {
            EXPECT_TRUE(run.box_found) << "no error box appeared";
            EXPECT_FALSE(run.box_had_owner);
            expect_box_text(run, c.box_text);
        } else {
            EXPECT_FALSE(run.box_found);
            EXPECT_EQ(run.trace.find("MSGBOX_OnInit"), std::string::npos) << run.trace;
        }
    }
}

}  // namespace
