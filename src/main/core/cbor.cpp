/* cbor: the CBOR (RFC 7049) generator and the table-driven pull parser.
 *
 * Generator growth: the record carries no capacity, so the block size is a
 * pure function of `length` (capacity_for below). The block is reallocated
 * only when an append crosses into a larger capacity class, which makes runs
 * of small appends cost amortised O(1) while callers still see exactly
 * `length` meaningful bytes at `data`.
 *
 * Parser: every handler starts at the item's initial byte, checks the bytes
 * it needs against what is left before touching them, and leaves the cursor
 * after the initial byte (or after a string's length argument) when the item
 * is truncated. */
#include "core/cbor.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

/* ------------------------------------------------------- shared byte layout */

// Major types (RFC 7049 section 2.1), already shifted into the top 3 bits.
constexpr uint8_t kMajorUint = 0u << 5;
constexpr uint8_t kMajorNegint = 1u << 5;
constexpr uint8_t kMajorBytes = 2u << 5;
constexpr uint8_t kMajorText = 3u << 5;
constexpr uint8_t kMajorArray = 4u << 5;
constexpr uint8_t kMajorMap = 5u << 5;

// Additional-information values (low 5 bits of the initial byte).
constexpr uint8_t kAiMask = 0x1F;
constexpr uint8_t kAiMaxDirect = 23; // largest argument held in the AI itself
constexpr uint8_t kAiUint8 = 24;
constexpr uint8_t kAiUint16 = 25;
constexpr uint8_t kAiUint32 = 26;
constexpr uint8_t kAiUint64 = 27;
constexpr uint8_t kAiIndefinite = 31;

// Simple values and floats of major type 7.
constexpr uint8_t kFalse = 0xF4;
constexpr uint8_t kTrue = 0xF5;
constexpr uint8_t kNull = 0xF6;
constexpr uint8_t kUndefined = 0xF7;
constexpr uint8_t kFloat16 = 0xF9;
constexpr uint8_t kFloat32 = 0xFA;
constexpr uint8_t kFloat64 = 0xFB;
constexpr uint8_t kBreak = 0xFF;

constexpr uint8_t kIndefiniteBytes = kMajorBytes | kAiIndefinite;
constexpr uint8_t kIndefiniteText = kMajorText | kAiIndefinite;
constexpr uint8_t kIndefiniteArray = kMajorArray | kAiIndefinite;
constexpr uint8_t kIndefiniteMap = kMajorMap | kAiIndefinite;

// Fixed half-precision items for the values the float writer never measures.
constexpr uint16_t kHalfNaN = 0x7E00;
constexpr uint16_t kHalfPosInf = 0x7C00;
constexpr uint16_t kHalfNegInf = 0xFC00;

// Largest head: initial byte plus an 8-byte argument.
constexpr unsigned kMaxHeadSize = 9;

inline void store_be16(uint8_t *out, uint16_t v) {
    out[0] = static_cast<uint8_t>(v >> 8);
    out[1] = static_cast<uint8_t>(v);
}

inline void store_be32(uint8_t *out, uint32_t v) {
    const uint32_t be = __builtin_bswap32(v);
    std::memcpy(out, &be, sizeof be);
}

inline void store_be64(uint8_t *out, uint64_t v) {
    const uint64_t be = __builtin_bswap64(v);
    std::memcpy(out, &be, sizeof be);
}

inline uint64_t load_be(const uint8_t *in, unsigned width) {
    uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i) v = (v << 8) | in[i];
    return v;
}

template <typename To, typename From>
inline To bit_cast(From from) {
    static_assert(sizeof(To) == sizeof(From), "bit_cast needs equal sizes");
    To to;
    std::memcpy(&to, &from, sizeof to);
    return to;
}

/* ---------------------------------------------------------------- generator */

// Smallest block a non-empty generator holds; small items never realloc.
constexpr uint64_t kMinCapacity = 64;
// Lengths stay below this so that the next power of two above any length
// (the capacity) is representable and fits a size_t.
constexpr uint64_t kMaxGeneratorLength = uint64_t(1) << 62;

