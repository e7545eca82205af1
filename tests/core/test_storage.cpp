/* Tests of the diagonal storage (core/storage.h): creation, growth and its
 * ceiling, sentinel filling, the slot index of every diagonal, and the
 * next-step choice between neighbours, including refused growth. */
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "core/storage.h"
#include "core/owner.h"

/* The allocation-refusal hook of the buffer tests, when this binary has it
 * (weak, so the test skips rather than fails to link without it). */
namespace kvtest {
void arm_allocations(long grant) __attribute__((weak));
bool alloc_hook_available() __attribute__((weak));
} // namespace kvtest

namespace {

using StoragePtr = kv_owner<storage_s, storage_free>;

StoragePtr make_storage(int32_t limit)
{
    StoragePtr s(storage_create(limit));
    EXPECT_NE(s, nullptr);
    return s;
}

/* A group of four slots holds its sentinel pattern. */
void expect_sentinel_group(const storage_s *s, int32_t first)
{
    EXPECT_EQ(s->slots[first], STORAGE_FORWARD_UNSET) << "slot " << first;
    EXPECT_EQ(s->slots[first + 1], STORAGE_FORWARD_UNSET) << "slot " << first + 1;
    EXPECT_EQ(s->slots[first + 2], STORAGE_REVERSE_UNSET) << "slot " << first + 2;
    EXPECT_EQ(s->slots[first + 3], STORAGE_REVERSE_UNSET) << "slot " << first + 3;
}

struct KeyCase {
    int32_t k;
    int32_t forward;
    int32_t reverse;
};

TEST(StorageKeys, TableOfDiagonals)
{
    const KeyCase cases[] = {
        {0, 0, 2},
        {1, 4, 6},
        {-1, 3, 5},
        {2, 8, 10},
        {-2, 7, 9},
        {3, 12, 14},
        {-3, 11, 13},
        {100, 400, 402},
        {-100, 399, 401},
        {536870911, 2147483644, 2147483646},
        {-536870911, 2147483643, 2147483645},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(storage_key_forward(c.k), c.forward) << "k " << c.k;
        EXPECT_EQ(storage_key_reverse(c.k), c.reverse) << "k " << c.k;
    }
}

TEST(StorageKeys, GroupsOfMinusMAndMAreAdjacent)
{
    for (int32_t m = 1; m < 1000; ++m) {
        const int32_t first = 4 * m - 1;
        EXPECT_EQ(storage_key_forward(-m), first);
        EXPECT_EQ(storage_key_forward(m), first + 1);
        EXPECT_EQ(storage_key_reverse(-m), first + 2);
        EXPECT_EQ(storage_key_reverse(m), first + 3);
    }
}

struct CeilingCase {
    int32_t limit;
    int32_t max_distance;
};

TEST(StorageCreate, MaxDistanceFromLimit)
{
    const CeilingCase cases[] = {
        {2147483647, 536870911},
        {10, 1},
        {2, 0},
        {3, 0},
        {6, 0},
        {7, 1},
        {11, 2},
        {1, 0},
        {0, 0},
        {-1, -1},
        {-8, -2},
        {1000, 249},
    };
    for (const auto &c : cases) {
        StoragePtr s = make_storage(c.limit);
        EXPECT_EQ(s->limit, c.limit);
        EXPECT_EQ(s->max_distance, c.max_distance) << "limit " << c.limit;
    }
}

TEST(StorageCreate, InitialLayout)
{
    StoragePtr s = make_storage(2147483647);
    EXPECT_NE(s->slots, nullptr);
    EXPECT_EQ(s->capacity, 11);
    EXPECT_EQ(s->size, 11);
    for (int32_t m = 1; m <= 3; ++m) {
        expect_sentinel_group(s.get(), 4 * m - 1);
    }
}

TEST(StorageFree, NullDoesNothing) { storage_free(nullptr); }

TEST(StorageInitialise, StepOneFillsSlotsThreeToFourteen)
{
    StoragePtr s = make_storage(2147483647);
    for (int32_t i = 0; i < 22; ++i) {
        s->slots[i] = 12345;
    }
    ASSERT_EQ(storage_initialise(s.get(), 1), 1);
    EXPECT_EQ(s->size, 11);
    EXPECT_EQ(2 * s->capacity, 22); /* the 22 slots already reach 4 x 1 + 11 */
    EXPECT_EQ(s->slots[0], 12345);  /* diagonal 0 is left to the search */
    EXPECT_EQ(s->slots[2], 12345);
    for (int32_t first = 3; first <= 11; first += 4) {
        expect_sentinel_group(s.get(), first);
    }
    for (int32_t i = 15; i < 22; ++i) {
        EXPECT_EQ(s->slots[i], 12345) << "slot " << i;
    }
}

TEST(StorageInitialise, LargerFirstStepGrowsAndFillsAllGroups)
{
    StoragePtr s = make_storage(2147483647);
    ASSERT_EQ(storage_initialise(s.get(), 20), 1);
    EXPECT_EQ(s->size, 87);
    EXPECT_GE(2 * static_cast<int64_t>(s->capacity), 4 * 20 + 11);
    for (int32_t m = 1; m <= 22; ++m) {
        expect_sentinel_group(s.get(), 4 * m - 1);
    }
}

TEST(StorageNext, ForwardAfterStepOne)
{
    StoragePtr s = make_storage(100);
    ASSERT_EQ(storage_initialise(s.get(), 1), 1);
    storage_key_forward_set(s.get(), 0, 0);
    EXPECT_EQ(storage_key_forward_get_next(s.get(), 1), 0);  /* a = -1 < b = 0 */
    EXPECT_EQ(storage_key_forward_get_next(s.get(), -1), 1); /* a = 0, b = -1 */
}

TEST(StorageNext, ReverseAfterStepOne)
{
    const int32_t n = 37;
    StoragePtr s = make_storage(100);
    ASSERT_EQ(storage_initialise(s.get(), 1), 1);
    storage_key_reverse_set(s.get(), 0, n);
    EXPECT_EQ(storage_key_reverse_get_next(s.get(), 1), n - 1);
    EXPECT_EQ(storage_key_reverse_get_next(s.get(), -1), n);
}

struct NextCase {
    int32_t above; /* entry of k + 1 */
    int32_t below; /* entry of k - 1 */
    int32_t forward;
    int32_t reverse;
};

TEST(StorageNext, RulesOnNeighbours)
{
    const NextCase cases[] = {
        {5, 9, 9, 5},  /* a < b */
        {9, 5, 10, 4}, /* a > b */
        {7, 7, 8, 6},  /* equal: forward takes the skip, reverse the step back */
        {-1, -1, 0, -2}, {-3, 4, 4, -3},
    };
    for (const auto &c : cases) {
        StoragePtr s = make_storage(100);
        ASSERT_EQ(storage_initialise(s.get(), 3), 1);
        storage_key_forward_set(s.get(), 3, c.above);
        storage_key_forward_set(s.get(), 1, c.below);
        storage_key_reverse_set(s.get(), -1, c.above);
        storage_key_reverse_set(s.get(), -3, c.below);
        EXPECT_EQ(storage_key_forward_get_next(s.get(), 2), c.forward);
        EXPECT_EQ(storage_key_reverse_get_next(s.get(), -2), c.reverse);
    }
}

TEST(StorageSetGet, EntriesAreIndependent)
{
    StoragePtr s = make_storage(2147483647);
    ASSERT_EQ(storage_initialise(s.get(), 5), 1);
    for (int32_t k = -7; k <= 7; ++k) {
        storage_key_forward_set(s.get(), k, 1000 + k);
        storage_key_reverse_set(s.get(), k, 2000 + k);
    }
    for (int32_t k = -7; k <= 7; ++k) {
        EXPECT_EQ(storage_key_forward_get(s.get(), k), 1000 + k);
        EXPECT_EQ(storage_key_reverse_get(s.get(), k), 2000 + k);
    }
}

TEST(StorageExtend, FillsTheTwoOuterGroupsAndKeepsEntries)
{
    StoragePtr s = make_storage(2147483647);
    ASSERT_EQ(storage_initialise(s.get(), 1), 1);
    for (int32_t d = 1; d < 50; ++d) {
        /* Mark every entry the search may have written so far. */
        for (int32_t k = -d; k <= d; ++k) {
            storage_key_forward_set(s.get(), k, 7 * k);
            storage_key_reverse_set(s.get(), k, 9 * k);
        }
        ASSERT_EQ(storage_extend(s.get(), d + 1), 1);
        EXPECT_EQ(s->size, 4 * (d + 1) + 7);
        expect_sentinel_group(s.get(), 4 * (d + 2) - 1);
        expect_sentinel_group(s.get(), 4 * (d + 3) - 1);
        for (int32_t k = -d; k <= d; ++k) {
            ASSERT_EQ(storage_key_forward_get(s.get(), k), 7 * k);
            ASSERT_EQ(storage_key_reverse_get(s.get(), k), 9 * k);
        }
    }
}

TEST(StorageExtend, RefusesPastMaxDistance)
{
    StoragePtr s = make_storage(10); /* max_distance 1 */
    ASSERT_EQ(storage_initialise(s.get(), 1), 1);
    EXPECT_EQ(storage_extend(s.get(), 2), 0);
    EXPECT_EQ(s->slots, nullptr);
    EXPECT_EQ(storage_extend(s.get(), 2), 0); /* stays refused */
    EXPECT_EQ(storage_extend_status(s.get(), 2), KV_LIMIT_REACHED);
    /* storage_free (by the owner) frees only the record now. */
}

TEST(StorageExtend, UpToTheCeilingThenRefused)
{
    StoragePtr s = make_storage(1000); /* max_distance 249 */
    ASSERT_EQ(storage_initialise(s.get(), 1), 1);
    for (int32_t d = 2; d <= 249; ++d) {
        ASSERT_EQ(storage_extend(s.get(), d), 1) << "step " << d;
        /* Never more slots than the ceiling step needs. */
        ASSERT_LE(2 * static_cast<int64_t>(s->capacity), 4 * 249 + 12);
        ASSERT_GE(2 * static_cast<int64_t>(s->capacity), 4 * static_cast<int64_t>(d) + 11);
    }
    EXPECT_EQ(storage_extend_status(s.get(), 250), KV_LIMIT_REACHED);
    EXPECT_EQ(s->slots, nullptr);
}

TEST(StorageExtend, NegativeLimitRefusesTheSecondStep)
{
    StoragePtr s = make_storage(-1);
    ASSERT_EQ(storage_initialise(s.get(), 1), 1);
    EXPECT_EQ(storage_extend(s.get(), 2), 0);
}

/* The described rule regrew the array at every step; growth decided by the
 * slots allocated makes a long search reallocate logarithmically often. */
TEST(StorageGrowth, TenThousandStepsReallocateLogarithmically)
{
    StoragePtr s = make_storage(2147483647);
    ASSERT_EQ(storage_initialise(s.get(), 1), 1);
    int changes = 0;
    int32_t capacity = s->capacity;
    for (int32_t d = 2; d <= 10000; ++d) {
        ASSERT_EQ(storage_extend(s.get(), d), 1);
        if (s->capacity != capacity) {
            ++changes;
            /* Each growth at least doubles what the step needs. */
            EXPECT_EQ(s->capacity, 4 * d + 7);
            capacity = s->capacity;
        }
        ASSERT_GE(2 * static_cast<int64_t>(s->capacity), 4 * static_cast<int64_t>(d) + 11);
    }
    EXPECT_GE(changes, 8);
    EXPECT_LE(changes, 14); /* about log2(10000 / 4) */
}

TEST(StorageGrowth, SearchesAfterALongOneReuseTheArray)
{
    StoragePtr s = make_storage(2147483647);
    ASSERT_EQ(storage_initialise(s.get(), 1), 1);
    for (int32_t d = 2; d <= 500; ++d) {
        ASSERT_EQ(storage_extend(s.get(), d), 1);
    }
    const int32_t *slots = s->slots;
    const int32_t capacity = s->capacity;
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(storage_initialise(s.get(), 1), 1);
        EXPECT_EQ(s->size, 11);
        for (int32_t d = 2; d <= 300; ++d) {
            ASSERT_EQ(storage_extend(s.get(), d), 1);
        }
    }
    EXPECT_EQ(s->slots, slots);
    EXPECT_EQ(s->capacity, capacity);
}

