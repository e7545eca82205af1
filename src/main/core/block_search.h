/* block_search: a delta search that finds copies anywhere in the old value.
 *
 * A rolling hash over 16-byte windows samples the same content in both values
 * (about one window in 8); the old value's sampled windows go into an index of
 * bounded buckets (runs of one byte left out), the new value's are looked up
 * in it, and every verified candidate is extended both ways (stretches with no
 * sampled window are probed where the last copy's source continues). The
 * index is built only when a lookup first needs it: values that differ by
 * short edits in place (under 16 bytes each, a few hundred bytes apart) are
 * compared once and never indexed. Small
 * gaps between anchors whose old ranges follow each other go to the Myers
 * engine, so local edits keep byte precision, unless the 4-byte strings their
 * sides share show that no copy there would pay or that the engine could not
 * finish within its allowance (a gap whose literal bytes encode smaller than
 * the engine's copies goes as literal bytes); other literal stretches are
 * searched densely near the previous copy's source, and what is left is
 * scanned for runs of a short period, copied from an old run of the same
 * pattern. Same delta format as delta.h, linear time, an index of at most
 * three quarters of the old value's size. */
#ifndef KORVALENT_CORE_BLOCK_SEARCH_H
#define KORVALENT_CORE_BLOCK_SEARCH_H

#include "core/export.h"
#include "core/buf.h"
#include "core/status.h"

KV_EXTERN_C_BEGIN

/* Delta from old_value to new_value found by block search (both borrowed):
 * an edit delta strictly shorter than new_value whose copies may come from
 * any offset of the old value, the no-change delta F6 (equal values of 2
 * bytes or more) or the replacement delta; never longer than the replacement
 * delta, and the same bytes for the same inputs. The caller frees the result
 * with buf_free. Null for a null or unreadable value, values of 2^31 bytes
 * or more, or when allocation fails. */
KV_API buf_s *diff_generate_binary_blocks(const buf_s *old_value, const buf_s *new_value);
/* As diff_generate_binary_blocks, with poll(context) run during the search
 * (status.h; a null poll: never): once the old value is indexed (if it
 * is), then every 4 MB of new bytes the scan meets sampled windows in, every
 * 4 MB the copies reach and every 4 MB of literal bytes searched for runs.
 * Indexing, and stretches of new bytes with no sampled window, pass unpolled
 * at a few milliseconds per MB. Returns the delta, or null with *status (when not null) telling why: KV_INVALID_ARGUMENT (a null
 * or unreadable value), KV_OUT_OF_RANGE (a value of 2^31 bytes or more),
 * KV_CANCELLED (poll answered nonzero: the search stopped at once) or
 * KV_OUT_OF_MEMORY. *status is KV_OK on success. */
KV_API buf_s *diff_generate_binary_blocks_polled(const buf_s *old_value, const buf_s *new_value,
                                                 kv_poll_fn poll, void *context, kv_status *status);

KV_EXTERN_C_END

#endif
