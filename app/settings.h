// The settings file "Zeptrix.cfg" beside the executable: port, directory
// for received files, access lists, destinations and the shared secret. Read once at start-up;
// missing files, unknown keywords and bad values are passed over silently.
#pragma once

#include "text/text.h"

// Reads program_directory() + "Zeptrix.cfg" into the program state.
void load_settings();
// Takes one line as if it stood in the settings file (the console peer's
// options use it, so they mean exactly what the file's lines mean).
void apply_setting_line(const Text& line);
// Reads the settings file at path into the program state.
void load_settings_from(const Text& path);