TEST(StorageEnsure, SetsSizeAndGrowsWithoutFilling)
{
    StoragePtr s = make_storage(2147483647);
    EXPECT_EQ(storage_ensure(s.get(), 1), 11);
    EXPECT_EQ(s->capacity, 11);
    EXPECT_EQ(storage_ensure(s.get(), 100), 407);
    EXPECT_EQ(s->capacity, 407); /* 2 x 407 slots */
    EXPECT_EQ(storage_ensure(s.get(), 150), 607);
    EXPECT_EQ(s->capacity, 407); /* 814 slots still reach 4 x 150 + 11 */
}

/* Near the 32-bit ceiling the slot indices of a step would no longer fit:
 * the storage refuses instead of computing wrapped sizes. */
TEST(StorageEnsure, StepsWhoseIndicesOverflowAreRefused)
{
    StoragePtr s = make_storage(2147483647);
    EXPECT_EQ(storage_ensure(s.get(), 536870910), -1);
    EXPECT_EQ(s->slots, nullptr);
    EXPECT_EQ(s->size, 11); /* a refusal, not a failed allocation */
    StoragePtr t = make_storage(2147483647);
    EXPECT_EQ(storage_ensure(t.get(), -5), -1);
    EXPECT_EQ(t->slots, nullptr);
}

