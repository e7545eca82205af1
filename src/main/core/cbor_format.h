/* cbor_format: the CBOR (RFC 7049 section 2) byte layout, written once for the
 * generator, the parser table, the edit script and the delta reader.
 *
 * Internal to the core (C++ only, nothing exported): constants, and inline
 * functions that never allocate or fail. An item head is the initial byte
 * (major type in the top 3 bits, additional information in the low 5) plus 0,
 * 1, 2, 4 or 8 big-endian argument bytes; the writers here always pick the
 * shortest head, so their bytes equal the generator's. */
#ifndef KORVALENT_CORE_CBOR_FORMAT_H
#define KORVALENT_CORE_CBOR_FORMAT_H

#include <stdint.h>
#include <string.h>

namespace cbor_format {

/* Major types (RFC 7049 section 2.1), unshifted. */
constexpr uint8_t kMajorUnsigned = 0;
constexpr uint8_t kMajorNegative = 1;
constexpr uint8_t kMajorBytes = 2;
constexpr uint8_t kMajorText = 3;
constexpr uint8_t kMajorArray = 4;
constexpr uint8_t kMajorMap = 5;
constexpr uint8_t kMajorTag = 6;
constexpr uint8_t kMajorSimple = 7;
constexpr unsigned kMajorShift = 5;

/* Additional information: the low 5 bits of the initial byte. */
constexpr uint8_t kAiMask = 0x1F;
constexpr uint8_t kAiMaxDirect = 23; /* largest argument held in the AI itself */
constexpr uint8_t kAiUint8 = 24;     /* 24..27: 1, 2, 4 or 8 argument bytes follow */
constexpr uint8_t kAiUint16 = 25;
constexpr uint8_t kAiUint32 = 26;
constexpr uint8_t kAiUint64 = 27;
constexpr uint8_t kAiFirstReserved = 28; /* 28..30 are reserved in every major type */
constexpr uint8_t kAiLastReserved = 30;
constexpr uint8_t kAiIndefinite = 31;

/* Simple values and floats of major type 7. */
constexpr uint8_t kFalse = 0xF4;
constexpr uint8_t kTrue = 0xF5;
constexpr uint8_t kNull = 0xF6;
constexpr uint8_t kUndefined = 0xF7;
constexpr uint8_t kFloat16 = 0xF9;
constexpr uint8_t kFloat32 = 0xFA;
constexpr uint8_t kFloat64 = 0xFB;
constexpr uint8_t kBreak = 0xFF;

/* Largest head: initial byte plus an 8-byte argument. */
constexpr unsigned kMaxHeadSize = 9;

constexpr uint8_t initial_byte(uint8_t major, uint8_t ai)
{
    return static_cast<uint8_t>((major << kMajorShift) | ai);
}

constexpr uint8_t major_of(uint8_t initial) { return static_cast<uint8_t>(initial >> kMajorShift); }

constexpr uint8_t ai_of(uint8_t initial) { return static_cast<uint8_t>(initial & kAiMask); }

/* Initial bytes that are malformed wherever an item starts: additional
 * information 28 to 30 in any major type, and 31 in the types that have no
 * indefinite form (unsigned and negative integers, tags). */
constexpr bool is_reserved_initial_byte(uint8_t initial)
{
    const uint8_t ai = ai_of(initial);
    if (ai >= kAiFirstReserved && ai <= kAiLastReserved) return true;
    const uint8_t major = major_of(initial);
    return ai == kAiIndefinite &&
           (major == kMajorUnsigned || major == kMajorNegative || major == kMajorTag);
}

/* Size of the shortest head carrying value: 1, 2, 3, 5 or 9 bytes. */
constexpr unsigned head_size(uint64_t value)
{
    return value <= kAiMaxDirect  ? 1
           : value <= 0xFF        ? 2
           : value <= 0xFFFF      ? 3
           : value <= 0xFFFFFFFFu ? 5
                                  : 9;
}

/* Stores the low `width` bytes of v at out, most significant first. */
inline void store_be(uint8_t *out, uint64_t v, unsigned width)
{
    for (unsigned i = 0; i < width; ++i) out[i] = static_cast<uint8_t>(v >> (8 * (width - 1 - i)));
}

inline void store_be16(uint8_t *out, uint16_t v)
{
    out[0] = static_cast<uint8_t>(v >> 8);
    out[1] = static_cast<uint8_t>(v);
}

inline void store_be32(uint8_t *out, uint32_t v)
{
    const uint32_t be = __builtin_bswap32(v);
    memcpy(out, &be, sizeof be);
}

inline void store_be64(uint8_t *out, uint64_t v)
{
    const uint64_t be = __builtin_bswap64(v);
    memcpy(out, &be, sizeof be);
}

/* The `width` bytes at in as a big-endian number (width at most 8). */
inline uint64_t load_be(const uint8_t *in, unsigned width)
{
    uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i) v = (v << 8) | in[i];
    return v;
}

/* Writes the shortest head of major type `major` (0..7) carrying value into
 * out, which has room for kMaxHeadSize bytes. Returns head_size(value). */
inline unsigned store_head(uint8_t *out, uint8_t major, uint64_t value)
{
    const unsigned size = head_size(value);
    switch (size) {
    case 1:
        out[0] = initial_byte(major, static_cast<uint8_t>(value));
        break;
    case 2:
        out[0] = initial_byte(major, kAiUint8);
        out[1] = static_cast<uint8_t>(value);
        break;
    case 3:
        out[0] = initial_byte(major, kAiUint16);
        store_be16(out + 1, static_cast<uint16_t>(value));
        break;
    case 5:
        out[0] = initial_byte(major, kAiUint32);
        store_be32(out + 1, static_cast<uint32_t>(value));
        break;
    default:
        out[0] = initial_byte(major, kAiUint64);
        store_be64(out + 1, value);
        break;
    }
    return size;
}

} // namespace cbor_format

#endif
