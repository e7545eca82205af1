/* activity_history: how busy the caller has recently been generating deltas.
 *
 * A ring of `slot_count` slots, each `slot_duration` milliseconds long, holds
 * the busy milliseconds measured in that slot; together they cover a sliding
 * window of slot_count x slot_duration ms. A time in milliseconds shifted
 * right by `slot_shift` is an absolute slot number, and that number AND
 * `slot_mask` is its index in the ring. Utilisation is expressed in 256ths of
 * the window: 0 is idle, 256 is busy all the time.
 *
 * The history is created and owned by the caller and kept across many
 * generate calls; one history is used by one thread at a time. */
#ifndef KORVALENT_CORE_ACTIVITY_HISTORY_H
#define KORVALENT_CORE_ACTIVITY_HISTORY_H

#include <stdint.h>
#include "core/export.h"

KV_EXTERN_C_BEGIN

/* Largest slot count and slot duration create accepts: beyond them the
 * rounding to a power of two no longer gives a meaningful ring. */
#define ACTIVITY_HISTORY_MAX_SLOT_COUNT 1073741824u               /* 2^30 */
#define ACTIVITY_HISTORY_MAX_SLOT_DURATION 4611686018427387904ull /* 2^62 */

/* Utilisation of a window that was busy all the time. */
#define ACTIVITY_HISTORY_FULLY_BUSY 256

typedef struct activity_history_s {
    int32_t last_delta_quality; /* level chosen by the last generate call */
    uint64_t *slots;            /* busy ms per slot, slot_count entries (owned) */
    uint64_t slot_count;        /* a power of two */
    uint64_t slot_duration;     /* ms, a power of two */
    int32_t slot_shift;         /* log2(slot_duration) */
    int32_t slot_mask;          /* slot_count - 1 */
    uint64_t current_slot;      /* absolute slot number of the last start */
    uint64_t start_time;        /* clock reading of the last start */
    uint64_t busy_total;        /* sum of all ring entries */
    int32_t utilisation_shift;  /* log2(slot_count x slot_duration) - 8 */
} activity_history_s;

/* New idle history of slot_count slots of slot_duration ms, each raised to a
 * power of two. Null when slot_count > 2^30, slot_duration > 2^62 or
 * allocation fails. Free with korvalent_activity_history_free. */
KV_API activity_history_s *korvalent_activity_history_create(uint32_t slot_count,
                                                             uint64_t slot_duration);
/* Frees the ring and the record; null does nothing. */
KV_API void korvalent_activity_history_free(activity_history_s *history);

/* Mark the start / end of an activity at the current wall-clock time
 * (milliseconds since the epoch). Null does nothing. */
KV_API void korvalent_activity_history_start(activity_history_s *history);
KV_API void korvalent_activity_history_stop(activity_history_s *history);

/* As above with the caller's own clock reading `now` in milliseconds. Starts
 * and stops come in pairs, a start before each stop. Null does nothing. */
KV_API void _activity_history_start(activity_history_s *history, uint64_t now);
KV_API void _activity_history_stop(activity_history_s *history, uint64_t now);

/* Busy share of the window without the current slot (the previous slot
 * counted twice instead), in 256ths; 0 for a null history. */
KV_API int32_t korvalent_activity_history_utilisation(const activity_history_s *history);
/* The level stored by the last generate call; -1 for a null history. */
KV_API int32_t korvalent_activity_history_get_last_delta_quality(const activity_history_s *history);

KV_EXTERN_C_END

#endif
