/* storage: the diagonal array of the Myers search, the contract and slot
 * layout in core/storage.h.
 *
 * Invariants: size is 4d + 7 for the step d prepared last; the allocation
 * always covers the groups that step reads; growth never passes the slot
 * limit's step ceiling, and a failed allocation leaves slots null, size -1. */
#include "core/storage.h"

#include <cstdlib>

namespace {

/* A new storage holds 22 slots: the groups of diagonals up to 3 plus room,
 * exactly what the growth rule allocates for step 1. */
constexpr int32_t kInitialCapacity = 11;
constexpr int32_t kInitialSize = 11;
constexpr int32_t kGroupSlots = 4;
/* First slot of the group of diagonals -1 and 1. */
constexpr int32_t kFirstGroup = 3;

/* size = 4d + kSizeBias for the step d last prepared. */
constexpr int64_t kSizeBias = 7;
/* Step d reads the groups up to diagonal d + 2, whose last slot is 4d + 10:
 * it needs 4d + kNeededBias slots. */
constexpr int64_t kNeededBias = 11;

/* The largest step whose slot indices (up to 4d + 10) still fit a signed
 * 32-bit index. */
constexpr int32_t kMaxIndexableStep = static_cast<int32_t>((INT32_MAX - (kNeededBias - 1)) / 4);

int64_t slots_needed(int32_t d) { return 4 * static_cast<int64_t>(d) + kNeededBias; }

int64_t slots_allocated(const storage_s *storage)
{
    return storage->slots == nullptr ? 0 : 2 * static_cast<int64_t>(storage->capacity);
}

/* Releases the array: the storage refuses to go further. */
void release(storage_s *storage)
{
    std::free(storage->slots);
    storage->slots = nullptr;
    storage->capacity = 0;
}

/* Releases the array after a failed allocation; size -1 tells it apart from
 * a refusal at the step ceiling. */
void drop_after_failure(storage_s *storage)
{
    release(storage);
    storage->size = -1;
}

/* Prepares the array for step d: size becomes 4d + 7, and the array grows to
 * twice what the step needs when the slots actually allocated fall short.
 * Growth is decided by the allocation, not by the last size, so a search of
 * n steps reallocates only O(log n) times. KV_OUT_OF_RANGE when d is out
 * of range, KV_OUT_OF_MEMORY when the allocation fails (the array is then
 * released either way). */
kv_status grow_for_step(storage_s *storage, int32_t d)
{
    if (d < 0 || d > kMaxIndexableStep) {
        release(storage);
        return KV_OUT_OF_RANGE;
    }
    storage->size = static_cast<int32_t>(4 * static_cast<int64_t>(d) + kSizeBias);
    const int64_t needed = slots_needed(d);
    if (slots_allocated(storage) >= needed) {
        return KV_OK;
    }
    /* Twice the step's size, but never past what the largest allowed step
     * needs (rounded to even so capacity stays exactly half), so the count
     * stays within 32 bits near the ceiling. */
    int64_t ceiling_step = storage->max_distance > d ? storage->max_distance : d;
    if (ceiling_step > kMaxIndexableStep) {
        ceiling_step = kMaxIndexableStep;
    }
    int64_t count = 2 * (4 * static_cast<int64_t>(d) + kSizeBias);
    const int64_t ceiling_count = slots_needed(static_cast<int32_t>(ceiling_step)) + 1;
    if (count > ceiling_count) {
        count = ceiling_count;
    }
    void *grown = std::realloc(storage->slots, static_cast<size_t>(count) * sizeof(int32_t));
    if (grown == nullptr) {
        drop_after_failure(storage);
        return KV_OUT_OF_MEMORY;
    }
    storage->slots = static_cast<int32_t *>(grown);
    storage->capacity = static_cast<int32_t>(count / 2);
    return KV_OK;
}

void fill_group(int32_t *group)
{
    group[0] = STORAGE_FORWARD_UNSET;
    group[1] = STORAGE_FORWARD_UNSET;
    group[2] = STORAGE_REVERSE_UNSET;
    group[3] = STORAGE_REVERSE_UNSET;
}

/* Fills every group starting at first, first + 4, ... below size + 4. The
 * groups of a prepared step always lie within the allocation; the bound on
 * the allocation only guards callers that pass an arbitrary index. */
void fill_from(storage_s *storage, int64_t first)
{
    const int64_t end = static_cast<int64_t>(storage->size) + kGroupSlots;
    const int64_t allocated = slots_allocated(storage);
    for (int64_t i = first < 0 ? 0 : first; i < end && i + kGroupSlots <= allocated;
         i += kGroupSlots) {
        fill_group(storage->slots + i);
    }
}

} // namespace

