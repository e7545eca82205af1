/* execution: one difference computation with the linear-space Myers search.
 *
 * A sub-problem (x0, N, y0, M) compares A[i] = old[x0 + i], 0 <= i < N, with
 * B[j] = new[y0 + j], 0 <= j < M. Operations are reported to the coalescing
 * record strictly in new-value order: copies with absolute old offsets,
 * inserts with absolute new offsets, deletions as bare markers.
 *
 * Every search strips the common prefix and suffix, looks for a middle snake
 * from both ends at once, and is bounded by a step limit; a progress check
 * every 64 steps lowers that limit when the two frontiers advance slowly, and
 * a search past its limit splits at the furthest points reached instead.
 *
 * Operations return 1 on success and 0 on failure (the edit budget ran out,
 * an append failed, the diagonal storage refused to grow, the searches
 * spent the execution's work allowance, or the caller's poll asked them to
 * stop); nothing is
 * undone after a failure: the difference as a whole is abandoned. Callers
 * guarantee that every sub-problem lies within both values. */
#ifndef KORVALENT_CORE_EXECUTION_H
#define KORVALENT_CORE_EXECUTION_H

#include <stddef.h>
#include <stdint.h>
#include "core/export.h"
#include "core/buf.h"
#include "core/edit_script.h"
#include "core/status.h"
#include "core/storage.h"

KV_EXTERN_C_BEGIN

typedef struct execution_s {
    const buf_s *old_value;           /* borrowed */
    const buf_s *new_value;           /* borrowed */
    coallescing_script_s *coalescing; /* where operations go (borrowed) */
    int32_t limit;                    /* step limit every search starts with */
    storage_s *storage;               /* diagonal array (owned) */
    int64_t work_left;                /* diagonal visits the searches may still make */
    kv_poll_fn poll;                  /* the caller's check, or null */
    void *poll_context;               /* poll's argument */
    int64_t polled_at;                /* work_left when poll last ran (or was set) */
    int32_t cancelled;                /* 1 once poll asked the searches to stop */
} execution_s;

/* work_left of a new execution: no bound in practice. */
#define EXECUTION_UNBOUNDED_WORK INT64_MAX
/* An execution's poll runs once the searches have spent about this many
 * diagonal visits since it last ran (some tens of milliseconds of search). */
#define EXECUTION_POLL_INTERVAL (INT64_C(1) << 25)

/* The furthest diagonal reachable in step d on a side of n bytes: d when
 * d <= n, else 2n - d (a path of d edits has at most n edits on that side). */
KV_API int32_t myers_binary_diff_corner(int32_t d, int32_t n);

/* Length of the run of equal bytes a[t] = b[t] from t = 0, at most n. Both
 * ranges must hold n readable bytes. Compares a machine word at a time. */
KV_API size_t execution_match_forward(const uint8_t *a, const uint8_t *b, size_t n);
/* Length of the run of equal bytes a_end[-1 - t] = b_end[-1 - t] from t = 0,
 * at most n: the common run that ends just before both pointers. */
KV_API size_t execution_match_backward(const uint8_t *a_end, const uint8_t *b_end, size_t n);

/* New execution with storage_create(slot_limit), the step limit and
 * work_left EXECUTION_UNBOUNDED_WORK. Every step of a search spends one unit
 * of work_left per diagonal it visits; a search that finds it spent fails
 * (storage untouched, so the failure is told from an allocation failure by
 * work_left < 0). Null when allocation fails (nothing leaked). Free with
 * execution_free. */
KV_API execution_s *execution_create(const buf_s *old_value, const buf_s *new_value,
                                     coallescing_script_s *coalescing, int32_t slot_limit,
                                     int32_t step_limit);
/* Has the searches run poll(context) from now on each time they have spent
 * EXECUTION_POLL_INTERVAL more of work_left (a null poll: never); set it
 * after work_left. A nonzero answer sets cancelled and fails the search that
 * asked, as a spent work allowance does, so the operation running fails at
 * once. */
KV_API void execution_set_poll(execution_s *execution, kv_poll_fn poll, void *context);
/* Frees the storage and the record; null does nothing. */
KV_API void execution_free(execution_s *execution);

/* The full difference of a sub-problem: common prefix, then the rest with
 * the execution's limit. 1 / 0. */
KV_API int32_t execution_diff(execution_s *execution, int32_t x0, int32_t n, int32_t y0, int32_t m);
/* The cheapest mode: common prefix, one literal insert and a deletion for
 * the differing middle, common suffix. No search. 1 / 0. */
KV_API int32_t execution_trim_prefix_and_suffix(execution_s *execution, int32_t x0, int32_t n,
                                                int32_t y0, int32_t m);
/* Middle-snake search of a sub-problem with n >= 1 and m >= 1 under step
 * limit l, and the solution around the snake (or after a bail-out). 1 / 0. */
KV_API int32_t execution_middlesnake(execution_s *execution, int32_t x0, int32_t n, int32_t y0,
                                     int32_t m, int32_t l);
/* Solution split around a snake from (x, x + k) to (u, u + k): the part
 * before it, the snake as a copy, the part after it. 1 / 0. */
KV_API int32_t execution_recurse(execution_s *execution, int32_t x0, int32_t n, int32_t y0,
                                 int32_t m, int32_t x, int32_t u, int32_t k);
/* Solution of a search that passed its limit l in the step whose corners
 * were c1 (old side) and c2 (new side): split at the frontiers. 1 / 0; 0
 * also when the corners lie beyond the step the storage prepared last. */
KV_API int32_t execution_bail(execution_s *execution, int32_t x0, int32_t n, int32_t y0, int32_t m,
                              int32_t c1, int32_t c2, int32_t l);
/* The unsolved middle after a bail-out of a parent sub-problem of lengths
 * np and mp: searched again, halved, or compared in its middle halves only
 * when the limit l is spent. 1 / 0. */
KV_API int32_t execution_bounded_diff(execution_s *execution, int32_t x0, int32_t n, int32_t y0,
                                      int32_t m, int32_t np, int32_t mp, int32_t l);

/* Tracing: the same operations with every report of positive length (and
 * every deletion) sent to a callback instead of the coalescing record, for
 * tests and diagnostics. The callback returns nonzero to go on, 0 to fail
 * the report (the operation then fails at once, as on a spent budget). */
#define EXECUTION_REPORT_COPY 0   /* position: absolute old offset */
#define EXECUTION_REPORT_INSERT 1 /* position: absolute new offset */
#define EXECUTION_REPORT_DELETE 2 /* position and length 0 */

#define EXECUTION_OPERATION_DIFF 0
#define EXECUTION_OPERATION_TRIM_PREFIX_AND_SUFFIX 1
#define EXECUTION_OPERATION_MIDDLESNAKE 2  /* uses l */
#define EXECUTION_OPERATION_BOUNDED_DIFF 3 /* uses l, np, mp */

typedef int32_t (*execution_report_fn)(void *context, int32_t kind, int32_t position,
                                       int32_t length);

/* Runs `operation` on the sub-problem with reports sent to report(context,
 * ...). 1 / 0 as the operation; 0 for a null callback or an unknown
 * operation. */
KV_API int32_t execution_trace(execution_s *execution, int32_t operation, int32_t x0, int32_t n,
                               int32_t y0, int32_t m, int32_t l, int32_t np, int32_t mp,
                               execution_report_fn report, void *context);

KV_EXTERN_C_END

#endif
