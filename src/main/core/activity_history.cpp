/* activity_history: the ring of busy milliseconds declared in
 * core/activity_history.h, read by the delta generator to pick a quality.
 *
 * Invariants: slot_count and the slot duration are powers of two, so a slot
 * number maps to its ring index with slot_mask; a slot is cleared before it
 * is reused; all arithmetic on clock readings is floored so it cannot wrap. */
#include "core/activity_history.h"

#include <sys/time.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "core/bits.h"
#include "core/owner.h"

namespace {

constexpr uint64_t kMillisPerSecond = 1000;
constexpr uint64_t kMicrosPerMilli = 1000;
/* The window is 2^(utilisation_shift + 8) ms: 8 bits of the shift turn busy
 * milliseconds into 256ths of the window. Highest-bit values are log2 + 1 for
 * both the count and the duration, hence 8 + 2. */
constexpr int32_t kShareBits = 8;
constexpr int32_t kUtilisationShiftBias = kShareBits + 2;
/* The described arithmetic is a 32-bit arithmetic shift: it is exact only for
 * shifts 0..31 and sums below 2^31. */
constexpr int32_t kWordBits = 32;
constexpr uint64_t kSignedWordLimit = uint64_t{1} << 31;

/* Milliseconds since the epoch, truncating the microseconds. */
uint64_t wall_clock_ms()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<uint64_t>(tv.tv_sec) * kMillisPerSecond +
           static_cast<uint64_t>(tv.tv_usec) / kMicrosPerMilli;
}

uint64_t &entry(activity_history_s *history, uint64_t slot)
{
    return history->slots[slot & static_cast<uint64_t>(history->slot_mask)];
}

uint64_t entry(const activity_history_s *history, uint64_t slot)
{
    return history->slots[slot & static_cast<uint64_t>(history->slot_mask)];
}

/* The oldest absolute slot that still lies in the window ending with slot s.
 * Floored at 0: a clock reading smaller than the ring has no older slots, and
 * s - slot_count + 1 would wrap around to a huge slot number. */
uint64_t oldest_slot_in_window(const activity_history_s *history, uint64_t s)
{
    return s >= history->slot_count - 1 ? s - (history->slot_count - 1) : 0;
}

/* Calls visit(entry) for every absolute slot number from `first` to `last`
 * inclusive; nothing when first > last. Callers bound the range to at most
 * one ring, so no entry is visited twice. */
template <typename Visit>
void for_each_slot(activity_history_s *history, uint64_t first, uint64_t last, Visit visit)
{
    if (first > last) {
        return;
    }
    for (uint64_t i = first;; ++i) {
        visit(entry(history, i));
        if (i == last) {
            break;
        }
    }
}

/* The busy share in 256ths, clamped to 0..256, for windows or sums outside
 * the range where the 32-bit arithmetic shift is exact. */
int32_t clamped_share(uint64_t busy, int32_t shift)
{
    const uint64_t full = ACTIVITY_HISTORY_FULLY_BUSY;
    if (shift >= 0) {
        const uint64_t share = shift >= 64 ? 0 : busy >> shift;
        return static_cast<int32_t>(std::min(share, full));
    }
    /* A window shorter than 256 ms: scale up, testing before shifting so that
     * nothing overflows (-shift is at most 8). */
    if (busy >= full) {
        return ACTIVITY_HISTORY_FULLY_BUSY;
    }
    return static_cast<int32_t>(std::min(busy << -shift, full));
}

} // namespace

KV_EXTERN_C_BEGIN

activity_history_s *korvalent_activity_history_create(uint32_t slot_count, uint64_t slot_duration)
{
    if (slot_count > ACTIVITY_HISTORY_MAX_SLOT_COUNT ||
        slot_duration > ACTIVITY_HISTORY_MAX_SLOT_DURATION) {
        return nullptr;
    }
    const uint32_t count = find_next_power_of_two_int(slot_count);
    const uint64_t duration = find_next_power_of_two_long(slot_duration);
    kv_owner<activity_history_s, std::free> history(
        static_cast<activity_history_s *>(std::calloc(1, sizeof(activity_history_s))));
    if (!history) {
        return nullptr;
    }
    history->slots = static_cast<uint64_t *>(std::calloc(count, sizeof(uint64_t)));
    if (history->slots == nullptr) {
        return nullptr;
    }
    const int32_t duration_bits = highest_bit_long(static_cast<int64_t>(duration));
    history->slot_count = count;
    history->slot_duration = duration;
    history->slot_shift = duration_bits - 1;
    history->slot_mask = static_cast<int32_t>(count - 1);
    history->utilisation_shift =
        duration_bits + highest_bit_int(static_cast<int32_t>(count)) - kUtilisationShiftBias;
    return history.release();
}

void korvalent_activity_history_free(activity_history_s *history)
{
    if (history == nullptr) {
        return;
    }
    std::free(history->slots);
    std::free(history);
}

void korvalent_activity_history_start(activity_history_s *history)
{
    if (history != nullptr) {
        _activity_history_start(history, wall_clock_ms());
    }
}

void korvalent_activity_history_stop(activity_history_s *history)
{
    if (history != nullptr) {
        _activity_history_stop(history, wall_clock_ms());
    }
}

void _activity_history_start(activity_history_s *history, uint64_t now)
{
    if (history == nullptr) {
        return;
    }
    const uint64_t s = now >> history->slot_shift;
    /* Empty the slots that began since the last start, at most the whole
     * ring. A start in the same (or an earlier) slot empties nothing. */
    if (history->current_slot < s) {
        const uint64_t first =
            std::max(history->current_slot + 1, oldest_slot_in_window(history, s));
        for_each_slot(history, first, s, [history](uint64_t &busy) {
            history->busy_total -= busy;
            busy = 0;
        });
    }
    history->current_slot = s;
    history->start_time = now;
}

void _activity_history_stop(activity_history_s *history, uint64_t now)
{
    if (history == nullptr) {
        return;
    }
    const uint64_t elapsed = now - history->start_time;
    if (elapsed < history->slot_duration) {
        /* Credited to the slot the activity started in, even if it ended in
         * the next one. */
        history->busy_total += elapsed;
        entry(history, history->current_slot) += elapsed;
        return;
    }
    /* A long activity: every slot from its first to the present one is
     * marked fully busy. */
    const uint64_t s = now >> history->slot_shift;
    const uint64_t first = std::max(history->current_slot, oldest_slot_in_window(history, s));
    const uint64_t duration = history->slot_duration;
    for_each_slot(history, first, s, [history, duration](uint64_t &busy) {
        history->busy_total += duration - busy;
        busy = duration;
    });
}

int32_t korvalent_activity_history_utilisation(const activity_history_s *history)
{
    if (history == nullptr) {
        return 0;
    }
    /* The current slot has only just begun: leave it out and count the
     * previous slot twice to make up a full window. */
    const uint64_t busy = history->busy_total - entry(history, history->current_slot) +
                          entry(history, history->current_slot - 1);
    const int32_t shift = history->utilisation_shift;
    if (shift >= 0 && shift < kWordBits && busy < kSignedWordLimit) {
        return static_cast<int32_t>(busy) >> shift;
    }
    return clamped_share(busy, shift);
}

int32_t korvalent_activity_history_get_last_delta_quality(const activity_history_s *history)
{
    return history == nullptr ? -1 : history->last_delta_quality;
}

KV_EXTERN_C_END
