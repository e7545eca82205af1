// cbor_decode_impl: the one-pass CBOR item decoder behind cbor.loads, written
// once over a builder so the Python module and the native tests and fuzz
// target run the same grammar. The decoder owns the wire rules (heads,
// declared lengths, nesting, indefinite items, strict UTF-8); the builder owns
// the values. Invariants: the cursor never passes the end of the input, every
// declared length is checked against what is left before the builder is asked
// to allocate anything (a container is allocated ahead of its elements only
// while the counts of the item's containers before it leave room for its
// count in the item's bytes, and built after them otherwise, so the
// containers allocated ahead never hold more slots in all than the input has
// bytes), and recursion never goes deeper than max_depth.
// No Python here: this header is plain C++ over bytes.
#ifndef KORVALENT_BINDINGS_PYTHON_CBOR_DECODE_IMPL_H
#define KORVALENT_BINDINGS_PYTHON_CBOR_DECODE_IMPL_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "core/cbor_format.h"

namespace korvalent::cbor_decode {

// Rare paths stay out of decode()'s frame: the recursion depth times that
// frame is what max_depth has to keep inside the native stack.
#if defined(__GNUC__) || defined(__clang__)
#define KV_DECODE_COLD __attribute__((noinline))
#else
#define KV_DECODE_COLD
#endif

// Default nesting limit: far beyond real documents, far below what the native
// stack holds (each level costs one decode() frame).
constexpr uint32_t kDefaultMaxDepth = 1000;
// Highest max_depth a caller may ask for. A level of nesting costs about 100
// bytes of native stack in an optimised x86-64 build (an array or map level,
// the most; a tag about 40), so even at 350 bytes a level this stays near
// 700 KB: inside a thread started with a 1 MiB stack as well as the default
// 8 MB ones.
constexpr uint32_t kMaxDepthCeiling = 2000;

// What went wrong, where. kBuilder means the builder refused a value (its own
// error is pending); every other fault is described by describe().
enum class Fault {
    kNone,
    kEmpty,             // no bytes at all
    kTruncated,         // the item at `offset` runs past the end
    kLengthBeyondInput, // declared length/count `detail` exceeds what is left
    kReservedInfo,      // additional information `detail` (28..30) is reserved
    kNotIndefinite,     // major type `detail` has no indefinite-length form
    kStrayBreak,        // a break outside an indefinite-length item
    kKeyWithoutValue,   // a break where a map key's value belongs
    kChunkType,         // a chunk inside an indefinite string that is not a
                        // definite string of the same major type
    kSimpleBelow32,     // two-byte simple value `detail` below 32
    kTooDeep,           // nesting deeper than max_depth
    kInvalidUtf8,       // text string with invalid UTF-8
    kOutOfMemory,       // the decoder's own scratch space could not grow
    kTrailing,          // bytes left after the single item
    kBuilder,
};

struct Failure {
    Fault fault = Fault::kNone;
    uint64_t offset = 0; // byte offset of the offending item or chunk
    uint64_t detail = 0;
};

// One-line message for a failure other than kBuilder; max_depth is quoted by
// kTooDeep.
inline std::string describe(const Failure &f, uint32_t max_depth)
{
    char text[160];
    const unsigned long long off = f.offset, d = f.detail;
    switch (f.fault) {
    case Fault::kEmpty:
        return "empty input: no CBOR item at offset 0";
    case Fault::kTruncated:
        std::snprintf(text, sizeof text, "truncated item at offset %llu", off);
        break;
    case Fault::kLengthBeyondInput:
        std::snprintf(text, sizeof text,
                      "truncated item at offset %llu: declared size %llu exceeds the input", off,
                      d);
        break;
    case Fault::kReservedInfo:
        std::snprintf(text, sizeof text, "reserved additional information %llu at offset %llu", d,
                      off);
        break;
    case Fault::kNotIndefinite:
        std::snprintf(text, sizeof text,
                      "major type %llu cannot have indefinite length, at offset %llu", d, off);
        break;
    case Fault::kStrayBreak:
        std::snprintf(text, sizeof text, "break outside an indefinite-length item at offset %llu",
                      off);
        break;
    case Fault::kKeyWithoutValue:
        std::snprintf(text, sizeof text, "map key without a value: break at offset %llu", off);
        break;
    case Fault::kChunkType:
        std::snprintf(text, sizeof text,
                      "chunk of the wrong type inside an indefinite-length string at offset %llu",
                      off);
        break;
    case Fault::kSimpleBelow32:
        std::snprintf(text, sizeof text, "two-byte simple value %llu below 32 at offset %llu", d,
                      off);
        break;
    case Fault::kTooDeep:
        std::snprintf(text, sizeof text, "nesting deeper than max_depth=%u at offset %llu",
                      max_depth, off);
        break;
    case Fault::kInvalidUtf8:
        std::snprintf(text, sizeof text, "invalid UTF-8 in text string at offset %llu", off);
        break;
    case Fault::kOutOfMemory:
        return "out of memory";
    case Fault::kTrailing:
        std::snprintf(text, sizeof text, "trailing bytes after the item, at offset %llu", off);
        break;
    default:
        return "no failure";
    }
    return text;
}

// What a str built from valid UTF-8 needs to know up front: its length in
// code points and its largest lead byte, which fixes the narrowest kind that
// holds it (below 0x80: ASCII; C2..C3: code points below 256; C4..EF: below
// 65536; F0..F4: the rest).
struct Utf8Shape {
    size_t code_points = 0;
    uint8_t max_lead = 0;

