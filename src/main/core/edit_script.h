/* edit_script: the delta writer and the run-merging layer in front of it.
 *
 * An edit delta is a CBOR sequence of operations in new-value order:
 *   copy    two unsigned integers, old offset then count;
 *   insert  one byte string holding the new bytes.
 * The edit script holds at most one pending insert (always before) and one
 * pending copy, folds short copies into literal bytes when that is no larger,
 * and pays for every item from a budget that starts at the new value's length
 * and must stay above zero, so a finished edit delta is always strictly
 * shorter than the new value.
 *
 * The coalescing record sits between the search and the script: it merges
 * adjacent runs of the same kind and remembers whether the whole difference
 * was a single operation (then the caller picks a simpler delta).
 *
 * Step functions return 1 on success and 0 on failure; after a failure the
 * difference as a whole is abandoned and the script is only freed. */
#ifndef KORVALENT_CORE_EDIT_SCRIPT_H
#define KORVALENT_CORE_EDIT_SCRIPT_H

#include <stdint.h>
#include "core/export.h"
#include "core/buf.h"
#include "core/status.h"

KV_EXTERN_C_BEGIN

typedef struct edit_script_s {
    int32_t insert_start;   /* new-value offset of the pending insert; -1: none */
    int32_t insert_length;  /* its length */
    int32_t match_start;    /* old-value offset of the pending copy; -1: none */
    int32_t match_length;   /* its length */
    const buf_s *old_value; /* borrowed */
    const buf_s *new_value; /* borrowed; inserts take their bytes from it */
    int32_t budget;         /* bytes the script may still write */
    buf_s *output;          /* the encoded edit delta so far (owned) */
} edit_script_s;

/* Kinds of the coalescing record's pending run. */
#define COALESCING_PENDING_INSERT 0
#define COALESCING_PENDING_COPY 1
#define COALESCING_PENDING_NONE 2

/* Results of coallescing_script_close (and of the driver built on it). */
#define COALESCING_EDIT_DELTA 0
#define COALESCING_REPLACEMENT_DELTA 1
#define COALESCING_VALUES_EQUAL 2

typedef struct coallescing_script_s {
    edit_script_s *script;    /* where finished operations go (borrowed) */
    int32_t old_base;         /* start of the compared old range */
    int32_t new_base;         /* start of the compared new range */
    int32_t pending;          /* COALESCING_PENDING_* */
    int32_t start;            /* pending run start, relative to its base */
    int32_t length;           /* pending run length */
    uint8_t single_operation; /* set while everything so far is one run */
} coallescing_script_s;

/* New script over the borrowed values: nothing pending, budget = the new
 * value's length as signed 32-bit, empty owned output. Null when the record
 * or its output cannot be allocated (nothing leaked). Free with
 * edit_script_free. */
KV_API edit_script_s *edit_script_create(const buf_s *old_value, const buf_s *new_value);
/* Frees the output and the record (never the values); null does nothing. */
KV_API void edit_script_free(edit_script_s *script);
/* Writes the pending insert, then the pending copy. 1 on success; 0 when the
 * budget runs out or the insert reaches outside the new value (the output
 * then holds a partial delta that must not be used) or an append to the
 * output fails (the output is then freed and set to null). */
KV_API int32_t edit_script_close(edit_script_s *script);
/* As edit_script_close, telling why a flush failed: KV_OK,
 * KV_LIMIT_REACHED when the budget runs out, KV_OUT_OF_RANGE when the
 * pending insert reaches outside the new value (in both, partial output not
 * to be used) or KV_OUT_OF_MEMORY when an append failed (output freed and
 * null). */
KV_API kv_status edit_script_flush(edit_script_s *script);
/* Accepts a copy of old[start, start + length) that follows everything
 * accepted so far in new-value order. 1, or 0 when a needed flush fails. */
KV_API int32_t edit_script_match(edit_script_s *script, int32_t start, int32_t length);
/* Accepts new[start, start + length) as literal bytes. 1, or 0 when a needed
 * flush fails or start or length is negative. The range's end is checked
 * when the insert is written: one past the new value fails that flush, and
 * no byte outside the value is read. */
KV_API int32_t edit_script_insert(edit_script_s *script, int32_t start, int32_t length);

/* Prepares a record on the caller's storage for one difference of the ranges
 * starting at old_base and new_base: nothing pending, single_operation set. */
KV_API void coallescing_script_init(coallescing_script_s *record, edit_script_s *script,
                                    int32_t old_base, int32_t new_base);
/* Reports a copy of old[position, position + length); runs of length 0 or
 * less are ignored. 1, or 0 when passing on the previous run failed. */
KV_API int32_t coallescing_script_match(coallescing_script_s *record, int32_t position,
                                        int32_t length);
/* Reports new[position, position + length) as having no counterpart in the
 * old value; lengths of 0 or less are ignored. 1, or 0 as above. */
KV_API int32_t coallescing_script_insert(coallescing_script_s *record, int32_t position,
                                         int32_t length);
/* Reports that old bytes are skipped here. 1, or 0 when passing on a pending
 * copy failed. */
KV_API int32_t coallescing_script_delete(coallescing_script_s *record);
/* Ends the difference: COALESCING_EDIT_DELTA (0) with the edit delta complete
 * in the script's output, COALESCING_REPLACEMENT_DELTA (1) when the whole new
 * value should be sent instead (single insert, or a flush failed), or
 * COALESCING_VALUES_EQUAL (2) for one copy of the whole old range. */
KV_API int32_t coallescing_script_close(coallescing_script_s *record, int32_t old_length,
                                        int32_t new_length);

KV_EXTERN_C_END

#endif
