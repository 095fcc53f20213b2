#include "tests/windows/test_support.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

std::vector<SeenMessage>& seen_messages() {
    static std::vector<SeenMessage> messages;
    return messages;
}

LRESULT CALLBACK recording_window_proc(HWND window, UINT message, WPARAM w_param, LPARAM l_param) {
    switch (message) {
    case WM_USER: case WM_KEYDOWN: case WM_SYSKEYDOWN: case WM_KEYUP: case WM_CHAR:
    case WM_TIMER: case WM_COMMAND:
        seen_messages().push_back({window, message, w_param, l_param});
        break;
    default:
        break;
    }
    return default_window_proc(window, message, w_param, l_param);
}

bool was_seen(HWND window, UINT message, WPARAM w_param) {
    for (const SeenMessage& seen : seen_messages())
        if (seen.window == window && seen.message == message && seen.w_param == w_param) return true;
    return false;
}

std::string last_error() {
    std::string text = "GetLastError ";
    return text.append(std::to_string(GetLastError()));
}

void pump_for(DWORD milliseconds) {
    DWORD start = GetTickCount();
    do {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    } while (GetTickCount() - start < milliseconds);
}

HWND make_test_window(int index, int x, int y, int width, int height) {
    create_popup_window(x, y, width, height, index, false);
    HWND window = static_cast<HWND>(toolkit.handle_table[index]);
    if (window) pump_for(30);
    return window;
}

void close_test_window(int index) {
    destroy_window_handle(toolkit.handle_table[index]);
    pump_for(10);
}

void paint_solid(HWND window, COLORREF color) {
    RECT client;
    GetClientRect(window, &client);
    HDC dc = GetDC(window);
    HBRUSH brush = CreateSolidBrush(color);
    FillRect(dc, &client, brush);
    DeleteObject(brush);
    ReleaseDC(window, dc);
}

Pixels read_pixels(HWND window) {
    Pixels pixels;
    RECT client;
    GetClientRect(window, &client);
    pixels.width = client.right;
    pixels.height = client.bottom;
    pixels.colors.reserve(static_cast<std::size_t>(pixels.width * pixels.height));
    HDC dc = GetDC(window);
    for (int y = 0; y < pixels.height; ++y)
        for (int x = 0; x < pixels.width; ++x) pixels.colors.push_back(GetPixel(dc, x, y));
    ReleaseDC(window, dc);
    return pixels;
}

std::string color_text(COLORREF color) {
    if (color == CLR_INVALID) return "CLR_INVALID";
    char text[40];
    std::snprintf(text, sizeof text, "RGB(%u,%u,%u)", GetRValue(color), GetGValue(color),
                  GetBValue(color));
    return text;
}

std::string pixel_text(int x, int y, COLORREF actual, COLORREF expected) {
    char text[120];
    std::snprintf(text, sizeof text, "(%d,%d) is %s, expected %s", x, y, color_text(actual).c_str(),
                  color_text(expected).c_str());
    return text;
}

std::string artifacts_dir() {
    return ZPX_ARTIFACTS_DIR;
}

bool save_screenshot(HWND window, const char* file_name) {
    RECT client;
    GetClientRect(window, &client);
    int width = client.right, height = client.bottom;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC dc = GetDC(window);
    HBITMAP copy = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!copy) {
        ReleaseDC(window, dc);
        return false;
    }
    HDC memory = CreateCompatibleDC(dc);
    HGDIOBJ kept = SelectObject(memory, copy);
    BitBlt(memory, 0, 0, width, height, dc, 0, 0, SRCCOPY);
    GdiFlush();
    DWORD row = static_cast<DWORD>((width * 3 + 3) & ~3);
    DWORD image_size = row * static_cast<DWORD>(height);
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + image_size;
    info.bmiHeader.biSizeImage = image_size;
    CreateDirectoryA(artifacts_dir().c_str(), nullptr);
    std::string path = artifacts_dir();
    path.append("/").append(file_name);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
    out.write(static_cast<const char*>(bits), image_size);
    bool written = static_cast<bool>(out);
    SelectObject(memory, kept);
    DeleteDC(memory);
    DeleteObject(copy);
    ReleaseDC(window, dc);
    return written;
}

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

bool run_child(const std::string& mode, const char* box_caption, WPARAM box_command,
               ChildRun& result) {
    char self[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    CreateDirectoryA(artifacts_dir().c_str(), nullptr);
    std::string log_path = artifacts_dir();
    log_path.append("/child-").append(std::to_string(GetCurrentProcessId())).append(".log");
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE log = CreateFileA(log_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE) return false;

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = log;
    startup.hStdError = log;
    PROCESS_INFORMATION process = {};
    DWORD thread_id = 0;
    std::string command = "\"";
    command.append(self).append("\" ").append(mode);
    std::vector<char> command_line(command.begin(), command.end());
    command_line.push_back('\0');
    // The message box channel prints each box's text on the child's stderr.
    SetEnvironmentVariableA("WINEDEBUG", "trace+msgbox");
    // Under load Wine now and then fails to start a process at all
    // (ERROR_INTERNAL_ERROR); a second try starts it.
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        if (attempt) Sleep(500);
        started = CreateProcessA(self, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                 &process);
    }
    SetEnvironmentVariableA("WINEDEBUG", "-all");
    CloseHandle(log);
    if (!started) return false;

    bool ended = false;
    for (int waited = 0; waited < 30000; waited += 50) {
        if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) {
            ended = true;
            break;
        }
        if (box_caption && !result.box_found) {
            HWND box = FindWindowA(nullptr, box_caption);
            if (box && IsWindowVisible(box)) {
                result.box_found = true;
                result.box_had_owner = GetWindow(box, GW_OWNER) != nullptr;
                result.box_had_yes = GetDlgItem(box, IDYES) != nullptr;
                result.box_had_ok = GetDlgItem(box, IDOK) != nullptr;
                PostMessageA(box, WM_COMMAND, box_command, 0);
            }
        }
    }
    if (!ended) TerminateProcess(process.hProcess, 1);
    GetExitCodeProcess(process.hProcess, &result.exit_code);
    thread_id = process.dwThreadId;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    result.output = read_file(log_path);
    DeleteFileA(log_path.c_str());

    char wine_stderr[MAX_PATH + 1] = {};
    if (GetEnvironmentVariableA("ZPX_WINE_STDERR", wine_stderr, MAX_PATH)) {
        result.trace_available = true;
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "%04lx:", static_cast<unsigned long>(thread_id));
        std::istringstream lines(read_file(wine_stderr));
        for (std::string line; std::getline(lines, line);)
            if (line.rfind(prefix, 0) == 0) result.trace.append(line).append("\n");
    }
    return ended;
}