static_assert(kMaxGeneratorLength <= std::numeric_limits<size_t>::max(),
              "generator capacities must fit a size_t");

// Block size for a generator holding len bytes: 0 while empty, else the
// larger of kMinCapacity and the next power of two >= len.
inline uint64_t capacity_for(uint64_t len) {
    if (len == 0) return 0;
    if (len <= kMinCapacity) return kMinCapacity;
    return uint64_t(1) << (64 - __builtin_clzll(len - 1));
}

// Slow path of reserve: grows the block to the capacity class of
// length + n. Null (generator unchanged) when that is too large or the
// allocation fails.
uint8_t *grow(cbor_generator_s *gen, uint64_t n) {
    const uint64_t len = gen->length;
    if (len > kMaxGeneratorLength || n > kMaxGeneratorLength - len) return nullptr;
    const uint64_t want = capacity_for(len + n);
    void *block = std::realloc(gen->data, static_cast<size_t>(want));
    if (block == nullptr) return nullptr;
    gen->data = static_cast<uint8_t *>(block);
    return gen->data + len;
}

// Room for n (>= 1) more bytes: a pointer to where they go, or null when the
// block cannot grow. The caller fills them and then adds n to `length`, so a
// failed write never changes what the generator holds.
inline uint8_t *reserve(cbor_generator_s *gen, uint64_t n) {
    const uint64_t len = gen->length;
    const uint64_t cap = capacity_for(len);
    if (len <= cap && n <= cap - len) return gen->data + len;
    return grow(gen, n);
}

inline unsigned head_size(uint64_t value) {
    if (value <= kAiMaxDirect) return 1;
    if (value <= 0xFF) return 2;
    if (value <= 0xFFFF) return 3;
    if (value <= 0xFFFFFFFF) return 5;
    return kMaxHeadSize;
}

// Stores the shortest head for (major, value); size is head_size(value).
inline void store_head(uint8_t *out, uint8_t major, uint64_t value, unsigned size) {
    switch (size) {
    case 1:
        out[0] = static_cast<uint8_t>(major | value);
        return;
    case 2:
        out[0] = major | kAiUint8;
        out[1] = static_cast<uint8_t>(value);
        return;
    case 3:
        out[0] = major | kAiUint16;
        store_be16(out + 1, static_cast<uint16_t>(value));
        return;
    case 5:
        out[0] = major | kAiUint32;
        store_be32(out + 1, static_cast<uint32_t>(value));
        return;
    default:
        out[0] = major | kAiUint64;
        store_be64(out + 1, value);
        return;
    }
}

inline int32_t write_head(cbor_generator_s *gen, uint8_t major, uint64_t value) {
    if (gen == nullptr) return -1;
    const unsigned size = head_size(value);
    uint8_t *out = reserve(gen, size);
    if (out == nullptr) return -1;
    store_head(out, major, value, size);
    gen->length += size;
    return 0;
}

inline int32_t write_one(cbor_generator_s *gen, uint8_t byte) {
    if (gen == nullptr) return -1;
    uint8_t *out = reserve(gen, 1);
    if (out == nullptr) return -1;
    out[0] = byte;
    gen->length += 1;
    return 0;
}

// Head and payload in one growth step, so a failure appends nothing at all.
int32_t write_string(cbor_generator_s *gen, uint8_t major, const void *bytes, uint64_t length) {
    if (gen == nullptr) return -1;
    if (length == CBOR_INDEFINITE_LENGTH) return write_one(gen, major | kAiIndefinite);
    if (length != 0 && bytes == nullptr) return -1;
    const unsigned size = head_size(length);
    if (length > kMaxGeneratorLength) return -1;
    uint8_t *out = reserve(gen, size + length);
    if (out == nullptr) return -1;
    store_head(out, major, length, size);
    if (length != 0) std::memcpy(out + size, bytes, static_cast<size_t>(length));
    gen->length += size + length;
    return 0;
}

