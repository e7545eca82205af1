/* delta: generate and apply, the contract in core/delta.h.
 *
 * Generating runs the diff driver into an edit script and hands out an edit
 * delta strictly shorter than the new value, the one-byte no-change delta or
 * the replacement delta. Applying walks the delta twice (measure, then fill
 * one exact-size block) and never hands out a half-built value: any copy
 * outside the old value or malformed item fails the whole delta. */
#include "core/delta.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/activity_history.h"
#include "core/block_search.h"
#include "core/cbor.h"
#include "core/cbor_format.h"
#include "core/delta_check.h"
#include "core/edit_script.h"
#include "core/myers.h"
#include "core/owner.h"

namespace {

using cbor_format::kAiIndefinite;
using cbor_format::kMajorBytes;
using cbor_format::kMajorText;
using cbor_format::kMajorUnsigned;
using cbor_format::kNull;

/* Utilisation (in 256ths) from which each quality level 1..4 applies. */
constexpr int32_t kQualityThresholds[] = {128, 166, 204, 243};

/* The delta engine's offsets and lengths are signed 32-bit. */
constexpr uint64_t kMaxValueLength = INT32_MAX;

using BufPtr = kv_owner<buf_s, buf_free>;
using ScriptPtr = kv_owner<edit_script_s, edit_script_free>;

/* A value is usable when its bytes are really there: a null data pointer is
 * only allowed for an empty value. */
bool is_readable(const buf_s *value)
{
    return value != nullptr && (value->data != nullptr || value->length == 0);
}

/* A new buffer of exactly `size` bytes in use (their content left to the
 * caller), allocated once; null when allocation fails. */
BufPtr buffer_of_size(uint64_t size)
{
    BufPtr buf(buf_create());
    if (!buf || size == 0) {
        return buf;
    }
    if (size > SIZE_MAX) {
        return nullptr;
    }
    buf->data = static_cast<uint8_t *>(std::malloc(static_cast<size_t>(size)));
    if (buf->data == nullptr) {
        return nullptr;
    }
    buf->length = size;
    buf->capacity = size;
    return buf;
}

int32_t quality_level(int32_t utilisation)
{
    int32_t level = 0;
    for (const int32_t threshold : kQualityThresholds) {
        if (utilisation >= threshold) {
            ++level;
        }
    }
    return level;
}

/* One copy of the whole old value (offset 0, count its length), or null
 * when allocation fails. */
buf_s *whole_copy_delta(const buf_s *old_value)
{
    uint8_t heads[2 * cbor_format::kMaxHeadSize];
    size_t used = cbor_format::store_head(heads, kMajorUnsigned, 0);
    used += cbor_format::store_head(heads + used, kMajorUnsigned, old_value->length);
    BufPtr delta = buffer_of_size(used);
    if (delta) {
        std::memcpy(delta->data, heads, used);
    }
    return delta.release();
}

/* ------------------------------------------------------------- reading */

/* The parser reports initial bytes it cannot decode on standard error; a
 * second pass over such a delta would report them twice. */
bool parser_reports(uint8_t byte) { return cbor_jump_table[byte] == &cbor_parse_unimplemented; }

enum class Walk {
    kComplete,  /* every item read and applied, up to the end or the trailer */
    kMalformed, /* the delta is malformed */
    kRefused,   /* the sink refused a range; the sink says why */
    kReported,  /* stopped before an item the parser reports on stderr */
};

/* Where a walk stops short of the delta's end: nowhere, or at the offset of
 * a trailer candidate if an item boundary falls exactly there. */
constexpr uint64_t kNoTrailer = UINT64_MAX;

/* Reads the delta item by item and hands every range it adds to the value to
 * sink(pointer, count), which returns false to abandon the walk. Copies are
 * checked to lie within the old value before the sink sees them. With
 * stop_before_reports the walk stops, having read nothing of it, at the
 * first item whose decoding would write a message. A walk that reaches
 * trailer_at at an item boundary ends there and records it. Without
 * check_ranges copies are not tested against the old value: such a walk
 * only finds where the items lie. */
template <typename Sink>
class DeltaWalker {
public:
    DeltaWalker(const buf_s *old_value, const buf_s *delta, uint64_t trailer_at,
                bool stop_before_reports, Sink &sink, bool check_ranges = true)
        : old_(old_value), delta_(delta), trailer_at_(trailer_at),
          stop_before_reports_(stop_before_reports), check_ranges_(check_ranges), sink_(sink)
    {}