    bool ascii() const { return max_lead < 0x80; }
    void add(const Utf8Shape &o)
    {
        code_points += o.code_points;
        if (o.max_lead > max_lead) max_lead = o.max_lead;
    }
};

// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
// Returns true when p[0..n) is valid, with its shape in *shape. Whole 8-byte
// words are skipped while they hold only ASCII.
inline bool validate_utf8(const uint8_t *p, size_t n, Utf8Shape *shape)
{
    size_t i = 0;
    constexpr uint64_t kHighBits = 0x8080808080808080ull;
    while (n - i >= 8) {
        uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (word & kHighBits) break;
        i += 8;
    }
    while (i < n && p[i] < 0x80) ++i;
    size_t continuation_bytes = 0;
    uint8_t max_lead = 0;
    while (i < n) {
        const uint8_t c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        if (c > max_lead) max_lead = c;
        size_t extra;
        uint8_t lo = 0x80, hi = 0xBF; // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            if (c == 0xE0)
                lo = 0xA0; // overlong
            else if (c == 0xED)
                hi = 0x9F; // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            if (c == 0xF0)
                lo = 0x90; // overlong
            else if (c == 0xF4)
                hi = 0x8F; // above U+10FFFF
        } else {
            return false;
        }
        if (n - i <= extra) return false;
        if (p[i + 1] < lo || p[i + 1] > hi) return false;
        for (size_t k = 2; k <= extra; ++k)
            if ((p[i + k] & 0xC0) != 0x80) return false;
        i += extra + 1;
        continuation_bytes += extra;
    }
    shape->code_points = n - continuation_bytes;
    shape->max_lead = max_lead;
    return true;
}

// Half-precision bits to double: subnormals scaled exactly, infinities kept,
// every NaN becomes the default quiet NaN with the half's sign.
inline double decode_half(uint16_t half)
{
    const uint64_t sign = static_cast<uint64_t>(half >> 15) << 63;
    const unsigned exponent = (half >> 10) & 0x1F;
    const uint64_t fraction = half & 0x3FF;
    uint64_t bits;
    if (exponent == 0x1F) {
        bits = sign | (fraction == 0 ? 0x7FF0000000000000ull : 0x7FF8000000000000ull);
    } else if (exponent == 0) {
        double magnitude = static_cast<double>(fraction) * 5.9604644775390625e-08; // 2^-24
        std::memcpy(&bits, &magnitude, 8);
        bits |= sign;
    } else {
        // Rebias the exponent from 15 to 1023 and widen the fraction from 10 to 52 bits.
        bits = sign | (static_cast<uint64_t>(exponent + 1008) << 52) | (fraction << 42);
    }
    double out;
    std::memcpy(&out, &bits, 8);
    return out;
}

