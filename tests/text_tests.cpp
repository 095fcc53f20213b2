#include <gtest/gtest.h>

#include <string>

#include "text/text.h"
#include "text/text_utils.h"
#include "tests/text_printer.h"

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
