// The caller's poll of a long delta search: a poll that lets the search go
// on changes nothing in the delta, and one that asks it to stop ends the
// search at that poll with KV_CANCELLED and nothing leaked, for both the
// default engine and the block search.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/block_search.h"
#include "core/buf.h"
#include "core/delta.h"
#include "core/status.h"

#include "search_support.h"

using namespace search_support;

namespace {

// Counts its calls and asks to stop at call stop_at (0: never).
struct Counter {
    int32_t calls = 0;
    int32_t stop_at = 0;
};

int32_t count_poll(void *context)
{
    auto *counter = static_cast<Counter *>(context);
    ++counter->calls;
    return counter->stop_at != 0 && counter->calls >= counter->stop_at ? 1 : 0;
}

struct Polled {
    kv_status status = KV_OK;
    Bytes delta;
};

Polled diff_polled(const Bytes &o, const Bytes &n, uint32_t flags, Counter *counter)
{
    const buf_s ov = view(o);
    const buf_s nv = view(n);
    Polled run;
    buf_s *delta = diff_generate_binary_polled(nullptr, &ov, &nv, DIFF_DEFAULT_SLOT_LIMIT,
                                               DIFF_DEFAULT_WORK_LIMIT, flags, &count_poll, counter,
                                               &run.status);
    if (delta != nullptr) {
        run.delta.assign(delta->data, delta->data + delta->length);
        buf_free(delta);
    }
    return run;
}

Bytes diff_plain(const Bytes &o, const Bytes &n, uint32_t flags)
{
    const buf_s ov = view(o);
    const buf_s nv = view(n);
    kv_status status = KV_OK;
    buf_s *delta = diff_generate_binary_flags(nullptr, &ov, &nv, DIFF_DEFAULT_SLOT_LIMIT,
                                              DIFF_DEFAULT_WORK_LIMIT, flags, &status);
    EXPECT_EQ(status, KV_OK);
    Bytes out;
    if (delta != nullptr) {
        out.assign(delta->data, delta->data + delta->length);
        buf_free(delta);
    }
    return out;
}

// A pair long enough to poll several times: unrelated values spend the
// default engine's whole work bound; the block search passes over values of
// many MB, random (scanned) or of two short periods (searched for runs).
struct LongPair {
    uint32_t flags;
    size_t length;
    bool periodic;
};

Bytes periodic(Rng &rng, size_t period, size_t length)
{
    const Bytes pattern = random_bytes(rng, period, 256);
    Bytes out(length);
    for (size_t i = 0; i < length; ++i) {
        out[i] = pattern[i % period];
    }
    return out;
}

class PollTest : public ::testing::TestWithParam<LongPair> {};

TEST_P(PollTest, GoingOnChangesNothingAndStoppingStopsAtOnce)
{
    Rng rng(0x9011);
    const size_t length = GetParam().length;
    const Bytes o = GetParam().periodic ? periodic(rng, 7, length) : random_bytes(rng, length, 256);
    const Bytes n =
        GetParam().periodic ? periodic(rng, 13, length) : random_bytes(rng, length, 256);
    const uint32_t flags = GetParam().flags;
    Counter going;
    const Polled full = diff_polled(o, n, flags, &going);
    ASSERT_EQ(full.status, KV_OK);
    EXPECT_EQ(full.delta, diff_plain(o, n, flags));
    ASSERT_GE(going.calls, 2) << "a long search polls";
    if ((flags & DIFF_GENERATE_BLOCKS) != 0) {
        // as the header states: every 4 MB of the pass over the new value
        EXPECT_GE(static_cast<size_t>(going.calls), length >> 22);
    }

    for (const int32_t stop_at : {1, going.calls}) {
        Counter stopping;
        stopping.stop_at = stop_at;
        const Polled stopped = diff_polled(o, n, flags | DIFF_GENERATE_CHECKSUM, &stopping);
        EXPECT_EQ(stopped.status, KV_CANCELLED);
        EXPECT_TRUE(stopped.delta.empty());
        EXPECT_EQ(stopping.calls, stop_at) << "no poll after the one that stopped";
    }
}

INSTANTIATE_TEST_SUITE_P(Searches, PollTest,
                         ::testing::Values(LongPair{0u, 256 * 1024, false},
                                           LongPair{DIFF_GENERATE_BLOCKS, 24u << 20, false},
                                           LongPair{DIFF_GENERATE_BLOCKS, 24u << 20, true}));

// Generated pairs of every kind keep their deltas under a poll that lets the
// search go on, and under a null poll.
TEST(Poll, GeneratedPairsAreUnchanged)
{
    Rng rng(0x9012);
    for (int i = 0; i < scaled(300); ++i) {
        const auto kind = static_cast<PairKind>(i % static_cast<int>(PairKind::kCount));
        Bytes o;
        Bytes n;
        make_pair(rng, kind, 2000, &o, &n);
        for (const uint32_t flags : {0u, static_cast<uint32_t>(DIFF_GENERATE_BLOCKS)}) {
            const Bytes plain = diff_plain(o, n, flags);
            Counter going;
            const Polled run = diff_polled(o, n, flags, &going);
            ASSERT_EQ(run.status, KV_OK);
            EXPECT_EQ(run.delta, plain);

            const buf_s ov = view(o);
            const buf_s nv = view(n);
            kv_status status = KV_INVALID_ARGUMENT;
            buf_s *delta = diff_generate_binary_polled(nullptr, &ov, &nv, DIFF_DEFAULT_SLOT_LIMIT,
                                                       DIFF_DEFAULT_WORK_LIMIT, flags, nullptr,
                                                       nullptr, &status);
            ASSERT_NE(delta, nullptr);
            EXPECT_EQ(status, KV_OK);
            EXPECT_EQ(Bytes(delta->data, delta->data + delta->length), plain);
            buf_free(delta);
        }
    }
}

TEST(Poll, BlockSearchEntryReportsWhy)
{
    const Bytes o = bytes_of("old value");
    const buf_s ov = view(o);
    kv_status status = KV_OK;
    EXPECT_EQ(diff_generate_binary_blocks_polled(&ov, nullptr, nullptr, nullptr, &status), nullptr);
    EXPECT_EQ(status, KV_INVALID_ARGUMENT);
    buf_s huge = ov;
    huge.length = uint64_t{1} << 31;
    huge.capacity = huge.length;
    EXPECT_EQ(diff_generate_binary_blocks_polled(&ov, &huge, nullptr, nullptr, &status), nullptr);
    EXPECT_EQ(status, KV_OUT_OF_RANGE);
}

} // namespace
