/* edit_script: the delta writer and the run-merging layer, the contract in
 * core/edit_script.h.
 *
 * Invariants: at most one copy and one insert are pending; every item costs
 * its encoded size against the budget before it is written, so an edit delta
 * never reaches the new value's length; a failed append drops the output
 * rather than leave a partial delta. */
#include "core/edit_script.h"

#include <cstdlib>

#include "core/cbor_format.h"

namespace {

constexpr int32_t kNothingPending = -1;

/* Size of the head that carries v (an offset, a count or a string length),
 * measured on its magnitude. Offsets and lengths are 32-bit here, so sums of
 * two of them stay below 2^32 and the 9-byte head never occurs. */
int64_t head_size(int64_t v)
{
    const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    return cbor_format::head_size(magnitude);
}

/* Appends count bytes and tells whether they all arrived: buf_write_bytes
 * reports nothing and leaves the buffer unchanged when it cannot grow. On a
 * failed append the output is released, so a partial delta can never be
 * handed out and the caller can tell an allocation failure from a spent
 * budget (output null). */
kv_status append_checked(edit_script_s *script, const void *bytes, uint64_t count)
{
    buf_s *output = script->output;
    const uint64_t before = output->length;
    buf_write_bytes(output, bytes, count);
    if (output->length - before == count) {
        return KV_OK;
    }
    buf_free(output);
    script->output = nullptr;
    return KV_OUT_OF_MEMORY;
}

/* Deducts cost from the budget; true while the budget stays above zero. A
 * failed payment keeps the deduction (the script is not used afterwards),
 * clamped so the field cannot wrap. */
bool pay(edit_script_s *script, int64_t cost)
{
    int64_t left = static_cast<int64_t>(script->budget) - cost;
    if (left < INT32_MIN) {
        left = INT32_MIN;
    }
    script->budget = static_cast<int32_t>(left);
    return left > 0;
}

kv_status write_pending_insert(edit_script_s *script)
{
    const int64_t length = script->insert_length;
    if (script->insert_start < 0 || length < 0 ||
        static_cast<uint64_t>(script->insert_start) + static_cast<uint64_t>(length) >
            script->new_value->length) {
        return KV_OUT_OF_RANGE; /* literal bytes the new value does not hold */
    }
    if (!pay(script, head_size(length) + length)) {
        return KV_LIMIT_REACHED;
    }
    uint8_t head[cbor_format::kMaxHeadSize];
    const size_t head_length =
        cbor_format::store_head(head, cbor_format::kMajorBytes, static_cast<uint64_t>(length));
    kv_status status = append_checked(script, head, head_length);
    if (status == KV_OK && length > 0) {
        status = append_checked(script, script->new_value->data + script->insert_start,
                                static_cast<uint64_t>(length));
    }
    if (status == KV_OK) {
        script->insert_start = kNothingPending;
    }
    return status;
}

kv_status write_pending_copy(edit_script_s *script)
{
    const int64_t start = script->match_start;
    const int64_t length = script->match_length;
    if (!pay(script, head_size(start) + head_size(length))) {
        return KV_LIMIT_REACHED;
    }
    uint8_t heads[2 * cbor_format::kMaxHeadSize];
    using cbor_format::kMajorUnsigned;
    size_t used = cbor_format::store_head(heads, kMajorUnsigned, static_cast<uint64_t>(start));
    used += cbor_format::store_head(heads + used, kMajorUnsigned, static_cast<uint64_t>(length));
    const kv_status status = append_checked(script, heads, used);
    if (status == KV_OK) {
        script->match_start = kNothingPending;
    }
    return status;
}

/* The pending insert, then the pending copy; a script whose output is gone
 * already failed for lack of memory. */
kv_status flush_status(edit_script_s *script)
{
    if (script->output == nullptr) {
        return KV_OUT_OF_MEMORY;
    }
    kv_status status = KV_OK;
    if (script->insert_start != kNothingPending) {
        status = write_pending_insert(script);
    }
    if (status == KV_OK && script->match_start != kNothingPending) {
        status = write_pending_copy(script);
    }
    return status;
}

bool flush(edit_script_s *script) { return flush_status(script) == KV_OK; }

/* Moves the coalescing record's pending run to kind, clearing
 * single_operation unless nothing was pending before. */
void change_pending(coallescing_script_s *record, int32_t kind)
{
    record->single_operation = static_cast<uint8_t>(record->single_operation &&
                                                    record->pending == COALESCING_PENDING_NONE);
    record->pending = kind;
}

/* Passes the pending run on to the edit script. Inserts travel with their
 * absolute position in the new value, because the script takes the literal
 * bytes from there; copies keep positions relative to the old range. */
int32_t pass_on_insert(coallescing_script_s *record)
{
    return edit_script_insert(record->script, record->new_base + record->start, record->length);
}

int32_t pass_on_copy(coallescing_script_s *record)
{
    return edit_script_match(record->script, record->start, record->length);
}

/* Passes on whatever run is pending; nothing pending passes trivially. */
int32_t pass_on(coallescing_script_s *record)
{
    switch (record->pending) {
    case COALESCING_PENDING_INSERT:
        return pass_on_insert(record);
    case COALESCING_PENDING_COPY:
        return pass_on_copy(record);
    default:
        return 1;
    }
}

/* Adds a run of `kind` starting at `start` (relative to its base): extends
 * a pending run of the same kind, or passes the pending run on (keeping it
 * when that fails) and starts a new one. Runs of length 0 or less are
 * ignored. */
int32_t add_run(coallescing_script_s *record, int32_t kind, int32_t start, int32_t length)
{
    if (length <= 0) {
        return 1;
    }
    if (record->pending == kind) {
        record->length += length;
        return 1;
    }
    if (!pass_on(record)) {
        return 0;
    }
    change_pending(record, kind);
    record->start = start;
    record->length = length;
    return 1;
}

} // namespace