    Walk run()
    {
        if (_cbor_parser_init(&parser_, delta_->data, delta_->length) != 0) {
            return Walk::kMalformed;
        }
        while (!at_end()) {
            if (static_cast<uint64_t>(parser_.cursor - parser_.start) == trailer_at_) {
                reached_trailer_ = true;
                return Walk::kComplete;
            }
            cbor_val_s item{};
            Walk step = read_item(&item);
            if (step == Walk::kComplete) {
                step = apply(item);
            }
            if (step != Walk::kComplete) {
                return step;
            }
        }
        return Walk::kComplete;
    }

    bool reached_trailer() const { return reached_trailer_; }

private:
    bool at_end() const { return parser_.cursor == parser_.start + parser_.length; }

    /* Decodes the item at the cursor (which must not be at the end). A
     * reserved initial byte or an item running past the end is malformed. */
    Walk read_item(cbor_val_s *item)
    {
        const uint8_t initial = *parser_.cursor;
        if (stop_before_reports_ && parser_reports(initial)) {
            return Walk::kReported;
        }
        /* The parser skips reserved bytes; a delta holding one is rejected
         * rather than half applied. */
        if (cbor_format::is_reserved_initial_byte(initial) ||
            _cbor_next_view(&parser_, item) != 1) {
            return Walk::kMalformed;
        }
        return Walk::kComplete;
    }

    Walk apply(const cbor_val_s &item)
    {
        switch (item.major_type) {
        case kMajorUnsigned:
            return apply_copy(item.value.u64);
        case kMajorBytes:
        case kMajorText:
            /* An indefinite-length head adds nothing itself: its definite
             * chunks follow as ordinary strings and its break is skipped. */
            if (cbor_format::ai_of(item.initial_byte) == kAiIndefinite) {
                return Walk::kComplete;
            }
            return sink_(item.value.ptr, item.length) ? Walk::kComplete : Walk::kRefused;
        default:
            return Walk::kComplete;
        }
    }

    /* A copy is an offset followed by a count; both must be unsigned
     * integers and old[offset, offset + count) must lie in the old value. */
    Walk apply_copy(uint64_t offset)
    {
        if (at_end()) {
            return Walk::kMalformed;
        }
        cbor_val_s count_item{};
        const Walk read = read_item(&count_item);
        if (read != Walk::kComplete) {
            return read;
        }
        const uint64_t count = count_item.value.u64;
        const uint64_t old_length = old_->length;
        if (count_item.major_type != kMajorUnsigned) {
            return Walk::kMalformed;
        }
        if (!check_ranges_) {
            return Walk::kComplete;
        }
        if (offset > old_length || count > old_length - offset) {
            return Walk::kMalformed;
        }
        return sink_(old_->data + offset, count) ? Walk::kComplete : Walk::kRefused;
    }

