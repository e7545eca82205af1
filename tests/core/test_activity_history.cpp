/* Tests of the activity history (core/activity_history.h): creation limits
 * and rounding, scripted scenarios step by step, utilisation tables, ring
 * totals over random activity, and null handling. Readings
 * are injected through _activity_history_start/_stop, so no test depends on
 * the wall clock except the one that checks it is read. */
#include <gtest/gtest.h>

#include <sys/time.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "core/activity_history.h"
#include "core/owner.h"

namespace {

using HistoryPtr = kv_owner<activity_history_s, korvalent_activity_history_free>;

HistoryPtr make_history(uint32_t count, uint64_t duration)
{
    HistoryPtr history(korvalent_activity_history_create(count, duration));
    EXPECT_NE(history, nullptr);
    return history;
}

std::vector<uint64_t> ring(const activity_history_s *history)
{
    return std::vector<uint64_t>(history->slots, history->slots + history->slot_count);
}

uint64_t ring_sum(const activity_history_s *history)
{
    const std::vector<uint64_t> entries = ring(history);
    return std::accumulate(entries.begin(), entries.end(), uint64_t{0});
}

// ------------------------------------------------------------------ create

struct CreateCase {
    uint32_t count;
    uint64_t duration;
    uint64_t slot_count;
    uint64_t slot_duration;
    int32_t slot_shift;
    int32_t slot_mask;
    int32_t utilisation_shift;
};

class ActivityHistoryCreate : public ::testing::TestWithParam<CreateCase> {};

TEST_P(ActivityHistoryCreate, RoundsToPowersOfTwoAndDerivesShifts)
{
    const CreateCase c = GetParam();
    HistoryPtr history = make_history(c.count, c.duration);
    ASSERT_NE(history, nullptr);
    EXPECT_EQ(history->slot_count, c.slot_count);
    EXPECT_EQ(history->slot_duration, c.slot_duration);
    EXPECT_EQ(history->slot_shift, c.slot_shift);
    EXPECT_EQ(history->slot_mask, c.slot_mask);
    EXPECT_EQ(history->utilisation_shift, c.utilisation_shift);
    EXPECT_EQ(history->last_delta_quality, 0);
    EXPECT_EQ(history->current_slot, 0u);
    EXPECT_EQ(history->start_time, 0u);
    EXPECT_EQ(history->busy_total, 0u);
    EXPECT_EQ(ring_sum(history.get()), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ActivityHistoryCreate,
    ::testing::Values(CreateCase{10, 1000, 16, 1024, 10, 15, 6},
                      CreateCase{4, 1024, 4, 1024, 10, 3, 4}, CreateCase{1, 1, 1, 1, 0, 0, -8},
                      CreateCase{0, 0, 1, 1, 0, 0, -8}, CreateCase{3, 5, 4, 8, 3, 3, -3},
                      CreateCase{1, uint64_t{1} << 62, 1, uint64_t{1} << 62, 62, 0, 54},
                      CreateCase{1024, uint64_t{1} << 62, 1024, uint64_t{1} << 62, 62, 1023, 64},
                      CreateCase{1, uint64_t{1} << 40, 1, uint64_t{1} << 40, 40, 0, 32}));

TEST(ActivityHistoryCreateRefuses, CountsAndDurationsTooLargeForAPowerOfTwo)
{
    const struct {
        uint32_t count;
        uint64_t duration;
    } refused[] = {
        {ACTIVITY_HISTORY_MAX_SLOT_COUNT + 1, 1},
        {UINT32_MAX, 1000},
        {1, ACTIVITY_HISTORY_MAX_SLOT_DURATION + 1},
        {16, UINT64_MAX},
    };
    for (const auto &r : refused) {
        EXPECT_EQ(korvalent_activity_history_create(r.count, r.duration), nullptr)
            << r.count << " x " << r.duration;
    }
}

TEST(ActivityHistoryNull, ReadsAndUpdatesOfNullAreHarmless)
{
    EXPECT_EQ(korvalent_activity_history_get_last_delta_quality(nullptr), -1);
    EXPECT_EQ(korvalent_activity_history_utilisation(nullptr), 0);
    korvalent_activity_history_free(nullptr);
    korvalent_activity_history_start(nullptr);
    korvalent_activity_history_stop(nullptr);
    _activity_history_start(nullptr, 1000);
    _activity_history_stop(nullptr, 2000);
}

TEST(ActivityHistoryNull, NewHistoryHasQualityZero)
{
    HistoryPtr history = make_history(4, 1024);
    EXPECT_EQ(korvalent_activity_history_get_last_delta_quality(history.get()), 0);
    history->last_delta_quality = 3;
    EXPECT_EQ(korvalent_activity_history_get_last_delta_quality(history.get()), 3);
}

// --------------------------------------------------------------- scenarios

// One explicit-time operation and what the history must look like after it.
struct Step {
    bool start; // false: stop
    uint64_t now;
    std::vector<uint64_t> ring; // expected entries by ring index
    uint64_t busy_total;
    int32_t utilisation; // checked after starts only (-1: not checked)
};

struct Scenario {
    const char *name;
    uint32_t count;
    uint64_t duration;
    std::vector<Step> steps;
};

class ActivityHistoryScenario : public ::testing::TestWithParam<Scenario> {};

TEST_P(ActivityHistoryScenario, EntriesTotalsAndUtilisation)
{
    const Scenario &s = GetParam();
    HistoryPtr history = make_history(s.count, s.duration);
    ASSERT_NE(history, nullptr);
    for (size_t i = 0; i < s.steps.size(); ++i) {
        const Step &step = s.steps[i];
        if (step.start) {
            _activity_history_start(history.get(), step.now);
            EXPECT_EQ(history->current_slot, step.now >> history->slot_shift) << "step " << i;
            EXPECT_EQ(history->start_time, step.now) << "step " << i;
        } else {
            const uint64_t slot_before = history->current_slot;
            _activity_history_stop(history.get(), step.now);
            EXPECT_EQ(history->current_slot, slot_before) << "stop moves no slot, step " << i;
        }
        EXPECT_EQ(ring(history.get()), step.ring) << "step " << i;
        EXPECT_EQ(history->busy_total, step.busy_total) << "step " << i;
        EXPECT_EQ(ring_sum(history.get()), history->busy_total) << "step " << i;
        if (step.utilisation >= 0) {
            EXPECT_EQ(korvalent_activity_history_utilisation(history.get()), step.utilisation)
                << "step " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ActivityHistoryScenario,
    ::testing::Values(
        // Short activity credited to its slot; the next start empties the new slot.
        Scenario{"short",
                 4,
                 1024,
                 {{true, 10000, {0, 0, 0, 0}, 0, 0},
                  {false, 10500, {0, 500, 0, 0}, 500, -1},
                  {true, 10600, {0, 500, 0, 0}, 500, 62}}},
        // A long activity marks every slot busy; the next start keeps only its first.
        Scenario{"long",
                 4,
                 1024,
                 {{true, 20000, {0, 0, 0, 0}, 0, 0},
                  {false, 23000, {1024, 1024, 1024, 1024}, 4096, -1},
                  {true, 23100, {0, 0, 0, 1024}, 1024, 64}}},
        // An activity ending in the next slot is still credited to the first one.
        Scenario{"straddling",
                 4,
                 1024,
                 {{true, 1000, {0, 0, 0, 0}, 0, 0},
                  {false, 1900, {900, 0, 0, 0}, 900, -1},
                  {true, 2000, {900, 0, 0, 0}, 900, 112}}},
        // A start long after the last one empties the ring once.
        Scenario{"whole window later",
                 4,
                 1024,
                 {{true, 20000, {0, 0, 0, 0}, 0, 0},
                  {false, 23000, {1024, 1024, 1024, 1024}, 4096, -1},
                  {true, 1000000, {0, 0, 0, 0}, 0, 0}}},
        // Clock readings smaller than the ring: the first slot is floored at 0,
        // so the long stop marks slots 0 to 2 and the next start empties 1 to 2.
        Scenario{"clock inside the first ring",
                 4,
                 1024,
                 {{true, 0, {0, 0, 0, 0}, 0, 0},
                  {false, 3000, {1024, 1024, 1024, 0}, 3072, -1},
                  {true, 2100, {1024, 0, 0, 0}, 1024, 64}}},
        Scenario{"clock inside the first ring, 8 slots",
                 8,
                 1024,
                 {{true, 500, {0, 0, 0, 0, 0, 0, 0, 0}, 0, 0},
                  {false, 5000, {1024, 1024, 1024, 1024, 1024, 0, 0, 0}, 5120, -1},
                  {true, 5200, {1024, 0, 0, 0, 0, 0, 0, 0}, 1024, 32}}},
        // A start in the same slot empties nothing.
        Scenario{"same slot",
                 4,
                 1024,
                 {{true, 4096, {0, 0, 0, 0}, 0, 0},
                  {false, 4196, {100, 0, 0, 0}, 100, -1},
                  {true, 4200, {100, 0, 0, 0}, 100, 0},
                  {false, 4300, {200, 0, 0, 0}, 200, -1}}},
        // One slot: slot_mask 0, the current slot is also the previous one.
        Scenario{"one slot",
                 1,
                 1024,
                 {{true, 1024, {0}, 0, 0},
                  {false, 1524, {500}, 500, -1},
                  {true, 1600, {500}, 500, 125},
                  {true, 2048, {0}, 0, 0}}}),
    [](const ::testing::TestParamInfo<Scenario> &info) {
        std::string name;
        for (const char *p = info.param.name; *p; ++p) {
            name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        }
        return name;
    });

TEST(ActivityHistoryScenario, StartAtTheEndOfTimeTerminates)
{
    HistoryPtr history = make_history(1, 1);
    _activity_history_start(history.get(), 5);
    _activity_history_stop(history.get(), 7);
    EXPECT_EQ(history->busy_total, 1u);
    _activity_history_start(history.get(), UINT64_MAX);
    EXPECT_EQ(history->current_slot, UINT64_MAX);
    EXPECT_EQ(history->busy_total, 0u);
    _activity_history_stop(history.get(), UINT64_MAX);
    _activity_history_start(history.get(), UINT64_MAX);
    EXPECT_EQ(ring_sum(history.get()), history->busy_total);
}

// ------------------------------------------------------------- utilisation

struct UtilisationCase {
    uint32_t count;
    uint64_t duration;
    uint64_t current;  // entry of the current slot (ring index 1)
    uint64_t previous; // entry of the previous slot (ring index 0)
    uint64_t others;   // rest of busy_total
    int32_t expected;
};

class ActivityHistoryUtilisation : public ::testing::TestWithParam<UtilisationCase> {};

TEST_P(ActivityHistoryUtilisation, BusyShareOfTheWindow)
{
    const UtilisationCase c = GetParam();
    HistoryPtr history = make_history(c.count, c.duration);
    ASSERT_NE(history, nullptr);
    history->current_slot = history->slot_count + 1; // ring index 1 (index 0 for one slot)
    if (history->slot_count > 1) {
        history->slots[1] = c.current;
        history->slots[0] = c.previous;
        history->busy_total = c.current + c.previous + c.others;
    } else {
        history->slots[0] = c.current;
        history->busy_total = c.current + c.others;
    }
    EXPECT_EQ(korvalent_activity_history_utilisation(history.get()), c.expected);
}

constexpr uint64_t kTwo31 = uint64_t{1} << 31;
constexpr uint64_t kTwo39 = uint64_t{1} << 39;
constexpr uint64_t kTwo40 = uint64_t{1} << 40;

INSTANTIATE_TEST_SUITE_P(
    Table, ActivityHistoryUtilisation,
    ::testing::Values(
        // Windows from 256 ms to 2^40 ms: the described 32-bit shift.
        UtilisationCase{16, 1024, 0, 0, 1000, 15},
        UtilisationCase{16, 1024, 300, 100, 1000, 18}, // (1400 - 300 + 100) >> 6
        UtilisationCase{16, 1024, 1024, 1024, 14 * 1024, 256},
        UtilisationCase{16, 1024, 0, 2000, 18000, 343}, // overfull slots stay unclamped
        UtilisationCase{1, 256, 0, 0, 255, 255},
        UtilisationCase{2, kTwo39 / 2, 0, 0, kTwo31 - 1, 0},
        UtilisationCase{2, kTwo39 / 2, 0, 0, kTwo39, 256},
        // Sums of 2^31 or more: the 32-bit value would be negative.
        UtilisationCase{2, kTwo39 / 2, 0, 0, kTwo31, 1},
        UtilisationCase{2, kTwo39 / 2, 0, 0, uint64_t{3} << 31, 3},
        UtilisationCase{16, 1024, 0, 0, uint64_t{1} << 32, 256},
        // Windows shorter than 256 ms: a left shift, clamped to the window.
        UtilisationCase{4, 16, 0, 0, 16, 64}, UtilisationCase{4, 16, 0, 0, 63, 252},
        UtilisationCase{4, 16, 0, 0, 64, 256}, UtilisationCase{4, 16, 0, 0, 1000, 256},
        UtilisationCase{1, 1, 0, 0, 0, 0}, UtilisationCase{1, 1, 1, 0, 0, 256},
        UtilisationCase{1, 1, 0, 0, UINT64_MAX / 2, 256},
        // Windows of 2^40 ms and more: shifts of 32 and beyond.
        UtilisationCase{1, kTwo40, 0, 0, kTwo39, 128},
        UtilisationCase{1, kTwo40, 0, 0, kTwo40, 256},
        UtilisationCase{1, kTwo40, 0, 0, uint64_t{1} << 50, 256},
        UtilisationCase{1, uint64_t{1} << 62, 0, 0, uint64_t{1} << 61, 128},
        UtilisationCase{1024, uint64_t{1} << 62, 0, 0, uint64_t{1} << 63, 0}));

// -------------------------------------------------------------- properties

// Random start/stop pairs on increasing clocks keep busy_total equal to the
// sum of the ring, never credit more than elapsed time to a slot's worth, and
// keep the utilisation inside the window for well-formed activity.
TEST(ActivityHistoryProperty, TotalsMatchTheRingOverRandomActivity)
{
    std::mt19937_64 rng(20240611);
    const uint32_t counts[] = {1, 2, 4, 16};
    const uint64_t durations[] = {1, 16, 1024};
    const int rounds = std::getenv("KORVALENT_QUICK") ? 20 : 200;
    for (const uint32_t count : counts) {
        for (const uint64_t duration : durations) {
            for (int round = 0; round < rounds; ++round) {
                HistoryPtr history = make_history(count, duration);
                uint64_t now = rng() % (uint64_t{1} << 40);
                for (int pair = 0; pair < 40; ++pair) {
                    now += rng() % (4 * duration * count + 1);
                    _activity_history_start(history.get(), now);
                    const int32_t u = korvalent_activity_history_utilisation(history.get());
                    ASSERT_GE(u, 0);
                    now += rng() % (3 * duration + 1);
                    _activity_history_stop(history.get(), now);
                    ASSERT_EQ(ring_sum(history.get()), history->busy_total);
                    for (const uint64_t e : ring(history.get())) {
                        ASSERT_LT(e, 2 * duration);
                    }
                }
            }
        }
    }
}

TEST(ActivityHistoryClock, RealClockStartAndStopUseMilliseconds)
{
    HistoryPtr history = make_history(16, 1024);
    struct timeval before;
    gettimeofday(&before, nullptr);
    korvalent_activity_history_start(history.get());
    korvalent_activity_history_stop(history.get());
    struct timeval after;
    gettimeofday(&after, nullptr);
    const uint64_t lo = static_cast<uint64_t>(before.tv_sec) * 1000 + before.tv_usec / 1000;
    const uint64_t hi = static_cast<uint64_t>(after.tv_sec) * 1000 + after.tv_usec / 1000;
    EXPECT_GE(history->start_time, lo);
    EXPECT_LE(history->start_time, hi);
    EXPECT_EQ(history->current_slot, history->start_time >> 10);
    EXPECT_LE(history->busy_total, hi - lo);
    EXPECT_EQ(ring_sum(history.get()), history->busy_total);
}

} // namespace
