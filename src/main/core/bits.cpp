/* bits: the integer utilities declared in core/bits.h.
 *
 * Everything is computed from bit_length (the position of the highest set
 * bit, 0 for zero) on the unsigned value, so no shift ever reaches the width
 * of its operand. */
#include "core/bits.h"

namespace {

constexpr int64_t kNegativeCubeRoot = int64_t{1} << 21;

/* The largest powers of two that fit: above them the result saturates. */
constexpr uint32_t kMaxPowerOfTwoInt = uint32_t{1} << 30;
constexpr uint64_t kMaxPowerOfTwoLong = uint64_t{1} << 62;

int32_t bit_length(uint64_t v) { return v == 0 ? 0 : 64 - __builtin_clzll(v); }

} // namespace

KV_EXTERN_C_BEGIN

int32_t number_of_leading_zeroes_long(int64_t v)
{
    if (v < 0) {
        return 0;
    }
    return 64 - bit_length(static_cast<uint64_t>(v));
}

int32_t number_of_leading_zeroes_int(int32_t v)
{
    if (v < 0) {
        return 0;
    }
    return 32 - bit_length(static_cast<uint64_t>(v));
}

int32_t highest_bit_long(int64_t v) { return v < 0 ? 64 : bit_length(static_cast<uint64_t>(v)); }

int32_t highest_bit_int(int32_t v) { return v < 0 ? 32 : bit_length(static_cast<uint64_t>(v)); }

uint32_t find_next_power_of_two_int(uint32_t v)
{
    if (v > kMaxPowerOfTwoInt) {
        return UINT32_MAX;
    }
    if (v <= 1) {
        return 1;
    }
    return uint32_t{1} << bit_length(v - 1);
}

uint64_t find_next_power_of_two_long(uint64_t v)
{
    if (v > kMaxPowerOfTwoLong) {
        return UINT64_MAX;
    }
    if (v <= 1) {
        return 1;
    }
    return uint64_t{1} << bit_length(v - 1);
}

int64_t approx_cube_root(int64_t v)
{
    if (v == 0) {
        return 0;
    }
    if (v < 0) {
        return kNegativeCubeRoot;
    }
    return int64_t{1} << (bit_length(static_cast<uint64_t>(v)) / 3);
}

KV_EXTERN_C_END
