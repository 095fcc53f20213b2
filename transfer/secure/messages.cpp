#include "transfer/secure/messages.h"

#include <cstring>

#include "transfer/wire.h"

// The sizes the format fixes, as the format states them.
static_assert(FILE_MESSAGE_HEAD == 10 && ACCEPTED_SIZE == 5 && REFUSED_SIZE == 6 && OFFSET_SIZE == 13 &&
              PROVEN_OFFSET_SIZE == 45);
static_assert(DATA_PER_MESSAGE + 1 + NOISE_TAG_SIZE == SECURE_MAX_MESSAGE);
static_assert(FILE_MESSAGE_HEAD + FILE_TAG_SIZE + TIME_FIELD + MAX_NAME_BYTES <= SECURE_MAX_PLAINTEXT);

namespace {

std::size_t optional_fields(unsigned char flags) {
    return ((flags & FLAG_RESUMABLE) != 0 ? FILE_TAG_SIZE : 0) + ((flags & FLAG_TIME) != 0 ? TIME_FIELD : 0);
}

}  // namespace

std::size_t file_message_size(const FileMessage& m) {
    return FILE_MESSAGE_HEAD + optional_fields(m.flags) + m.name.size();
}

void encode_file(const FileMessage& m, unsigned char* out) {
    out[0] = MESSAGE_FILE;
    put_u64(out + 1, m.size);
    out[1 + SIZE_FIELD] = m.flags;
    unsigned char* at = out + FILE_MESSAGE_HEAD;
    if (m.resumable()) {
        std::memcpy(at, m.tag, FILE_TAG_SIZE);
        at += FILE_TAG_SIZE;
    }
    if (m.timed()) {
        put_u64(at, static_cast<std::uint64_t>(m.time_ns));
        at += TIME_FIELD;
    }
    std::memcpy(at, m.name.data(), m.name.size());
}

bool decode_file(ByteSpan in, FileMessage& m) {
    if (in.size() < FILE_MESSAGE_HEAD || in[0] != MESSAGE_FILE) return false;
    m.size = get_u64(in.data() + 1);
    m.flags = in[1 + SIZE_FIELD];
    std::size_t head = FILE_MESSAGE_HEAD + optional_fields(m.flags);
    if (in.size() < head + 1 || in.size() > head + MAX_NAME_BYTES) return false;
    const unsigned char* at = in.data() + FILE_MESSAGE_HEAD;
    m.tag = m.resumable() ? at : nullptr;
    if (m.resumable()) at += FILE_TAG_SIZE;
    m.time_ns = m.timed() ? static_cast<std::int64_t>(get_u64(at)) : 0;
    m.name = std::string_view(reinterpret_cast<const char*>(in.data() + head), in.size() - head);
    return true;
}

bool decode_data(ByteSpan in, ByteSpan& data) {
    if (in.size() < 2 || in[0] != MESSAGE_DATA) return false;
    data = in.subspan(1);
    return true;
}

bool is_message(ByteSpan in, unsigned char type) { return in.size() == 1 && in[0] == type; }

std::size_t encode_reply(const Reply& reply, unsigned char* out) {
    out[0] = reply.type;
    put_u32(out + 1, reply.number);
    if (reply.type == MESSAGE_ACCEPTED) return ACCEPTED_SIZE;
    if (reply.type == MESSAGE_REFUSED) {
        out[ACCEPTED_SIZE] = reply.reason;
        return REFUSED_SIZE;
    }
    put_u64(out + ACCEPTED_SIZE, reply.offset);
    if (reply.offset == 0) return OFFSET_SIZE;
    std::memcpy(out + OFFSET_SIZE, reply.proof, PART_PROOF_SIZE);
    return PROVEN_OFFSET_SIZE;
}

bool decode_reply(ByteSpan in, Reply& reply) {
    if (in.size() < ACCEPTED_SIZE) return false;
    reply.type = in[0];
    reply.number = get_u32(in.data() + 1);
    switch (reply.type) {
        case MESSAGE_ACCEPTED:
            return in.size() == ACCEPTED_SIZE;
        case MESSAGE_REFUSED:
            reply.reason = in.size() == REFUSED_SIZE && in[ACCEPTED_SIZE] <= LAST_REASON
                               ? static_cast<RefusalReason>(in[ACCEPTED_SIZE])
                               : REFUSED_OTHER;
            return in.size() == REFUSED_SIZE;
        case MESSAGE_OFFSET:
            if (in.size() < OFFSET_SIZE) return false;
            reply.offset = get_u64(in.data() + ACCEPTED_SIZE);
            reply.proof = reply.offset == 0 ? nullptr : in.data() + OFFSET_SIZE;
            return in.size() == (reply.offset == 0 ? OFFSET_SIZE : PROVEN_OFFSET_SIZE);
        default:
            return false;
    }
}
