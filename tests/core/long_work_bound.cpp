// The default work bound on benchmark-sized values: 1 MB pairs of the kinds
// the benchmark suite diffs (scattered edits, inserted and removed 4 KB
// blocks, unrelated values, a byte changed in every 64) get the same delta
// as from the unbounded engine, with the work spent below the bound.
#include <gtest/gtest.h>

#include "core/buf.h"
#include "core/delta.h"
#include "core/edit_script.h"
#include "core/myers.h"

#include "search_support.h"

using namespace search_support;

namespace {

constexpr size_t kMb = size_t{1} << 20;

Bytes with_blocks(Rng &rng, const Bytes &base, bool insert)
{
    Bytes out = base;
    for (int k = 2; k >= 0; --k) {
        const size_t at =
            static_cast<size_t>(k) * (base.size() / 3) + rng.below(base.size() / 3 - 4096);
        if (insert) {
            const Bytes fresh = random_bytes(rng, 4096, 256);
            out.insert(out.begin() + static_cast<ptrdiff_t>(at), fresh.begin(), fresh.end());
        } else {
            out.erase(out.begin() + static_cast<ptrdiff_t>(at),
                      out.begin() + static_cast<ptrdiff_t>(at + 4096));
        }
    }
    return out;
}

TEST(LongWorkBound, BenchmarkKindsKeepTheirDeltas)
{
    Rng rng(0x1FB);
    const Bytes base = random_bytes(rng, kMb, 256);
    Bytes dense = base;
    for (size_t i = 32; i < dense.size(); i += 64) {
        dense[i] ^= 0x5A;
    }
    const std::vector<Bytes> news = {
        point_edits(rng, base, 1, 256),
        point_edits(rng, base, 10, 256),
        point_edits(rng, base, 100, 256),
        with_blocks(rng, base, true),
        with_blocks(rng, base, false),
        random_bytes(rng, kMb, 256),
        dense,
    };
    const buf_s o = view(base);
    for (size_t i = 0; i < news.size(); ++i) {
        const buf_s n = view(news[i]);
        edit_script_s *bounded = edit_script_create(&o, &n);
        edit_script_s *free = edit_script_create(&o, &n);
        ASSERT_NE(bounded, nullptr);
        ASSERT_NE(free, nullptr);
        const int32_t nl = static_cast<int32_t>(n.length);
        const int32_t r1 = myers_binary_diff(&o, 0, static_cast<int32_t>(kMb), &n, 0, nl, bounded,
                                             DIFF_DEFAULT_SLOT_LIMIT, DIFF_DEFAULT_WORK_LIMIT, 0);
        int64_t spent = 0;
        const int32_t r2 = myers_binary_diff_bounded(&o, 0, static_cast<int32_t>(kMb), &n, 0, nl,
                                                     free, DIFF_DEFAULT_SLOT_LIMIT,
                                                     DIFF_DEFAULT_WORK_LIMIT, 0, -1, &spent);
        EXPECT_EQ(r1, r2) << i;
        EXPECT_LT(spent, myers_binary_diff_work_bound(static_cast<int32_t>(kMb), nl)) << i;
        if (r1 == MYERS_EDIT_DELTA && r2 == MYERS_EDIT_DELTA) {
            EXPECT_EQ(buf_cmp(bounded->output, free->output), 0) << i;
        }
        edit_script_free(bounded);
        edit_script_free(free);
    }
}

// Dense edits over 2 MB: the unbounded search finds an edit delta but spends
// more than the default bound allows, so the generator sends the
// replacement delta instead.
TEST(LongWorkBound, GeneratorSendsTheReplacementWhenTheBoundIsReached)
{
    Rng rng(0xD3E);
    const Bytes base = random_bytes(rng, 2 * kMb, 256);
    Bytes dense = base;
    for (size_t i = 32; i < dense.size(); i += 64) {
        dense[i] ^= 0x5A;
    }
    const buf_s o = view(base);
    const buf_s n = view(dense);
    const int32_t length = static_cast<int32_t>(base.size());
    edit_script_s *free = edit_script_create(&o, &n);
    ASSERT_NE(free, nullptr);
    int64_t spent = 0;
    const int32_t unbounded =
        myers_binary_diff_bounded(&o, 0, length, &n, 0, length, free, DIFF_DEFAULT_SLOT_LIMIT,
                                  DIFF_DEFAULT_WORK_LIMIT, 0, -1, &spent);
    edit_script_free(free);
    ASSERT_EQ(unbounded, MYERS_EDIT_DELTA);
    ASSERT_GT(spent, myers_binary_diff_work_bound(length, length));
    buf_s *delta = diff_generate_binary(&o, &n);
    buf_s *replacement = _write_replacement_delta(&n);
    ASSERT_NE(delta, nullptr);
    ASSERT_NE(replacement, nullptr);
    EXPECT_EQ(buf_cmp(delta, replacement), 0);
    buf_free(delta);
    buf_free(replacement);
}

} // namespace
