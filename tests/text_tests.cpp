#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/names_table.h"
#include "tests/text_printer.h"
#include "text/code_page.h"
#include "text/text.h"
#include "text/text_utils.h"
#include "text/utf8.h"
#include "transfer/name_encoding.h"

TEST(TextType, AppendsAreCutAt255) {
    Text t(std::string(250, 'a'));
    t += "bcdefghij";
    EXPECT_EQ(t.size(), 255u);
    EXPECT_EQ(t[254], 'f');
    EXPECT_EQ(t.data()[255], '\0');
    t += 'z';
    EXPECT_EQ(t.size(), 255u);
    EXPECT_EQ((Text("ab") + std::string(300, 'x')).size(), 255u);
}

TEST(TextType, PlatformTextHoldsAtMost254Characters) {
    Text full(std::string(255, 'q'));
    auto p = full.platform();
    EXPECT_EQ(std::string(p.c_str()).size(), 254u);
    EXPECT_EQ(std::string(Text("c:\\swap\\").platform().c_str()), "c:\\swap\\");
}

TEST(TextType, KeepsEveryByteValue) {
    const char bytes[] = {'\x01', '\xff', '\x80', 'A'};
    Text t(std::string_view(bytes, 4));
    EXPECT_EQ(t.size(), 4u);
    EXPECT_EQ(t.byte(1), 0xFF);
    t.truncate(2);
    EXPECT_EQ(t.size(), 2u);
    EXPECT_EQ(t.data()[2], '\0');
}

// A text cut at its capacity keeps whole characters only.
TEST(TextType, CutsBeforeAWholeCharacter) {
    const std::string e_acute = "\xC3\xA9", kanji = "\xE6\x97\xA5", emoji = "\xF0\x9F\x98\x80";
    struct Row { const char* label; std::size_t filled; std::string added; std::size_t size, platform; };
    const Row rows[] = {
        {"two bytes fit exactly", 253, e_acute, 255, 253},
        {"two bytes, one free", 254, e_acute, 254, 254},
        {"three bytes, two free", 253, kanji, 253, 253},
        {"three bytes fit exactly", 252, kanji, 255, 252},
        {"four bytes, three free", 252, emoji, 252, 252},
        {"four bytes fit exactly", 251, emoji, 255, 251},
        {"several, the last cut", 248, kanji + kanji + kanji, 254, 254},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        Text t(std::string(row.filled, 'a'));
        t += row.added;
        EXPECT_EQ(t.size(), row.size);
        EXPECT_TRUE(is_valid_utf8(t.view()));
        EXPECT_EQ(std::string(t.platform().c_str()).size(), row.platform);
        EXPECT_TRUE(is_valid_utf8(t.platform().c_str()));
    }
    Text word("caf" + e_acute);
    word.truncate(4);
    EXPECT_EQ(word, "caf");
    Text whole(std::string(253, 'a') + e_acute);
    EXPECT_EQ((Text("x") + whole).size(), 254u);
}

