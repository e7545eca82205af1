/* delta_check: writes and reads the integrity trailer of a checksummed delta
 * (layout and contracts in delta_check.h). The hash is compiled in from the
 * xxHash header alone, so the module carries no run-time dependency. */
#include "core/delta_check.h"

#include <cstring>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace {

/* Tag 23 in its one-byte head (RFC 7049 2.4): a longer tag head would have
 * its argument bytes read as items by a reader that skips tags byte-wise. */
constexpr uint8_t kTrailerTag = 0xD7;
/* Negative integer with an 8-byte argument (major type 1, additional
 * information 27): always read whole, and wide enough for any length or
 * hash, so every field has one fixed size. */
constexpr uint8_t kNegint64Head = 0x3B;
constexpr size_t kFieldSize = 9;
constexpr size_t kFieldCount = 5;
static_assert(1 + kFieldCount * kFieldSize == DELTA_TRAILER_SIZE, "trailer layout");

/* Offset of the last field, whose hash covers every byte before it. */
constexpr size_t kDeltaHashField = DELTA_TRAILER_SIZE - kFieldSize;

void put_field(uint8_t *out, uint64_t value)
{
    out[0] = kNegint64Head;
    for (size_t i = 0; i < 8; ++i) {
        out[1 + i] = static_cast<uint8_t>(value >> (8 * (7 - i)));
    }
}

uint64_t get_argument(const uint8_t *field)
{
    uint64_t value = 0;
    for (size_t i = 1; i < kFieldSize; ++i) {
        value = (value << 8) | field[i];
    }
    return value;
}

} // namespace

extern "C" {

uint64_t delta_check_hash(const uint8_t *data, uint64_t length)
{
    return XXH3_64bits(data, static_cast<size_t>(length));
}

kv_status delta_check_append_trailer(buf_s *delta, const buf_s *old_value, const buf_s *new_value)
{
    uint8_t trailer[DELTA_TRAILER_SIZE] = {kTrailerTag};
    const uint64_t fields[] = {
        old_value->length,
        delta_check_hash(old_value->data, old_value->length),
        new_value->length,
        delta_check_hash(new_value->data, new_value->length),
        0, /* filled in place once the bytes it covers are in the delta */
    };
    for (size_t i = 0; i < kFieldCount; ++i) {
        put_field(trailer + 1 + i * kFieldSize, fields[i]);
    }
    const uint64_t before = delta->length;
    buf_write_bytes(delta, trailer, sizeof trailer);
    if (delta->length - before != sizeof trailer) {
        return KV_OUT_OF_MEMORY;
    }
    const uint64_t covered = delta->length - DELTA_TRAILER_SIZE + kDeltaHashField;
    put_field(delta->data + covered, delta_check_hash(delta->data, covered));
    return KV_OK;
}

int32_t delta_check_read_trailer(const buf_s *delta, delta_trailer_s *trailer)
{
    if (delta->length < DELTA_TRAILER_SIZE) {
        return 0;
    }
    const uint8_t *start = delta->data + (delta->length - DELTA_TRAILER_SIZE);
    if (start[0] != kTrailerTag) {
        return 0;
    }
    uint64_t fields[kFieldCount];
    for (size_t i = 0; i < kFieldCount; ++i) {
        const uint8_t *field = start + 1 + i * kFieldSize;
        if (field[0] != kNegint64Head) {
            return 0;
        }
        fields[i] = get_argument(field);
    }
    *trailer = delta_trailer_s{fields[0], fields[1], fields[2], fields[3], fields[4]};
    return 1;
}

int32_t delta_check_covers(const buf_s *delta, const delta_trailer_s *trailer)
{
    if (delta == nullptr || trailer == nullptr || delta->length < DELTA_TRAILER_SIZE) {
        return 0; /* too short to end with a trailer */
    }
    const uint64_t covered = delta->length - DELTA_TRAILER_SIZE + kDeltaHashField;
    return delta_check_hash(delta->data, covered) == trailer->delta_hash ? 1 : 0;
}

int32_t delta_check_value_matches(const buf_s *value, uint64_t length, uint64_t hash)
{
    return value->length == length && delta_check_hash(value->data, value->length) == hash ? 1 : 0;
}

} // extern "C"
