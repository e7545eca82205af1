/* bits: integer utilities over the bit length of a number, used to size
 * rings and step limits.
 *
 * Pure functions of their argument: no allocation, no failure, defined for
 * every input (negative and zero arguments have fixed results, and a result
 * that no power of two could represent saturates to all ones). */
#ifndef KORVALENT_CORE_BITS_H
#define KORVALENT_CORE_BITS_H

#include <stdint.h>
#include "core/export.h"

KV_EXTERN_C_BEGIN

/* 0 for v < 0, 64 (32) for v = 0, else 63 (31) minus the highest set bit. */
KV_API int32_t number_of_leading_zeroes_long(int64_t v);
KV_API int32_t number_of_leading_zeroes_int(int32_t v);
/* 64 (32) for v < 0, 0 for v = 0, else the bit length of v. */
KV_API int32_t highest_bit_long(int64_t v);
KV_API int32_t highest_bit_int(int32_t v);
/* Smallest power of two not less than v (1 for 0 and 1); all ones when v is
 * above 2^30 (2^62), where no representable power of two would do. */
KV_API uint32_t find_next_power_of_two_int(uint32_t v);
KV_API uint64_t find_next_power_of_two_long(uint64_t v);
/* 2 to the power (bit length of v) / 3; 0 for v = 0; 2^21 for v < 0. */
KV_API int64_t approx_cube_root(int64_t v);

KV_EXTERN_C_END

#endif
