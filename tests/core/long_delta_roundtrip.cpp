/* Heavy randomized sweeps of the delta search: millions of generated pairs
 * at every quality level and with small limits, each delta applied back;
 * and the engine's reports against the direct model on a large random and
 * exhaustive set. Takes a few minutes in a release build. */
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/buf.h"
#include "core/execution.h"
#include "execution_model.h"
#include "search_support.h"

using namespace search_support;

namespace {

constexpr int32_t kSlots = 2147483647;
constexpr int32_t kWork = 10000;

/* Every pair: lengths mostly small so that millions fit in minutes, with a
 * steady share of larger values. */
TEST(LongDeltaRoundTrip, MillionsOfGeneratedPairs)
{
    const int32_t slot_limits[] = {kSlots, 1, 2, 10, 100, 1000};
    const int32_t work_limits[] = {kWork, 1, 2, 10, 100};
    const long pairs = quick() ? 300000 : 3000000;
    Rng rng(0x5EED);
    long edit_deltas = 0;
    for (long i = 0; i < pairs; ++i) {
        const auto kind = static_cast<PairKind>(rng.below(static_cast<size_t>(PairKind::kCount)));
        const size_t max_length = i % 1000 == 0 ? 50000 : (i % 50 == 0 ? 2000 : 40);
        Bytes o;
        Bytes n;
        make_pair(rng, kind, max_length, &o, &n);
        const Limits limits{slot_limits[rng.below(6)], work_limits[rng.below(5)],
                            static_cast<uint32_t>(rng.below(6))};
        const Outcome out = run_driver(o, n, limits);
        edit_deltas += out.result == MYERS_EDIT_DELTA;
        const std::string error = check_outcome(o, n, out);
        ASSERT_EQ(error, "") << "pair " << i << " kind " << static_cast<int>(kind) << " level "
                             << limits.quality << " slots " << limits.slot_limit << " work "
                             << limits.work_limit << "\nold " << describe(o) << "\nnew "
                             << describe(n);
    }
    EXPECT_GT(edit_deltas, pairs / 5);
}

/* Large values: hundreds of kilobytes, each kind, every level. */
TEST(LongDeltaRoundTrip, LargeValues)
{
    Rng rng(0xB16);
    for (int i = 0; i < (quick() ? 6 : 40); ++i) {
        const auto kind = static_cast<PairKind>(i % static_cast<int>(PairKind::kCount));
        Bytes o;
        Bytes n;
        make_pair(rng, kind, 400000, &o, &n);
        for (uint32_t quality = 0; quality <= 5; ++quality) {
            const Limits limits{kSlots, kWork, quality};
            ASSERT_EQ(check_pair(o, n, limits), "") << "value " << i << " level " << quality;
        }
    }
}

using execution_model::Model;
using execution_model::Recorder;

bool engine_equals_model(const Bytes &o, const Bytes &n, int32_t slots, int32_t limit,
                         bool trim_only)
{
    const buf_s ov = view(o);
    const buf_s nv = view(n);
    execution_s *ex = execution_create(&ov, &nv, nullptr, slots, limit);
    if (ex == nullptr) {
        return false;
    }
    Recorder engine;
    const int32_t operation =
        trim_only ? EXECUTION_OPERATION_TRIM_PREFIX_AND_SUFFIX : EXECUTION_OPERATION_DIFF;
    const int32_t r =
        execution_trace(ex, operation, 0, static_cast<int32_t>(o.size()), 0,
                        static_cast<int32_t>(n.size()), 0, 0, 0, &Recorder::callback, &engine);
    execution_free(ex);
    Recorder model_rec;
    Model model(o, n, slots, limit, &model_rec);
    const bool ok = trim_only ? model.trim_prefix_and_suffix(0, static_cast<int32_t>(o.size()), 0,
                                                             static_cast<int32_t>(n.size()))
                              : model.diff(0, static_cast<int32_t>(o.size()), 0,
                                           static_cast<int32_t>(n.size()));
    return !model.out_of_bounds_read && ok == (r == 1) && model_rec.reports == engine.reports;
}

TEST(LongDeltaRoundTrip, EngineEqualsTheModelOnRandomPairs)
{
    const int32_t slot_limits[] = {kSlots, kSlots, 2, 10, 100, 1000};
    const int32_t limits[] = {-1, 0, 1, 2, 5, 63, 64, 65, 128, 10000};
    Rng rng(0xD1FF);
    const long pairs = quick() ? 30000 : 500000;
    for (long i = 0; i < pairs; ++i) {
        const auto kind = static_cast<PairKind>(rng.below(static_cast<size_t>(PairKind::kCount)));
        Bytes o;
        Bytes n;
        make_pair(rng, kind, i % 100 == 0 ? 5000 : 120, &o, &n);
        const int32_t slots = slot_limits[rng.below(6)];
        const int32_t limit = limits[rng.below(10)];
        const bool trim_only = rng.below(10) == 0;
        ASSERT_TRUE(engine_equals_model(o, n, slots, limit, trim_only))
            << "pair " << i << " slots " << slots << " limit " << limit << "\nold " << describe(o)
            << "\nnew " << describe(n);
    }
}

/* All pairs over three symbols up to 5 bytes each, and over two symbols up
 * to 8 bytes each, at several limits. */
TEST(LongDeltaRoundTrip, EngineEqualsTheModelExhaustively)
{
    const struct {
        size_t symbols;
        size_t max_length;
    } alphabets[] = {{3, quick() ? 3u : 5u}, {2, quick() ? 5u : 8u}};
    const int32_t limits[] = {10000, 1, -1};
    for (const auto &alphabet : alphabets) {
        std::vector<Bytes> all;
        for (size_t len = 0; len <= alphabet.max_length; ++len) {
            size_t count = 1;
            for (size_t i = 0; i < len; ++i) {
                count *= alphabet.symbols;
            }
            for (size_t code = 0; code < count; ++code) {
                Bytes b;
                for (size_t i = 0, c = code; i < len; ++i, c /= alphabet.symbols) {
                    b.push_back(static_cast<uint8_t>('a' + c % alphabet.symbols));
                }
                all.push_back(b);
            }
        }
        for (const Bytes &o : all) {
            for (const Bytes &n : all) {
                for (int32_t limit : limits) {
                    ASSERT_TRUE(engine_equals_model(o, n, kSlots, limit, false))
                        << "old " << describe(o) << " new " << describe(n) << " limit " << limit;
                    ASSERT_EQ(check_pair(o, n, Limits{kSlots, limit, 0}), "");
                }
            }
        }
    }
}

} // namespace
