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

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "core/cbor_format.h"

namespace {

/* ------------------------------------------------------- shared byte layout */

using namespace cbor_format;

constexpr uint8_t kIndefiniteArray = initial_byte(kMajorArray, kAiIndefinite);
constexpr uint8_t kIndefiniteMap = initial_byte(kMajorMap, kAiIndefinite);

// Fixed half-precision items for the values the float writer never measures.
constexpr uint16_t kHalfNaN = 0x7E00;
constexpr uint16_t kHalfPosInf = 0x7C00;
constexpr uint16_t kHalfNegInf = 0xFC00;

template <typename To, typename From>
inline To bit_cast(From from)
{
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
inline uint64_t capacity_for(uint64_t len)
{
    if (len == 0) return 0;
    if (len <= kMinCapacity) return kMinCapacity;
    return uint64_t(1) << (64 - __builtin_clzll(len - 1));
}

// Slow path of reserve: grows the block to the capacity class of
// length + n. Null (generator unchanged) when that is too large or the
// allocation fails.
uint8_t *grow(cbor_generator_s *gen, uint64_t n)
{
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
inline uint8_t *reserve(cbor_generator_s *gen, uint64_t n)
{
    const uint64_t len = gen->length;
    const uint64_t cap = capacity_for(len);
    if (len <= cap && n <= cap - len) return gen->data + len;
    return grow(gen, n);
}

// Room for count more bytes that will be copied from `bytes`, which may lie
// in what the generator already holds (appending part of itself): *bytes is
// moved with the block when growing moves it. Null as reserve.
uint8_t *reserve_for_copy(cbor_generator_s *gen, uint64_t count, const void **bytes)
{
    const auto at = reinterpret_cast<uintptr_t>(*bytes);
    const auto from = reinterpret_cast<uintptr_t>(gen->data);
    const bool inside = gen->data != nullptr && at >= from && at - from < gen->length;
    uint8_t *out = reserve(gen, count);
    if (out != nullptr && inside) *bytes = gen->data + (at - from);
    return out;
}

inline int32_t write_head(cbor_generator_s *gen, uint8_t major, uint64_t value)
{
    if (gen == nullptr) return -1;
    uint8_t *out = reserve(gen, head_size(value));
    if (out == nullptr) return -1;
    gen->length += store_head(out, major, value);
    return 0;
}

inline int32_t write_one(cbor_generator_s *gen, uint8_t byte)
{
    if (gen == nullptr) return -1;
    uint8_t *out = reserve(gen, 1);
    if (out == nullptr) return -1;
    out[0] = byte;
    gen->length += 1;
    return 0;
}

// Head and payload in one growth step, so a failure appends nothing at all.
int32_t write_string(cbor_generator_s *gen, uint8_t major, const void *bytes, uint64_t length)
{
    if (gen == nullptr) return -1;
    if (length == CBOR_INDEFINITE_LENGTH) return write_one(gen, initial_byte(major, kAiIndefinite));
    if (length != 0 && bytes == nullptr) return -1;
    const unsigned size = head_size(length);
    if (length > kMaxGeneratorLength) return -1;
    uint8_t *out = reserve_for_copy(gen, size + length, &bytes);
    if (out == nullptr) return -1;
    store_head(out, major, length);
    if (length != 0) std::memcpy(out + size, bytes, static_cast<size_t>(length));
    gen->length += size + length;
    return 0;
}

// Appends F9/FA/FB followed by a 2-, 4- or 8-byte pattern.
int32_t write_float_item(cbor_generator_s *gen, uint8_t initial, uint64_t bits)
{
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
inline bool single_is_exact_half(uint32_t s)
{
    const uint32_t exponent = (s >> kSingleFractionBits) & kSingleExponentMask;
    const uint32_t fraction = s & kSingleFractionMask;
    if (exponent == 0) return fraction == 0;
    return exponent >= kHalfMinSingleExponent && exponent <= kHalfMaxSingleExponent &&
           (fraction & kHalfDroppedMask) == 0;
}

// Half pattern of a single for which single_is_exact_half holds.
inline uint16_t single_to_half(uint32_t s)
{
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

KV_EXTERN_C_BEGIN

cbor_generator_s *cbor_generator_create(void)
{
    return static_cast<cbor_generator_s *>(std::calloc(1, sizeof(cbor_generator_s)));
}

void cbor_generator_free(cbor_generator_s *gen)
{
    if (gen == nullptr) return;
    std::free(gen->data);
    std::free(gen);
}

int32_t _cbor_generator_write_byte(cbor_generator_s *gen, unsigned int byte)
{
    return write_one(gen, static_cast<uint8_t>(byte));
}

int32_t _cbor_generator_write_bytes(cbor_generator_s *gen, const void *bytes, uint64_t count)
{
    if (gen == nullptr) return -1;
    if (count == 0) return 0;
    if (bytes == nullptr) return -1;
    uint8_t *out = reserve_for_copy(gen, count, &bytes);
    if (out == nullptr) return -1;
    std::memcpy(out, bytes, static_cast<size_t>(count));
    gen->length += count;
    return 0;
}

int32_t _cbor_write_uint_helper(cbor_generator_s *gen, uint32_t major, uint64_t value)
{
    // Only the low 3 bits of major reach the initial byte.
    return write_head(gen, static_cast<uint8_t>(major & 7u), value);
}

int32_t _cbor_write_uint_sized(cbor_generator_s *gen, uint8_t initial_byte, uint64_t value)
{
    if (gen == nullptr) return -1;
    unsigned width;
    switch (initial_byte & kAiMask) {
    case kAiUint8:
        width = 1;
        break;
    case kAiUint16:
        width = 2;
        break;
    case kAiUint32:
        width = 4;
        break;
    case kAiUint64:
        width = 8;
        break;
    default:
        // The value shares the initial byte. Zero leaves it as given (an
        // indefinite start or the break, say); any other value must make a
        // direct head (AI 0 to 23), or the item would change kind or type.
        if (value > kAiMaxDirect ||
            (value != 0 && ((initial_byte & kAiMask) | value) > kAiMaxDirect))
            return -1;
        return write_one(gen, static_cast<uint8_t>(initial_byte | value));
    }
    uint8_t *out = reserve(gen, 1 + width);
    if (out == nullptr) return -1;
    out[0] = initial_byte;
    store_be(out + 1, value, width);
    gen->length += 1 + width;
    return 0;
}

int32_t cbor_write_uint(cbor_generator_s *gen, uint64_t value)
{
    return write_head(gen, kMajorUnsigned, value);
}

int32_t cbor_write_negint(cbor_generator_s *gen, int64_t value)
{
    return write_head(gen, kMajorNegative, ~static_cast<uint64_t>(value));
}

int32_t cbor_write_byte_string(cbor_generator_s *gen, const void *bytes, uint64_t length)
{
    return write_string(gen, kMajorBytes, bytes, length);
}

int32_t cbor_write_text_string(cbor_generator_s *gen, const char *text, uint64_t length)
{
    return write_string(gen, kMajorText, text, length);
}

int32_t cbor_write_array(cbor_generator_s *gen, uint64_t count)
{
    if (count == CBOR_INDEFINITE_LENGTH) return write_one(gen, kIndefiniteArray);
    return write_head(gen, kMajorArray, count);
}

int32_t cbor_write_map(cbor_generator_s *gen, uint64_t count)
{
    if (count == CBOR_INDEFINITE_LENGTH) return write_one(gen, kIndefiniteMap);
    return write_head(gen, kMajorMap, count);
}

int32_t cbor_write_false(cbor_generator_s *gen) { return write_one(gen, kFalse); }
int32_t cbor_write_true(cbor_generator_s *gen) { return write_one(gen, kTrue); }
int32_t cbor_write_null(cbor_generator_s *gen) { return write_one(gen, kNull); }
int32_t cbor_write_undefined(cbor_generator_s *gen) { return write_one(gen, kUndefined); }
int32_t cbor_write_break(cbor_generator_s *gen) { return write_one(gen, kBreak); }

int32_t cbor_write_float32(cbor_generator_s *gen, double value)
{
    const uint32_t single = bit_cast<uint32_t>(round_to_single(value));
    return write_float_item(gen, kFloat32, single) < 0 ? -1 : 1;
}

int32_t cbor_write_float64(cbor_generator_s *gen, double value)
{
    return write_float_item(gen, kFloat64, bit_cast<uint64_t>(value)) < 0 ? -1 : 1;
}

/* The width is decided by bit tests: a finite value is a half when it is zero
 * or a normal half exactly, else a single when rounding to single loses
 * nothing (single subnormals included), else a double. */
int32_t cbor_write_float(cbor_generator_s *gen, double value)
{
    if (value != value) return write_float_item(gen, kFloat16, kHalfNaN);
    if (value == std::numeric_limits<double>::infinity())
        return write_float_item(gen, kFloat16, kHalfPosInf);
    if (value == -std::numeric_limits<double>::infinity())
        return write_float_item(gen, kFloat16, kHalfNegInf);
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

KV_EXTERN_C_END

/* ------------------------------------------------------------------- parser */

namespace {

// Inputs this long or longer cannot be counted by the 32-bit bytes-left result.
constexpr uint64_t kMaxParserInput = uint64_t(1) << 31;

// Pattern of the default quiet NaN every decoded half or single NaN becomes.
constexpr uint64_t kDefaultQuietNaN = 0x7FF8000000000000ull;
constexpr uint64_t kDoubleSignBit = 0x8000000000000000ull;
constexpr unsigned kDoubleFractionBits = 52;
constexpr int kDoubleExponentBias = 1023;
// Single patterns with a fixed meaning in an FA item.
constexpr uint32_t kSinglePosInf = 0x7F800000u;
constexpr uint32_t kSingleQuietNaN = 0x7FFC0000u;
// Half-precision layout (RFC 7049 appendix D).
constexpr unsigned kHalfExponentMax = 31;
constexpr unsigned kHalfImplicitOne = 1024;
constexpr int kHalfSubnormalScale = -24; // fraction x 2^-24 below the normals
constexpr int kHalfNormalShift = 25;     // (fraction + 1024) x 2^(exponent - 25)

// Bytes from the cursor to the end. Never negative: a cursor outside the
// input counts as nothing left.
inline uint64_t bytes_left(const cbor_parser_s *p)
{
    if (p->cursor < p->start) return 0;
    const uint64_t used = static_cast<uint64_t>(p->cursor - p->start);
    return used <= p->length ? p->length - used : 0;
}

// Reads the argument of the item at the cursor: the AI itself for Width 0,
// else the Width bytes after the initial byte. On truncation returns -1 with
// the cursor just after the initial byte.
template <unsigned Width>
inline int32_t read_argument(cbor_parser_s *p, uint64_t *out)
{
    if (bytes_left(p) < 1) return -1;
    if (Width == 0) {
        *out = *p->cursor & kAiMask;
        p->cursor += 1;
        return 0;
    }
    p->cursor += 1;
    if (bytes_left(p) < Width) return -1;
    *out = load_be(p->cursor, Width);
    p->cursor += Width;
    return 0;
}

// Steps over the initial byte and `skip` argument bytes that nobody reports.
inline int32_t skip_item(cbor_parser_s *p, unsigned skip)
{
    if (bytes_left(p) < 1) return -1;
    p->cursor += 1;
    if (bytes_left(p) < skip) return -1;
    p->cursor += skip;
    return 0;
}

template <unsigned Width>
int32_t parse_uint(cbor_parser_s *p, cbor_val_s *v)
{
    uint64_t argument;
    if (read_argument<Width>(p, &argument) < 0) return -1;
    v->value.u64 = argument;
    return 0;
}

template <unsigned Width>
int32_t parse_negint(cbor_parser_s *p, cbor_val_s *v)
{
    uint64_t argument;
    if (read_argument<Width>(p, &argument) < 0) return -1;
    v->value.i64 = static_cast<int64_t>(~argument);
    return 0;
}

// Array element counts and map pair counts; not checked against the input.
template <unsigned Width>
int32_t parse_count(cbor_parser_s *p, cbor_val_s *v)
{
    uint64_t count;
    if (read_argument<Width>(p, &count) < 0) return -1;
    v->length = count;
    return 0;
}

// Definite strings. The payload must fit in what is left, which also bounds
// the only allocation whose size comes from the input. Borrow points value
// into the input instead of copying.
template <unsigned Width, bool Text, bool Borrow>
int32_t parse_string(cbor_parser_s *p, cbor_val_s *v)
{
    uint64_t length;
    if (read_argument<Width>(p, &length) < 0) return -1;
    v->length = length;
    if (length > bytes_left(p)) return -1;
    if (Borrow) {
        v->value.ptr = const_cast<uint8_t *>(p->cursor);
    } else {
        // At least one byte, so an empty byte string still owns a block.
        const size_t size = static_cast<size_t>(length) + (Text || length == 0 ? 1 : 0);
        uint8_t *copy = static_cast<uint8_t *>(std::malloc(size));
        if (copy == nullptr) return -1;
        if (length != 0) std::memcpy(copy, p->cursor, static_cast<size_t>(length));
        if (Text) copy[length] = 0;
        v->value.ptr = copy;
    }
    p->cursor += length;
    return 0;
}

inline int32_t parse_indefinite(cbor_parser_s *p, cbor_val_s *v)
{
    if (bytes_left(p) < 1) return -1;
    v->length = CBOR_INDEFINITE_LENGTH;
    p->in_indefinite = 1;
    p->cursor += 1;
    return 0;
}

// Width of the argument that AI 24..27 announces: 1, 2, 4 or 8 bytes.
inline unsigned argument_width(uint8_t ai) { return 1u << (ai - kAiUint8); }

inline double with_sign(double magnitude, bool negative)
{
    if (!negative) return magnitude;
    return bit_cast<double>(bit_cast<uint64_t>(magnitude) ^ kDoubleSignBit);
}

// 2^exponent for exponents inside the double's normal range.
inline double power_of_two(int exponent)
{
    return bit_cast<double>(static_cast<uint64_t>(exponent + kDoubleExponentBias)
                            << kDoubleFractionBits);
}

double decode_half(uint8_t b0, uint8_t b1)
{
    const unsigned exponent = (b0 >> 2) & kHalfExponentMax;
    const unsigned fraction = ((b0 & 3u) << 8) | b1;
    double magnitude;
    if (exponent == kHalfExponentMax) {
        magnitude = fraction == 0 ? std::numeric_limits<double>::infinity()
                                  : bit_cast<double>(kDefaultQuietNaN);
    } else if (exponent == 0) {
        magnitude = fraction * power_of_two(kHalfSubnormalScale);
    } else {
        magnitude = (fraction + kHalfImplicitOne) *
                    power_of_two(static_cast<int>(exponent) - kHalfNormalShift);
    }
    return with_sign(magnitude, (b0 & 0x80) != 0);
}

double decode_single(uint32_t bits)
{
    if (bits == kSinglePosInf) return std::numeric_limits<double>::infinity();
    if (bits == kSingleQuietNaN) return bit_cast<double>(kDefaultQuietNaN);
    return static_cast<double>(bit_cast<float>(bits));
}

/* Dispatch tables. Both are built from one rule so that the borrowing table
 * differs from cbor_jump_table only in its definite-string handlers. */

struct HeadFamily {
    cbor_handler_fn direct, u8, u16, u32, u64, indefinite;
};

constexpr cbor_handler_fn by_additional_info(unsigned ai, const HeadFamily &f)
{
    if (ai <= kAiMaxDirect) return f.direct;
    switch (ai) {
    case kAiUint8:
        return f.u8;
    case kAiUint16:
        return f.u16;
    case kAiUint32:
        return f.u32;
    case kAiUint64:
        return f.u64;
    default:
        return f.indefinite; // 31: reserved bytes never get here (tested for every byte)
    }
}

constexpr HeadFamily kBorrowedBytes{
    parse_string<0, false, true>, parse_string<1, false, true>, parse_string<2, false, true>,
    parse_string<4, false, true>, parse_string<8, false, true>, cbor_parse_byte_string_indefinite};
constexpr HeadFamily kBorrowedText{parse_string<0, true, true>, parse_string<1, true, true>,
                                   parse_string<2, true, true>, parse_string<4, true, true>,
                                   parse_string<8, true, true>, cbor_parse_text_string_indefinite};

// Reserved initial bytes are decided first, by the one rule in cbor_format.h;
// every other byte has a decoder or is an unassigned simple value.
constexpr cbor_handler_fn handler_for(unsigned byte, bool borrow)
{
    if (is_reserved_initial_byte(static_cast<uint8_t>(byte))) return cbor_parse_reserved;
    const unsigned ai = ai_of(static_cast<uint8_t>(byte));
    switch (major_of(static_cast<uint8_t>(byte))) {
    case kMajorUnsigned:
        return by_additional_info(ai, {cbor_parse_uint_small, cbor_parse_uint8, cbor_parse_uint16,
                                       cbor_parse_uint32, cbor_parse_uint64, nullptr});
    case kMajorNegative:
        return by_additional_info(ai,
                                  {cbor_parse_negint_small, cbor_parse_negint8, cbor_parse_negint16,
                                   cbor_parse_negint32, cbor_parse_negint64, nullptr});
    case kMajorBytes:
        return by_additional_info(
            ai, borrow
                    ? kBorrowedBytes
                    : HeadFamily{cbor_parse_byte_string_small, cbor_parse_byte_string_uint8,
                                 cbor_parse_byte_string_uint16, cbor_parse_byte_string_uint32,
                                 cbor_parse_byte_string_uint64, cbor_parse_byte_string_indefinite});
    case kMajorText:
        return by_additional_info(
            ai, borrow
                    ? kBorrowedText
                    : HeadFamily{cbor_parse_text_string_small, cbor_parse_text_string_uint8,
                                 cbor_parse_text_string_uint16, cbor_parse_text_string_uint32,
                                 cbor_parse_text_string_uint64, cbor_parse_text_string_indefinite});
    case kMajorArray:
        return by_additional_info(ai, {cbor_parse_array_small, cbor_parse_array_uint8,
                                       cbor_parse_array_uint16, cbor_parse_array_uint32,
                                       cbor_parse_array_uint64, cbor_parse_array_indefinite});
    case kMajorMap:
        return by_additional_info(ai, {cbor_parse_map_small, cbor_parse_map_uint8,
                                       cbor_parse_map_uint16, cbor_parse_map_uint32,
                                       cbor_parse_map_uint64, cbor_parse_map_indefinite});
    case kMajorTag:
        return cbor_parse_semantic_tag;
    default:
        switch (byte) {
        case kFalse:
            return cbor_parse_false;
        case kTrue:
            return cbor_parse_true;
        case kNull:
            return cbor_parse_null;
        case kUndefined:
            return cbor_parse_undefined;
        case kFloat16:
            return cbor_parse_float16;
        case kFloat32:
            return cbor_parse_float32;
        case kFloat64:
            return cbor_parse_float64;
        case kBreak:
            return cbor_parse_break;
        default:
            return cbor_parse_unimplemented;
        }
    }
}

#define KV_HANDLERS_4(b, borrow)                                                          \
    handler_for((b), borrow), handler_for((b) + 1, borrow), handler_for((b) + 2, borrow), \
        handler_for((b) + 3, borrow)
#define KV_HANDLERS_16(b, borrow)                                                               \
    KV_HANDLERS_4((b), borrow), KV_HANDLERS_4((b) + 4, borrow), KV_HANDLERS_4((b) + 8, borrow), \
        KV_HANDLERS_4((b) + 12, borrow)
#define KV_HANDLERS_64(b, borrow)                                  \
    KV_HANDLERS_16((b), borrow), KV_HANDLERS_16((b) + 16, borrow), \
        KV_HANDLERS_16((b) + 32, borrow), KV_HANDLERS_16((b) + 48, borrow)
#define KV_HANDLERS_256(borrow)                                                         \
    KV_HANDLERS_64(0, borrow), KV_HANDLERS_64(64, borrow), KV_HANDLERS_64(128, borrow), \
        KV_HANDLERS_64(192, borrow)

constexpr cbor_handler_fn kBorrowingTable[256] = {KV_HANDLERS_256(true)};

} // namespace

KV_EXTERN_C_BEGIN

const cbor_handler_fn cbor_jump_table[256] = {KV_HANDLERS_256(false)};

#undef KV_HANDLERS_256
#undef KV_HANDLERS_64
#undef KV_HANDLERS_16
#undef KV_HANDLERS_4

int32_t _cbor_parser_init(cbor_parser_s *parser, const uint8_t *start, uint64_t length)
{
    if (parser == nullptr || length >= kMaxParserInput || (start == nullptr && length != 0))
        return -1;
    parser->start = start;
    parser->length = length;
    parser->cursor = start;
    parser->in_indefinite = 0;
    return 0;
}

cbor_parser_s *cbor_parser_create(const uint8_t *start, uint64_t length)
{
    cbor_parser_s *parser = static_cast<cbor_parser_s *>(std::calloc(1, sizeof(cbor_parser_s)));
    if (parser == nullptr) return nullptr;
    if (_cbor_parser_init(parser, start, length) < 0) {
        std::free(parser);
        return nullptr;
    }
    return parser;
}

void cbor_parser_free(cbor_parser_s *parser) { std::free(parser); }

int32_t cbor_parser_available_bytes(const cbor_parser_s *parser)
{
    if (parser == nullptr) return 0;
    const uint64_t left = bytes_left(parser);
    return left < kMaxParserInput ? static_cast<int32_t>(left) : INT32_MAX;
}

cbor_val_s *cbor_next_val(cbor_parser_s *parser)
{
    if (parser == nullptr || bytes_left(parser) < 1) return nullptr;
    const uint8_t initial = *parser->cursor;
    const cbor_handler_fn handler = cbor_jump_table[initial];
    cbor_val_s *val = cbor_val_create();
    if (val == nullptr) return nullptr;
    val->initial_byte = initial;
    val->major_type = major_of(initial);
    if (handler(parser, val) < 0) {
        cbor_val_free(val);
        return nullptr;
    }
    return val;
}

int32_t _cbor_next_view(cbor_parser_s *parser, cbor_val_s *val)
{
    if (parser == nullptr || val == nullptr) return -1;
    if (bytes_left(parser) < 1) return 0;
    const uint8_t initial = *parser->cursor;
    *val = cbor_val_s{};
    val->initial_byte = initial;
    val->major_type = major_of(initial);
    return kBorrowingTable[initial](parser, val) < 0 ? -1 : 1;
}

cbor_val_s *cbor_val_create(void)
{
    return static_cast<cbor_val_s *>(std::calloc(1, sizeof(cbor_val_s)));
}

void cbor_val_free(cbor_val_s *val)
{
    if (val == nullptr) return;
    if (val->major_type == 2 || val->major_type == 3) std::free(val->value.ptr);
    std::free(val);
}

int32_t cbor_parse_uint_small(cbor_parser_s *p, cbor_val_s *v) { return parse_uint<0>(p, v); }
int32_t cbor_parse_uint8(cbor_parser_s *p, cbor_val_s *v) { return parse_uint<1>(p, v); }
int32_t cbor_parse_uint16(cbor_parser_s *p, cbor_val_s *v) { return parse_uint<2>(p, v); }
int32_t cbor_parse_uint32(cbor_parser_s *p, cbor_val_s *v) { return parse_uint<4>(p, v); }
int32_t cbor_parse_uint64(cbor_parser_s *p, cbor_val_s *v) { return parse_uint<8>(p, v); }

int32_t cbor_parse_negint_small(cbor_parser_s *p, cbor_val_s *v) { return parse_negint<0>(p, v); }
int32_t cbor_parse_negint8(cbor_parser_s *p, cbor_val_s *v) { return parse_negint<1>(p, v); }
int32_t cbor_parse_negint16(cbor_parser_s *p, cbor_val_s *v) { return parse_negint<2>(p, v); }
int32_t cbor_parse_negint32(cbor_parser_s *p, cbor_val_s *v) { return parse_negint<4>(p, v); }
int32_t cbor_parse_negint64(cbor_parser_s *p, cbor_val_s *v) { return parse_negint<8>(p, v); }

int32_t cbor_parse_byte_string_small(cbor_parser_s *p, cbor_val_s *v)
{
    return parse_string<0, false, false>(p, v);
}
int32_t cbor_parse_byte_string_uint8(cbor_parser_s *p, cbor_val_s *v)
{
    return parse_string<1, false, false>(p, v);
}
int32_t cbor_parse_byte_string_uint16(cbor_parser_s *p, cbor_val_s *v)
{
    return parse_string<2, false, false>(p, v);
}
int32_t cbor_parse_byte_string_uint32(cbor_parser_s *p, cbor_val_s *v)
{
    return parse_string<4, false, false>(p, v);
}
int32_t cbor_parse_byte_string_uint64(cbor_parser_s *p, cbor_val_s *v)
{
    return parse_string<8, false, false>(p, v);
}
int32_t cbor_parse_byte_string_indefinite(cbor_parser_s *p, cbor_val_s *v)
{
    return parse_indefinite(p, v);
}

int32_t cbor_parse_text_string_small(cbor_parser_s *p, cbor_val_s *v)
{
    return parse_string<0, true, false>(p, v);
}
int32_t cbor_parse_text_string_uint8(cbor_parser_s *p, cbor_val_s *v)
{
    return parse_string<1, true, false>(p, v);
}
int32_t cbor_parse_text_string_uint16(cbor_parser_s *p, cbor_val_s *v)
{
    return parse_string<2, true, false>(p, v);
}
int32_t cbor_parse_text_string_uint32(cbor_parser_s *p, cbor_val_s *v)
{
    return parse_string<4, true, false>(p, v);
}
int32_t cbor_parse_text_string_uint64(cbor_parser_s *p, cbor_val_s *v)
{
    return parse_string<8, true, false>(p, v);
}
int32_t cbor_parse_text_string_indefinite(cbor_parser_s *p, cbor_val_s *v)
{
    return parse_indefinite(p, v);
}

int32_t cbor_parse_array_small(cbor_parser_s *p, cbor_val_s *v) { return parse_count<0>(p, v); }
int32_t cbor_parse_array_uint8(cbor_parser_s *p, cbor_val_s *v) { return parse_count<1>(p, v); }
int32_t cbor_parse_array_uint16(cbor_parser_s *p, cbor_val_s *v) { return parse_count<2>(p, v); }
int32_t cbor_parse_array_uint32(cbor_parser_s *p, cbor_val_s *v) { return parse_count<4>(p, v); }
int32_t cbor_parse_array_uint64(cbor_parser_s *p, cbor_val_s *v) { return parse_count<8>(p, v); }
int32_t cbor_parse_array_indefinite(cbor_parser_s *p, cbor_val_s *v)
{
    return parse_indefinite(p, v);
}

int32_t cbor_parse_map_small(cbor_parser_s *p, cbor_val_s *v) { return parse_count<0>(p, v); }
int32_t cbor_parse_map_uint8(cbor_parser_s *p, cbor_val_s *v) { return parse_count<1>(p, v); }
int32_t cbor_parse_map_uint16(cbor_parser_s *p, cbor_val_s *v) { return parse_count<2>(p, v); }
int32_t cbor_parse_map_uint32(cbor_parser_s *p, cbor_val_s *v) { return parse_count<4>(p, v); }
int32_t cbor_parse_map_uint64(cbor_parser_s *p, cbor_val_s *v) { return parse_count<8>(p, v); }
int32_t cbor_parse_map_indefinite(cbor_parser_s *p, cbor_val_s *v)
{
    return parse_indefinite(p, v);
}

/* The tag number is not reported; the tagged item is simply the next item.
 * A 1-, 2-, 4- or 8-byte tag number is skipped so it is not misread as that
 * item. */
int32_t cbor_parse_semantic_tag(cbor_parser_s *p, cbor_val_s *)
{
    if (bytes_left(p) < 1) return -1;
    const uint8_t ai = *p->cursor & kAiMask;
    return skip_item(p, ai >= kAiUint8 && ai <= kAiUint64 ? argument_width(ai) : 0);
}

int32_t cbor_parse_false(cbor_parser_s *p, cbor_val_s *) { return skip_item(p, 0); }
int32_t cbor_parse_true(cbor_parser_s *p, cbor_val_s *) { return skip_item(p, 0); }
int32_t cbor_parse_null(cbor_parser_s *p, cbor_val_s *) { return skip_item(p, 0); }
int32_t cbor_parse_undefined(cbor_parser_s *p, cbor_val_s *) { return skip_item(p, 0); }
int32_t cbor_parse_reserved(cbor_parser_s *p, cbor_val_s *) { return skip_item(p, 0); }

int32_t cbor_parse_float16(cbor_parser_s *p, cbor_val_s *v)
{
    uint64_t bits;
    if (read_argument<2>(p, &bits) < 0) return -1;
    v->value.f64 = decode_half(static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits));
    return 0;
}

int32_t cbor_parse_float32(cbor_parser_s *p, cbor_val_s *v)
{
    uint64_t bits;
    if (read_argument<4>(p, &bits) < 0) return -1;
    v->value.f64 = decode_single(static_cast<uint32_t>(bits));
    return 0;
}

int32_t cbor_parse_float64(cbor_parser_s *p, cbor_val_s *v)
{
    uint64_t bits;
    if (read_argument<8>(p, &bits) < 0) return -1;
    v->value.f64 = bit_cast<double>(bits);
    return 0;
}

int32_t cbor_parse_break(cbor_parser_s *p, cbor_val_s *)
{
    if (skip_item(p, 0) < 0) return -1;
    p->in_indefinite = 0;
    return 0;
}

/* Simple values without a decoder are reported on stderr and skipped; 0xF8
 * carries its value in the next byte, which is skipped with it. */
int32_t cbor_parse_unimplemented(cbor_parser_s *p, cbor_val_s *)
{
    if (bytes_left(p) < 1) return -1;
    const uint8_t initial = *p->cursor;
    std::fprintf(stderr, "Unimplemented CBOR code: %02x\n", initial);
    return skip_item(p, (initial & kAiMask) == kAiUint8 ? 1 : 0);
}

KV_EXTERN_C_END
