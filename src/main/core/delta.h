/* delta: the delta engine's public face.
 *
 * A delta is a CBOR sequence that rebuilds a new value from an old one:
 *   edit delta         copies (two unsigned ints: old offset, count) and
 *                      inserts (one byte string), in new-value order;
 *   no-change delta    the single byte F6 (CBOR null);
 *   replacement delta  one byte string holding the whole new value.
 * Every function borrows its inputs and returns a new buf_s that the caller
 * frees with buf_free, or null on failure. */
#ifndef KORVALENT_CORE_DELTA_H
#define KORVALENT_CORE_DELTA_H

#include <stdint.h>
#include "core/export.h"
#include "core/buf.h"

KV_EXTERN_C_BEGIN

typedef struct activity_history_s activity_history_s;

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
                                                            int32_t slot_limit,
                                                            int32_t work_limit);
/* The replacement delta of new_value, or null when allocation fails. */
KV_API buf_s *_write_replacement_delta(const buf_s *new_value);
/* The value rebuilt from old_value and delta; the one-byte delta F6 rebuilds a
 * copy of old_value. Null for a malformed delta (a copy reaching outside
 * old_value, an offset without an unsigned count, an item cut short, a
 * reserved initial byte, 2^31 bytes or more), a null input, or when
 * allocation fails. */
KV_API buf_s *diff_apply_binary(const buf_s *old_value, const buf_s *delta);

KV_EXTERN_C_END

#endif