TEST(Utf8, Validity) {
    struct Row { const char* label; std::string text; bool valid; };
    const Row rows[] = {
        {"ASCII", "plain.txt", true},
        {"two bytes", "caf\xC3\xA9", true},
        {"three bytes", "\xE6\x97\xA5", true},
        {"four bytes", "\xF0\x9F\x98\x80", true},
        {"highest code point", "\xF4\x8F\xBF\xBF", true},
        {"empty", "", true},
        {"Latin-1 byte", "caf\xE9", false},
        {"lone continuation", "\x80", false},
        {"overlong slash", "\xC0\xAF", false},
        {"overlong three bytes", "\xE0\x80\xAF", false},
        {"overlong four bytes", "\xF0\x8F\xBF\xBF", false},
        {"surrogate", "\xED\xA0\x80", false},
        {"above U+10FFFF", "\xF4\x90\x80\x80", false},
        {"F5 lead", "\xF5\x80\x80\x80", false},
        {"cut sequence", "a\xE6\x97", false},
        {"cut at the end", "a\xC3", false},
        {"FF", "\xFF", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(is_valid_utf8(row.text), row.valid);
    }
}

// Every name of the table in both code pages the console peer knows, and
// the fixed format's bytes for it: in the code page when it holds the name,
// else UTF-8; the receiver reads each back to the same name.
TEST(NameEncoding, TableOfNamesBothWays) {
    std::vector<NameRow> rows = read_names_table();
    ASSERT_GE(rows.size(), 9u) << "names table " << ZPX_NAMES_TABLE;
    struct Page { std::int32_t number; std::string NameRow::*bytes; bool NameRow::*held; };
    const Page pages[] = {{1252, &NameRow::windows_1252, &NameRow::in_1252},
                          {1251, &NameRow::windows_1251, &NameRow::in_1251}};
    for (const Page& page : pages) {
        set_fixed_name_code_page(page.number);
        for (const NameRow& row : rows) {
            SCOPED_TRACE(row.label + " in " + std::to_string(page.number));
            std::string bytes, back;
            EXPECT_EQ(utf8_to_code_page(page.number, row.name, bytes), row.*page.held);
            if (row.*page.held) {
                EXPECT_EQ(bytes, row.*page.bytes);
                EXPECT_TRUE(code_page_to_utf8(page.number, bytes, back));
                EXPECT_EQ(back, row.name);
            }
            std::string wire = fixed_name_bytes(row.name);
            EXPECT_EQ(wire, row.*page.held ? row.*page.bytes : row.name);
            EXPECT_TRUE(fixed_name_text(wire, back));
            EXPECT_EQ(back, row.name);
        }
    }
    set_fixed_name_code_page(CODE_PAGE_RAW);
    for (const NameRow& row : rows) {
        SCOPED_TRACE(row.label + " raw");
        std::string back;
        EXPECT_EQ(fixed_name_bytes(row.name), row.name);
        EXPECT_TRUE(fixed_name_text(row.windows_1252, back));
        EXPECT_EQ(back, row.windows_1252);
    }
    set_fixed_name_code_page(CODE_PAGE_SYSTEM);
}

// What an older copy sends is read in the code page; only ANSI names that
// happen to be valid UTF-8 with a high byte (odd pairs like "Ã©") are not.
TEST(NameEncoding, ReceivedBytes) {
    struct Row { const char* label; std::int32_t code_page; std::string bytes, name; };
    const Row rows[] = {
        {"ASCII", 1252, "plain.txt", "plain.txt"},
        {"1252 e acute", 1252, "caf\xE9.txt", "caf\xC3\xA9.txt"},
        {"1252 en dash and euro", 1252, "\x96\x80", "\xE2\x80\x93\xE2\x82\xAC"},
        {"1252 undefined byte is its C1 control", 1252, "a\x81", "a\xC2\x81"},
        {"1251 Cyrillic", 1251, "\xC6\xF3\xEA", "\xD0\x96\xD1\x83\xD0\xBA"},
        {"UTF-8 from a newer copy", 1251, "caf\xC3\xA9", "caf\xC3\xA9"},
        {"ANSI pair that is UTF-8", 1252, "\xC3\xA9", "\xC3\xA9"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        set_fixed_name_code_page(row.code_page);
        std::string name;
        EXPECT_TRUE(fixed_name_text(row.bytes, name));
        EXPECT_EQ(name, row.name);
    }
    set_fixed_name_code_page(CODE_PAGE_SYSTEM);
}

TEST(TextUtils, LowerCaseFoldsOnlyAsciiCapitals) {
    struct Row { const char* label; std::string in, out; };
    const Row rows[] = {
        {"path", "C:\\Program Files\\X", "c:\\program files\\x"},
        {"empty", "", ""},
        {"edges", "@AZ[`az{", "@az[`az{"},
        {"high bytes", "\xC4\xD6Z", "\xC4\xD6z"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        Text t(row.in);
        lower_case(t);
        EXPECT_EQ(std::string(t.view()), row.out);
    }
}

TEST(TextUtils, DecimalText) {
    struct Row { std::int32_t value; const char* text; };
    const Row rows[] = {{0, "0"}, {7, "7"}, {60907, "60907"}, {-5, "-5"},
                        {2147483647, "2147483647"}, {-2147483647 - 1, "-2147483648"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(decimal_text(row.value), row.text);
    }
}

TEST(TextUtils, DigitsValueSkipsOtherCharactersAndWraps) {
    struct Row { const char* text; std::uint32_t value; };
    const Row rows[] = {{"60907", 60907},      {"60,907", 60907},     {"a6b0c9d0e7", 60907},
                        {" 60907 ", 60907},    {"abc", 0},            {"", 0},
                        {"4294967296", 0},     {"4294967297", 1},     {"4294967295", 4294967295u},
                        {"000", 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(digits_value(Text(row.text)), row.value);
    }
}

TEST(TextUtils, ShortenedTextKeepsWholeCharacters) {
    struct Row { const char* label; std::string text; std::string shown; };
    const Row rows[] = {
        {"at the limit", std::string(150, 'a'), std::string(150, 'a')},
        {"one byte over", std::string(151, 'a'), std::string(150, 'a') + "..."},
        {"a character across the limit", std::string(149, 'a') + "\xD0\x96" "b", std::string(149, 'a') + "..."},
        {"an emoji across the limit", std::string(148, 'a') + "\xF0\x9F\x98\x80", std::string(148, 'a') + "..."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(std::string(shortened_text(row.text, 150).view()), row.shown);
    }
}