    const buf_s *old_;
    const buf_s *delta_;
    const uint64_t trailer_at_;
    const bool stop_before_reports_;
    const bool check_ranges_;
    Sink &sink_;
    cbor_parser_s parser_{};
    bool reached_trailer_ = false;
};

/* Sums the size of the rebuilt value; refuses a sum that would overflow. */
struct MeasureSink {
    uint64_t total = 0;
    bool operator()(const uint8_t *, uint64_t count)
    {
        if (count > UINT64_MAX - total) {
            return false;
        }
        total += count;
        return true;
    }
};

/* Copies into a block already sized by MeasureSink. The bound is checked
 * again: a caller may hand over a writable delta that another thread changes
 * between the two passes, and the block must never be overrun. */
struct FillSink {
    uint8_t *out;
    uint8_t *end;
    bool operator()(const uint8_t *bytes, uint64_t count)
    {
        if (count > static_cast<uint64_t>(end - out)) {
            return false;
        }
        if (count > 0) {
            std::memcpy(out, bytes, static_cast<size_t>(count));
            out += count;
        }
        return true;
    }
};

/* Appends to a growing buffer of at most max_size bytes; records why it
 * refused (the cap, or a block that could not grow). */
struct AppendSink {
    buf_s *out;
    uint64_t max_size;
    kv_status refusal = KV_OK;
    bool operator()(const uint8_t *bytes, uint64_t count)
    {
        if (count == 0) {
            return true;
        }
        if (count > max_size - out->length) {
            refusal = KV_LIMIT_REACHED;
            return false;
        }
        const uint64_t before = out->length;
        buf_write_bytes(out, bytes, count);
        if (out->length - before != count) {
            refusal = KV_OUT_OF_MEMORY;
            return false;
        }
        return true;
    }
};

/* What the caller asked of one apply, and the trailer found for it. */
struct ApplyPlan {
    uint32_t flags;
    uint64_t max_size;
    uint64_t trailer_at_offset; /* where a trailer-shaped tail starts, or kNoTrailer */
    bool trailer_covers;        /* its last hash covers the bytes before it */
    bool old_matches;           /* the old value has the length and hash it records */
    delta_trailer_s trailer;
};

/* The status of a walk that did not complete. */
kv_status walk_failure(Walk walk, kv_status sink_refusal)
{
    return walk == Walk::kRefused ? sink_refusal : KV_MALFORMED;
}

/* Checks that need the rebuilt size only, made before anything is
 * allocated: a trailer must have been reached where one is required, must
 * cover the delta and record this size, and the size must fit the cap. */
kv_status check_before_output(const ApplyPlan &plan, bool reached_trailer, uint64_t size)
{
    if (reached_trailer && !plan.trailer_covers) {
        return KV_DELTA_MISMATCH;
    }
    if (reached_trailer && !plan.old_matches) {
        return KV_OLD_MISMATCH;
    }
    if (!reached_trailer && (plan.flags & DIFF_APPLY_VERIFY) != 0) {
        return KV_UNCHECKED;
    }
    if (reached_trailer && size != plan.trailer.new_length) {
        return KV_NEW_MISMATCH;
    }
    return size > plan.max_size ? KV_LIMIT_REACHED : KV_OK;
}

kv_status check_output(const ApplyPlan &plan, bool reached_trailer, const buf_s *out)
{
    if (reached_trailer &&
        !delta_check_value_matches(out, plan.trailer.new_length, plan.trailer.new_hash)) {
        return KV_NEW_MISMATCH;
    }
    return KV_OK;
}

/* The usual path: measure, check, allocate once, fill, check. */
kv_status apply_sized(const buf_s *old_value, const buf_s *delta, const ApplyPlan &plan,
                      Walk *measured, BufPtr *result)
{
    MeasureSink measure;
    DeltaWalker<MeasureSink> measuring(old_value, delta, plan.trailer_at_offset, true, measure);
    *measured = measuring.run();
    if (*measured != Walk::kComplete) {
        return walk_failure(*measured, KV_OUT_OF_RANGE);
    }
    const bool reached_trailer = measuring.reached_trailer();
    kv_status status = check_before_output(plan, reached_trailer, measure.total);
    if (status != KV_OK) {
        return status;
    }
    if (measure.total > SIZE_MAX) {
        return KV_OUT_OF_RANGE;
    }
    BufPtr out = buffer_of_size(measure.total);
    if (!out) {
        return KV_OUT_OF_MEMORY;
    }
    FillSink fill{out->data, out->data + measure.total};
    const Walk filled =
        DeltaWalker<FillSink>(old_value, delta, plan.trailer_at_offset, false, fill).run();
    /* The second pass must rebuild exactly what the first measured; anything
     * else means the delta changed in between. */
    if (filled != Walk::kComplete || fill.out != fill.end) {
        return KV_MALFORMED;
    }
    status = check_output(plan, reached_trailer, out.get());
    if (status == KV_OK) {
        *result = std::move(out);
    }
    return status;
}

/* For deltas the parser reports on: one pass, growing the output, so each
 * message is written once. */
kv_status apply_growing(const buf_s *old_value, const buf_s *delta, const ApplyPlan &plan,
                        BufPtr *result)
{
    BufPtr out(buf_create());
    if (!out) {
        return KV_OUT_OF_MEMORY;
    }
    AppendSink append{out.get(), plan.max_size};
    DeltaWalker<AppendSink> walker(old_value, delta, plan.trailer_at_offset, false, append);
    const Walk walk = walker.run();
    if (walk != Walk::kComplete) {
        return walk_failure(walk, append.refusal);
    }
    kv_status status = check_before_output(plan, walker.reached_trailer(), out->length);
    if (status == KV_OK) {
        status = check_output(plan, walker.reached_trailer(), out.get());
    }
    if (status == KV_OK) {
        *result = std::move(out);
    }
    return status;
}

/* The no-change delta F6: the new value is the old one. */
kv_status apply_unchanged(const buf_s *old_value, const ApplyPlan &plan, BufPtr *result)
{
    if ((plan.flags & DIFF_APPLY_VERIFY) != 0) {
        return KV_UNCHECKED;
    }
    if (old_value->length > plan.max_size) {
        return KV_LIMIT_REACHED;
    }
    BufPtr out(buf_dup(old_value));
    if (!out) {
        return KV_OUT_OF_MEMORY;
    }
    *result = std::move(out);
    return KV_OK;
}

/* Whether an item boundary of delta falls at trailer_at, found without
 * testing copies against the old value. */
bool trailer_is_an_item(const buf_s *old_value, const buf_s *delta, uint64_t trailer_at)
{
    MeasureSink ignored;
    DeltaWalker<MeasureSink> walker(old_value, delta, trailer_at, true, ignored, false);
    return walker.run() == Walk::kComplete && walker.reached_trailer();
}

/* Applies delta to old_value under flags and max_size: KV_OK with *result
 * set, or the reason for refusing (*result untouched). */
kv_status apply_delta(const buf_s *old_value, const buf_s *delta, uint32_t flags, uint64_t max_size,
                      BufPtr *result)
{
    if (!is_readable(old_value) || !is_readable(delta)) {
        return KV_INVALID_ARGUMENT;
    }
    if (delta->length > kMaxValueLength) {
        return KV_OUT_OF_RANGE;
    }
    ApplyPlan plan{flags, max_size, kNoTrailer, false, false, {}};
    if (delta->length == 1 && delta->data[0] == kNull) {
        return apply_unchanged(old_value, plan, result);
    }
    if (delta_check_read_trailer(delta, &plan.trailer)) {
        plan.trailer_at_offset = delta->length - DELTA_TRAILER_SIZE;
        plan.trailer_covers = delta_check_covers(delta, &plan.trailer) != 0;
        plan.old_matches =
            plan.trailer_covers &&
            delta_check_value_matches(old_value, plan.trailer.old_length, plan.trailer.old_hash);
        /* Under verify, a trailer-shaped tail that does not cover the bytes
         * before it is a trailer that does not match when the items end
         * where it begins. When they do not, a changed byte may have moved
         * them, or the tail may be the end of a literal of a delta made
         * without a checksum: neither can be told from the other. */
        if ((flags & DIFF_APPLY_VERIFY) != 0 && !plan.trailer_covers) {
            return trailer_is_an_item(old_value, delta, plan.trailer_at_offset) ? KV_DELTA_MISMATCH
                                                                                : KV_UNVERIFIABLE;
        }
        /* A wrong base is named as such, not as the copy that reaches
         * outside it, once the items show that the trailer is one. */
        if (plan.trailer_covers && !plan.old_matches &&
            trailer_is_an_item(old_value, delta, plan.trailer_at_offset)) {
            return KV_OLD_MISMATCH;
        }
    }
    Walk measured = Walk::kMalformed;
    const kv_status status = apply_sized(old_value, delta, plan, &measured, result);
    if (measured == Walk::kReported) {
        return apply_growing(old_value, delta, plan, result);
    }
    return status;
}

/* ----------------------------------------------------------- generating */

/* The search limits and the caller's poll of one difference. */
struct Limits {
    int32_t slots;
    int32_t work;
};
struct Poll {
    kv_poll_fn fn;
    void *context;
};

/* The bytes of the delta the search result r calls for: KV_OK with *delta
 * set, or the reason there is none. */
kv_status delta_for_result(int32_t r, const edit_script_s *script, const buf_s *old_value,
                           const buf_s *new_value, uint32_t flags, BufPtr *delta)
{
    switch (r) {
    case MYERS_VALUES_EQUAL:
        if ((flags & DIFF_GENERATE_CHECKSUM) != 0) {
            /* A reader that skips the null would rebuild an empty value from
             * F6 plus a trailer; one copy of the whole old value means the
             * same to every reader. */
            delta->reset(whole_copy_delta(old_value));
        } else if ((*delta = buffer_of_size(1))) {
            (*delta)->data[0] = kNull;
        }
        break;
    case MYERS_REPLACEMENT_DELTA:
        delta->reset(_write_replacement_delta(new_value));
        break;
    case MYERS_EDIT_DELTA:
        delta->reset(buf_dup(script->output));
        break;
    case MYERS_ALLOCATION_FAILED:
        return KV_OUT_OF_MEMORY;
    case MYERS_CANCELLED:
        return KV_CANCELLED;
    default:
        return KV_OUT_OF_RANGE;
    }
    return *delta ? KV_OK : KV_OUT_OF_MEMORY;
}

/* The block search's delta for values already checked: equal values give,
 * under DIFF_GENERATE_CHECKSUM, one copy of the whole old value as in
 * delta_for_result. */
kv_status generate_blocks_delta(const buf_s *old_value, const buf_s *new_value, uint32_t flags,
                                const Poll &poll, BufPtr *result)
{
    kv_status status = KV_OK;
    BufPtr delta(
        diff_generate_binary_blocks_polled(old_value, new_value, poll.fn, poll.context, &status));
    if (status != KV_OK) {
        return status;
    }
    if ((flags & DIFF_GENERATE_CHECKSUM) != 0 && delta->length == 1 && delta->data[0] == kNull) {
        delta.reset(whole_copy_delta(old_value));
        if (delta && delta->length >= new_value->length) {
            delta.reset(_write_replacement_delta(new_value));
        }
    }
    if (!delta) {
        return KV_OUT_OF_MEMORY;
    }
    *result = std::move(delta);
    return KV_OK;
}

/* The search and the choice of delta, without the trailer. */
kv_status generate_delta(activity_history_s *history, const buf_s *old_value,
                         const buf_s *new_value, const Limits &limits, uint32_t flags,
                         const Poll &poll, BufPtr *result)
{
    if ((flags & DIFF_GENERATE_BLOCKS) != 0) {
        return generate_blocks_delta(old_value, new_value, flags, poll, result);
    }
    int32_t level = MYERS_QUALITY_FULL;
    if (history != nullptr) {
        korvalent_activity_history_start(history);
        level = quality_level(korvalent_activity_history_utilisation(history));
        history->last_delta_quality = level;
    }
    ScriptPtr script(edit_script_create(old_value, new_value));
    int32_t r = script ? MYERS_INVALID_RANGES : MYERS_ALLOCATION_FAILED;
    if (script) {
        r = myers_binary_diff_polled(old_value, 0, static_cast<int32_t>(old_value->length),
                                     new_value, 0, static_cast<int32_t>(new_value->length),
                                     script.get(), limits.slots, limits.work,
                                     static_cast<uint32_t>(level), poll.fn, poll.context);
    }
    if (history != nullptr) {
        korvalent_activity_history_stop(history);
    }
    BufPtr delta;
    const kv_status status = delta_for_result(r, script.get(), old_value, new_value, flags, &delta);
    if (status != KV_OK) {
        return status;
    }
    if (delta->length >= new_value->length) {
        delta.reset(_write_replacement_delta(new_value));
        if (!delta) {
            return KV_OUT_OF_MEMORY;
        }
    }
    *result = std::move(delta);
    return KV_OK;
}

} // namespace