// Appends F9/FA/FB followed by a 2-, 4- or 8-byte pattern.
int32_t write_float_item(cbor_generator_s *gen, uint8_t initial, uint64_t bits) {
    if (gen == nullptr) return -1;
    const unsigned size = initial == kFloat16 ? 3 : initial == kFloat32 ? 5 : kMaxHeadSize;
    uint8_t *out = reserve(gen, size);
    if (out == nullptr) return -1;
    out[0] = initial;
    if (size == 3) {
        store_be16(out + 1, static_cast<uint16_t>(bits));
    } else if (size == 5) {
        store_be32(out + 1, static_cast<uint32_t>(bits));
    } else {
        store_be64(out + 1, bits);
    }
    gen->length += size;
    return 0;
}

/* Single-precision layout used to pick the float width. */
constexpr uint32_t kSingleSignBit = 0x80000000u;
constexpr unsigned kSingleFractionBits = 23;
constexpr uint32_t kSingleFractionMask = 0x7FFFFFu;
constexpr uint32_t kSingleExponentMask = 0xFFu;
// A half keeps the top 10 of the single's 23 fraction bits.
constexpr unsigned kHalfDroppedBits = kSingleFractionBits - 10;
constexpr uint32_t kHalfDroppedMask = (1u << kHalfDroppedBits) - 1;
// Single exponent fields whose value is a normal half (2^-14 .. 2^15);
// rebias by subtracting 127 - 15.
constexpr uint32_t kHalfRebias = 112;
constexpr uint32_t kHalfMinSingleExponent = kHalfRebias + 1;
constexpr uint32_t kHalfMaxSingleExponent = kHalfRebias + 30;

// True when the single pattern s is a zero or a normal half-precision value,
// i.e. converts to half without loss. Half subnormals are deliberately not
// produced: their values stay singles.
inline bool single_is_exact_half(uint32_t s) {
    const uint32_t exponent = (s >> kSingleFractionBits) & kSingleExponentMask;
    const uint32_t fraction = s & kSingleFractionMask;
    if (exponent == 0) return fraction == 0;
    return exponent >= kHalfMinSingleExponent && exponent <= kHalfMaxSingleExponent &&
           (fraction & kHalfDroppedMask) == 0;
}

// Half pattern of a single for which single_is_exact_half holds.
inline uint16_t single_to_half(uint32_t s) {
    const uint32_t exponent = (s >> kSingleFractionBits) & kSingleExponentMask;
    const uint32_t fraction = s & kSingleFractionMask;
    uint32_t half = ((s & kSingleSignBit) >> 16) | (fraction >> kHalfDroppedBits);
    if (exponent != 0) half |= (exponent - kHalfRebias) << 10;
    return static_cast<uint16_t>(half);
}

// Every finite double lies between two adjacent floats or the largest float
// and infinity, so this conversion is always defined; it rounds to nearest,
// ties to even.
inline float round_to_single(double value) { return static_cast<float>(value); }

} // namespace

