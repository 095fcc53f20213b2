// zeptrix-cli: a Zeptrix peer for the console. It sends and receives with
// the same engine, wire format and messages as the desktop program.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "app/secret_setup.h"
#include "app/settings.h"
#include "app/state.h"
#include "cli/arguments.h"
#include "cli/interrupt.h"
#include "cli/options.h"
#include "cli/progress_line.h"
#include "net/socket.h"
#include "text/text_utils.h"
#include "toolkit/headless.h"
#include "transfer/engine.h"
#include "transfer/name_encoding.h"
#include "transfer/secure/session.h"
#include "transfer/transfer_watch.h"

namespace {

constexpr int EXIT_DELIVERED = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

std::atomic<bool> any_failure{false};
std::atomic<bool> interrupted{false};
std::atomic<bool> progress_shown{false};
std::atomic<std::uint32_t> files_delivered{0};

// Where the terminal shows escapes as text, lines are cleared with blanks.
bool terminal_escapes = true;
constexpr int PROGRESS_WIDTH = 79;

void clear_progress_line() {
    if (!progress_shown.exchange(false)) return;
    if (terminal_escapes)
        std::fputs("\r\x1b[K", stderr);
    else
        std::fprintf(stderr, "\r%*s\r", PROGRESS_WIDTH, "");
}

void on_message(const Text& text, const Text& caption, const Text&) {
    any_failure = true;
    clear_progress_line();
    std::fprintf(stderr, "%s: %s\n", std::string(caption.view()).c_str(),
                 printable_message(std::string(text.view())).c_str());
}

void on_received(const Text& name, bool stored, std::uint64_t size) {
    clear_progress_line();
    std::string shown = printable_name(std::string(name.view()));
    if (stored) {
        std::printf("stored %s (%s)\n", shown.c_str(), byte_text(static_cast<double>(size)).c_str());
    } else {
        std::printf("refused %s\n", shown.c_str());
    }
    std::fflush(stdout);
}

// Why a send failed, on the line after its failure.
void on_failure(const Failure& failure) {
    clear_progress_line();
    std::fprintf(stderr, "%s\n", failure_text(failure));
}

// The sender's tries after a lost connection, one line each.
void on_retry(std::int32_t seconds, std::int32_t attempt, std::int32_t attempts) {
    clear_progress_line();
    std::fprintf(stderr, "connection lost; trying again in %d s (%d of %d)\n", seconds, attempt, attempts);
}

// Redraws the progress line of one kind five times a second while bytes move.
class ProgressTicker {
public:
    ProgressTicker(const char* kind, const std::atomic<std::uint64_t>& total,
                   const std::atomic<std::uint64_t>& left)
        : kind_(kind), total_(total), left_(left) {
        if (stderr_is_terminal()) thread_ = std::thread([this] { run(); });
    }
    ~ProgressTicker() {
        running_ = false;
        if (thread_.joinable()) thread_.join();
        clear_progress_line();
    }

private:
    void run() {
        using clock = std::chrono::steady_clock;
        clock::time_point start{};
        std::uint64_t moved = 0;
        std::uint64_t last_left = 0, last_total = 0;
        while (running_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            std::uint64_t total = total_.load(), left = left_.load();
            if (total == 0) {
                start = {};
                moved = 0;
                continue;
            }
            if (start == clock::time_point{}) {
                start = clock::now();
                last_left = left;
                last_total = total;
            }
            // Bytes moved since the last look, across files starting and ending.
            std::int64_t done_now = static_cast<std::int64_t>(total) - left;
            std::int64_t done_before = static_cast<std::int64_t>(last_total) - last_left;
            if (done_now > done_before) moved += static_cast<std::uint64_t>(done_now - done_before);
            last_left = left;
            last_total = total;
            double seconds = std::chrono::duration<double>(clock::now() - start).count();
            std::string line = progress_line(kind_, total, left, static_cast<double>(moved), seconds);
            if (terminal_escapes)
                std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
            else
                std::fprintf(stderr, "\r%-*s", PROGRESS_WIDTH, line.c_str());
            progress_shown = true;
        }
    }