KV_EXTERN_C_BEGIN

buf_s *diff_generate_binary(const buf_s *old_value, const buf_s *new_value)
{
    return diff_generate_binary_with_activity_history_ex(
        nullptr, old_value, new_value, DIFF_DEFAULT_SLOT_LIMIT, DIFF_DEFAULT_WORK_LIMIT);
}

buf_s *diff_generate_binary_checked(const buf_s *old_value, const buf_s *new_value)
{
    return diff_generate_binary_flags(nullptr, old_value, new_value, DIFF_DEFAULT_SLOT_LIMIT,
                                      DIFF_DEFAULT_WORK_LIMIT, DIFF_GENERATE_CHECKSUM, nullptr);
}

buf_s *diff_generate_binary_ex(const buf_s *old_value, const buf_s *new_value, int32_t slot_limit,
                               int32_t work_limit)
{
    return diff_generate_binary_with_activity_history_ex(nullptr, old_value, new_value, slot_limit,
                                                         work_limit);
}

buf_s *diff_generate_binary_with_activity_history(activity_history_s *history,
                                                  const buf_s *old_value, const buf_s *new_value)
{
    return diff_generate_binary_with_activity_history_ex(
        history, old_value, new_value, DIFF_DEFAULT_SLOT_LIMIT, DIFF_DEFAULT_WORK_LIMIT);
}