extern "C" {

cbor_generator_s *cbor_generator_create(void) {
    return static_cast<cbor_generator_s *>(std::calloc(1, sizeof(cbor_generator_s)));
}

void cbor_generator_free(cbor_generator_s *gen) {
    if (gen == nullptr) return;
    std::free(gen->data);
    std::free(gen);
}

int32_t _cbor_generator_write_byte(cbor_generator_s *gen, unsigned int byte) {
    return write_one(gen, static_cast<uint8_t>(byte));
}

int32_t _cbor_generator_write_bytes(cbor_generator_s *gen, const void *bytes, uint64_t count) {
    if (gen == nullptr) return -1;
    if (count == 0) return 0;
    if (bytes == nullptr) return -1;
    uint8_t *out = reserve(gen, count);
    if (out == nullptr) return -1;
    std::memcpy(out, bytes, static_cast<size_t>(count));
    gen->length += count;
    return 0;
}

int32_t _cbor_write_uint_helper(cbor_generator_s *gen, uint32_t major, uint64_t value) {
    return write_head(gen, static_cast<uint8_t>(major << 5), value);
}

int32_t _cbor_write_uint_sized(cbor_generator_s *gen, uint8_t initial_byte, uint64_t value) {
    if (gen == nullptr) return -1;
    unsigned width;
    switch (initial_byte & kAiMask) {
    case kAiUint8: width = 1; break;
    case kAiUint16: width = 2; break;
    case kAiUint32: width = 4; break;
    case kAiUint64: width = 8; break;
    default:
        // The value shares the initial byte: anything above 23 would spill
        // into the major-type bits and change what the item is.
        if (value > kAiMaxDirect) return -1;
        return write_one(gen, static_cast<uint8_t>(initial_byte | value));
    }
    uint8_t *out = reserve(gen, 1 + width);
    if (out == nullptr) return -1;
    out[0] = initial_byte;
    for (unsigned i = 0; i < width; ++i) out[1 + i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
    gen->length += 1 + width;
    return 0;
}

int32_t cbor_write_uint(cbor_generator_s *gen, uint64_t value) {
    return write_head(gen, kMajorUint, value);
}

int32_t cbor_write_negint(cbor_generator_s *gen, int64_t value) {
    return write_head(gen, kMajorNegint, ~static_cast<uint64_t>(value));
}

int32_t cbor_write_byte_string(cbor_generator_s *gen, const void *bytes, uint64_t length) {
    return write_string(gen, kMajorBytes, bytes, length);
}

int32_t cbor_write_text_string(cbor_generator_s *gen, const char *text, uint64_t length) {
    return write_string(gen, kMajorText, text, length);
}

int32_t cbor_write_array(cbor_generator_s *gen, uint64_t count) {
    if (count == CBOR_INDEFINITE_LENGTH) return write_one(gen, kIndefiniteArray);
    return write_head(gen, kMajorArray, count);
}

int32_t cbor_write_map(cbor_generator_s *gen, uint64_t count) {
    if (count == CBOR_INDEFINITE_LENGTH) return write_one(gen, kIndefiniteMap);
    return write_head(gen, kMajorMap, count);
}

int32_t cbor_write_false(cbor_generator_s *gen) { return write_one(gen, kFalse); }
int32_t cbor_write_true(cbor_generator_s *gen) { return write_one(gen, kTrue); }
int32_t cbor_write_null(cbor_generator_s *gen) { return write_one(gen, kNull); }
int32_t cbor_write_undefined(cbor_generator_s *gen) { return write_one(gen, kUndefined); }
int32_t cbor_write_break(cbor_generator_s *gen) { return write_one(gen, kBreak); }

int32_t cbor_write_float32(cbor_generator_s *gen, double value) {
    const uint32_t single = bit_cast<uint32_t>(round_to_single(value));
    return write_float_item(gen, kFloat32, single) < 0 ? -1 : 1;
}

int32_t cbor_write_float64(cbor_generator_s *gen, double value) {
    return write_float_item(gen, kFloat64, bit_cast<uint64_t>(value)) < 0 ? -1 : 1;
}

/* The width is decided by bit tests: a finite value is a half when it is zero
 * or a normal half exactly, else a single when rounding to single loses
 * nothing (single subnormals included), else a double. */
int32_t cbor_write_float(cbor_generator_s *gen, double value) {
    if (value != value) return write_float_item(gen, kFloat16, kHalfNaN);
    if (value == std::numeric_limits<double>::infinity()) return write_float_item(gen, kFloat16, kHalfPosInf);
    if (value == -std::numeric_limits<double>::infinity()) return write_float_item(gen, kFloat16, kHalfNegInf);
    const float single = round_to_single(value);
    int32_t status;
    if (static_cast<double>(single) == value) {
        const uint32_t s = bit_cast<uint32_t>(single);
        status = single_is_exact_half(s) ? write_float_item(gen, kFloat16, single_to_half(s))
                                         : write_float_item(gen, kFloat32, s);
    } else {
        status = write_float_item(gen, kFloat64, bit_cast<uint64_t>(value));
    }
    return status < 0 ? -1 : 1;
}

} // extern "C"