KV_EXTERN_C_BEGIN

storage_s *storage_create(int32_t limit)
{
    auto *storage = static_cast<storage_s *>(std::calloc(1, sizeof(storage_s)));
    if (storage == nullptr) {
        return nullptr;
    }
    storage->slots = static_cast<int32_t *>(std::malloc(2 * kInitialCapacity * sizeof(int32_t)));
    if (storage->slots == nullptr) {
        std::free(storage);
        return nullptr;
    }
    storage->capacity = kInitialCapacity;
    storage->size = kInitialSize;
    storage->limit = limit;
    /* The groups of diagonals up to d + 2 must fit the slot limit: 4d + 11
     * slots for step d, hence the ceiling (limit - 3) / 4, rounded down. */
    storage->max_distance = limit >= 3 ? (limit - 3) >> 2 : limit >> 2;
    for (int32_t m = 1; m <= 3; ++m) {
        fill_group(storage->slots + kGroupSlots * m - 1);
    }
    return storage;
}

void storage_free(storage_s *storage)
{
    if (storage == nullptr) {
        return;
    }
    std::free(storage->slots);
    std::free(storage);
}

int32_t storage_initialise(storage_s *storage, int32_t d)
{
    if (grow_for_step(storage, d) != KV_OK) {
        return 0;
    }
    if (storage->size >= 0) {
        fill_from(storage, kFirstGroup);
    }
    return 1;
}

int32_t storage_ensure(storage_s *storage, int32_t d)
{
    return grow_for_step(storage, d) == KV_OK ? storage->size : -1;
}

void storage_fill(storage_s *storage, int32_t i)
{
    if (storage->slots == nullptr) {
        return;
    }
    fill_from(storage, i);
}

int32_t storage_extend(storage_s *storage, int32_t d)
{
    return storage_extend_status(storage, d) == KV_OK ? 1 : 0;
}

kv_status storage_extend_status(storage_s *storage, int32_t d)
{
    if (storage->slots == nullptr) {
        /* Released before: by a failed allocation (size -1) or a refusal. */
        return storage->size < 0 ? KV_OUT_OF_MEMORY : KV_LIMIT_REACHED;
    }
    if (d > storage->max_distance) {
        release(storage);
        return KV_LIMIT_REACHED;
    }
    const int32_t old_size = storage->size;
    const kv_status status = grow_for_step(storage, d);
    if (status != KV_OK) {
        return status;
    }
    /* Going from step d - 1 to d this refills the group of diagonal d + 1
     * (the previous step's outermost neighbour) and fills that of d + 2. */
    if (static_cast<int64_t>(storage->size) + kGroupSlots > old_size) {
        fill_from(storage, old_size);
    }
    return KV_OK;
}

int32_t storage_key_forward(int32_t k) { return storage_forward_slot(k); }

int32_t storage_key_reverse(int32_t k) { return storage_reverse_slot(k); }

int32_t storage_key_forward_get(const storage_s *storage, int32_t k)
{
    return storage->slots[storage_key_forward(k)];
}

int32_t storage_key_reverse_get(const storage_s *storage, int32_t k)
{
    return storage->slots[storage_key_reverse(k)];
}

void storage_key_forward_set(storage_s *storage, int32_t k, int32_t value)
{
    storage->slots[storage_key_forward(k)] = value;
}

void storage_key_reverse_set(storage_s *storage, int32_t k, int32_t value)
{
    storage->slots[storage_key_reverse(k)] = value;
}

int32_t storage_key_forward_get_next(const storage_s *storage, int32_t k)
{
    const int32_t a = storage_key_forward_get(storage, k + 1);
    const int32_t b = storage_key_forward_get(storage, k - 1);
    return a < b ? b : a + 1;
}

int32_t storage_key_reverse_get_next(const storage_s *storage, int32_t k)
{
    const int32_t a = storage_key_reverse_get(storage, k + 1);
    const int32_t b = storage_key_reverse_get(storage, k - 1);
    return a < b ? a : b - 1;
}

KV_EXTERN_C_END