// Single-precision bits to double: exact for every non-NaN value.
inline double decode_single(uint32_t bits)
{
    float f;
    std::memcpy(&f, &bits, 4);
    return static_cast<double>(f);
}

inline double decode_double(uint64_t bits)
{
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

// Big-endian argument of 1, 2, 4 or 8 bytes.
inline uint64_t load_be(const uint8_t *p, unsigned width)
{
    switch (width) {
    case 1:
        return p[0];
    case 2: {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return __builtin_bswap16(v);
    }
    case 4: {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return __builtin_bswap32(v);
    }
    default: {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return __builtin_bswap64(v);
    }
    }
}

// A stack that keeps its first N entries inline, so a call that never nests
// deeper than that allocates nothing. push() reports failed growth instead of
// throwing: the decoder runs between C callers.
template <typename T, size_t N>
class ScratchStack {
public:
    ScratchStack() = default;
    ScratchStack(const ScratchStack &) = delete;
    ScratchStack &operator=(const ScratchStack &) = delete;

    size_t size() const { return size_; }
    T &operator[](size_t i) { return data_[i]; }
    T *data() { return data_; }
    void resize(size_t n) { size_ = n; } // shrinking only
    bool push(T value)
    {
        if (size_ == capacity_ && !grow()) return false;
        data_[size_++] = value;
        return true;
    }

private:
    bool grow()
    {
        const size_t capacity = capacity_ * 2;
        std::unique_ptr<T[]> bigger(new (std::nothrow) T[capacity]);
        if (!bigger) return false;
        std::copy(data_, data_ + size_, bigger.get());
        heap_ = std::move(bigger);
        data_ = heap_.get();
        capacity_ = capacity;
        return true;
    }

    T inline_[N];
    std::unique_ptr<T[]> heap_;
    T *data_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = N;
};

/* Builder requirements (B::Value is a pointer-like handle; a null Value means
 * the builder failed and left its own error pending). Every method that takes
 * a Value takes ownership of it, also when it fails.
 *   Value uint(uint64_t v);            Value negint(uint64_t arg);  // -1 - arg
 *   Value float64(double v);           Value simple(uint8_t v);     // 0..19, 20..23, 32..255
 *   Value bytes(const uint8_t *p, size_t n);
 *   Value text(const uint8_t *p, size_t n, const Utf8Shape &shape, bool key);  // valid UTF-8
 *   Value known_key(const uint8_t *p, size_t n);  // a map key text seen before, or null
 *                                                 // (not a failure): skips validation
 *   Value list(size_t n);              void list_set(Value l, size_t i, Value item);
 *   void list_filled(Value l);         // every slot of l is set
 *   Value list_of(Value *items, size_t n);  // a list of items[0..n), made and filled at once
 *   Value freeze(Value list);          // a list used as a map key
 *   Value map(size_t n);               bool map_set(Value m, Value k, Value v, uint64_t key_offset);
 *   Value tag(uint64_t tag, Value content);  Value bignum(bool negative, Value bytes);
 *   void release(Value v);
 */
// Whether the input's bytes may change while it is decoded (a bytearray or a
// shared mapping written by another thread or process). Text is then checked
// and converted from a private copy, so what was validated is what is built.
enum class Input { kSettled, kMayChange };

template <class Builder>
class Decoder {
public:
    using Value = typename Builder::Value;

    // Decodes data[start..size); the data must outlive the decoder.
    Decoder(Builder &builder, const uint8_t *data, size_t size, uint32_t max_depth,
            size_t start = 0, Input input = Input::kMayChange)
        : b_(builder), data_(data), size_(size), pos_(start), max_depth_(max_depth),
          settled_(input == Input::kSettled)
    {}

    // Decodes the item at the cursor and moves past it. Null on failure
    // (see failure()); the cursor is then unspecified.
    Value next()
    {
        if (pos_ >= size_) return fail(pos_ == 0 ? Fault::kEmpty : Fault::kTruncated, pos_);
        slots_left_ = left();
        return item(0, false);
    }

    // The single item of the whole input: next(), then nothing may follow.
    Value whole()
    {
        Value v = next();
        if (v && pos_ != size_) {
            b_.release(v);
            return fail(Fault::kTrailing, pos_);
        }
        return v;
    }

    size_t offset() const { return pos_; }
    const Failure &failure() const { return failure_; }

private:
    static constexpr uint8_t kBreak = cbor_format::kBreak;
    static constexpr uint8_t kDouble = cbor_format::kFloat64;
    static constexpr uint8_t kFalse = cbor_format::kFalse, kNull = cbor_format::kNull;
    static constexpr uint8_t kShortText = cbor_format::kMajorText << 5; // text of 0..23 bytes

    KV_DECODE_COLD Value fail(Fault fault, uint64_t offset, uint64_t detail = 0)
    {
        failure_ = Failure{fault, offset, detail};
        return Value{};
    }
    Value builder_failed() { return fail(Fault::kBuilder, pos_); }
    size_t left() const { return size_ - pos_; }

    // Takes `slots` from the item's allowance. Every element and every map
    // key or value takes at least a byte, so in a well-formed item the counts
    // of all definite containers add up to at most its size. Callers have
    // checked `slots` against what is left of the input.
    bool take_slots(uint64_t slots)
    {
        if (slots > slots_left_) return false;
        slots_left_ -= static_cast<size_t>(slots);
        return true;
    }

    // Reads the head at the cursor (initial byte `ib`, at offset `start`) and
    // moves past it. *arg is the argument (0 for AI 31, which callers test on
    // the initial byte). False (with the failure set) for a truncated head or
    // a reserved AI.
    bool head(uint8_t ib, size_t start, uint64_t *arg)
    {
        const unsigned ai = ib & 0x1F;
        if (ai < 24) {
            *arg = ai;
            pos_ += 1;
            return true;
        }
        if (ai <= 27) {
            const unsigned width = 1u << (ai - 24);
            if (left() - 1 < width) return fail(Fault::kTruncated, start), false;
            *arg = load_be(data_ + pos_ + 1, width);
            pos_ += 1 + width;
            return true;
        }
        if (ai == 31) {
            *arg = 0;
            pos_ += 1;
            return true;
        }
        return fail(Fault::kReservedInfo, start, ai), false;
    }

    // The item at the cursor (there is at least its initial byte). The
    // commonest items are taken here, inlined into the container loops, and
    // cost no call: small unsigned integers, doubles, and short text keys
    // seen before. Everything else goes to decode().
    [[gnu::always_inline]] Value item(uint32_t depth, bool key)
    {
        const uint8_t ib = data_[pos_];
        if (ib < 24) {
            pos_ += 1;
            return check(b_.uint(ib));
        }
        if (ib >= kFalse && ib <= kNull) {
            pos_ += 1;
            return check(b_.simple(ib - kFalse + 20));
        }
        if (ib == kDouble && left() > 8) {
            const uint8_t *const p = data_ + pos_ + 1;
            pos_ += 9;
            return check(b_.float64(decode_double(load_be(p, 8))));
        }
        const size_t text_length = static_cast<uint8_t>(ib - kShortText); // small if short text
        if (key && text_length < 24 && text_length < left()) {
            if (Value known = b_.known_key(data_ + pos_ + 1, text_length)) {
                pos_ += 1 + text_length;
                return known;
            }
        }
        return decode(ib, depth, key);
    }

    // The item whose initial byte, at the cursor, was read as ib.
    Value decode(uint8_t ib, uint32_t depth, bool key)
    {
        const size_t start = pos_;
        uint64_t arg;
        if (!head(ib, start, &arg)) return Value{};
        const bool indefinite = (ib & 0x1F) == 31;
        switch (ib >> 5) {
        case 0:
            if (indefinite) return fail(Fault::kNotIndefinite, start, 0);
            return check(b_.uint(arg));
        case 1:
            if (indefinite) return fail(Fault::kNotIndefinite, start, 1);
            return check(b_.negint(arg));
        case 2:
        case 3:
            return string(ib >> 5 == 3, indefinite, arg, start, key);
        case 4:
            return array(indefinite, arg, start, depth, key);
        case 5:
            return map(indefinite, arg, start, depth);
        case 6:
            if (indefinite) return fail(Fault::kNotIndefinite, start, 6);
            return tag(arg, start, depth, key);
        default:
            return simple_or_float(ib, arg, start);
        }
    }

    Value check(Value v) { return v ? v : builder_failed(); }

    Value string(bool text, bool indefinite, uint64_t length, size_t start, bool key)
    {
        if (indefinite) return chunked_string(text, start, key);
        if (length > left()) return fail(Fault::kLengthBeyondInput, start, length);
        const uint8_t *p = data_ + pos_;
        const size_t n = static_cast<size_t>(length);
        pos_ += n;
        if (!text) return check(b_.bytes(p, n));
        if (!settled_ && (p = steady_copy(p, n)) == nullptr)
            return fail(Fault::kOutOfMemory, start);
        if (key) {
            if (Value known = b_.known_key(p, n)) return known;
        }
        Utf8Shape shape;
        if (!validate_utf8(p, n, &shape)) return fail(Fault::kInvalidUtf8, start);
        return check(b_.text(p, n, shape, key));
    }

    // p[0..n) copied where nothing else writes; null when memory runs out.
    KV_DECODE_COLD const uint8_t *steady_copy(const uint8_t *p, size_t n)
    {
        try {
            copy_.assign(reinterpret_cast<const char *>(p), n);
        } catch (const std::bad_alloc &) {
            return nullptr;
        }
        return reinterpret_cast<const uint8_t *>(copy_.data());
    }

    // Indefinite-length string: definite chunks of the same major type up to
    // a break, joined. Each text chunk must be valid UTF-8 on its own.
    KV_DECODE_COLD Value chunked_string(bool text, size_t start, bool key)
    {
        std::string joined;
        Utf8Shape joined_shape;
        const uint8_t major = text ? 3 : 2;
        for (;;) {
            if (pos_ >= size_) return fail(Fault::kTruncated, start);
            const size_t chunk_start = pos_;
            const uint8_t ib = data_[pos_];
            if (ib == kBreak) {
                pos_ += 1;
                break;
            }
            if (ib >> 5 != major || (ib & 0x1F) == 31) return fail(Fault::kChunkType, chunk_start);
            uint64_t length;
            if (!head(ib, chunk_start, &length)) return Value{};
            if (length > left()) return fail(Fault::kLengthBeyondInput, chunk_start, length);
            const size_t n = static_cast<size_t>(length);
            try {
                joined.append(reinterpret_cast<const char *>(data_ + pos_), n);
            } catch (const std::bad_alloc &) {
                return fail(Fault::kOutOfMemory, chunk_start);
            }
            // checked as copied: the joined bytes are the ones built
            const uint8_t *copied =
                reinterpret_cast<const uint8_t *>(joined.data()) + joined.size() - n;
            Utf8Shape shape;
            if (text && !validate_utf8(copied, n, &shape))
                return fail(Fault::kInvalidUtf8, chunk_start);
            joined_shape.add(shape);
            pos_ += n;
        }
        const uint8_t *p = reinterpret_cast<const uint8_t *>(joined.data());
        if (!text) return check(b_.bytes(p, joined.size()));
        return check(b_.text(p, joined.size(), joined_shape, key));
    }

    bool deeper(uint32_t depth, size_t start)
    {
        if (depth < max_depth_) return true;
        fail(Fault::kTooDeep, start);
        return false;
    }

    // Elements of an array used as a map key become a frozen (hashable) form.
    Value array(bool indefinite, uint64_t count, size_t start, uint32_t depth, bool key)
    {
        if (!deeper(depth, start)) return Value{};
        Value list;
        if (indefinite) {
            list = stacked_list<true>(0, start, depth, key);
            if (!list) return list;
        } else {
            // Every element takes at least one byte.
            if (count > left()) return fail(Fault::kLengthBeyondInput, start, count);
            if (!take_slots(count)) return over_allowance_list(count, start, depth, key);
            list = b_.list(static_cast<size_t>(count));
            if (!list) return builder_failed();
            for (size_t i = 0; i < count; ++i) {
                if (pos_ >= size_) return abandon(list, fail(Fault::kTruncated, start));
                Value item = this->item(depth + 1, key);
                if (!item) return abandon(list, item);
                b_.list_set(list, i, item);
            }
            b_.list_filled(list);
        }
        return key ? check(b_.freeze(list)) : list;
    }

    // Elements wait on the shared stack until the last, so the list is made
    // once at its final size: up to the break of an indefinite array, or
    // `count` of them.
    template <bool kIndefinite>
    [[gnu::always_inline]] Value stacked_list(uint64_t count, size_t start, uint32_t depth,
                                              bool key)
    {
        const size_t base = stack_.size();
        for (uint64_t i = 0; kIndefinite || i < count; ++i) {
            if (pos_ >= size_) return unwind(base, fail(Fault::kTruncated, start));
            if (kIndefinite && data_[pos_] == kBreak) {
                pos_ += 1;
                break;
            }
            Value item = this->item(depth + 1, key);
            if (!item) return unwind(base, item);
            if (!stack_.push(item)) {
                b_.release(item);
                return unwind(base, fail(Fault::kOutOfMemory, start));
            }
        }
        Value list = b_.list_of(stack_.data() + base, stack_.size() - base);
        stack_.resize(base);
        return list ? list : builder_failed();
    }

    // A count that fits what is left of the input, but not what the counts of
    // the containers around it have left: the item cannot be complete. Its
    // elements are read as far as they go, without a list allocated ahead of
    // them, so the fault reported is the item's first in byte order (a stray
    // break, invalid UTF-8, the end of the input ...).
    KV_DECODE_COLD Value over_allowance_list(uint64_t count, size_t start, uint32_t depth, bool key)
    {
        Value list = stacked_list<false>(count, start, depth, key);
        if (!list) return list;
        return key ? check(b_.freeze(list)) : list;
    }

    Value map(bool indefinite, uint64_t count, size_t start, uint32_t depth)
    {
        if (!deeper(depth, start)) return Value{};
        if (indefinite) return stacked_map<true>(0, start, depth);
        // Every pair takes at least two bytes.
        if (count > left() / 2) return fail(Fault::kLengthBeyondInput, start, count);
        if (!take_slots(2 * count)) return over_allowance_map(count, start, depth);
        Value m = b_.map(static_cast<size_t>(count));
        if (!m) return builder_failed();
        for (uint64_t i = 0; i < count; ++i) {
            const size_t key_offset = pos_;
            Value k, v;
            if (!pair(start, depth, &k, &v)) return abandon(m, Value{});
            if (!b_.map_set(m, k, v, key_offset)) return abandon(m, builder_failed());
        }
        return m;
    }

    // Pairs wait on the pair stack (with their key offsets, for messages)
    // until the last, so the map is made once at its final size: up to the
    // break of an indefinite map, or `count` of them.
    template <bool kIndefinite>
    [[gnu::always_inline]] Value stacked_map(uint64_t count, size_t start, uint32_t depth)
    {
        const size_t base = pairs_.size();
        for (uint64_t i = 0; kIndefinite || i < count; ++i) {
            if (pos_ >= size_) return drop_pairs(base, base, fail(Fault::kTruncated, start));
            if (kIndefinite && data_[pos_] == kBreak) {
                pos_ += 1;
                break;
            }
            PendingPair p{Value{}, Value{}, pos_};
            if (!pair(start, depth, &p.key, &p.value)) return drop_pairs(base, base, Value{});
            if (!pairs_.push(p)) {
                b_.release(p.key);
                b_.release(p.value);
                return drop_pairs(base, base, fail(Fault::kOutOfMemory, start));
            }
        }
        Value m = b_.map(pairs_.size() - base);
        if (!m) return drop_pairs(base, base, builder_failed());
        for (size_t i = base; i < pairs_.size(); ++i) {
            // map_set owns the pair from here on, also when it fails.
            const PendingPair &p = pairs_[i];
            if (!b_.map_set(m, p.key, p.value, p.key_offset)) {
                b_.release(m);
                return drop_pairs(i + 1, base, builder_failed());
            }
        }
        pairs_.resize(base);
        return m;
    }

    // As over_allowance_list, for a map.
    KV_DECODE_COLD Value over_allowance_map(uint64_t count, size_t start, uint32_t depth)
    {
        return stacked_map<false>(count, start, depth);
    }

    // Reads a key and its value into *k and *v. False with the failure set
    // and nothing held when either is missing or malformed.
    [[gnu::always_inline]] bool pair(size_t start, uint32_t depth, Value *k, Value *v)
    {
        if (pos_ >= size_) return fail(Fault::kTruncated, start), false;
        *k = item(depth + 1, true);
        if (!*k) return false;
        if (pos_ >= size_) {
            b_.release(*k);
            return fail(Fault::kTruncated, start), false;
        }
        const size_t value_start = pos_;
        *v = item(depth + 1, false);
        if (!*v) {
            b_.release(*k);
            // A break read as the value ends the map early, not some outer item.
            if (failure_.fault == Fault::kStrayBreak && failure_.offset == value_start)
                failure_.fault = Fault::kKeyWithoutValue;
            return false;
        }
        return true;
    }

    // Tags 2 and 3 over a byte string are bignums; every other tag wraps its
    // content as it is.
    // The content's initial byte is read once: an input that changes under
    // the decoder may not turn a bignum's byte string into another item, nor
    // another item into a byte string that stays wrapped in tag 2 or 3.
    KV_DECODE_COLD Value tag(uint64_t number, size_t start, uint32_t depth, bool key)
    {
        if (!deeper(depth, start)) return Value{};
        if (pos_ >= size_) return fail(Fault::kTruncated, start);
        const uint8_t ib = data_[pos_];
        if ((number == 2 || number == 3) && ib >> 5 == 2) {
            const size_t content_start = pos_;
            uint64_t length;
            if (!head(ib, content_start, &length)) return Value{};
            Value content = string(false, (ib & 0x1F) == 31, length, content_start, false);
            if (!content) return content;
            return check(b_.bignum(number == 3, content));
        }
        Value content = decode(ib, depth + 1, key);
        if (!content) return content;
        return check(b_.tag(number, content));
    }

    KV_DECODE_COLD Value simple_or_float(uint8_t ib, uint64_t arg, size_t start)
    {
        switch (ib & 0x1F) {
        case 24:
            if (arg < 32) return fail(Fault::kSimpleBelow32, start, arg);
            return check(b_.simple(static_cast<uint8_t>(arg)));
        case 25:
            return check(b_.float64(decode_half(static_cast<uint16_t>(arg))));
        case 26:
            return check(b_.float64(decode_single(static_cast<uint32_t>(arg))));
        case 27:
            return check(b_.float64(decode_double(arg)));
        case 31:
            return fail(Fault::kStrayBreak, start);
        default:
            return check(b_.simple(static_cast<uint8_t>(arg)));
        }
    }

    // Drops the values stacked from `from` up, shrinks the stack back to
    // `from`, and passes the failure on.
    Value unwind(size_t from, Value failed)
    {
        for (size_t i = from; i < stack_.size(); ++i) b_.release(stack_[i]);
        stack_.resize(from);
        return failed;
    }

    // Drops the pairs stacked from `from` up, shrinks the pair stack back to
    // `base`, and passes the failure on.
    Value drop_pairs(size_t from, size_t base, Value failed)
    {
        for (size_t i = from; i < pairs_.size(); ++i) {
            b_.release(pairs_[i].key);
            b_.release(pairs_[i].value);
        }
        pairs_.resize(base);
        return failed;
    }

    // Drops a partly built container and passes the failure on.
    Value abandon(Value container, Value failed)
    {
        b_.release(container);
        return failed;
    }

    Builder &b_;
    const uint8_t *data_;
    size_t size_;
    size_t pos_;
    uint32_t max_depth_;
    size_t slots_left_ = 0; // what the item's definite containers may still declare
    bool settled_;
    std::string copy_; // text of an input that may change, as validated
    Failure failure_;
    struct PendingPair {
        Value key, value;
        size_t key_offset;
    };
    ScratchStack<Value, 64> stack_;       // elements of the open indefinite arrays
    ScratchStack<PendingPair, 32> pairs_; // pairs of the open indefinite maps
};

} // namespace korvalent::cbor_decode

#endif
