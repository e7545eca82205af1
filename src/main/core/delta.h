/* delta: the delta engine's public face.
 *
 * A delta is a CBOR sequence that rebuilds a new value from an old one:
 *   edit delta         copies (two unsigned ints: old offset, count) and
 *                      inserts (one byte string), in new-value order;
 *   no-change delta    the single byte F6 (CBOR null);
 *   replacement delta  one byte string holding the whole new value.
 * A checksummed delta is one of these followed by the trailer of
 * delta_check.h, which every reader skips and ours verifies.
 * Every function borrows its inputs and returns a new buf_s that the caller
 * frees with buf_free, or null on failure. */
#ifndef KORVALENT_CORE_DELTA_H
#define KORVALENT_CORE_DELTA_H

#include <stdint.h>
#include "core/export.h"
#include "core/buf.h"
#include "core/status.h"

KV_EXTERN_C_BEGIN

typedef struct activity_history_s activity_history_s;

/* diff_generate_binary_flags: end the delta with the integrity trailer of
 * delta_check.h. */
#define DIFF_GENERATE_CHECKSUM 1u
/* diff_generate_binary_flags: run the block search of block_search.h (copies
 * from any offset of the old value) instead of the Myers engine; the history
 * and the two limits then play no part. */
#define DIFF_GENERATE_BLOCKS 2u
/* diff_apply_binary_ex: refuse a delta that carries no trailer. */
#define DIFF_APPLY_VERIFY 1u

/* Default slot limit of the diagonal storage and work (step) limit. */
#define DIFF_DEFAULT_SLOT_LIMIT 2147483647
#define DIFF_DEFAULT_WORK_LIMIT 10000

/* Delta from old_value to new_value with the default limits: an edit delta
 * strictly shorter than new_value, the no-change delta F6 (equal values of 2
 * bytes or more) or the replacement delta. Null for a null value, values of
 * 2^31 bytes or more, or when allocation fails. */
KV_API buf_s *diff_generate_binary(const buf_s *old_value, const buf_s *new_value);
/* As diff_generate_binary with explicit slot and work limits. */
KV_API buf_s *diff_generate_binary_ex(const buf_s *old_value, const buf_s *new_value,
                                      int32_t slot_limit, int32_t work_limit);
/* As diff_generate_binary, with the effort chosen from history's utilisation
 * (history may be null: full effort). */
KV_API buf_s *diff_generate_binary_with_activity_history(activity_history_s *history,
                                                         const buf_s *old_value,
                                                         const buf_s *new_value);
KV_API buf_s *diff_generate_binary_with_activity_history_ex(activity_history_s *history,
                                                            const buf_s *old_value,
                                                            const buf_s *new_value,
                                                            int32_t slot_limit, int32_t work_limit);
/* As diff_generate_binary_with_activity_history_ex with flags: under
 * DIFF_GENERATE_CHECKSUM the delta ends with the trailer recording both
 * values, and equal values give one copy of the whole old value instead of
 * F6, so every reader rebuilds the same value. *status (when not null) is
 * KV_OK, KV_INVALID_ARGUMENT (null or unreadable value), KV_OUT_OF_RANGE
 * (a value of 2^31 bytes or more, or a delta that would be, which no apply
 * reads) or KV_OUT_OF_MEMORY; the delta is null on anything but KV_OK. */
KV_API buf_s *diff_generate_binary_flags(activity_history_s *history, const buf_s *old_value,
                                         const buf_s *new_value, int32_t slot_limit,
                                         int32_t work_limit, uint32_t flags, kv_status *status);
/* As diff_generate_binary_flags, with poll(poll_context) run during the
 * search (status.h; a null poll: never) as myers_binary_diff_polled and
 * diff_generate_binary_blocks_polled run it: a nonzero answer stops it at
 * once, and the call returns null with *status KV_CANCELLED. */
KV_API buf_s *diff_generate_binary_polled(activity_history_s *history, const buf_s *old_value,
                                          const buf_s *new_value, int32_t slot_limit,
                                          int32_t work_limit, uint32_t flags, kv_poll_fn poll,
                                          void *poll_context, kv_status *status);
/* diff_generate_binary_flags with the default limits, no history and
 * DIFF_GENERATE_CHECKSUM; null on failure. */
KV_API buf_s *diff_generate_binary_checked(const buf_s *old_value, const buf_s *new_value);
/* The replacement delta of new_value, or null when allocation fails. */
KV_API buf_s *_write_replacement_delta(const buf_s *new_value);
/* The value rebuilt from old_value and delta; the one-byte delta F6 rebuilds a
 * copy of old_value. Null for a malformed delta (a copy reaching outside
 * old_value, an offset without an unsigned count, an item cut short, a
 * reserved initial byte, 2^31 bytes or more), a checksummed delta that does
 * not match (see diff_apply_binary_ex), a null input, or when allocation
 * fails. */
KV_API buf_s *diff_apply_binary(const buf_s *old_value, const buf_s *delta);
/* As diff_apply_binary, with a trailer (delta_check.h) verified whenever the
 * delta ends with one at an item boundary; DIFF_APPLY_VERIFY in flags also
 * requires it. A rebuilt value longer than max_size bytes is refused before
 * it is allocated. Returns the value, or null with *status (when not null)
 * telling why: KV_INVALID_ARGUMENT, KV_OUT_OF_RANGE (delta of 2^31 bytes or
 * more, or a value too large to address), KV_MALFORMED, KV_DELTA_MISMATCH
 * (a byte of a checksummed delta changed), KV_OLD_MISMATCH, KV_NEW_MISMATCH,
 * KV_UNCHECKED (no trailer under DIFF_APPLY_VERIFY), KV_UNVERIFIABLE (under
 * DIFF_APPLY_VERIFY, a trailer-shaped tail that neither covers the delta nor
 * ends its items), KV_LIMIT_REACHED or KV_OUT_OF_MEMORY. *status is KV_OK on
 * success. */
KV_API buf_s *diff_apply_binary_ex(const buf_s *old_value, const buf_s *delta, uint32_t flags,
                                   uint64_t max_size, kv_status *status);

KV_EXTERN_C_END

#endif
