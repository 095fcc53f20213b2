#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/popup_menu_entries.h"
#include "app/state.h"
#include "app/status_view.h"
#include "tests/text_printer.h"

namespace {

IpAddress address(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    IpAddress ip;
    ip.octets[0] = a;
    ip.octets[1] = b;
    ip.octets[2] = c;
    ip.octets[3] = d;
    return ip;
}

void add_destination(const char* name, IpAddress ip, std::int32_t port) {
    ++destination_count;
    destination_names[destination_count] = Text(name);
    destination_addresses[destination_count] = ip;
    destination_ports[destination_count] = port;
}

// "label|letters|identifier" per entry, "-" for a separator.
std::vector<std::string> menu_lines() {
    MenuEntries menu = popup_menu_entries();
    std::vector<std::string> lines;
    for (std::int32_t i = 0; i < menu.count; ++i) {
        const MenuEntry& e = menu.entries[i];
        if (e.label.empty()) {
            lines.push_back("-");
        } else {
            lines.push_back(std::string(e.label.view()) + "|" + std::string(e.letters.view()) + "|" +
                            std::to_string(e.identifier));
        }
    }
    return lines;
}

class AppView : public ::testing::Test {
protected:
    void SetUp() override { reset_program_state(); }
    void TearDown() override { reset_program_state(); }
};

}  // namespace

TEST_F(AppView, BarLengthsRoundHalvesToEven) {
    struct Row { const char* label; std::uint32_t total, left; std::int32_t width, length; };
    const Row rows[] = {
        {"nothing running", 0, 0, 251, 0},
        {"nothing moved yet", 1000, 1000, 251, 248},
        {"more left than total", 10, 20, 251, 248},
        {"half way", 1000, 500, 251, 124},
        {"1 of 200 left: 0.5 goes to 0", 200, 1, 251, 0},
        {"3 of 200 left: 1.5 goes to 2", 200, 3, 251, 5},
        {"5 of 200 left: 2.5 goes to 2", 200, 5, 251, 5},
        {"995 of 1000: 99.5 goes to 100", 1000, 995, 251, 248},
        {"985 of 1000: 98.5 goes to 98", 1000, 985, 251, 243},
        {"largest counters", 0xFFFFFFFFu, 0x7FFFFFFFu, 251, 124},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        send_bytes_total = row.total;
        send_bytes_left = row.left;
        recv_bytes_total = row.total;
        recv_bytes_left = row.left;
        StatusView view = status_view(row.width);
        EXPECT_EQ(view.send_bar_length, row.length);
        EXPECT_EQ(view.receive_bar_length, row.length);
    }
    // A bar whose share rounds to an odd half: 2 percent of 248 is 4.96.
    EXPECT_EQ(bar_length(251, 2), 5);
    EXPECT_EQ(bar_length(251, 0), 0);
}

TEST_F(AppView, StatusLineNamesTheDestinationOrSaysReceiveOnly) {
    EXPECT_EQ(status_view(251).status_line, "Zeptrix: receive only");
    current_destination = {Text("office pc"), address(10, 0, 0, 5), 7000};
    EXPECT_EQ(status_view(251).status_line, "send file to \"office pc\"");
}

TEST_F(AppView, MenuEntriesFollowTheState) {
    {
        SCOPED_TRACE("no destination, nothing moving");
        EXPECT_EQ(menu_lines(), (std::vector<std::string>{"about||97", "-", "exit||100"}));
    }
    {
        SCOPED_TRACE("one destination lists none");
        add_destination("office", address(10, 0, 0, 5), listen_port);
        current_destination = {destination_names[1], destination_addresses[1], destination_ports[1]};
        EXPECT_EQ(menu_lines(), (std::vector<std::string>{"about||97", "-", "exit||100"}));
    }
    {
        SCOPED_TRACE("three destinations, the current one checked, ports only when different");
        add_destination("backup", address(10, 0, 0, 6), 7000);
        add_destination("office", address(10, 0, 0, 5), listen_port);  // same as the first
        send_bytes_total = 5;
        recv_bytes_total = 9;
        EXPECT_EQ(menu_lines(), (std::vector<std::string>{
                                    "office (10.0.0.5)|c|101", "backup (10.0.0.6:7000)||102",
                                    "office (10.0.0.5)|c|103", "-", "abort send||50", "-",
                                    "abort receive||51", "-", "about||97", "-", "exit||100"}));
    }
    {
        SCOPED_TRACE("names compare with their letter case");
        current_destination.name = Text("Office");
        EXPECT_EQ(menu_lines()[0], "office (10.0.0.5)||101");
    }
}

// Every destination the settings can hold, with a send and a receive under
// way: the menu still ends in "exit".
TEST_F(AppView, LargestMenuEndsWithExit) {
    for (std::int32_t i = 1; i <= DESTINATION_CAPACITY; ++i) {
        std::string name = "d";
        name.append(std::to_string(i));
        add_destination(name.c_str(), address(10, 0, 1, static_cast<std::uint8_t>(i)), listen_port);
    }
    send_bytes_total = 1;
    recv_bytes_total = 1;
    std::vector<std::string> lines = menu_lines();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(DESTINATION_CAPACITY + 8));
    EXPECT_EQ(lines[DESTINATION_CAPACITY - 1], "d50 (10.0.1.50)||150");
    EXPECT_EQ(std::vector<std::string>(lines.end() - 8, lines.end()),
              (std::vector<std::string>{"-", "abort send||50", "-", "abort receive||51", "-", "about||97", "-",
                                        "exit||100"}));
}

TEST_F(AppView, CommandsChangeOnlyWhatTheyName) {
    add_destination("office", address(10, 0, 0, 5), 60907);
    add_destination("backup", address(10, 0, 0, 6), 7000);
    EXPECT_FALSE(choose_destination(0));
    EXPECT_FALSE(choose_destination(3));
    EXPECT_TRUE(choose_destination(2));
    EXPECT_EQ(current_destination.name, "backup");
    EXPECT_EQ(address_to_text(current_destination.address), "10.0.0.6");
    EXPECT_EQ(current_destination.port, 7000);

    request_abort_send();
    request_abort_receive();
    EXPECT_FALSE(abort_send.load()) << "nothing is being sent";
    EXPECT_FALSE(abort_receive.load()) << "nothing is being received";
    send_bytes_total = 1;
    recv_bytes_total = 1;
    request_abort_send();
    request_abort_receive();
    EXPECT_TRUE(abort_send.load());
    EXPECT_TRUE(abort_receive.load());
}