/* A failed growth releases the array and marks size -1, which the driver
 * reads as an allocation failure rather than a refusal at the ceiling. */
TEST(StorageGrowth, AFailedAllocationIsMarked)
{
    if (kvtest::arm_allocations == nullptr || kvtest::alloc_hook_available == nullptr ||
        !kvtest::alloc_hook_available()) {
        GTEST_SKIP() << "allocation hook unavailable";
    }
    StoragePtr s = make_storage(2147483647);
    ASSERT_EQ(storage_initialise(s.get(), 1), 1);
    ASSERT_EQ(storage_extend(s.get(), 2), 1); /* 22 slots suffice: no allocation */
    kvtest::arm_allocations(0);
    const kv_status extended = storage_extend_status(s.get(), 3);
    kvtest::arm_allocations(-1);
    EXPECT_EQ(extended, KV_OUT_OF_MEMORY);
    EXPECT_EQ(s->slots, nullptr);
    EXPECT_EQ(s->size, -1);
    EXPECT_EQ(storage_extend(s.get(), 4), 0);
    EXPECT_EQ(storage_extend_status(s.get(), 4), KV_OUT_OF_MEMORY); /* still told apart */
}

TEST(StorageFill, FillsGroupsBelowSizePlusFour)
{
    StoragePtr s = make_storage(2147483647);
    ASSERT_EQ(storage_ensure(s.get(), 4), 23);
    for (int32_t i = 0; i < 2 * s->capacity; ++i) {
        s->slots[i] = 55;
    }
    storage_fill(s.get(), 11);
    for (int32_t first = 11; first < 27; first += 4) {
        expect_sentinel_group(s.get(), first);
    }
    for (int32_t i = 0; i < 11; ++i) {
        EXPECT_EQ(s->slots[i], 55);
    }
    EXPECT_EQ(s->slots[27], 55);
}

} // namespace
