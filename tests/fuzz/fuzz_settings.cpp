// A whole settings file from the fuzzer's bytes, read from disk into a
// fresh program state; afterwards the tables hold what their limits allow.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/settings.h"
#include "app/state.h"

namespace {

// Memory-backed when the system has it: a disk-backed /tmp costs
// milliseconds per file and would starve the fuzzer.
std::string scratch_dir() {
    struct stat info {};
    return stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) ? "/dev/shm" : "/tmp";
}

// One file per process, written and removed again in every run.
const std::string& settings_path() {
    static const std::string path =
        scratch_dir() + "/zpx-fuzz-settings-" + std::to_string(getpid()) + ".cfg";
    return path;
}

bool has_capitals(const Text& text) {
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] >= 'A' && text[i] <= 'Z') return true;
    return false;
}

void check_state() {
    if (accept_address_count < 0 || accept_address_count > ACCEPT_CAPACITY) std::abort();
    if (accept_host_count < 0 || accept_host_count > ACCEPT_CAPACITY) std::abort();
    if (destination_count < 0 || destination_count > DESTINATION_CAPACITY) std::abort();
    if (listen_port == 0) std::abort();
    if (destination_dir.empty() || destination_dir.size() > Text::CAPACITY) std::abort();
    // Every value went through lower-casing.
    if (has_capitals(destination_dir)) std::abort();
    for (std::int32_t i = 1; i <= accept_host_count; ++i)
        if (has_capitals(accept_host_suffixes[i])) std::abort();
    for (std::int32_t i = 1; i <= destination_count; ++i) {
        if (destination_names[i].empty() || has_capitals(destination_names[i])) std::abort();
        if (destination_ports[i] == 0) std::abort();
    }
    if (destination_count > 0 &&
        (!(current_destination.name == destination_names[1]) ||
         !same_octets(current_destination.address, destination_addresses[1]) ||
         current_destination.port != destination_ports[1]))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = settings_path();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) std::abort();
    if (size && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);
    reset_program_state();
    load_settings_from(Text(path));
    std::remove(path.c_str());
    check_state();
    return 0;
}
