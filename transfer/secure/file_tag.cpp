#include "transfer/secure/file_tag.h"

#include <gcrypt.h>

#include <cstdlib>
#include <cstring>
#include <iterator>

#include "platform/platform.h"
#include "transfer/secure/noise.h"
#include "transfer/wire.h"

namespace {

constexpr std::size_t U64_SIZE = sizeof(std::uint64_t);

// The first 16 bytes of BLAKE2b-256 of the inputs one after the other.
bool hash_128(std::initializer_list<HashInput> inputs, unsigned char* out) {
    unsigned char digest[32];
    if (!blake2b(sizeof digest, false, inputs, digest)) return false;
    std::memcpy(out, digest, FILE_TAG_SIZE);
    return true;
}

}  // namespace

bool make_file_tag(std::FILE* file, unsigned char (&tag)[FILE_TAG_SIZE]) {
    FileIdentity identity;
    if (!open_file_identity(file, identity)) return false;
    const std::uint64_t values[] = {identity.size, identity.modified, identity.changed, identity.volume,
                                    identity.index};
    unsigned char fields[sizeof values];
    for (std::size_t i = 0; i < std::size(values); ++i) put_u64(fields + U64_SIZE * i, values[i]);
    return hash_128({{fields, sizeof fields}}, tag);
}

bool make_part_name(std::string_view name, std::uint64_t size, const unsigned char* tag,
                    char (&part_name)[PART_NAME_SIZE + 1]) {
    unsigned char size_field[U64_SIZE];
    put_u64(size_field, size);
    // The fields of fixed size come first, so no two inputs run together.
    HashInput sized{size_field, sizeof size_field}, named{name.data(), name.size()};
    unsigned char of_file[FILE_TAG_SIZE], of_version[FILE_TAG_SIZE];
    if (!hash_128({sized, named}, of_file) || !hash_128({sized, {tag, FILE_TAG_SIZE}, named}, of_version))
        return false;
    static const char DIGITS[] = "0123456789abcdef";
    for (std::size_t i = 0; i < PART_NAME_SIZE / 2; ++i) {
        unsigned char byte = i < PART_NAME_FILE_DIGITS / 2 ? of_file[i] : of_version[i];
        part_name[2 * i] = DIGITS[byte >> 4];
        part_name[2 * i + 1] = DIGITS[byte & 15];
    }
    part_name[PART_NAME_SIZE] = '\0';
    return true;
}

bool hash_file_head(std::FILE* file, std::uint64_t length, unsigned char (&proof)[PART_PROOF_SIZE]) {
    gcry_md_hd_t hash = nullptr;
    auto* buffer = static_cast<unsigned char*>(std::malloc(BLOCK_SIZE));
    bool read = buffer && gcry_md_open(&hash, GCRY_MD_BLAKE2B_256, 0) == 0 && seek_file(file, 0);
    for (std::uint64_t left = length; read && left != 0;) {
        std::size_t want = up_to(left, BLOCK_SIZE);
        std::size_t got = std::fread(buffer, 1, want, file);
        gcry_md_write(hash, buffer, got);
        read = got == want;
        left -= got;
    }
    // Reading and writing switch only after a change of position.
    read = read && seek_file(file, length);
    if (read) std::memcpy(proof, gcry_md_read(hash, GCRY_MD_BLAKE2B_256), PART_PROOF_SIZE);
    gcry_md_close(hash);
    std::free(buffer);
    return read;
}