    const char* kind_;
    const std::atomic<std::uint64_t>& total_;
    const std::atomic<std::uint64_t>& left_;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

// Stops what runs as the abort commands of the desktop program do: every
// transfer under way ends at once, even one waiting on a silent peer.
void abort_transfers() {
    interrupted = true;
    abort_sends();
    abort_receives();
}

// The sender on an interrupt: the batch stops with the transfer under way.
// A batch still running after a moment (held up in a file read, say)
// ends with the process.
void end_sending() {
    abort_transfers();
    for (int i = 0; i < 40 && running_tasks.load() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (running_tasks.load() == 0) return;
    clear_progress_line();
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(EXIT_FAILED);
}

// The receiver ends on an interrupt: transfers under way are aborted and
// cleaned up before the process goes.
void end_receiving() {
    bool busy = running_tasks.load() != 0;
    abort_transfers();
    for (int i = 0; i < 100 && running_tasks.load() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(busy ? EXIT_FAILED : EXIT_DELIVERED);
}

std::intptr_t program_window(std::uint32_t message, std::uintptr_t w_param, std::intptr_t l_param) {
    if (message == USER_MESSAGE && w_param == SLOT_MESSAGE_CODE)
        start_receive_for_slot(static_cast<std::int32_t>(l_param));
    return 0;
}

// The first line of the file, as the settings' "secret" line would take it.
// A line that leaves no secret (empty, or a comment) stands as a secret too
// short, so a file given never means the fixed format.
bool read_secret_file(const std::string& path) {
    std::FILE* file = open_file_for_reading(path.c_str());
    if (!file) return false;
    std::string line;
    for (int c = std::getc(file); c != EOF && c != '\n' && c != '\r'; c = std::getc(file))
        line.push_back(static_cast<char>(c));
    std::fclose(file);
    shared_secret.clear();
    apply_setting_line(Text("secret ") + Text(line));
    if (shared_secret.empty()) shared_secret = Text("-");
    return true;
}

enum class Pick { found, unknown_host, bad_port };

// HOST[:PORT] or the name of a destination from the settings file.
Pick pick_destination(const std::string& target, Destination& destination) {
    Text wanted(target);
    lower_case(wanted);
    for (std::int32_t i = 1; i <= destination_count; ++i) {
        if (destination_names[i] == wanted) {
            destination = {destination_names[i], destination_addresses[i], destination_ports[i]};
            return Pick::found;
        }
    }
    Text host(target);
    std::int32_t port = listen_port;
    std::size_t colon = target.find(':');
    if (colon != std::string::npos) {
        if (!parse_port(target.substr(colon + 1), port)) return Pick::bad_port;
        host = Text(target.substr(0, colon));
    }
    IpAddress address;
    if (!parse_address(host, address) && resolve_host(host, address).empty())
        return Pick::unknown_host;
    destination = {Text(target), address, port};
    return Pick::found;
}

int run_send(const CliOptions& options) {
    Destination destination;
    Pick pick = pick_destination(options.target, destination);
    if (pick == Pick::bad_port) {
        std::fprintf(stderr, "zeptrix-cli: bad port in %s\n\n%s", options.target.c_str(), USAGE_TEXT);
        return EXIT_USAGE;
    }
    if (pick == Pick::unknown_host) {
        std::fprintf(stderr, "zeptrix-cli: cannot resolve %s\n", options.target.c_str());
        return EXIT_FAILED;
    }
    current_destination = destination;
    set_delivery_observer([](const Text&) { files_delivered.fetch_add(1); });
    set_retry_observer(on_retry);
    set_failure_observer(on_failure);
    fill_send_slot(1, make_drop(options.files));
    {
        ProgressTicker ticker("send", send_bytes_total, send_bytes_left);
        send_batch(send_slots[1]);
    }
    bool failed = any_failure.load() || interrupted.load();
    if (!failed) {
        std::uint32_t sent = files_delivered.load();
        std::fprintf(stderr, "sent %u file%s to %s:%d\n", sent, sent == 1 ? "" : "s",
                     std::string(address_to_text(destination.address).view()).c_str(),
                     destination.port);
    }
    return failed ? EXIT_FAILED : EXIT_DELIVERED;
}

int run_receive(const CliOptions& options) {
    if (!options.port.empty()) parse_port(options.port, listen_port);
    // Unlike the settings file's "dir", the option keeps its letter case:
    // POSIX file names are case-sensitive.
    if (!options.dir.empty()) {
        destination_dir = Text(options.dir);
        if (destination_dir.back() != PATH_SEPARATOR) destination_dir += PATH_SEPARATOR;
    }
    for (const auto& pattern : options.accepts) apply_setting_line(Text("accept ") + Text(pattern));
    // An access list that can't be read would admit nobody: better to say so.
    if (!accept_not_understood.empty()) {
        std::fprintf(stderr, "zeptrix-cli: accept %s not understood\n",
                     std::string(accept_not_understood.view()).c_str());
        return EXIT_USAGE;
    }

    // Made with its parents where missing, as the desktop program makes its
    // destination.
    std::string dir(destination_dir.view());
    bool there = is_directory(dir.c_str());
    if (!there && !make_directories(destination_dir)) {
        std::fprintf(stderr, "zeptrix-cli: making directory %s failed!\n", dir.c_str());
        return EXIT_FAILED;
    }
    if (!there) std::fprintf(stderr, "zeptrix-cli: made directory %s\n", dir.c_str());
    set_window_handler(program_window);
    set_receive_observer(on_received);
    SocketHandle listening = INVALID_SOCKET_HANDLE;
    if (!start_listening(listening)) return EXIT_FAILED;
    std::fprintf(stderr, "receiving on port %d into %s (Ctrl-C stops)\n", listen_port & 0xFFFF,
                 dir.c_str());
    ProgressTicker ticker("receive", recv_bytes_total, recv_bytes_left);
    serve_connections(listening);
}

}  // namespace

int main(int argc, char** argv) {
    terminal_escapes = prepare_terminal();
    std::vector<std::string> words = utf8_arguments(argc, argv);
    std::vector<const char*> word_pointers;
    for (const std::string& word : words) word_pointers.push_back(word.c_str());
    CliOptions options;
    std::string error;
    if (!parse_options(static_cast<int>(word_pointers.size()), word_pointers.data(), options, error)) {
        std::fprintf(stderr, "zeptrix-cli: %s\n\n%s", error.c_str(), USAGE_TEXT);
        return EXIT_USAGE;
    }
    if (options.verb == CliOptions::Verb::help) {
        std::fputs(USAGE_TEXT, stdout);
        return EXIT_DELIVERED;
    }
    if (options.verb == CliOptions::Verb::version) {
        std::puts("zeptrix-cli 1.0 (wire formats zeptrixv1.0, zeptrixv2.2 with a secret)");
        return EXIT_DELIVERED;
    }

    allow_many_open_files();
    start_sockets();
    if (!network_ready) {
        std::fputs("Zeptrix: fatal error: network not available!\n", stderr);
        return EXIT_FAILED;
    }
    reset_program_state();
    destination_dir = Text(".");
    destination_dir += PATH_SEPARATOR;
    if (!options.config.empty()) {
        if (!std::filesystem::is_regular_file(options.config)) {
            std::fprintf(stderr, "zeptrix-cli: cannot read %s\n", options.config.c_str());
            return EXIT_USAGE;
        }
        load_settings_from(Text(options.config));
    }
    if (!options.secret_file.empty() && !read_secret_file(options.secret_file)) {
        std::fprintf(stderr, "zeptrix-cli: cannot read %s\n", options.secret_file.c_str());
        return EXIT_USAGE;
    }
    SecretSetup secret = prepare_secret();
    if (secret == SecretSetup::too_short) {
        std::fprintf(stderr, "%s\n", SECRET_TOO_SHORT_TEXT);
        return EXIT_USAGE;
    }
    if (secret == SecretSetup::failed) {
        std::fprintf(stderr, "Zeptrix: %s\n", SECRET_FAILED_TEXT);
        return EXIT_FAILED;
    }
    read_idle_limit_override();
    set_message_observer(on_message);
    set_fixed_name_code_page(options.code_page);

    if (options.verb == CliOptions::Verb::send) {
        on_interrupt(end_sending);
        return run_send(options);
    }
    on_interrupt(end_receiving);
    return run_receive(options);
}
