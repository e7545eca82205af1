/* myers: the binary diff driver, the contract in core/myers.h.
 *
 * Validates the ranges, derives the step limit from the quality level, runs
 * one execution through a coalescing record and maps the outcome to a delta
 * kind. An allocation failure anywhere is reported as such, never as a
 * usable result. */
#include "core/myers.h"

#include <memory>

#include "core/execution.h"
#include "core/owner.h"

namespace {

/* Levels 1 and 2 scale the step limit with the shorter length above this
 * size, and use a fixed limit below it. */
constexpr int32_t kScaledLimitThreshold = 259;
constexpr int32_t kLevel1Shift = 2;
constexpr int32_t kLevel1SmallLimit = 64;
constexpr int32_t kLevel2Shift = 4;
constexpr int32_t kLevel2SmallLimit = 16;
constexpr int32_t kLevel3Limit = 1;
/* A limit below the first step: a search that has not met in step 1 bails
 * out right after it. */
constexpr int32_t kNoSearchLimit = -1;

constexpr int64_t kBailoutMinimum = 256;
constexpr int64_t kBailoutScaleThreshold = 25600;
constexpr int64_t kBailoutDivisor = 100;

/* The total search work of one difference: kWorkBoundBase diagonal visits
 * plus kWorkBoundPerByte per byte of both ranges. The test and benchmark
 * workloads spend at most about 280 million (a byte changed every 64 bytes of
 * 1 MB) and 134 per byte, so none reaches it; unrelated values of any size
 * reach it after about the work of an unrelated 1 MB pair per megabyte,
 * instead of growing faster than their size. */
constexpr int64_t kWorkBoundBase = 320000000;
constexpr int64_t kWorkBoundPerByte = 48;

using ExecutionOwner = kv_owner<execution_s, execution_free>;

} // namespace

KV_EXTERN_C_BEGIN

int32_t myers_binary_diff_step_limit(uint32_t quality, int32_t old_length, int32_t new_length,
                                     int32_t work_limit)
{
    int32_t shorter = old_length < new_length ? old_length : new_length;
    if (work_limit < shorter) {
        shorter = work_limit;
    }
    switch (quality) {
    case 0:
        return work_limit;
    case 1:
        return shorter > kScaledLimitThreshold ? shorter >> kLevel1Shift : kLevel1SmallLimit;
    case 2:
        return shorter > kScaledLimitThreshold ? shorter >> kLevel2Shift : kLevel2SmallLimit;
    case 3:
        return kLevel3Limit;
    default:
        return kNoSearchLimit;
    }
}

KV_EXTERN_C_END

namespace {

/* An allocation failed somewhere in the difference: the edit script drops
 * its output when an append fails, and the storage marks a failed growth
 * with size -1 (a refusal at its step ceiling leaves the size alone). */
bool allocation_failed(const edit_script_s *script, const execution_s *ex)
{
    return script->output == nullptr || (ex->storage->slots == nullptr && ex->storage->size < 0);
}

/* The arguments of one difference, as the exported drivers take them. */
struct DiffCall {
    const buf_s *old_value;
    int32_t old_start;
    int32_t old_length;
    const buf_s *new_value;
    int32_t new_start;
    int32_t new_length;
    edit_script_s *script;
    int32_t slot_limit;
    int32_t work_limit;
    uint32_t quality;
};

/* One execution of the difference under the work bound (negative: none),
 * with the caller's poll (may be null); a MYERS_* result. */
int32_t run_diff(const DiffCall &c, int64_t work_bound, int64_t *work_spent, kv_poll_fn poll,
                 void *context)
{
    if (myers_binary_diff_check_bounds(c.old_value, c.old_start, c.old_length) != 0 ||
        myers_binary_diff_check_bounds(c.new_value, c.new_start, c.new_length) != 0 ||
        c.script == nullptr) {
        return MYERS_INVALID_RANGES;
    }
    coallescing_script_s record;
    coallescing_script_init(&record, c.script, c.old_start, c.new_start);
    const int32_t limit =
        myers_binary_diff_step_limit(c.quality, c.old_length, c.new_length, c.work_limit);
    ExecutionOwner ex(execution_create(c.old_value, c.new_value, &record, c.slot_limit, limit));
    if (!ex) {
        return MYERS_ALLOCATION_FAILED;
    }
    const int64_t allowance = work_bound < 0 ? EXECUTION_UNBOUNDED_WORK : work_bound;
    ex->work_left = allowance;
    execution_set_poll(ex.get(), poll, context);
    const int32_t ok =
        c.quality == MYERS_QUALITY_TRIM_ONLY
            ? execution_trim_prefix_and_suffix(ex.get(), c.old_start, c.old_length, c.new_start,
                                               c.new_length)
            : execution_diff(ex.get(), c.old_start, c.old_length, c.new_start, c.new_length);
    if (work_spent != nullptr) {
        *work_spent = ex->work_left < 0 ? allowance + 1 : allowance - ex->work_left;
    }
    if (!ok) {
        if (allocation_failed(c.script, ex.get())) {
            return MYERS_ALLOCATION_FAILED;
        }
        return ex->cancelled != 0 ? MYERS_CANCELLED : MYERS_REPLACEMENT_DELTA;
    }
    const int32_t closed = coallescing_script_close(&record, c.old_length, c.new_length);
    if (closed == COALESCING_REPLACEMENT_DELTA && c.script->output == nullptr) {
        return MYERS_ALLOCATION_FAILED;
    }
    return closed;
}

} // namespace

