/* myers: the binary diff driver and the integer utilities around it.
 *
 * myers_binary_diff validates the ranges, sets up the coalescing record,
 * chooses the search mode and step limit from a quality level (0 searches
 * hardest, 4 only strips the common prefix and suffix), runs one execution
 * and tells the caller which kind of delta to write. The integer utilities
 * it once declared live in core/bits.h, included here for older callers. */
#ifndef KORVALENT_CORE_MYERS_H
#define KORVALENT_CORE_MYERS_H

#include <stdint.h>
#include "core/export.h"
#include "core/bits.h"
#include "core/buf.h"
#include "core/edit_script.h"
#include "core/status.h"

KV_EXTERN_C_BEGIN

/* Results of myers_binary_diff. */
#define MYERS_INVALID_RANGES (-1)
#define MYERS_EDIT_DELTA 0           /* edit delta complete in script->output */
#define MYERS_REPLACEMENT_DELTA 1    /* send the whole new value instead */
#define MYERS_VALUES_EQUAL 2         /* the ranges are equal (or both empty) */
#define MYERS_ALLOCATION_FAILED (-2) /* memory ran out: no delta can be trusted */
#define MYERS_CANCELLED (-3)         /* the caller's poll asked the search to stop */

/* Quality levels: 0 full search with the work limit; 1 and 2 a quarter and
 * a sixteenth of the shorter length; 3 step limit 1; 4 prefix and suffix
 * only; 5 and above step limit -1. */
#define MYERS_QUALITY_FULL 0
#define MYERS_QUALITY_TRIM_ONLY 4

/* Difference of old[old_start, +old_length) and new[new_start, +new_length)
 * written into the caller's script (old and new are borrowed; slot_limit
 * bounds the diagonal storage, work_limit is the level-0 step limit). Result:
 * MYERS_INVALID_RANGES for a negative or out-of-range range (nothing
 * reported), MYERS_EDIT_DELTA, MYERS_REPLACEMENT_DELTA (search failed or one
 * insert; the output is then partial and must not be used) or
 * MYERS_VALUES_EQUAL; MYERS_ALLOCATION_FAILED when an allocation failed (the
 * script's output may then be null; the caller fails as a whole). The
 * searches together may spend myers_binary_diff_work_bound(old_length,
 * new_length); a difference that needs more gives MYERS_REPLACEMENT_DELTA,
 * so no input holds the caller for long. */
KV_API int32_t myers_binary_diff(const buf_s *old_value, int32_t old_start, int32_t old_length,
                                 const buf_s *new_value, int32_t new_start, int32_t new_length,
                                 edit_script_s *script, int32_t slot_limit, int32_t work_limit,
                                 uint32_t quality);
/* As myers_binary_diff with an explicit bound on the total search work
 * (diagonal visits, see execution.h; negative: none) in place of
 * myers_binary_diff_work_bound. A difference that reaches the bound gives
 * MYERS_REPLACEMENT_DELTA. When work_spent is not null it receives the work
 * the searches spent (bound + 1 when the bound was reached). */
KV_API int32_t myers_binary_diff_bounded(const buf_s *old_value, int32_t old_start,
                                         int32_t old_length, const buf_s *new_value,
                                         int32_t new_start, int32_t new_length,
                                         edit_script_s *script, int32_t slot_limit,
                                         int32_t work_limit, uint32_t quality, int64_t work_bound,
                                         int64_t *work_spent);
/* As myers_binary_diff, with poll(context) run during the searches
 * (status.h; a null poll: never) each time they have spent about 2^25
 * diagonal visits since its last run, some tens of milliseconds of search;
 * a difference that needs fewer never polls. A nonzero answer ends the
 * difference at once with MYERS_CANCELLED (the script's output is then
 * partial and must not be used). */
KV_API int32_t myers_binary_diff_polled(const buf_s *old_value, int32_t old_start,
                                        int32_t old_length, const buf_s *new_value,
                                        int32_t new_start, int32_t new_length,
                                        edit_script_s *script, int32_t slot_limit,
                                        int32_t work_limit, uint32_t quality, kv_poll_fn poll,
                                        void *context);
/* The total search work myers_binary_diff allows one difference of ranges of
 * these lengths: a fixed allowance plus a multiple of old_length + new_length
 * (negative lengths count as 0). */
KV_API int64_t myers_binary_diff_work_bound(int32_t old_length, int32_t new_length);
/* The step limit the driver gives the execution at a quality level for
 * ranges of the given lengths and the work limit W: W at level 0; at 1 and 2
 * m = min(lengths, W) shifted right by 2 or 4 when m > 259, else 64 or 16;
 * 1 at level 3; -1 above (level 4 does not search). */
KV_API int32_t myers_binary_diff_step_limit(uint32_t quality, int32_t old_length,
                                            int32_t new_length, int32_t work_limit);
/* 0 when [start, start + length) lies within the buffer's length taken as
 * signed 32-bit; -1 for a negative start or length, or a range past it. */
KV_API int32_t myers_binary_diff_check_bounds(const buf_s *buffer, int32_t start, int32_t length);
/* Step-limit formula: approx_cube_root(a + b) x factor, then 256 when that
 * is below 25600, else a hundredth of it; computed in 64 bits and saturated
 * to the signed 32-bit range. */
KV_API int32_t myers_binary_diff_bailout_limit(int32_t factor, int32_t a, int32_t b);

KV_EXTERN_C_END

#endif
