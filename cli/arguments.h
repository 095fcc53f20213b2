// The command line's words as UTF-8, the program's text inside.
#pragma once

#include <string>
#include <vector>

// Windows: the words of the UTF-16 command line (argv holds them in the
// ANSI code page, with "?" for what it lacks); elsewhere argv as it is.
std::vector<std::string> utf8_arguments(int argc, char** argv);
