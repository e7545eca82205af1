/* storage: the diagonal array of the Myers search.
 *
 * For every diagonal k = y - x reached, the forward search keeps the largest
 * x and the reverse search the smallest x. The four entries of diagonals -m
 * and m share one group of adjacent slots, so one more search step touches
 * one more group at the end of the array:
 *
 *   index   0        1       2        4m-1     4m      4m+1     4m+2
 *   entry   fwd(0)   unused  rev(0)   fwd(-m)  fwd(m)  rev(-m)  rev(m)
 *
 * Entries nobody wrote read as sentinels (forward -1, reverse INT32_MAX), so
 * the choice of the better neighbour needs no edge cases. The array grows to
 * twice the size a step needs and is reused by every search of an execution;
 * it never grows past the step ceiling `max_distance`. */
#ifndef KORVALENT_CORE_STORAGE_H
#define KORVALENT_CORE_STORAGE_H

#include <stdint.h>
#include "core/export.h"
#include "core/status.h"

KV_EXTERN_C_BEGIN

/* Sentinels of unwritten entries. */
#define STORAGE_FORWARD_UNSET (-1)
#define STORAGE_REVERSE_UNSET INT32_MAX

typedef struct storage_s {
    int32_t *slots;       /* the entries (owned); null once growth was refused */
    int32_t capacity;     /* half the number of slots allocated */
    int32_t limit;        /* slot limit given at creation */
    int32_t max_distance; /* largest step the storage may be extended to */
    int32_t size;         /* 4d + 7 for the step d last prepared */
} storage_s;

/* New storage for the slot limit: 22 slots, groups 1 to 3 filled with
 * sentinels, max_distance derived from limit. Null when allocation fails.
 * Free with storage_free. */
KV_API storage_s *storage_create(int32_t limit);
/* Frees the slot array (if any) and the record; null does nothing. */
KV_API void storage_free(storage_s *storage);
/* Prepares a fresh search whose first step is d: grows as needed and fills
 * the groups 1 to d + 2 with sentinels (diagonal 0 is left to the caller).
 * 1 on success; 0 when the array cannot be allocated (slots then null and
 * size -1, which tells a failed allocation from a refusal at the ceiling). */
KV_API int32_t storage_initialise(storage_s *storage, int32_t d);
/* Sets size to 4d + 7 and grows when the allocated slots do not reach the
 * groups step d uses; fills nothing. Returns the new size, or -1 when the
 * array cannot be allocated (slots null, size -1) or d is out of range
 * (slots null, size unchanged). */
KV_API int32_t storage_ensure(storage_s *storage, int32_t d);
/* Fills with sentinels every group starting at i, i + 4, ... while the
 * group's start is less than size + 4. */
KV_API void storage_fill(storage_s *storage, int32_t i);
/* Prepares step d of a running search (the groups d + 1 and d + 2). 1 on
 * success; 0 when d is beyond max_distance, when the slot index would not
 * fit 32 bits, or when allocation fails: the array is then released and
 * slots is null (size is -1 after a failed allocation, unchanged after a
 * refusal). */
KV_API int32_t storage_extend(storage_s *storage, int32_t d);
/* As storage_extend, telling why it failed: KV_OK; KV_LIMIT_REACHED when d
 * is beyond max_distance or the array was refused before; KV_OUT_OF_RANGE
 * when the slot index would not fit 32 bits; KV_OUT_OF_MEMORY when this or
 * an earlier allocation failed. */
KV_API kv_status storage_extend_status(storage_s *storage, int32_t d);

/* Slot index of the forward entry of diagonal k: 4k, or ~(4k) for k < 0. */
KV_API int32_t storage_key_forward(int32_t k);
/* Slot index of the reverse entry of diagonal k: storage_key_forward(k) + 2. */
KV_API int32_t storage_key_reverse(int32_t k);
/* The same two indices inline, for the search's inner loops. Branch-free:
 * for k < 0 the arithmetic shift yields all ones and the XOR complements 4k.
 * The shift is done unsigned so that no diagonal the storage can hold
 * overflows. */
static inline int32_t storage_forward_slot(int32_t k)
{
    return (int32_t)((uint32_t)k << 2) ^ (k >> 31);
}
static inline int32_t storage_reverse_slot(int32_t k) { return storage_forward_slot(k) + 2; }
/* Entry access; no range check: |k| must be at most d + 2 for the step d
 * prepared last. */
KV_API int32_t storage_key_forward_get(const storage_s *storage, int32_t k);
KV_API int32_t storage_key_reverse_get(const storage_s *storage, int32_t k);
KV_API void storage_key_forward_set(storage_s *storage, int32_t k, int32_t value);
KV_API void storage_key_reverse_set(storage_s *storage, int32_t k, int32_t value);
/* Forward start for diagonal k in the next step: with a = entry(k + 1) and
 * b = entry(k - 1), b if a < b, else a + 1. */
KV_API int32_t storage_key_forward_get_next(const storage_s *storage, int32_t k);
/* Reverse start for diagonal k in the next step: a if a < b, else b - 1. */
KV_API int32_t storage_key_reverse_get_next(const storage_s *storage, int32_t k);

KV_EXTERN_C_END

#endif
