// The settings file, read from real files.
#include <functional>

#include "app/settings.h"
#include "tests/engine_fixture.h"

namespace {

std::string sep() { return std::string(1, PATH_SEPARATOR); }

std::string dotted(const IpAddress& a) { return std::string(address_to_text(a).view()); }

class Settings : public ::testing::Test {
protected:
    void SetUp() override {
        ensure_sockets();
        dir = fresh_dir("settings");
        reset_program_state();
    }
    void TearDown() override { fs::remove_all(dir); }
    void load(const std::string& content) {
        reset_program_state();
        write_bytes(dir / "Zeptrix.cfg", content);
        load_settings_from(Text((dir / "Zeptrix.cfg").string()));
    }
    fs::path dir;
};

TEST_F(Settings, EdgeCaseLines) {
    struct Row { const char* label; std::string content; std::function<void()> check; };
    const Row rows[] = {
        {"Port 5000 ; my port", "Port 5000 ; my port\n", [] { EXPECT_EQ(listen_port, 5000); }},
        {"port, a tab, 5000", "port\t5000\n", [] { EXPECT_EQ(listen_port, DEFAULT_PORT); }},
        {"port abc", "port 5000\nport abc\n", [] { EXPECT_EQ(listen_port, DEFAULT_PORT); }},
        {"port 0", "port 5000\nport 000\n", [] { EXPECT_EQ(listen_port, DEFAULT_PORT); }},
        {"port 60,907 takes the digits", "port 6,001\n", [] { EXPECT_EQ(listen_port, 6001); }},
        {"dir d:\\In", "dir d:\\In\n", [] { EXPECT_EQ(destination_dir, std::string("d:\\in") + sep()); }},
        {"dir ending with the separator", std::string("dir in") + sep() + "\n",
         [] { EXPECT_EQ(destination_dir, std::string("in") + sep()); }},
        {"secret: the rest of the line, lower-cased, trailing blanks dropped",
         "secret   Two  Words And More!   \n", [] { EXPECT_EQ(shared_secret, "two  words and more!"); }},
        {"secret: the last line counts", "secret first one here\nsecret  second one here\n",
         [] { EXPECT_EQ(shared_secret, "second one here"); }},
        {"secret: a semicolon belongs to it", "  SECRET my;long secret ; said aloud \n",
         [] { EXPECT_EQ(shared_secret, "my;long secret ; said aloud"); }},
        {"secret: a longer keyword is another", "secrets not this one\nsecret\tnor this\n",
         [] { EXPECT_EQ(shared_secret, ""); }},
        {"secret without a value", "secret long enough secret\nsecret   \n",
         [] { EXPECT_EQ(shared_secret, "long enough secret"); }},
        {"accept 10.0.*.*", "accept 10.0.*.*\n",
         [] {
             ASSERT_EQ(accept_address_count, 1);
             EXPECT_EQ(dotted(accept_addresses[1]), "10.0.255.255");
         }},
        {"accept 10.0.0.300", "accept 10.0.0.300\n", [] { EXPECT_EQ(accept_not_understood, "10.0.0.300"); }},
        {"accept with three octets", "accept 10.0.*\n", [] { EXPECT_EQ(accept_not_understood, "10.0.*"); }},
        {"accept of a network", "accept 10.0.0.0/8\n", [] { EXPECT_EQ(accept_not_understood, "10.0.0.0/8"); }},
        {"accept with trailing text", "accept 10.0.0.1x\n", [] { EXPECT_EQ(accept_not_understood, "10.0.0.1x"); }},
        {"accept of a host name", "accept localhost\n", [] { EXPECT_EQ(accept_not_understood, "localhost"); }},
        {"accept of a host name without its *", "accept PC.example.org\n",
         [] { EXPECT_EQ(accept_not_understood, "pc.example.org"); }},
        {"accept * alone", "accept *\n", [] { EXPECT_EQ(accept_not_understood, "*"); }},
        {"the first bad accept line is told; every line counts",
         "accept 10.0.*\naccept 127.0.0.1\naccept x\n",
         [] {
             EXPECT_EQ(accept_not_understood, "10.0.*");
             EXPECT_EQ(accept_address_count, 1);
             EXPECT_EQ(accept_line_count, 3);
         }},
        {"accept *.Example.COM", "accept *.Example.COM\n",
         [] {
             ASSERT_EQ(accept_host_count, 1);
             EXPECT_EQ(accept_host_suffixes[1], ".example.com");
         }},
        {"sendto with port and a name of two words", "sendto 10.0.0.5:7000   Office PC\n",
         [] {
             ASSERT_EQ(destination_count, 1);
             EXPECT_EQ(destination_names[1], "office pc");
             EXPECT_EQ(dotted(destination_addresses[1]), "10.0.0.5");
             EXPECT_EQ(destination_ports[1], 7000);
             EXPECT_EQ(current_destination.name, "office pc");
             EXPECT_EQ(dotted(current_destination.address), "10.0.0.5");
             EXPECT_EQ(current_destination.port, 7000);
         }},
        {"sendto address alone", "port 5100\nsendto 10.0.0.5\n",
         [] {
             ASSERT_EQ(destination_count, 1);
             EXPECT_EQ(destination_names[1], "10.0.0.5");
             EXPECT_EQ(destination_ports[1], 5100);
         }},
        {"sendto with port 0", "sendto 10.0.0.5:0 backup\n",
         [] {
             ASSERT_EQ(destination_count, 1);
             EXPECT_EQ(destination_names[1], "backup");
             EXPECT_EQ(destination_ports[1], DEFAULT_PORT);
         }},
        {"sendto with port, no name", "sendto 10.0.0.5:7000\n",
         [] {
             ASSERT_EQ(destination_count, 1);
             EXPECT_EQ(destination_names[1], "10.0.0.5:7000");
             EXPECT_EQ(destination_ports[1], 7000);
         }},
        {"sendto of a host name", "sendto LocalHost home\n",
         [] {
             ASSERT_EQ(destination_count, 1);
             EXPECT_EQ(dotted(destination_addresses[1]), "127.0.0.1");
             EXPECT_EQ(destination_names[1], "home");
         }},
        {"first sendto unresolvable, second current", "sendto no-such-host.invalid a\nsendto 10.0.0.9 b\n",
         [] {
             ASSERT_EQ(destination_count, 1);
             EXPECT_EQ(current_destination.name, "b");
             EXPECT_EQ(dotted(current_destination.address), "10.0.0.9");
         }},
        {"port after sendto keeps the earlier port", "sendto 10.0.0.5 x\nport 6000\nsendto 10.0.0.6 y\n",
         [] {
             EXPECT_EQ(destination_ports[1], DEFAULT_PORT);
             EXPECT_EQ(destination_ports[2], 6000);
             EXPECT_EQ(listen_port, 6000);
         }},
        {"line endings CR LF, lone CR, LF, none", "port 1\r\ndir a\rsendto 1.2.3.4\naccept 5.6.7.8",
         [] {
             EXPECT_EQ(listen_port, 1);
             EXPECT_EQ(destination_dir, std::string("a") + sep());
             EXPECT_EQ(destination_count, 1);
             EXPECT_EQ(accept_address_count, 1);
         }},
        {"Ctrl-Z at a line start ends the file", "port 1\n\x1aport 2\nport 3\n",
         [] { EXPECT_EQ(listen_port, 1); }},
        {"Ctrl-Z inside a line is a character", "port 4\x1a\nport 5\x1a\n", [] { EXPECT_EQ(listen_port, 5); }},
        {"leading and inner blanks", "   sendto    10.0.0.7    near   \n",
         [] {
             ASSERT_EQ(destination_count, 1);
             EXPECT_EQ(destination_names[1], "near");
         }},
        {"tab is not a blank", "accept\t1.2.3.4\nsendto\t1.2.3.4\n",
         [] {
             EXPECT_EQ(accept_address_count, 0);
             EXPECT_EQ(destination_count, 0);
         }},
        {"unknown keyword, empty value, comments", "colour red\nport \n; port 9\n\n   ;\nport 7\n",
         [] { EXPECT_EQ(listen_port, 7); }},
        {"line over 255 characters", std::string("port 7") + std::string(249, 'x') + "port 8\nport 9x\n",
         [] { EXPECT_EQ(listen_port, 9); }},
        {"cut at 255 before the comment", std::string("port 7") + std::string(249, 'x') + "8;\n",
         [] { EXPECT_EQ(listen_port, 7); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        load(row.content);
        row.check();
    }
}

TEST_F(Settings, MissingFileKeepsEveryStartingValue) {
    reset_program_state();
    load_settings_from(Text((dir / "absent.cfg").string()));
    EXPECT_EQ(listen_port, DEFAULT_PORT);
    EXPECT_EQ(destination_dir, default_destination_dir());
    EXPECT_EQ(current_destination.name, "destination");
    EXPECT_EQ(dotted(current_destination.address), "0.0.0.0");
    EXPECT_EQ(current_destination.port, 0);
    EXPECT_EQ(destination_count, 0);
    EXPECT_EQ(accept_address_count, 0);
    EXPECT_EQ(accept_host_count, 0);
}

TEST_F(Settings, TablesStopAtTheirCapacityIndependently) {
    std::string content;
    for (int i = 0; i < 5; ++i) content += "accept 10.0.0.300\nsendto not_an_address.invalid\n";
    for (int i = 0; i < 230; ++i) content += std::string("accept 10.0.") + std::to_string(i / 200) + std::string(".") + std::to_string(i % 200) + "\n";
    for (int i = 0; i < 220; ++i) content += std::string("accept *host") + std::to_string(i) + "\n";
    for (int i = 0; i < 60; ++i) content += std::string("sendto 10.1.0.") + std::to_string(i) + std::string(" d") + std::to_string(i) + "\n";
    load(content);
    EXPECT_EQ(accept_address_count, ACCEPT_CAPACITY);
    EXPECT_EQ(dotted(accept_addresses[200]), "10.0.0.199");
    EXPECT_EQ(accept_host_count, ACCEPT_CAPACITY);
    EXPECT_EQ(accept_host_suffixes[200], "host199");
    EXPECT_EQ(destination_count, DESTINATION_CAPACITY);
    EXPECT_EQ(destination_names[50], "d49");
    EXPECT_EQ(current_destination.name, "d0");
}

TEST_F(Settings, LongDirLinesAreCutBeforeTheSeparatorIsAdded) {
    load("dir " + std::string(251, 'q') + "\n");
    EXPECT_EQ(destination_dir, std::string(251, 'q') + sep());
    load("dir " + std::string(300, 'q') + "\n");
    EXPECT_EQ(destination_dir, std::string(251, 'q') + sep());
}

// UTF-8 (with or without a byte-order mark) is taken as it is; any other
// file is read in the ANSI code page (Windows-1252 here) as an older copy's.
TEST_F(Settings, TextIsReadAsUtf8OrInTheCodePage) {
    const std::string zhe = "\xD0\x96";
    std::string zhes;
    for (int i = 0; i < 150; ++i) zhes += zhe;
    std::string kept;
    for (int i = 0; i < 119; ++i) kept += zhe;
    struct Row { const char* label; std::string content, name; };
    const Row rows[] = {
        {"UTF-8 with a byte-order mark", "\xEF\xBB\xBFsendto 10.0.0.5 Caf\xC3\xA9\n", "caf\xC3\xA9"},
        {"UTF-8, capitals beyond Z kept", "sendto 10.0.0.5 " + zhe + "uk\r\n", zhe + "uk"},
        {"ANSI", "sendto 10.0.0.5 Caf\xE9 \x96 x\n", "caf\xC3\xA9 \xE2\x80\x93 x"},
        {"long line cut before a whole character", "sendto 10.0.0.5 " + zhes + "\n", kept},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        load(row.content);
        ASSERT_EQ(destination_count, 1);
        EXPECT_EQ(std::string(destination_names[1].view()), row.name);
    }
}

TEST_F(Settings, ReadsTheFileBesideTheExecutable) {
    Text where = program_directory();
    ASSERT_FALSE(where.empty());
    fs::path file = fs::path(std::string(where.view())) / "Zeptrix.cfg";
    ASSERT_FALSE(fs::exists(file)) << file.string();
    write_bytes(file, "port 4321\n");
    reset_program_state();
    load_settings();
    fs::remove(file);
    EXPECT_EQ(listen_port, 4321);
}

}  // namespace