KV_EXTERN_C_BEGIN

int32_t myers_binary_diff_check_bounds(const buf_s *buffer, int32_t start, int32_t length)
{
    if (buffer == nullptr || start < 0 || length < 0) {
        return -1;
    }
    /* A value of 2^31 bytes or more cannot be addressed by 32-bit offsets:
     * refuse it rather than read its length modulo 2^32. */
    if (buffer->length > static_cast<uint64_t>(INT32_MAX)) {
        return -1;
    }
    const int64_t end = static_cast<int64_t>(start) + length;
    return end <= static_cast<int64_t>(buffer->length) ? 0 : -1;
}

int32_t myers_binary_diff(const buf_s *old_value, int32_t old_start, int32_t old_length,
                          const buf_s *new_value, int32_t new_start, int32_t new_length,
                          edit_script_s *script, int32_t slot_limit, int32_t work_limit,
                          uint32_t quality)
{
    return myers_binary_diff_bounded(old_value, old_start, old_length, new_value, new_start,
                                     new_length, script, slot_limit, work_limit, quality,
                                     myers_binary_diff_work_bound(old_length, new_length), nullptr);
}

int32_t myers_binary_diff_bounded(const buf_s *old_value, int32_t old_start, int32_t old_length,
                                  const buf_s *new_value, int32_t new_start, int32_t new_length,
                                  edit_script_s *script, int32_t slot_limit, int32_t work_limit,
                                  uint32_t quality, int64_t work_bound, int64_t *work_spent)
{
    const DiffCall call{old_value,  old_start, old_length, new_value,  new_start,
                        new_length, script,    slot_limit, work_limit, quality};
    return run_diff(call, work_bound, work_spent, nullptr, nullptr);
}

int32_t myers_binary_diff_polled(const buf_s *old_value, int32_t old_start, int32_t old_length,
                                 const buf_s *new_value, int32_t new_start, int32_t new_length,
                                 edit_script_s *script, int32_t slot_limit, int32_t work_limit,
                                 uint32_t quality, kv_poll_fn poll, void *context)
{
    const DiffCall call{old_value,  old_start, old_length, new_value,  new_start,
                        new_length, script,    slot_limit, work_limit, quality};
    return run_diff(call, myers_binary_diff_work_bound(old_length, new_length), nullptr, poll,
                    context);
}

int64_t myers_binary_diff_work_bound(int32_t old_length, int32_t new_length)
{
    const int64_t total =
        static_cast<int64_t>(old_length < 0 ? 0 : old_length) + (new_length < 0 ? 0 : new_length);
    return kWorkBoundBase + kWorkBoundPerByte * total;
}

int32_t myers_binary_diff_bailout_limit(int32_t factor, int32_t a, int32_t b)
{
    const int64_t c = approx_cube_root(static_cast<int64_t>(a) + b) * factor;
    const int64_t limit = c < kBailoutScaleThreshold ? kBailoutMinimum : c / kBailoutDivisor;
    if (limit > INT32_MAX) {
        return INT32_MAX;
    }
    return limit < INT32_MIN ? INT32_MIN : static_cast<int32_t>(limit);
}

KV_EXTERN_C_END