buf_s *diff_generate_binary_with_activity_history_ex(activity_history_s *history,
                                                     const buf_s *old_value, const buf_s *new_value,
                                                     int32_t slot_limit, int32_t work_limit)
{
    return diff_generate_binary_flags(history, old_value, new_value, slot_limit, work_limit, 0,
                                      nullptr);
}

buf_s *diff_generate_binary_flags(activity_history_s *history, const buf_s *old_value,
                                  const buf_s *new_value, int32_t slot_limit, int32_t work_limit,
                                  uint32_t flags, kv_status *status)
{
    return diff_generate_binary_polled(history, old_value, new_value, slot_limit, work_limit, flags,
                                       nullptr, nullptr, status);
}

buf_s *diff_generate_binary_polled(activity_history_s *history, const buf_s *old_value,
                                   const buf_s *new_value, int32_t slot_limit, int32_t work_limit,
                                   uint32_t flags, kv_poll_fn poll, void *poll_context,
                                   kv_status *status)
{
    BufPtr delta;
    kv_status result = KV_INVALID_ARGUMENT;
    if (is_readable(old_value) && is_readable(new_value)) {
        /* Longer values would be cut modulo 2^32 by the 32-bit lengths and
         * pass the driver's range checks with the wrong length. */
        result = old_value->length <= kMaxValueLength && new_value->length <= kMaxValueLength
                     ? generate_delta(history, old_value, new_value, Limits{slot_limit, work_limit},
                                      flags, Poll{poll, poll_context}, &delta)
                     : KV_OUT_OF_RANGE;
    }
    if (result == KV_OK && (flags & DIFF_GENERATE_CHECKSUM) != 0) {
        result = delta_check_append_trailer(delta.get(), old_value, new_value);
    }
    /* No reader applies a delta that long (a value within a few bytes of
     * 2^31 whose replacement delta is the shortest): refused, not returned. */
    if (result == KV_OK && delta->length > kMaxValueLength) {
        result = KV_OUT_OF_RANGE;
    }
    if (status != nullptr) {
        *status = result;
    }
    return result == KV_OK ? delta.release() : nullptr;
}

