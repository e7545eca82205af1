// The search work bound of the default engine: below it the deltas are those
// of the unbounded engine byte for byte, at it the difference gives the
// replacement delta, and it grows with the input as stated.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/buf.h"
#include "core/delta.h"
#include "core/edit_script.h"
#include "core/myers.h"

#include "search_support.h"

using namespace search_support;

namespace {

constexpr int32_t kSlots = DIFF_DEFAULT_SLOT_LIMIT;
constexpr int32_t kWork = DIFF_DEFAULT_WORK_LIMIT;

struct Bounded {
    int32_t result;
    Bytes delta;
    int64_t spent;
};

Bounded run_bounded(const Bytes &o, const Bytes &n, uint32_t quality, int64_t bound)
{
    const buf_s ov = view(o);
    const buf_s nv = view(n);
    edit_script_s *script = edit_script_create(&ov, &nv);
    Bounded out{MYERS_INVALID_RANGES, {}, -1};
    if (script == nullptr) {
        return out;
    }
    out.result = myers_binary_diff_bounded(&ov, 0, static_cast<int32_t>(o.size()), &nv, 0,
                                           static_cast<int32_t>(n.size()), script, kSlots, kWork,
                                           quality, bound, &out.spent);
    if (out.result == MYERS_EDIT_DELTA) {
        out.delta.assign(script->output->data, script->output->data + script->output->length);
    }
    edit_script_free(script);
    return out;
}

// Generated pairs of every kind at every level: the default driver and the
// unbounded one agree byte for byte, and the work spent stays below the
// default bound.
TEST(WorkBound, DefaultBoundLeavesGeneratedPairsUnchanged)
{
    Rng rng(0xB0D);
    for (int i = 0; i < scaled(4000); ++i) {
        const auto kind = static_cast<PairKind>(i % static_cast<int>(PairKind::kCount));
        Bytes o;
        Bytes n;
        make_pair(rng, kind, i % 200 == 0 ? 30000 : 600, &o, &n);
        const uint32_t quality = static_cast<uint32_t>(rng.below(5));
        const Outcome bounded = run_driver(o, n, Limits{kSlots, kWork, quality});
        const Bounded free = run_bounded(o, n, quality, -1);
        ASSERT_EQ(bounded.result, free.result) << i;
        ASSERT_EQ(bounded.delta, free.delta) << i;
        ASSERT_LT(free.spent, myers_binary_diff_work_bound(static_cast<int32_t>(o.size()),
                                                           static_cast<int32_t>(n.size())))
            << i;
    }
}

// Any bound at or above the work a difference needs gives the same delta;
// any bound below it gives the replacement delta.
TEST(WorkBound, ReachingTheBoundGivesTheReplacementDelta)
{
    Rng rng(0x5BD);
    int reached = 0;
    for (int i = 0; i < scaled(600); ++i) {
        const auto kind = static_cast<PairKind>(i % static_cast<int>(PairKind::kCount));
        Bytes o;
        Bytes n;
        make_pair(rng, kind, 3000, &o, &n);
        const Bounded free = run_bounded(o, n, 0, -1);
        ASSERT_GE(free.spent, 0);
        const Bounded exact = run_bounded(o, n, 0, free.spent);
        EXPECT_EQ(exact.result, free.result) << i;
        EXPECT_EQ(exact.delta, free.delta) << i;
        EXPECT_EQ(exact.spent, free.spent) << i;
        if (free.spent > 0) {
            const Bounded short_of_it = run_bounded(o, n, 0, free.spent - 1);
            EXPECT_EQ(short_of_it.result, MYERS_REPLACEMENT_DELTA) << i;
            EXPECT_EQ(short_of_it.spent, free.spent) << i;
            ++reached;
        }
    }
    EXPECT_GT(reached, scaled(600) / 4);
}

TEST(WorkBound, BoundGrowsLinearlyWithBothLengths)
{
    const int64_t base = myers_binary_diff_work_bound(0, 0);
    const int64_t per_byte = myers_binary_diff_work_bound(1, 0) - base;
    EXPECT_GT(base, 0);
    EXPECT_GT(per_byte, 0);
    EXPECT_EQ(myers_binary_diff_work_bound(0, 1) - base, per_byte);
    EXPECT_EQ(myers_binary_diff_work_bound(-5, -7), base);
    EXPECT_EQ(myers_binary_diff_work_bound(INT32_MAX, INT32_MAX),
              base + per_byte * 2 * int64_t{INT32_MAX});
}

// A bound stops a long search as soon as it is reached: unrelated values
// whose unbounded search visits tens of millions of diagonals stop one visit
// past a bound of 1000. (The generator reaching the default bound is checked
// on megabyte values by the long tests.)
TEST(WorkBound, ABoundStopsALongSearchWhereItIsReached)
{
    Rng rng(0xFEE);
    const Bytes o = random_bytes(rng, 12000, 256);
    const Bytes n = random_bytes(rng, 12000, 256);
    const Bounded free = run_bounded(o, n, 0, -1);
    ASSERT_GT(free.spent, 1000000);
    const Bounded stopped = run_bounded(o, n, 0, 1000);
    EXPECT_EQ(stopped.result, MYERS_REPLACEMENT_DELTA);
    EXPECT_EQ(stopped.spent, 1001);
}

} // namespace
