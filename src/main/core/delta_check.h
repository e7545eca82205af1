/* delta_check: the integrity trailer that a checksummed delta ends with.
 *
 * The trailer is made only of items every delta reader skips (a one-byte tag
 * and negative integers read whole), so a checksummed delta still applies
 * through a reader that knows nothing of it. Layout, DELTA_TRAILER_SIZE bytes:
 *
 *   D7              tag 23, the marker (our generator writes no tags)
 *   3B <8 bytes>    old value's length      \
 *   3B <8 bytes>    old value's hash         | negative integers; the 8-byte
 *   3B <8 bytes>    new value's length       | argument, most significant
 *   3B <8 bytes>    new value's hash         | byte first, is the quantity
 *   3B <8 bytes>    hash of every byte before this item /
 *
 * The last item covers the delta and the rest of the trailer, so a change to
 * any byte is caught before the delta is applied. Hashes are XXH3-64, seed 0.
 * A reader treats the trailer as present only when it starts at an item
 * boundary exactly DELTA_TRAILER_SIZE bytes before the end (delta.cpp). */
#ifndef KORVALENT_CORE_DELTA_CHECK_H
#define KORVALENT_CORE_DELTA_CHECK_H

#include <stdint.h>
#include "core/export.h"
#include "core/buf.h"
#include "core/status.h"

KV_EXTERN_C_BEGIN

#define DELTA_TRAILER_SIZE 46

typedef struct delta_trailer_s {
    uint64_t old_length;
    uint64_t old_hash;
    uint64_t new_length;
    uint64_t new_hash;
    uint64_t delta_hash; /* of the delta's bytes up to the last item */
} delta_trailer_s;

/* XXH3-64 (seed 0) of length bytes at data; data may be null when length is
 * 0. Never fails. */
KV_API uint64_t delta_check_hash(const uint8_t *data, uint64_t length);
/* Appends to delta the trailer recording old_value and new_value (borrowed,
 * readable). KV_OK, or KV_OUT_OF_MEMORY with delta left as it was. */
KV_API kv_status delta_check_append_trailer(buf_s *delta, const buf_s *old_value,
                                            const buf_s *new_value);
/* 1 when delta (readable) ends with DELTA_TRAILER_SIZE bytes shaped as a
 * trailer, with the fields stored in *trailer; 0 otherwise (*trailer left
 * as it was). Says nothing of item boundaries or of the hashes. */
KV_API int32_t delta_check_read_trailer(const buf_s *delta, delta_trailer_s *trailer);
/* 1 when the trailer read from delta carries the hash of the bytes it
 * covers; 0 when they differ, or when delta or trailer is null or delta is
 * shorter than a trailer. */
KV_API int32_t delta_check_covers(const buf_s *delta, const delta_trailer_s *trailer);
/* 1 when value has the length and hash the trailer records as `length` and
 * `hash`, 0 otherwise. The hash is computed only when the lengths agree. */
KV_API int32_t delta_check_value_matches(const buf_s *value, uint64_t length, uint64_t hash);

KV_EXTERN_C_END

#endif