buf_s *_write_replacement_delta(const buf_s *new_value)
{
    if (!is_readable(new_value)) {
        return nullptr;
    }
    /* The payload is copied once, straight into a block of the final size,
     * behind the byte string's head. */
    const uint64_t length = new_value->length;
    const unsigned head_length = cbor_format::head_size(length);
    if (length > UINT64_MAX - head_length) {
        return nullptr;
    }
    BufPtr delta = buffer_of_size(head_length + length);
    if (!delta) {
        return nullptr;
    }
    cbor_format::store_head(delta->data, kMajorBytes, length);
    if (length > 0) {
        std::memcpy(delta->data + head_length, new_value->data, static_cast<size_t>(length));
    }
    return delta.release();
}

buf_s *diff_apply_binary(const buf_s *old_value, const buf_s *delta)
{
    return diff_apply_binary_ex(old_value, delta, 0, UINT64_MAX, nullptr);
}

buf_s *diff_apply_binary_ex(const buf_s *old_value, const buf_s *delta, uint32_t flags,
                            uint64_t max_size, kv_status *status)
{
    BufPtr out;
    const kv_status result = apply_delta(old_value, delta, flags, max_size, &out);
    if (status != nullptr) {
        *status = result;
    }
    return out.release();
}

KV_EXTERN_C_END