KV_EXTERN_C_BEGIN

edit_script_s *edit_script_create(const buf_s *old_value, const buf_s *new_value)
{
    auto *script = static_cast<edit_script_s *>(std::calloc(1, sizeof(edit_script_s)));
    if (script == nullptr) {
        return nullptr;
    }
    script->output = buf_create();
    if (script->output == nullptr) {
        std::free(script);
        return nullptr;
    }
    script->insert_start = kNothingPending;
    script->match_start = kNothingPending;
    script->old_value = old_value;
    script->new_value = new_value;
    script->budget = new_value != nullptr ? static_cast<int32_t>(new_value->length) : 0;
    return script;
}

void edit_script_free(edit_script_s *script)
{
    if (script == nullptr) {
        return;
    }
    buf_free(script->output);
    std::free(script);
}

int32_t edit_script_close(edit_script_s *script) { return flush(script) ? 1 : 0; }

kv_status edit_script_flush(edit_script_s *script) { return flush_status(script); }

int32_t edit_script_match(edit_script_s *script, int32_t start, int32_t length)
{
    if (script->match_start != kNothingPending) {
        if (!flush(script)) {
            return 0;
        }
    } else if (script->insert_start != kNothingPending) {
        /* Sending the copied bytes as part of the pending literal costs the
         * bytes plus any growth of the string head; a copy costs at least
         * H(start) + 1. Fold when the literal is no larger. */
        const int64_t grown = static_cast<int64_t>(script->insert_length) + length;
        if (head_size(grown) + length - head_size(script->insert_length) <= head_size(start) + 1) {
            script->insert_length += length;
            return 1;
        }
    }
    script->match_start = start;
    script->match_length = length;
    return 1;
}

int32_t edit_script_insert(edit_script_s *script, int32_t start, int32_t length)
{
    if (start < 0 || length < 0) {
        return 0; /* no such bytes; -1 would also read as nothing pending */
    }
    if (script->match_start != kNothingPending) {
        const int64_t copied = script->match_length;
        if (copied <= start && head_size(copied + length) + copied - head_size(length) <=
                                   head_size(script->match_start) + 1) {
            /* The pending copy is cheaper as literal bytes: they are the new
             * bytes right before this insert, since reports come in new-value
             * order. */
            script->match_start = kNothingPending;
            if (script->insert_start != kNothingPending) {
                script->insert_length += script->match_length + length;
            } else {
                script->insert_start = start - script->match_length;
                script->insert_length = script->match_length + length;
            }
            return 1;
        }
        if (!flush(script)) {
            return 0;
        }
    }
    if (script->insert_start != kNothingPending) {
        script->insert_length += length;
    } else {
        script->insert_start = start;
        script->insert_length = length;
    }
    return 1;
}

void coallescing_script_init(coallescing_script_s *record, edit_script_s *script, int32_t old_base,
                             int32_t new_base)
{
    record->script = script;
    record->old_base = old_base;
    record->new_base = new_base;
    record->pending = COALESCING_PENDING_NONE;
    record->start = 0;
    record->length = 0;
    record->single_operation = 1;
}

int32_t coallescing_script_match(coallescing_script_s *record, int32_t position, int32_t length)
{
    /* The search reports a copy right after another copy only when the two
     * runs are adjacent in both values, so extending the run is exact. */
    return add_run(record, COALESCING_PENDING_COPY, position - record->old_base, length);
}

int32_t coallescing_script_insert(coallescing_script_s *record, int32_t position, int32_t length)
{
    return add_run(record, COALESCING_PENDING_INSERT, position - record->new_base, length);
}

int32_t coallescing_script_delete(coallescing_script_s *record)
{
    /* Inserts on both sides of a deletion are contiguous in the new value,
     * so only a pending copy ends here. */
    if (record->pending != COALESCING_PENDING_COPY) {
        return 1;
    }
    const int32_t passed = pass_on_copy(record);
    change_pending(record, COALESCING_PENDING_NONE);
    return passed;
}

int32_t coallescing_script_close(coallescing_script_s *record, int32_t old_length,
                                 int32_t new_length)
{
    (void)new_length;
    if (record->single_operation) {
        if (record->pending == COALESCING_PENDING_INSERT) {
            /* Nothing is shared: the whole new value says it more simply. */
            return COALESCING_REPLACEMENT_DELTA;
        }
        if (record->start == 0 && record->length == old_length) {
            return COALESCING_VALUES_EQUAL;
        }
    }
    record->single_operation = static_cast<uint8_t>(record->single_operation &&
                                                    record->pending == COALESCING_PENDING_NONE);
    if (!pass_on(record)) {
        return COALESCING_REPLACEMENT_DELTA;
    }
    return edit_script_close(record->script) ? COALESCING_EDIT_DELTA : COALESCING_REPLACEMENT_DELTA;
}

KV_EXTERN_C_END
