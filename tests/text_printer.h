// Lets GoogleTest print Text values in failure messages.
#pragma once

#include <ostream>

#include "text/text.h"

inline void PrintTo(const Text& text, std::ostream* out) { *out << '"' << text.view() << '"'; }
