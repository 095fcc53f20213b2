// The table of names in every language (tests/names.txt), shared by the
// unit tests and the Python tiers.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct NameRow {
    std::string label;
    std::string name;          // UTF-8
    std::string windows_1252;  // the name's bytes in the code page; empty when it lacks a character
    std::string windows_1251;
    bool in_1252 = false, in_1251 = false;
};

inline std::string bytes_from_hex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

inline std::vector<NameRow> read_names_table() {
    std::vector<NameRow> rows;
    std::FILE* file = std::fopen(ZPX_NAMES_TABLE, "rb");
    if (!file) return rows;
    char line[1024];
    while (std::fgets(line, sizeof line, file)) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (text.empty() || text[0] == '#') continue;
        std::vector<std::string> fields;
        for (std::size_t start = 0;;) {
            std::size_t tab = text.find('\t', start);
            fields.push_back(text.substr(start, tab - start));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        if (fields.size() != 4) continue;
        NameRow row{fields[0], fields[1], bytes_from_hex(fields[2]), bytes_from_hex(fields[3]),
                    fields[2] != "-", fields[3] != "-"};
        rows.push_back(row);
    }
    std::fclose(file);
    return rows;
}
