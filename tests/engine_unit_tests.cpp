// The engine's pure parts: name check, progress percentage, transfer key,
// and the queue's refusals that need no thread.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/state.h"
#include "toolkit/headless.h"
#include "transfer/engine.h"
#include "transfer/name_check.h"
#include "transfer/transfer_key.h"

namespace {

TEST(NameCheck, Refused) {
    const std::vector<std::string> names = {
        "", ".", "..", "a/b", "a\\b", "c:", "c:\\x", "x:y", std::string("a\x01"), std::string("\x1f"),
        "tab\tname", "a*", "a?", "a\"", "a<", "a>", "a|", "end.", "end ", "end. ", "CON", "con",
        "cOn", "PRN", "AUX", "NUL", "con.txt", "NUL.tar.gz", "aux.", "con .txt", "CON  ", "nul..",
        "COM0", "COM1", "com9", "LPT0", "lpt5", "LPT9", "com1.log", "COM\xB9", "com\xB2", "LPT\xB3",
        "lpt\xB9.txt", "Com3 .a", "prn.x.y",
    };
    for (const auto& name : names) {
        SCOPED_TRACE("\"" + name + "\"");
        EXPECT_FALSE(is_safe_file_name(name));
    }
}

TEST(NameCheck, Accepted) {
    const std::vector<std::string> names = {
        "a", "file.txt", ".hidden", "..x", "x..y", "name with spaces.txt", "con2", "console",
        "COM10", "LPT", "com", "lpt1x", "auxiliary.txt", "nul_", "CONx.txt", "com\xB4",
        "\xE9t\xE9.txt", std::string(255, 'n'), "a.b.c", "~tilde", "#hash", "%percent",
    };
    for (const auto& name : names) {
        SCOPED_TRACE("\"" + name + "\"");
        EXPECT_TRUE(is_safe_file_name(name));
    }
}

// Names with folders: every component under the rules of a plain name,
// at most 32 of them, single backslashes between, no slash anywhere.
TEST(NameCheck, NestedNames) {
    std::string deepest = "d";
    for (int i = 1; i < 32; ++i) deepest.append("\\d");
    const struct {
        std::string name;
        bool safe;
    } rows[] = {
        {"photos\\2026\\a.jpg", true}, {"a\\b", true}, {".hidden\\..x\\x..y", true}, {deepest, true},
        {deepest + "\\d", false}, {"a\\\\b", false}, {"\\a", false}, {"a\\", false}, {"\\", false},
        {"a\\.\\b", false}, {"a\\..\\b", false}, {"..\\a", false}, {"a\\..", false},
        {"a/b\\c", false}, {"a\\b/c", false}, {"c:\\a", false}, {"a\\c:b", false},
        {"a\\con\\b", false}, {"a\\nul.txt", false}, {"lpt1\\b", false}, {"a.\\b", false},
        {"a \\b", false}, {"a\\b.", false}, {std::string("a\\\x01\\b"), false}, {"a\\b*", false},
        {"a\\b?\\c", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE("\"" + row.name + "\"");
        EXPECT_EQ(is_storable_name(row.name), row.safe);
    }
}

// The secure format's names: UTF-8 under every rule of a stored name, and
// nothing that hides what the name says. These rows stand in the fuzz
// dictionary too.
TEST(NameCheck, SecureNames) {
    struct Row { const char* label; std::string name; bool stored; };
    const Row rows[] = {
        {"Latin-1", "caf\xC3\xA9.txt", true},
        {"Cyrillic", "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.txt", true},
        {"CJK", "\xE6\x97\xA5\xE6\x9C\xAC.txt", true},
        {"emoji", "\xF0\x9F\x98\x80.txt", true},
        {"Hebrew", "\xD7\x93\xD7\x95\xD7\x97.txt", true},
        {"combining mark", "cafe\xCC\x81.txt", true},
        {"no-break space after the C1 range", "a\xC2\xA0" "b", true},
        {"U+2065 between the bidi ranges", "a\xE2\x81\xA5" "b", true},
        {"U+206A after them", "a\xE2\x81\xAA" "b", true},
        {"nested", "fotos\\caf\xC3\xA9\\a.jpg", true},
        {"255 bytes", std::string(253, 'n') + "\xC3\xA9", true},
        {"256 bytes", std::string(254, 'n') + "\xC3\xA9", false},
        {"ANSI byte", "caf\xE9.txt", false},
        {"overlong slash", "a\xC0\xAF" "b", false},
        {"overlong dot", "\xE0\x80\xAE\xE0\x80\xAE", false},
        {"surrogate", "a\xED\xA0\x80", false},
        {"above U+10FFFF", "a\xF4\x90\x80\x80", false},
        {"cut sequence", "a\xE6\x97", false},
        {"lone continuation", "\x80.txt", false},
        {"C1 U+0080", "a\xC2\x80", false},
        {"C1 U+0085 next line", "a\xC2\x85" "b", false},
        {"C1 U+009F", "a\xC2\x9F", false},
        {"U+061C Arabic letter mark", "a\xD8\x9C" "b", false},
        {"U+200E left-to-right mark", "a\xE2\x80\x8E" "b", false},
        {"U+200F right-to-left mark", "a\xE2\x80\x8F" "b", false},
        {"U+202A", "a\xE2\x80\xAA" "b", false},
        {"U+202E makes gpj.exe look like exe.jpg", "\xE2\x80\xAEgpj.exe", false},
        {"U+2066", "a\xE2\x81\xA6" "b", false},
        {"U+2069", "a\xE2\x81\xA9" "b", false},
        {"bidi control in a folder", "a\xE2\x80\xAE\\b", false},
        {"device in capitals", "CON.txt", false},
        {"device in mixed case", "cOm1", false},
        {"device with a superscript digit", "LPT\xC2\xB9.txt", false},
        {"trailing dot", "caf\xC3\xA9.", false},
        {"trailing space", "caf\xC3\xA9 ", false},
        {"colon", "caf\xC3\xA9:x", false},
        {"zero byte", std::string("a\0b", 3), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(is_secure_name(row.name), row.stored);
    }
}

TEST(Progress, Percentages) {
    struct Row { const char* label; std::uint64_t total, left; std::int32_t percent; };
    const Row rows[] = {
        {"nothing announced", 0, 0, 0},
        {"nothing moved", 1000, 1000, 100},
        {"more left than announced", 1000, 1001, 100},
        {"99.5 rounds to even 100", 1000, 995, 100},
        {"98.5 rounds to even 98", 1000, 985, 98},
        {"97.5 rounds to even 98", 1000, 975, 98},
        {"half", 1000, 500, 50},
        {"0.5 rounds to 0", 1000, 5, 0},
        {"1.5 rounds to 2", 1000, 15, 2},
        {"done", 1000, 0, 0},
        {"large counts", 4000000000u, 1000000000u, 25},
        {"beyond 32 bits", 0x100003000ull, 0x80001800ull, 50},
        {"one byte moved of 6 GiB", 0x180000000ull, 0x17FFFFFFFull, 100},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(progress_percent(row.total, row.left), row.percent);
    }
}

TEST(Progress, RepaintsOnlyOnAChangeToAnEvenValue) {
    std::atomic<std::uint64_t> total{1000}, left{1000};
    std::int32_t last = 0;
    struct Row { const char* label; std::uint32_t left; bool repaint; std::int32_t last; };
    const Row rows[] = {
        {"0 to 100", 1000, true, 100},   {"same 100", 1000, false, 100},
        {"99.5 is 100", 995, false, 100}, {"98.5 is 98", 985, true, 98},
        {"97 is odd", 970, false, 97},    {"96", 960, true, 96},
        {"back to 96 from 96", 962, false, 96},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        left = row.left;
        std::int64_t before = repaint_count();
        update_progress(total, left, last);
        EXPECT_EQ(repaint_count() - before, row.repaint ? 1 : 0);
        EXPECT_EQ(last, row.last);
    }
}

TEST(TransferKey, UniformOver32To255) {
    seed_transfer_keys(12345);
    constexpr int DRAWS = 224 * 2000;
    std::vector<int> counts(256, 0);
    for (int i = 0; i < DRAWS; ++i) ++counts[draw_transfer_key()];
    for (int k = 0; k < 32; ++k) EXPECT_EQ(counts[k], 0) << "key " << k;
    double chi = 0;
    for (int k = 32; k < 256; ++k) {
        double d = counts[k] - 2000.0;
        chi += d * d / 2000.0;
    }
    // 223 degrees of freedom: the 99.99th percentile lies near 310.
    EXPECT_LT(chi, 310.0);
}

TEST(TransferKey, ThreadsShareOneStreamWithoutRepeats) {
    seed_transfer_keys(99);
    std::vector<std::vector<std::uint32_t>> seen(4);
    std::vector<std::thread> threads;
    for (auto& keys : seen)
        threads.emplace_back([&keys] {
            for (int i = 0; i < 20000; ++i) keys.push_back(draw_transfer_key());
        });
    for (auto& t : threads) t.join();
    for (const auto& keys : seen) {
        std::set<std::uint32_t> distinct(keys.begin(), keys.end());
        EXPECT_EQ(distinct.size(), 224u);
        EXPECT_GE(*distinct.begin(), 32u);
        EXPECT_LE(*distinct.rbegin(), 255u);
    }
    // Two threads did not walk the same sequence.
    EXPECT_NE(seen[0], seen[1]);
}

std::vector<std::string> queue_messages;
void record(const Text& text, const Text&, const Text& letters) {
    queue_messages.push_back(std::string(text.view()) + "/" + std::string(letters.view()));
}

TEST(SendQueue, FullQueueReleasesTheDrop) {
    reset_program_state();
    set_message_observer(record);
    for (int i = 1; i <= SLOT_CAPACITY; ++i) send_slots[i] = 0x1000u + static_cast<DropHandle>(i);
    int drops_before = open_drop_count();
    enqueue_drop(make_drop({"a.txt"}));
    EXPECT_EQ(open_drop_count(), drops_before);
    EXPECT_EQ(queue_messages, std::vector<std::string>{"send queue full!/io"});
    for (int i = 1; i <= SLOT_CAPACITY; ++i) EXPECT_EQ(send_slots[i].load(), 0x1000u + static_cast<DropHandle>(i));
    set_message_observer(nullptr);
    clear_transfer_state();
}

}  // namespace
