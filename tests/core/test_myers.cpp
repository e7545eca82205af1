/* Tests of the diff driver (core/myers.h) and the integer utilities it
 * uses (core/bits.h): range checks, step limits per quality level, driver
 * results, and round trips whose deltas are applied through the shared
 * model of the reader. */
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/buf.h"
#include "core/edit_script.h"
#include "core/myers.h"
#include "search_support.h"

using namespace search_support;

#include "alloc_hook.h"

namespace {

constexpr int32_t kSlots = 2147483647;
constexpr int32_t kWork = 10000;

/* ---------------------------------------------------------- utilities */

TEST(MyersUtilities, LeadingZeroes)
{
    const struct {
        int64_t v;
        int32_t expected;
    } longs[] = {{0, 64},    {1, 63},        {2, 62}, {3, 62},
                 {1024, 53}, {INT64_MAX, 1}, {-1, 0}, {INT64_MIN, 0}};
    for (const auto &c : longs) {
        EXPECT_EQ(number_of_leading_zeroes_long(c.v), c.expected) << c.v;
    }
    const struct {
        int32_t v;
        int32_t expected;
    } ints[] = {{0, 32}, {1, 31}, {255, 24}, {256, 23}, {INT32_MAX, 1}, {-5, 0}, {INT32_MIN, 0}};
    for (const auto &c : ints) {
        EXPECT_EQ(number_of_leading_zeroes_int(c.v), c.expected) << c.v;
    }
}

TEST(MyersUtilities, HighestBit)
{
    const struct {
        int64_t v;
        int32_t expected;
    } longs[] = {{0, 0}, {1, 1}, {2, 2}, {3, 2}, {1024, 11}, {1023, 10}, {INT64_MAX, 63}, {-1, 64}};
    for (const auto &c : longs) {
        EXPECT_EQ(highest_bit_long(c.v), c.expected) << c.v;
    }
    const struct {
        int32_t v;
        int32_t expected;
    } ints[] = {{0, 0}, {1, 1}, {7, 3}, {8, 4}, {INT32_MAX, 31}, {-5, 32}, {INT32_MIN, 32}};
    for (const auto &c : ints) {
        EXPECT_EQ(highest_bit_int(c.v), c.expected) << c.v;
    }
}

TEST(MyersUtilities, NextPowerOfTwo)
{
    const struct {
        uint32_t v;
        uint32_t expected;
    } ints[] = {{0, 1},
                {1, 1},
                {2, 2},
                {3, 4},
                {5, 8},
                {8, 8},
                {9, 16},
                {1000, 1024},
                {1073741823, 1073741824},
                {1073741824, 1073741824},
                {1073741825, 0xFFFFFFFFu},
                {0xFFFFFFFFu, 0xFFFFFFFFu}};
    for (const auto &c : ints) {
        EXPECT_EQ(find_next_power_of_two_int(c.v), c.expected) << c.v;
    }
    const struct {
        uint64_t v;
        uint64_t expected;
    } longs[] = {{0, 1},
                 {1, 1},
                 {3, 4},
                 {1000, 1024},
                 {(uint64_t{1} << 40) + 1, uint64_t{1} << 41},
                 {uint64_t{1} << 62, uint64_t{1} << 62},
                 {(uint64_t{1} << 62) + 1, UINT64_MAX},
                 {UINT64_MAX, UINT64_MAX}};
    for (const auto &c : longs) {
        EXPECT_EQ(find_next_power_of_two_long(c.v), c.expected) << c.v;
    }
}

TEST(MyersUtilities, NextPowerOfTwoMatchesASearchModel)
{
    for (uint32_t v = 2; v < 70000; ++v) {
        uint32_t p = 1;
        while (p < v) {
            p *= 2;
        }
        ASSERT_EQ(find_next_power_of_two_int(v), p) << v;
        ASSERT_EQ(find_next_power_of_two_long(v), p) << v;
    }
}

TEST(MyersUtilities, ApproxCubeRoot)
{
    const struct {
        int64_t v;
        int64_t expected;
    } cases[] = {{0, 0},
                 {1, 1},
                 {7, 2},
                 {8, 2},
                 {63, 4},
                 {64, 4},
                 {511, 8},
                 {512, 8},
                 {1000, 8},
                 {1073741824, 1024},
                 {INT64_MAX, 1 << 21},
                 {-1, 1 << 21},
                 {INT64_MIN, 1 << 21}};
    for (const auto &c : cases) {
        EXPECT_EQ(approx_cube_root(c.v), c.expected) << c.v;
    }
}

TEST(MyersUtilities, BailoutLimit)
{
    EXPECT_EQ(myers_binary_diff_bailout_limit(100, 1000, 1000), 256);
    EXPECT_EQ(myers_binary_diff_bailout_limit(1000, 536870912, 536870912), 10240);
    EXPECT_EQ(myers_binary_diff_bailout_limit(0, 5, 5), 256);
    EXPECT_EQ(myers_binary_diff_bailout_limit(-100, 1000, 1000), 256);
    EXPECT_EQ(myers_binary_diff_bailout_limit(3200, 1000, 1000), 256); /* 8 x 3200 = 25600 / 100 */
    EXPECT_EQ(myers_binary_diff_bailout_limit(3199, 1000, 1000), 256);
    EXPECT_EQ(myers_binary_diff_bailout_limit(3300, 1000, 1000), 264);
}

/* a + b and the product are taken in 64 bits and the result saturates; in
 * 32 bits a + b would wrap to a negative sum and the product overflow. */
TEST(MyersUtilities, BailoutLimitDoesNotOverflow)
{
    /* a + b = 2^32 - 2: bit length 32, cube root 2^10. */
    EXPECT_EQ(myers_binary_diff_bailout_limit(1000, INT32_MAX, INT32_MAX), 10240);
    /* 2^10 x (2^31 - 1) / 100 is past the 32-bit range. */
    EXPECT_EQ(myers_binary_diff_bailout_limit(INT32_MAX, INT32_MAX, INT32_MAX), INT32_MAX);
    /* A negative sum takes the 2^21 root: 2^21 x 2^20 / 100 saturates too. */
    EXPECT_EQ(myers_binary_diff_bailout_limit(1 << 20, -5, -5), INT32_MAX);
    EXPECT_EQ(myers_binary_diff_bailout_limit(INT32_MIN, INT32_MAX, INT32_MAX), 256);
}

/* ------------------------------------------------------- bounds, limits */

TEST(MyersBounds, CheckBounds)
{
    const Bytes ten(10, 'x');
    const buf_s b = view(ten);
    const struct {
        int32_t start;
        int32_t length;
        int32_t expected;
    } cases[] = {{0, 10, 0},  {0, 0, 0},          {10, 0, 0},         {3, 7, 0},
                 {0, 11, -1}, {3, 8, -1},         {11, 0, -1},        {-1, 1, -1},
                 {0, -1, -1}, {INT32_MAX, 1, -1}, {1, INT32_MAX, -1}, {INT32_MAX, INT32_MAX, -1}};
    for (const auto &c : cases) {
        EXPECT_EQ(myers_binary_diff_check_bounds(&b, c.start, c.length), c.expected)
            << c.start << "+" << c.length;
    }
    EXPECT_EQ(myers_binary_diff_check_bounds(nullptr, 0, 0), -1);
}

/* A value of 2^31 bytes or more has no 32-bit length; one of 2^32 + 5 bytes
 * must not pass as a 5-byte value. No bytes are read. */
TEST(MyersBounds, HugeValuesAreRefused)
{
    buf_s huge{};
    uint8_t byte = 0;
    huge.data = &byte;
    huge.length = (uint64_t{1} << 32) + 5;
    EXPECT_EQ(myers_binary_diff_check_bounds(&huge, 0, 5), -1);
    huge.length = uint64_t{1} << 31;
    EXPECT_EQ(myers_binary_diff_check_bounds(&huge, 0, 0), -1);
    huge.length = INT32_MAX;
    EXPECT_EQ(myers_binary_diff_check_bounds(&huge, 0, INT32_MAX), 0);
}

TEST(MyersLimits, StepLimitPerLevel)
{
    const struct {
        uint32_t quality;
        int32_t old_length;
        int32_t new_length;
        int32_t work;
        int32_t expected;
    } cases[] = {
        {0, 10000, 10000, 10000, 10000},
        {0, 5, 5, 77, 77},
        {0, 5, 5, -3, -3},
        {1, 10000, 10000, 10000, 2500},
        {1, 259, 259, 10000, 64},
        {1, 260, 260, 10000, 65},
        {1, 100000, 100000, 100, 64},
        {1, 300, 100000, 10000, 75},
        {1, 100000, 400, 10000, 100},
        {2, 260, 260, 10000, 16},
        {2, 10000, 10000, 10000, 625},
        {2, 100, 100, 10000, 16},
        {2, 100000, 100000, 4000, 250},
        {3, 10000, 10000, 10000, 1},
        {4, 10000, 10000, 10000, -1},
        {5, 10000, 10000, 10000, -1},
        {6, 10, 10, 10, -1},
        {0xFFFFFFFFu, 10, 10, 10, -1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(myers_binary_diff_step_limit(c.quality, c.old_length, c.new_length, c.work),
                  c.expected)
            << "level " << c.quality << " lengths " << c.old_length << "/" << c.new_length << " W "
            << c.work;
    }
}

/* --------------------------------------------------------------- driver */

struct DriverCase {
    const char *old_value;
    const char *new_value;
    uint32_t quality;
    int32_t result;
    Bytes delta;
};

TEST(MyersDriver, ResultsAndDeltas)
{
    const DriverCase cases[] = {
        {"abcdefgh", "abcdefgh", 0, MYERS_VALUES_EQUAL, {}},
        {"", "", 0, MYERS_VALUES_EQUAL, {}},
        {"", "xyz", 0, MYERS_REPLACEMENT_DELTA, {}},
        {"Xabc", "abc", 0, MYERS_EDIT_DELTA, {0x01, 0x03}},
        {"z", "abcdefghiz", 0, MYERS_REPLACEMENT_DELTA, {}},
        {"abcXdef", "abcYdef", 0, MYERS_EDIT_DELTA, {0x00, 0x03, 0x41, 'Y', 0x04, 0x03}},
        {"abcXdef", "abcYdef", 4, MYERS_EDIT_DELTA, {0x00, 0x03, 0x41, 'Y', 0x04, 0x03}},
        {"hello world, hello moon",
         "XXhello world, hello moon",
         0,
         MYERS_EDIT_DELTA,
         {0x42, 'X', 'X', 0x00, 0x17}},
        {"hello world, hello moon", "hello moon", 0, MYERS_EDIT_DELTA, {0x00, 0x06, 0x13, 0x04}},
        {"abcdefghijklmnopqrstuvwxyz",
         "abcdefghijklmnopqrstuvwxyzABC",
         0,
         MYERS_EDIT_DELTA,
         {0x00, 0x18, 0x1A, 0x43, 'A', 'B', 'C'}},
        {"abc",
         "",
         0,
         MYERS_EDIT_DELTA,
         {}}, /* empty edit delta; the caller sends the replacement */
        {"abcdefgh", "abcdefgh", 4, MYERS_VALUES_EQUAL, {}},
        {"", "xyz", 4, MYERS_REPLACEMENT_DELTA, {}},
    };
    for (const auto &c : cases) {
        const Outcome out = run_driver(bytes_of(c.old_value), bytes_of(c.new_value),
                                       Limits{kSlots, kWork, c.quality});
        EXPECT_EQ(out.result, c.result) << c.old_value << " -> " << c.new_value;
        if (c.result == MYERS_EDIT_DELTA) {
            EXPECT_EQ(out.delta, c.delta) << c.old_value << " -> " << c.new_value;
        }
    }
}

TEST(MyersDriver, InvalidRangesReportNothing)
{
    const Bytes o = bytes_of("abcdef");
    const Bytes n = bytes_of("abcXef");
    const buf_s ob = view(o);
    const buf_s nb = view(n);
    const struct {
        int32_t os, ol, ns, nl;
    } cases[] = {
        {-1, 1, 0, 6},        {0, -1, 0, 6},        {0, 7, 0, 6},         {1, 6, 0, 6},
        {0, 6, -1, 1},        {0, 6, 0, -1},        {0, 6, 0, 7},         {0, 6, 6, 1},
        {INT32_MAX, 1, 0, 6}, {0, 6, INT32_MAX, 1}, {0, 6, 1, INT32_MAX},
    };
    for (const auto &c : cases) {
        edit_script_s *script = edit_script_create(&ob, &nb);
        ASSERT_NE(script, nullptr);
        EXPECT_EQ(myers_binary_diff(&ob, c.os, c.ol, &nb, c.ns, c.nl, script, kSlots, kWork, 0),
                  MYERS_INVALID_RANGES);
        EXPECT_EQ(script->output->length, 0u);
        EXPECT_EQ(script->budget, 6);
        edit_script_free(script);
    }
    edit_script_s *script = edit_script_create(&ob, &nb);
    EXPECT_EQ(myers_binary_diff(nullptr, 0, 0, &nb, 0, 6, script, kSlots, kWork, 0),
              MYERS_INVALID_RANGES);
    EXPECT_EQ(myers_binary_diff(&ob, 0, 6, &nb, 0, 6, nullptr, kSlots, kWork, 0),
              MYERS_INVALID_RANGES);
    edit_script_free(script);
}

/* Copies are relative to the old range; inserted bytes must come from the
 * new range, not from the start of the new value. */
TEST(MyersDriver, SubrangesRebuildTheNewRange)
{
    Rng rng(99);
    for (int i = 0; i < scaled(300); ++i) {
        const Bytes o = random_bytes(rng, 20 + rng.below(200), 3);
        const Bytes n = point_edits(rng, o, 1 + rng.below(6), 3);
        const int32_t os = static_cast<int32_t>(rng.below(o.size() / 2));
        const int32_t ns = static_cast<int32_t>(rng.below(n.size() / 2 + 1));
        const int32_t ol = static_cast<int32_t>(rng.below(o.size() - os + 1));
        const int32_t nl = static_cast<int32_t>(rng.below(n.size() - ns + 1));
        const buf_s ob = view(o);
        const buf_s nb = view(n);
        edit_script_s *script = edit_script_create(&ob, &nb);
        ASSERT_NE(script, nullptr);
        const int32_t r =
            myers_binary_diff(&ob, os, ol, &nb, ns, nl, script, kSlots, kWork, rng.below(6));
        const Bytes old_range(o.begin() + os, o.begin() + os + ol);
        const Bytes new_range(n.begin() + ns, n.begin() + ns + nl);
        if (r == MYERS_EDIT_DELTA) {
            Bytes rebuilt;
            ASSERT_TRUE(apply_edit_delta(old_range, script->output->data, script->output->length,
                                         &rebuilt));
            EXPECT_EQ(rebuilt, new_range)
                << "ranges " << os << "+" << ol << " / " << ns << "+" << nl;
        } else if (r == MYERS_VALUES_EQUAL) {
            EXPECT_EQ(old_range, new_range);
        } else {
            EXPECT_EQ(r, MYERS_REPLACEMENT_DELTA);
        }
        edit_script_free(script);
    }
}

/* The slot limit bounds the search: with room for step 1 only, a search
 * that needs more fails and the driver asks for the replacement. */
TEST(MyersDriver, SlotLimitEndsTheSearch)
{
    /* The middles share no byte: the searches meet only in step 4. */
    const Bytes o = bytes_of(
        "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaWXYZbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb");
    const Bytes n = bytes_of(
        "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaefghbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb");
    EXPECT_EQ(run_driver(o, n, Limits{10, kWork, 0}).result,
              MYERS_REPLACEMENT_DELTA); /* max_distance 1 */
    EXPECT_EQ(run_driver(o, n, Limits{2, kWork, 0}).result, MYERS_REPLACEMENT_DELTA);
    EXPECT_EQ(run_driver(o, n, Limits{30, kWork, 0}).result, MYERS_EDIT_DELTA); /* max_distance 6 */
    EXPECT_EQ(run_driver(o, n, Limits{kSlots, kWork, 0}).result, MYERS_EDIT_DELTA);
    /* Level 4 never searches, so the slot limit does not matter. */
    EXPECT_EQ(run_driver(o, n, Limits{2, kWork, 4}).result, MYERS_EDIT_DELTA);
}

/* Level 4 keeps only the common prefix and suffix: the middle is one insert. */
TEST(MyersDriver, TrimOnlyLevelSendsTheMiddleAsOneInsert)
{
    const Bytes o = bytes_of("0123456789abcdefghijklmnopqrstuvwxyz0123456789");
    const Bytes n = bytes_of("0123456789abcdefgh-jklmnopq-stuvwxyz0123456789");
    const Outcome out = run_driver(o, n, Limits{kSlots, kWork, 4});
    ASSERT_EQ(out.result, MYERS_EDIT_DELTA);
    /* copy(0, 18); insert of the 10 middle bytes; copy(28, 18). */
    Bytes want = {0x00, 0x12, 0x4A};
    const std::string middle = "-jklmnopq-";
    want.insert(want.end(), middle.begin(), middle.end());
    want.insert(want.end(), {0x18, 0x1C, 0x12});
    EXPECT_EQ(out.delta, want);
}

/* ----------------------------------------------------------- round trips */

class MyersRoundTrip : public ::testing::TestWithParam<uint32_t> {};

TEST_P(MyersRoundTrip, GeneratedPairsRebuildExactly)
{
    const uint32_t quality = GetParam();
    const int32_t slot_limits[] = {kSlots, 1, 2, 10, 100, 1000};
    const int32_t work_limits[] = {kWork, 1, 2, 10, 100};
    Rng rng(0xC0FFEE + quality);
    int edits = 0;
    for (int i = 0; i < scaled(1500); ++i) {
        const auto kind = static_cast<PairKind>(i % static_cast<int>(PairKind::kCount));
        const size_t max_length = i % 50 == 0 ? 20000 : (i % 7 == 0 ? 2000 : 80);
        Bytes o;
        Bytes n;
        make_pair(rng, kind, max_length, &o, &n);
        const Limits limits{slot_limits[rng.below(6)], work_limits[rng.below(5)], quality};
        const Outcome out = run_driver(o, n, limits);
        ASSERT_EQ(check_outcome(o, n, out), "")
            << "pair " << i << " kind " << static_cast<int>(kind) << " slots " << limits.slot_limit
            << " work " << limits.work_limit << "\nold " << describe(o) << "\nnew " << describe(n);
        edits += out.result == MYERS_EDIT_DELTA;
    }
    /* The generator must exercise edit deltas, not only replacements. */
    EXPECT_GT(edits, scaled(1500) / 5);
}

INSTANTIATE_TEST_SUITE_P(Levels, MyersRoundTrip, ::testing::Values(0u, 1u, 2u, 3u, 4u, 5u));

TEST(MyersRoundTripLarge, HundredsOfKilobytes)
{
    Rng rng(4242);
    const size_t size = quick() ? 60000 : 300000;
    const Bytes base = random_bytes(rng, size, 256);
    const Bytes two_symbols = random_bytes(rng, size, 2);
    const std::pair<const Bytes *, Bytes> pairs[] = {
        {&base, point_edits(rng, base, 10, 26)},
        {&base, mutate_blocks(rng, base, 4)},
        {&two_symbols, point_edits(rng, two_symbols, 300, 2)},
    };
    for (const auto &[o, n] : pairs) {
        for (uint32_t quality = 0; quality <= 5; ++quality) {
            const Limits limits{kSlots, kWork, quality};
            const Outcome out = run_driver(*o, n, limits);
            ASSERT_EQ(check_outcome(*o, n, out), "") << "level " << quality;
            /* Edits this sparse are found, not given up for the replacement. */
            EXPECT_EQ(out.result, MYERS_EDIT_DELTA) << "level " << quality;
        }
    }
}

/* Nearly equal values give edit deltas at every level, and small ones
 * where the level searches (levels 3 to 5 keep much of the middle as
 * literal bytes). */
TEST(MyersRoundTripLarge, SmallEditsGiveEditDeltas)
{
    Rng rng(777);
    const Bytes base = random_bytes(rng, 100000, 256);
    Bytes n = base;
    n[500] ^= 1;
    n.insert(n.begin() + 50000, {'n', 'e', 'w'});
    n.erase(n.begin() + 80000, n.begin() + 80100);
    for (uint32_t quality = 0; quality <= 5; ++quality) {
        const Outcome out = run_driver(base, n, Limits{kSlots, kWork, quality});
        ASSERT_EQ(out.result, MYERS_EDIT_DELTA) << "level " << quality;
        Bytes rebuilt;
        ASSERT_TRUE(apply_edit_delta(base, out.delta.data(), out.delta.size(), &rebuilt));
        EXPECT_EQ(rebuilt, n);
        if (quality <= 2) {
            EXPECT_LT(out.delta.size(), 300u) << "level " << quality;
        }
    }
}

/* ------------------------------------------------- allocation failures */

bool hook_usable() { return kvtest::alloc_hook_available(); }

/* Refusing the k-th allocation inside the driver (the execution, its
 * storage, the output's growth) makes it report an allocation failure or
 * still give a sound answer; never a damaged delta. */
TEST(MyersDriver, RefusedAllocationsNeverGiveADamagedDelta)
{
    if (!hook_usable()) {
        GTEST_SKIP() << "allocation hook unavailable";
    }
    Rng rng(5);
    const Bytes o = random_bytes(rng, 5000, 4);
    const Bytes n = mutate_blocks(rng, o, 4);
    const buf_s ob = view(o);
    const buf_s nb = view(n);
    int failures = 0;
    for (long grant = 0; grant < 40; ++grant) {
        edit_script_s *script = edit_script_create(&ob, &nb);
        ASSERT_NE(script, nullptr);
        kvtest::arm_allocations(grant);
        const int32_t r =
            myers_binary_diff(&ob, 0, static_cast<int32_t>(o.size()), &nb, 0,
                              static_cast<int32_t>(n.size()), script, kSlots, kWork, 0);
        kvtest::arm_allocations(-1);
        if (r == MYERS_ALLOCATION_FAILED) {
            ++failures;
        } else {
            ASSERT_EQ(r, MYERS_EDIT_DELTA) << "grant " << grant;
            Bytes rebuilt;
            ASSERT_TRUE(
                apply_edit_delta(o, script->output->data, script->output->length, &rebuilt));
            EXPECT_EQ(rebuilt, n);
        }
        edit_script_free(script);
    }
    EXPECT_GT(failures, 0);
}

} // namespace
