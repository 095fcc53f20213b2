#include "cli/arguments.h"

#include <windows.h>

#include <shellapi.h>

#include "platform/wide_text.h"

std::vector<std::string> utf8_arguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!words || count != argc) {
        if (words) LocalFree(words);
        return {argv, argv + argc};
    }
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) arguments.push_back(to_utf8(words[i]));
    LocalFree(words);
    return arguments;
}
