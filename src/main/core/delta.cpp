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
#include "core/cbor.h"
#include "core/cbor_format.h"
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
bool is_readable(const buf_s *value) {
    return value != nullptr && (value->data != nullptr || value->length == 0);
}

/* A new buffer of exactly `size` bytes in use (their content left to the
 * caller), allocated once; null when allocation fails. */
BufPtr buffer_of_size(uint64_t size) {
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

int32_t quality_level(int32_t utilisation) {
    int32_t level = 0;
    for (const int32_t threshold : kQualityThresholds) {
        if (utilisation >= threshold) {
            ++level;
        }
    }
    return level;
}

/* ------------------------------------------------------------- reading */

/* The parser reports initial bytes it cannot decode on standard error; a
 * second pass over such a delta would report them twice. */
bool parser_reports(uint8_t byte) {
    return cbor_jump_table[byte] == &cbor_parse_unimplemented;
}

enum class Walk {
    kComplete,  /* every item read and applied */
    kMalformed, /* the delta is malformed, or the sink refused */
    kReported,  /* stopped before an item the parser reports on stderr */
};

/* Reads the delta item by item and hands every range it adds to the value to
 * sink(pointer, count), which returns false to abandon the walk. Copies are
 * checked to lie within the old value before the sink sees them. With
 * stop_before_reports the walk stops, having read nothing of it, at the
 * first item whose decoding would write a message. */
template <typename Sink>
class DeltaWalker {
public:
    DeltaWalker(const buf_s *old_value, const buf_s *delta, bool stop_before_reports, Sink &sink)
        : old_(old_value), delta_(delta), stop_before_reports_(stop_before_reports), sink_(sink) {}

    Walk run() {
        if (_cbor_parser_init(&parser_, delta_->data, delta_->length) != 0) {
            return Walk::kMalformed;
        }
        while (!at_end()) {
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

private:
    bool at_end() const { return parser_.cursor == parser_.start + parser_.length; }

    /* Decodes the item at the cursor (which must not be at the end). A
     * reserved initial byte or an item running past the end is malformed. */
    Walk read_item(cbor_val_s *item) {
        const uint8_t initial = *parser_.cursor;
        if (stop_before_reports_ && parser_reports(initial)) {
            return Walk::kReported;
        }
        /* The parser skips reserved bytes; a delta holding one is rejected
         * rather than half applied. */
        if (cbor_format::is_reserved_initial_byte(initial) || _cbor_next_view(&parser_, item) != 1) {
            return Walk::kMalformed;
        }
        return Walk::kComplete;
    }

    Walk apply(const cbor_val_s &item) {
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
            return sink_(item.value.ptr, item.length) ? Walk::kComplete : Walk::kMalformed;
        default:
            return Walk::kComplete;
        }
    }

    /* A copy is an offset followed by a count; both must be unsigned
     * integers and old[offset, offset + count) must lie in the old value. */
    Walk apply_copy(uint64_t offset) {
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
        if (count_item.major_type != kMajorUnsigned || offset > old_length ||
            count > old_length - offset) {
            return Walk::kMalformed;
        }
        return sink_(old_->data + offset, count) ? Walk::kComplete : Walk::kMalformed;
    }

    const buf_s *old_;
    const buf_s *delta_;
    const bool stop_before_reports_;
    Sink &sink_;
    cbor_parser_s parser_{};
};

template <typename Sink>
Walk walk_delta(const buf_s *old_value, const buf_s *delta, bool stop_before_reports, Sink &sink) {
    return DeltaWalker<Sink>(old_value, delta, stop_before_reports, sink).run();
}

/* Sums the size of the rebuilt value; refuses a sum that would overflow. */
struct MeasureSink {
    uint64_t total = 0;
    bool operator()(const uint8_t *, uint64_t count) {
        if (count > UINT64_MAX - total) {
            return false;
        }
        total += count;
        return true;
    }
};

/* Copies into a block already sized by MeasureSink. */
struct FillSink {
    uint8_t *out;
    bool operator()(const uint8_t *bytes, uint64_t count) {
        if (count > 0) {
            std::memcpy(out, bytes, static_cast<size_t>(count));
            out += count;
        }
        return true;
    }
};

/* Appends to a growing buffer; fails when an append could not grow it. */
struct AppendSink {
    buf_s *out;
    bool operator()(const uint8_t *bytes, uint64_t count) {
        if (count == 0) {
            return true;
        }
        const uint64_t before = out->length;
        buf_write_bytes(out, bytes, count);
        return out->length - before == count;
    }
};

/* The usual path: measure, allocate once, fill. */
BufPtr apply_sized(const buf_s *old_value, const buf_s *delta, Walk *measured) {
    MeasureSink measure;
    *measured = walk_delta(old_value, delta, true, measure);
    if (*measured != Walk::kComplete) {
        return nullptr;
    }
    BufPtr out = buffer_of_size(measure.total);
    if (!out) {
        return nullptr;
    }
    FillSink fill{out->data};
    walk_delta(old_value, delta, false, fill);
    return out;
}

/* For deltas the parser reports on: one pass, growing the output, so each
 * message is written once. */
BufPtr apply_growing(const buf_s *old_value, const buf_s *delta) {
    BufPtr out(buf_create());
    if (!out) {
        return nullptr;
    }
    AppendSink append{out.get()};
    if (walk_delta(old_value, delta, false, append) != Walk::kComplete) {
        return nullptr;
    }
    return out;
}

/* ----------------------------------------------------------- generating */

/* The bytes of the delta the search result r calls for, or null. */
BufPtr delta_for_result(int32_t r, const edit_script_s *script, const buf_s *new_value) {
    switch (r) {
    case MYERS_VALUES_EQUAL: {
        BufPtr unchanged = buffer_of_size(1);
        if (unchanged) {
            unchanged->data[0] = kNull;
        }
        return unchanged;
    }
    case MYERS_REPLACEMENT_DELTA:
        return BufPtr(_write_replacement_delta(new_value));
    case MYERS_EDIT_DELTA:
        return BufPtr(buf_dup(script->output));
    default:
        return nullptr;
    }
}

}  // namespace

KV_EXTERN_C_BEGIN

buf_s *diff_generate_binary(const buf_s *old_value, const buf_s *new_value) {
    return diff_generate_binary_with_activity_history_ex(nullptr, old_value, new_value,
                                                         DIFF_DEFAULT_SLOT_LIMIT,
                                                         DIFF_DEFAULT_WORK_LIMIT);
}

buf_s *diff_generate_binary_ex(const buf_s *old_value, const buf_s *new_value,
                               int32_t slot_limit, int32_t work_limit) {
    return diff_generate_binary_with_activity_history_ex(nullptr, old_value, new_value,
                                                         slot_limit, work_limit);
}

buf_s *diff_generate_binary_with_activity_history(activity_history_s *history,
                                                  const buf_s *old_value,
                                                  const buf_s *new_value) {
    return diff_generate_binary_with_activity_history_ex(history, old_value, new_value,
                                                         DIFF_DEFAULT_SLOT_LIMIT,
                                                         DIFF_DEFAULT_WORK_LIMIT);
}

buf_s *diff_generate_binary_with_activity_history_ex(activity_history_s *history,
                                                     const buf_s *old_value,
                                                     const buf_s *new_value,
                                                     int32_t slot_limit, int32_t work_limit) {
    if (!is_readable(old_value) || !is_readable(new_value)) {
        return nullptr;
    }
    int32_t level = MYERS_QUALITY_FULL;
    if (history != nullptr) {
        korvalent_activity_history_start(history);
        level = quality_level(korvalent_activity_history_utilisation(history));
        history->last_delta_quality = level;
    }
    ScriptPtr script(edit_script_create(old_value, new_value));
    int32_t r = MYERS_INVALID_RANGES;
    /* Longer values would be cut modulo 2^32 by the 32-bit lengths and pass
     * the driver's range checks with the wrong length. */
    if (script && old_value->length <= kMaxValueLength && new_value->length <= kMaxValueLength) {
        r = myers_binary_diff(old_value, 0, static_cast<int32_t>(old_value->length), new_value, 0,
                              static_cast<int32_t>(new_value->length), script.get(), slot_limit,
                              work_limit, static_cast<uint32_t>(level));
    }
    if (history != nullptr) {
        korvalent_activity_history_stop(history);
    }
    BufPtr delta = delta_for_result(r, script.get(), new_value);
    if (delta && delta->length >= new_value->length) {
        delta.reset(_write_replacement_delta(new_value));
    }
    return delta.release();
}

buf_s *_write_replacement_delta(const buf_s *new_value) {
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

buf_s *diff_apply_binary(const buf_s *old_value, const buf_s *delta) {
    if (!is_readable(old_value) || !is_readable(delta)) {
        return nullptr;
    }
    /* The no-change delta: the new value is the old one. */
    if (delta->length == 1 && delta->data[0] == kNull) {
        return buf_dup(old_value);
    }
    Walk measured = Walk::kMalformed;
    BufPtr out = apply_sized(old_value, delta, &measured);
    if (measured == Walk::kReported) {
        out = apply_growing(old_value, delta);
    }
    return out.release();
}

KV_EXTERN_C_END
