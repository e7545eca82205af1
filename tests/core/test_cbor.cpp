// Tests of the CBOR generator and parser: byte tables for every writer and
// handler, truncation and hostile lengths, the allocation-free reader against
// the allocating one, and the shortest-float writer against a direct model of
// its candidate/decode/compare rule.
#include "core/cbor.h"

#include "cbor_float_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/owner.h"

namespace {

using Bytes = std::vector<uint8_t>;

using GenPtr = kv_owner<cbor_generator_s, cbor_generator_free>;

GenPtr new_gen()
{
    GenPtr gen(cbor_generator_create());
    if (!gen) throw std::bad_alloc();
    return gen;
}

// "1A 00 01" -> {0x1A, 0x00, 0x01}
Bytes hex(const std::string &text)
{
    Bytes out;
    std::istringstream in(text);
    std::string byte;
    while (in >> byte) out.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
    return out;
}

Bytes contents(const cbor_generator_s *gen)
{
    if (gen->length == 0) return {};
    return Bytes(gen->data, gen->data + gen->length);
}

std::string to_hex(const Bytes &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i) out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

/* ---------------------------------------------------------- integer heads */

struct UintCase {
    uint64_t value;
    const char *expected;
};

class CborWriteUint : public ::testing::TestWithParam<UintCase> {};

TEST_P(CborWriteUint, ShortestHead)
{
    auto gen = new_gen();
    ASSERT_EQ(cbor_write_uint(gen.get(), GetParam().value), 0);
    EXPECT_EQ(to_hex(contents(gen.get())), to_hex(hex(GetParam().expected)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, CborWriteUint,
    ::testing::Values(UintCase{0, "00"}, UintCase{1, "01"}, UintCase{10, "0A"}, UintCase{23, "17"},
                      UintCase{24, "18 18"}, UintCase{25, "18 19"}, UintCase{100, "18 64"},
                      UintCase{255, "18 FF"}, UintCase{256, "19 01 00"}, UintCase{1000, "19 03 E8"},
                      UintCase{65535, "19 FF FF"}, UintCase{65536, "1A 00 01 00 00"},
                      UintCase{1000000, "1A 00 0F 42 40"}, UintCase{4294967295u, "1A FF FF FF FF"},
                      UintCase{4294967296ull, "1B 00 00 00 01 00 00 00 00"},
                      UintCase{1000000000000ull, "1B 00 00 00 E8 D4 A5 10 00"},
                      UintCase{18446744073709551615ull, "1B FF FF FF FF FF FF FF FF"}));

struct NegintCase {
    int64_t value;
    const char *expected;
};

class CborWriteNegint : public ::testing::TestWithParam<NegintCase> {};

TEST_P(CborWriteNegint, ComplementHead)
{
    auto gen = new_gen();
    ASSERT_EQ(cbor_write_negint(gen.get(), GetParam().value), 0);
    EXPECT_EQ(to_hex(contents(gen.get())), to_hex(hex(GetParam().expected)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, CborWriteNegint,
    ::testing::Values(
        NegintCase{-1, "20"}, NegintCase{-10, "29"}, NegintCase{-24, "37"},
        NegintCase{-25, "38 18"}, NegintCase{-100, "38 63"}, NegintCase{-256, "38 FF"},
        NegintCase{-257, "39 01 00"}, NegintCase{-1000, "39 03 E7"}, NegintCase{-65536, "39 FF FF"},
        NegintCase{-65537, "3A 00 01 00 00"}, NegintCase{-4294967296ll, "3A FF FF FF FF"},
        NegintCase{-4294967297ll, "3B 00 00 00 01 00 00 00 00"},
        NegintCase{std::numeric_limits<int64_t>::min(), "3B 7F FF FF FF FF FF FF FF"}));

struct HelperCase {
    uint32_t major;
    uint64_t value;
    const char *expected;
};

class CborWriteUintHelper : public ::testing::TestWithParam<HelperCase> {};

TEST_P(CborWriteUintHelper, EveryMajorType)
{
    auto gen = new_gen();
    ASSERT_EQ(_cbor_write_uint_helper(gen.get(), GetParam().major, GetParam().value), 0);
    EXPECT_EQ(to_hex(contents(gen.get())), to_hex(hex(GetParam().expected)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, CborWriteUintHelper,
    ::testing::Values(HelperCase{0, 5, "05"}, HelperCase{2, 24, "58 18"},
                      HelperCase{3, 0x1234, "79 12 34"}, HelperCase{4, 0x10000, "9A 00 01 00 00"},
                      HelperCase{5, 0x100000000ull, "BB 00 00 00 01 00 00 00 00"},
                      HelperCase{6, 1, "C1"}, HelperCase{6, 32, "D8 20"}, HelperCase{7, 20, "F4"},
                      // The major type is kept to 8 bits after the shift.
                      HelperCase{8, 1, "01"}, HelperCase{9, 0, "20"}));

struct SizedCase {
    uint8_t initial;
    uint64_t value;
    int32_t status;
    const char *expected;
};

class CborWriteUintSized : public ::testing::TestWithParam<SizedCase> {};

TEST_P(CborWriteUintSized, CallerChosenWidth)
{
    auto gen = new_gen();
    EXPECT_EQ(_cbor_write_uint_sized(gen.get(), GetParam().initial, GetParam().value),
              GetParam().status);
    EXPECT_EQ(to_hex(contents(gen.get())), to_hex(hex(GetParam().expected)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, CborWriteUintSized,
    ::testing::Values(
        SizedCase{0x18, 0, 0, "18 00"}, SizedCase{0x18, 0x1FF, 0, "18 FF"},
        SizedCase{0x19, 5, 0, "19 00 05"}, SizedCase{0x1A, 0x12345678, 0, "1A 12 34 56 78"},
        SizedCase{0x5B, 3, 0, "5B 00 00 00 00 00 00 00 03"},
        SizedCase{0x9A, 0x0102030405ull, 0, "9A 02 03 04 05"}, SizedCase{0x00, 23, 0, "17"},
        SizedCase{0x80, 2, 0, "82"}, SizedCase{0x1F, 0, 0, "1F"}, SizedCase{0x60, 0, 0, "60"},
        // A value above 23 would overwrite the major type.
        SizedCase{0x00, 100, -1, ""}, SizedCase{0x00, 24, -1, ""}, SizedCase{0xA0, 1000, -1, ""},
        // A nonzero value combined with the AI already set must leave a
        // direct head, never a reserved (1C-1E) or indefinite (1F) one.
        SizedCase{0x01, 2, 0, "03"}, SizedCase{0x10, 7, 0, "17"}, SizedCase{0x9F, 0, 0, "9F"},
        SizedCase{0x08, 20, -1, ""}, SizedCase{0x1C, 3, -1, ""}, SizedCase{0x1F, 1, -1, ""},
        SizedCase{0x5D, 2, -1, ""}));

/* ------------------------------------------------- strings and containers */

TEST(CborWriteStrings, DefiniteAndIndefinite)
{
    auto gen = new_gen();
    ASSERT_EQ(cbor_write_byte_string(gen.get(), "", 0), 0);
    ASSERT_EQ(cbor_write_byte_string(gen.get(), nullptr, 0), 0);
    ASSERT_EQ(cbor_write_text_string(gen.get(), "abc", 3), 0);
    ASSERT_EQ(cbor_write_byte_string(gen.get(), "\x01\x02\x03\x04", 4), 0);
    ASSERT_EQ(cbor_write_text_string(gen.get(), "", 0), 0);
    ASSERT_EQ(cbor_write_byte_string(gen.get(), "ignored", CBOR_INDEFINITE_LENGTH), 0);
    ASSERT_EQ(cbor_write_text_string(gen.get(), nullptr, CBOR_INDEFINITE_LENGTH), 0);
    EXPECT_EQ(to_hex(contents(gen.get())), "40 40 63 61 62 63 44 01 02 03 04 60 5F 7F");
}

TEST(CborWriteStrings, LengthHeadsAtEveryWidth)
{
    for (uint64_t length : {23ull, 24ull, 255ull, 256ull, 65535ull, 65536ull}) {
        std::string payload(length, 'x');
        auto gen = new_gen();
        ASSERT_EQ(cbor_write_text_string(gen.get(), payload.data(), length), 0);
        Bytes head;
        auto helper = new_gen();
        ASSERT_EQ(_cbor_write_uint_helper(helper.get(), 3, length), 0);
        head = contents(helper.get());
        ASSERT_EQ(gen->length, head.size() + length);
        EXPECT_EQ(0, std::memcmp(gen->data, head.data(), head.size()));
        EXPECT_EQ(0, std::memcmp(gen->data + head.size(), payload.data(), length));
    }
}

TEST(CborWriteStrings, NullPayloadWithLengthFails)
{
    auto gen = new_gen();
    EXPECT_EQ(cbor_write_byte_string(gen.get(), nullptr, 3), -1);
    EXPECT_EQ(cbor_write_text_string(gen.get(), nullptr, 1), -1);
    EXPECT_EQ(gen->length, 0u);
}

TEST(CborWriteContainers, HeadsAndSentinels)
{
    auto gen = new_gen();
    ASSERT_EQ(cbor_write_array(gen.get(), 0), 0);
    ASSERT_EQ(cbor_write_array(gen.get(), 3), 0);
    ASSERT_EQ(cbor_write_array(gen.get(), 25), 0);
    ASSERT_EQ(cbor_write_array(gen.get(), CBOR_INDEFINITE_LENGTH), 0);
    ASSERT_EQ(cbor_write_map(gen.get(), 0), 0);
    ASSERT_EQ(cbor_write_map(gen.get(), 1), 0);
    ASSERT_EQ(cbor_write_map(gen.get(), 300), 0);
    ASSERT_EQ(cbor_write_map(gen.get(), CBOR_INDEFINITE_LENGTH), 0);
    ASSERT_EQ(cbor_write_array(gen.get(), CBOR_INDEFINITE_LENGTH - 1), 0);
    EXPECT_EQ(to_hex(contents(gen.get())),
              "80 83 98 19 9F A0 A1 B9 01 2C BF 9B FF FF FF FF FF FF FF FE");
}

TEST(CborWriteSimple, OneByteEach)
{
    auto gen = new_gen();
    ASSERT_EQ(cbor_write_false(gen.get()), 0);
    ASSERT_EQ(cbor_write_true(gen.get()), 0);
    ASSERT_EQ(cbor_write_null(gen.get()), 0);
    ASSERT_EQ(cbor_write_undefined(gen.get()), 0);
    ASSERT_EQ(cbor_write_break(gen.get()), 0);
    ASSERT_EQ(_cbor_generator_write_byte(gen.get(), 0x1F7), 0); // low 8 bits only
    ASSERT_EQ(_cbor_generator_write_bytes(gen.get(), "\xAA\xBB", 2), 0);
    ASSERT_EQ(_cbor_generator_write_bytes(gen.get(), nullptr, 0), 0);
    EXPECT_EQ(to_hex(contents(gen.get())), "F4 F5 F6 F7 FF F7 AA BB");
}

/* ------------------------------------------------------------------ floats */

struct FloatCase {
    double value;
    int32_t status;
    const char *expected;
};

class CborWriteFloat : public ::testing::TestWithParam<FloatCase> {};

TEST_P(CborWriteFloat, ShortestExactWidth)
{
    auto gen = new_gen();
    EXPECT_EQ(cbor_write_float(gen.get(), GetParam().value), GetParam().status);
    EXPECT_EQ(to_hex(contents(gen.get())), to_hex(hex(GetParam().expected)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, CborWriteFloat,
    ::testing::Values(
        FloatCase{0.0, 1, "F9 00 00"}, FloatCase{-0.0, 1, "F9 80 00"},
        FloatCase{1.0, 1, "F9 3C 00"}, FloatCase{-2.0, 1, "F9 C0 00"},
        FloatCase{1.5, 1, "F9 3E 00"}, FloatCase{-4.0, 1, "F9 C4 00"},
        FloatCase{65504.0, 1, "F9 7B FF"}, FloatCase{65505.0, 1, "FA 47 7F E1 00"},
        FloatCase{65536.0, 1, "FA 47 80 00 00"}, FloatCase{100000.0, 1, "FA 47 C3 50 00"},
        FloatCase{0.00006103515625, 1, "F9 04 00"}, // 2^-14, the smallest normal half
        FloatCase{5.960464477539063e-8, 1,
                  "FA 33 80 00 00"}, // 2^-24: a half subnormal, never produced
        FloatCase{0.000030517578125, 1, "FA 38 00 00 00"},      // 2^-15, also a half subnormal
        FloatCase{0x1p-149, 1, "FA 00 00 00 01"},               // smallest single subnormal
        FloatCase{3.4028234663852886e+38, 1, "FA 7F 7F FF FF"}, // largest single
        FloatCase{0.1, 1, "FB 3F B9 99 99 99 99 99 9A"},
        FloatCase{1.1, 1, "FB 3F F1 99 99 99 99 99 9A"},
        FloatCase{-4.1, 1, "FB C0 10 66 66 66 66 66 66"},
        FloatCase{1.0e+300, 1, "FB 7E 37 E4 3C 88 00 75 9C"},
        FloatCase{0x1p-150, 1, "FB 36 90 00 00 00 00 00 00"}, // below the smallest single
        FloatCase{3.4028235677973366e+38, 1,
                  "FB 47 EF FF FF F0 00 00 00"}, // rounds to infinity as a single
        FloatCase{std::numeric_limits<double>::quiet_NaN(), 0, "F9 7E 00"},
        FloatCase{-std::numeric_limits<double>::quiet_NaN(), 0, "F9 7E 00"},
        FloatCase{std::numeric_limits<double>::infinity(), 0, "F9 7C 00"},
        FloatCase{-std::numeric_limits<double>::infinity(), 0, "F9 FC 00"}));

TEST(CborWriteFloat, FixedWidthWriters)
{
    auto gen = new_gen();
    EXPECT_EQ(cbor_write_float32(gen.get(), 0.1), 1);
    EXPECT_EQ(cbor_write_float32(gen.get(), 1.0), 1);
    EXPECT_EQ(cbor_write_float32(gen.get(), 1e300), 1);
    EXPECT_EQ(cbor_write_float64(gen.get(), 1.0), 1);
    EXPECT_EQ(cbor_write_float64(gen.get(), -0.0), 1);
    EXPECT_EQ(to_hex(contents(gen.get())), "FA 3D CC CC CD FA 3F 80 00 00 FA 7F 80 00 00 FB 3F F0 "
                                           "00 00 00 00 00 00 FB 80 00 00 00 00 00 00 00");
}

/* ------------------------------------------------------ failure and growth */

TEST(CborWriteNullGenerator, EveryWriterFails)
{
    cbor_generator_s *none = nullptr;
    EXPECT_EQ(_cbor_generator_write_byte(none, 1), -1);
    EXPECT_EQ(_cbor_generator_write_bytes(none, "a", 1), -1);
    EXPECT_EQ(_cbor_generator_write_bytes(none, "a", 0), -1);
    EXPECT_EQ(_cbor_write_uint_helper(none, 0, 1), -1);
    EXPECT_EQ(_cbor_write_uint_sized(none, 0x18, 1), -1);
    EXPECT_EQ(_cbor_write_uint_sized(none, 0x00, 1), -1);
    EXPECT_EQ(cbor_write_uint(none, 1), -1);
    EXPECT_EQ(cbor_write_negint(none, -1), -1);
    EXPECT_EQ(cbor_write_byte_string(none, "a", 1), -1);
    EXPECT_EQ(cbor_write_byte_string(none, nullptr, CBOR_INDEFINITE_LENGTH), -1);
    EXPECT_EQ(cbor_write_text_string(none, "a", 1), -1);
    EXPECT_EQ(cbor_write_text_string(none, nullptr, CBOR_INDEFINITE_LENGTH), -1);
    EXPECT_EQ(cbor_write_array(none, 1), -1);
    EXPECT_EQ(cbor_write_array(none, CBOR_INDEFINITE_LENGTH), -1);
    EXPECT_EQ(cbor_write_map(none, 1), -1);
    EXPECT_EQ(cbor_write_map(none, CBOR_INDEFINITE_LENGTH), -1);
    EXPECT_EQ(cbor_write_false(none), -1);
    EXPECT_EQ(cbor_write_true(none), -1);
    EXPECT_EQ(cbor_write_null(none), -1);
    EXPECT_EQ(cbor_write_undefined(none), -1);
    EXPECT_EQ(cbor_write_break(none), -1);
    EXPECT_EQ(cbor_write_float32(none, 1.0), -1);
    EXPECT_EQ(cbor_write_float64(none, 1.0), -1);
    EXPECT_EQ(cbor_write_float(none, 1.0), -1);
    EXPECT_EQ(cbor_write_float(none, 0.1), -1);
    EXPECT_EQ(cbor_write_float(none, std::nan("")), -1);
    EXPECT_EQ(cbor_write_float(none, -std::numeric_limits<double>::infinity()), -1);
    cbor_generator_free(none);
}

TEST(CborGenerator, StartsEmptyAndGrowsExactlyByWhatIsWritten)
{
    auto gen = new_gen();
    EXPECT_EQ(gen->data, nullptr);
    EXPECT_EQ(gen->length, 0u);
    std::mt19937_64 rng(7);
    Bytes expected;
    for (int i = 0; i < 20000; ++i) {
        const uint64_t value = rng() >> (rng() % 64);
        auto one = new_gen();
        ASSERT_EQ(cbor_write_uint(one.get(), value), 0);
        Bytes item = contents(one.get());
        expected.insert(expected.end(), item.begin(), item.end());
        ASSERT_EQ(cbor_write_uint(gen.get(), value), 0);
        ASSERT_EQ(gen->length, expected.size());
    }
    EXPECT_EQ(0, std::memcmp(gen->data, expected.data(), expected.size()));
}

// Appending bytes the generator already holds, at every length that makes
// the block grow: the copy reads them where they are after the growth.
TEST(CborGenerator, AppendsPartsOfItsOwnContents)
{
    for (uint64_t length = 1; length < 600; ++length) {
        auto gen = new_gen();
        Bytes model;
        for (uint64_t i = 0; i < length; ++i) {
            ASSERT_EQ(_cbor_generator_write_byte(gen.get(), static_cast<unsigned>(i * 7)), 0);
            model.push_back(static_cast<uint8_t>(i * 7));
        }
        ASSERT_EQ(_cbor_generator_write_bytes(gen.get(), gen->data, gen->length), 0);
        model.insert(model.end(), model.begin(), model.begin() + static_cast<ptrdiff_t>(length));
        const uint64_t tail = length / 2;
        ASSERT_EQ(cbor_write_byte_string(gen.get(), gen->data + gen->length - tail, tail), 0);
        auto head = new_gen();
        ASSERT_EQ(cbor_write_byte_string(head.get(), model.data() + model.size() - tail, tail), 0);
        model.insert(model.end(), head->data, head->data + head->length);
        ASSERT_EQ(contents(gen.get()), model) << length;
    }
}

TEST(CborGenerator, OversizedAppendFailsAndAppendsNothing)
{
    auto gen = new_gen();
    ASSERT_EQ(cbor_write_uint(gen.get(), 500), 0);
    const uint8_t byte = 0;
    // Lengths no block can hold: rejected before the payload is touched.
    EXPECT_EQ(_cbor_generator_write_bytes(gen.get(), &byte, UINT64_MAX), -1);
    EXPECT_EQ(_cbor_generator_write_bytes(gen.get(), &byte, UINT64_MAX - 2), -1);
    EXPECT_EQ(cbor_write_byte_string(gen.get(), &byte, UINT64_MAX - 1), -1);
    EXPECT_EQ(cbor_write_text_string(gen.get(), "x", uint64_t(1) << 63), -1);
    EXPECT_EQ(to_hex(contents(gen.get())), "19 01 F4");
    // Still usable and freeable afterwards.
    EXPECT_EQ(cbor_write_null(gen.get()), 0);
    EXPECT_EQ(to_hex(contents(gen.get())), "19 01 F4 F6");
}

/* ------------------------------------------------------------------ parser */

using ValPtr = kv_owner<cbor_val_s, cbor_val_free>;

using ParserPtr = kv_owner<cbor_parser_s, cbor_parser_free>;

ParserPtr new_parser(const Bytes &input)
{
    ParserPtr parser(cbor_parser_create(input.data(), input.size()));
    if (!parser) throw std::bad_alloc();
    return parser;
}

size_t consumed(const cbor_parser_s *parser)
{
    return static_cast<size_t>(parser->cursor - parser->start);
}

uint64_t double_bits(double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

constexpr uint64_t kAllOnes = UINT64_MAX;
constexpr uint64_t kQuietNaN = 0x7FF8000000000000ull;

enum class Slot { none, u64, i64, f64, payload };

// One item read from the start of `input`. `ok` false means cbor_next_val
// returns null; `consumed` is where the cursor ends in either case.
struct ItemCase {
    const char *input;
    bool ok;
    uint32_t major;
    Slot slot;
    uint64_t bits; // u64, i64 or the double's bit pattern
    uint64_t length;
    size_t consumed;
    int32_t in_indefinite;
};

ItemCase uint_item(const char *in, uint64_t v, size_t n)
{
    return {in, true, 0, Slot::u64, v, 0, n, 0};
}
ItemCase neg_item(const char *in, int64_t v, size_t n)
{
    return {in, true, 1, Slot::i64, static_cast<uint64_t>(v), 0, n, 0};
}
ItemCase float_item(const char *in, double v, size_t n)
{
    return {in, true, 7, Slot::f64, double_bits(v), 0, n, 0};
}
ItemCase float_bits_item(const char *in, uint64_t bits, size_t n)
{
    return {in, true, 7, Slot::f64, bits, 0, n, 0};
}
ItemCase count_item(const char *in, uint32_t major, uint64_t count, size_t n)
{
    return {in, true, major, Slot::none, 0, count, n, 0};
}
ItemCase string_item(const char *in, uint32_t major, uint64_t length, size_t n)
{
    return {in, true, major, Slot::payload, 0, length, n, 0};
}
ItemCase plain_item(const char *in, uint32_t major, size_t n)
{
    return {in, true, major, Slot::none, 0, 0, n, 0};
}
ItemCase indefinite_item(const char *in, uint32_t major)
{
    return {in, true, major, Slot::none, 0, kAllOnes, 1, 1};
}
ItemCase bad_item(const char *in, size_t n) { return {in, false, 0, Slot::none, 0, 0, n, 0}; }

class CborParseItem : public ::testing::TestWithParam<ItemCase> {};

TEST_P(CborParseItem, FieldsAndCursor)
{
    const ItemCase &c = GetParam();
    const Bytes input = hex(c.input);
    auto parser = new_parser(input);
    testing::internal::CaptureStderr();
    ValPtr val(cbor_next_val(parser.get()));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(consumed(parser.get()), c.consumed);
    EXPECT_EQ(parser->in_indefinite, c.in_indefinite);
    if (!c.ok) {
        EXPECT_EQ(val, nullptr);
        return;
    }
    ASSERT_NE(val, nullptr);
    EXPECT_EQ(val->initial_byte, input[0]);
    EXPECT_EQ(val->major_type, c.major);
    EXPECT_EQ(val->length, c.length);
    switch (c.slot) {
    case Slot::u64:
        EXPECT_EQ(val->value.u64, c.bits);
        break;
    case Slot::i64:
        EXPECT_EQ(val->value.i64, static_cast<int64_t>(c.bits));
        break;
    case Slot::f64:
        EXPECT_EQ(double_bits(val->value.f64), c.bits) << val->value.f64;
        break;
    case Slot::none:
        EXPECT_EQ(val->value.u64, 0u);
        break;
    case Slot::payload:
        ASSERT_NE(val->value.ptr, nullptr);
        EXPECT_EQ(0, std::memcmp(val->value.ptr, input.data() + c.consumed - c.length, c.length));
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Integers, CborParseItem,
    ::testing::Values(uint_item("00", 0, 1), uint_item("17", 23, 1), uint_item("18 18", 24, 2),
                      uint_item("18 FF", 255, 2), uint_item("19 01 00", 256, 3),
                      uint_item("19 FF FF 00", 65535, 3), uint_item("1A 00 01 00 00", 65536, 5),
                      uint_item("1A FF FF FF FF", 4294967295u, 5),
                      uint_item("1B 00 00 00 01 00 00 00 00", 4294967296ull, 9),
                      uint_item("1B FF FF FF FF FF FF FF FF", UINT64_MAX, 9), bad_item("", 0),
                      bad_item("18", 1), bad_item("19 01", 1), bad_item("1A 00 01 00", 1),
                      bad_item("1B 00 00 00 00 00 00 00", 1), neg_item("20", -1, 1),
                      neg_item("37", -24, 1), neg_item("38 18", -25, 2), neg_item("38 FF", -256, 2),
                      neg_item("39 01 00", -257, 3), neg_item("3A FF FF FF FF", -4294967296ll, 5),
                      neg_item("3B 7F FF FF FF FF FF FF FF", std::numeric_limits<int64_t>::min(),
                               9),
                      // An argument of 2^63 or more keeps its plain complement.
                      neg_item("3B FF FF FF FF FF FF FF FF", 0, 9), bad_item("38", 1),
                      bad_item("39 00", 1), bad_item("3B 00", 1)));

INSTANTIATE_TEST_SUITE_P(
    StringsAndContainers, CborParseItem,
    ::testing::Values(
        string_item("40", 2, 0, 1), string_item("43 61 62 63", 2, 3, 4),
        string_item("58 02 61 62 63", 2, 2, 4), string_item("59 00 01 7A", 2, 1, 4),
        string_item("63 61 62 63", 3, 3, 4), string_item("60", 3, 0, 1),
        string_item("7A 00 00 00 01 21", 3, 1, 6),
        // A payload running past the end leaves the cursor after the length.
        bad_item("44 61 62 63", 1), bad_item("78 05 61", 2), bad_item("59 01 00 00", 3),
        bad_item("5B FF FF FF FF FF FF FF FF 00", 9), bad_item("7B 80 00 00 00 00 00 00 00", 9),
        bad_item("5A 7F FF FF FF 00 00", 5), bad_item("58", 1), bad_item("7B 00 00", 1),
        indefinite_item("5F", 2), indefinite_item("7F", 3), indefinite_item("9F", 4),
        indefinite_item("BF", 5), count_item("80", 4, 0, 1), count_item("83 01 02 03", 4, 3, 1),
        count_item("98 19", 4, 25, 2), count_item("9B 00 00 00 01 00 00 00 00", 4, 1ull << 32, 9),
        count_item("A0", 5, 0, 1), count_item("B9 01 2C", 5, 300, 3),
        count_item("BA FF FF FF FF", 5, 0xFFFFFFFFu, 5), bad_item("99 01", 1), bad_item("B8", 1)));

INSTANTIATE_TEST_SUITE_P(
    TagsAndSimpleValues, CborParseItem,
    ::testing::Values(plain_item("C1 1A 00 00 00 01", 6, 1), plain_item("D7", 6, 1),
                      plain_item("D8 20", 6, 2), plain_item("D9 01 00", 6, 3),
                      plain_item("DA 00 00 00 01", 6, 5),
                      plain_item("DB 00 00 00 00 00 00 00 01", 6, 9), bad_item("D8", 1),
                      bad_item("D9 01", 1), bad_item("DB 00 00 00 00 00 00 00", 1),
                      plain_item("DC 00", 6, 1), plain_item("DF", 6, 1), plain_item("E0 01", 7, 1),
                      plain_item("F3", 7, 1), plain_item("F8 20 01", 7, 2), bad_item("F8", 1),
                      plain_item("F4", 7, 1), plain_item("F5", 7, 1), plain_item("F6", 7, 1),
                      plain_item("F7", 7, 1), plain_item("FC", 7, 1), plain_item("FE", 7, 1),
                      plain_item("FF", 7, 1), plain_item("1C", 0, 1), plain_item("1F", 0, 1),
                      plain_item("3C", 1, 1), plain_item("5C", 2, 1), plain_item("5E", 2, 1),
                      plain_item("7C", 3, 1), plain_item("9D", 4, 1), plain_item("BE", 5, 1)));

INSTANTIATE_TEST_SUITE_P(
    Floats, CborParseItem,
    ::testing::Values(
        float_item("F9 7C 00", std::numeric_limits<double>::infinity(), 3),
        float_item("F9 FC 00", -std::numeric_limits<double>::infinity(), 3),
        float_bits_item("F9 7E 00", kQuietNaN, 3), float_bits_item("F9 7C 01", kQuietNaN, 3),
        float_bits_item("F9 FE 00", kQuietNaN | (1ull << 63), 3),
        float_item("F9 00 01", 0x1p-24, 3), float_item("F9 03 FF", 1023 * 0x1p-24, 3),
        float_item("F9 04 00", 0x1p-14, 3), float_item("F9 3C 00", 1.0, 3),
        float_item("F9 C0 00", -2.0, 3), float_item("F9 3E 00", 1.5, 3),
        float_item("F9 7B FF", 65504.0, 3), float_item("F9 00 00", 0.0, 3),
        float_item("F9 80 00", -0.0, 3), float_item("F9 C4 00", -4.0, 3),
        float_item("F9 35 55", 0.333251953125, 3), bad_item("F9 3C", 1), bad_item("F9", 1),
        float_bits_item("FA 7F FC 00 00", kQuietNaN, 5),
        float_bits_item("FA 7F C0 00 00", kQuietNaN, 5), float_item("FA 3F 80 00 00", 1.0, 5),
        float_item("FA 7F 80 00 00", std::numeric_limits<double>::infinity(), 5),
        float_item("FA FF 80 00 00", -std::numeric_limits<double>::infinity(), 5),
        float_item("FA 47 C3 50 00", 100000.0, 5),
        float_item("FA 7F 7F FF FF", 3.4028234663852886e+38, 5),
        float_item("FA 00 00 00 01", 0x1p-149, 5), bad_item("FA 3F 80 00", 1),
        float_item("FB 3F F1 99 99 99 99 99 9A", 1.1, 9),
        float_item("FB 7E 37 E4 3C 88 00 75 9C", 1.0e+300, 9),
        float_item("FB FF F0 00 00 00 00 00 00", -std::numeric_limits<double>::infinity(), 9),
        float_bits_item("FB 7F F8 00 00 00 00 00 01", 0x7FF8000000000001ull, 9),
        bad_item("FB 00", 1)));

TEST(CborParser, StringPayloadsAreCopies)
{
    const Bytes input = hex("43 61 62 63 63 61 62 63 40");
    auto parser = new_parser(input);
    ValPtr bytes(cbor_next_val(parser.get()));
    ValPtr text(cbor_next_val(parser.get()));
    ValPtr empty(cbor_next_val(parser.get()));
    ASSERT_TRUE(bytes && text && empty);
    EXPECT_NE(bytes->value.ptr, input.data() + 1);
    EXPECT_EQ(0, std::memcmp(bytes->value.ptr, "abc", 3));
    EXPECT_EQ(0, std::memcmp(text->value.ptr, "abc\0", 4));
    EXPECT_NE(empty->value.ptr, nullptr);
    EXPECT_EQ(empty->length, 0u);
    EXPECT_EQ(cbor_next_val(parser.get()), nullptr);
}

TEST(CborParser, IndefiniteArrayThenBreakClearsTheFlag)
{
    const Bytes input = hex("9F 01 FF");
    auto parser = new_parser(input);
    ValPtr start(cbor_next_val(parser.get()));
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(start->length, kAllOnes);
    EXPECT_EQ(parser->in_indefinite, 1);
    ValPtr one(cbor_next_val(parser.get()));
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(one->value.u64, 1u);
    EXPECT_EQ(parser->in_indefinite, 1);
    ValPtr brk(cbor_next_val(parser.get()));
    ASSERT_NE(brk, nullptr);
    EXPECT_EQ(brk->initial_byte, 0xFF);
    EXPECT_EQ(parser->in_indefinite, 0);
    EXPECT_EQ(cbor_next_val(parser.get()), nullptr);
}

TEST(CborParser, TagIsFollowedByTheTaggedItem)
{
    for (const char *text : {"C1 1A 00 00 00 01", "D8 01 1A 00 00 00 01",
                             "DB 00 00 00 00 00 00 00 01 1A 00 00 00 01"}) {
        const Bytes input = hex(text);
        auto parser = new_parser(input);
        ValPtr tag(cbor_next_val(parser.get()));
        ValPtr item(cbor_next_val(parser.get()));
        ASSERT_TRUE(tag && item) << text;
        EXPECT_EQ(tag->major_type, 6u);
        EXPECT_EQ(item->major_type, 0u);
        EXPECT_EQ(item->value.u64, 1u);
        EXPECT_EQ(cbor_parser_available_bytes(parser.get()), 0);
    }
}

TEST(CborParser, UnimplementedCodesAreReportedAndSkipped)
{
    const Bytes input = hex("E0 01 F3 F8 FF 02 F8");
    auto parser = new_parser(input);
    testing::internal::CaptureStderr();
    std::vector<uint32_t> majors;
    for (int i = 0; i < 5; ++i) {
        ValPtr val(cbor_next_val(parser.get()));
        ASSERT_NE(val, nullptr);
        majors.push_back(val->major_type);
    }
    EXPECT_EQ(cbor_next_val(parser.get()), nullptr); // F8 without its value byte
    const std::string messages = testing::internal::GetCapturedStderr();
    EXPECT_EQ(majors, (std::vector<uint32_t>{7, 0, 7, 7, 0}));
    EXPECT_EQ(
        messages,
        "Unimplemented CBOR code: e0\nUnimplemented CBOR code: f3\nUnimplemented CBOR code: f8\n"
        "Unimplemented CBOR code: f8\n");
    EXPECT_EQ(cbor_parser_available_bytes(parser.get()), 0);
}

TEST(CborParser, AFailedItemLeavesTheCursorWhereTheNextCallContinues)
{
    // 44 claims 4 bytes but 3 remain; reading resumes at the payload.
    const Bytes input = hex("44 61 62 63");
    auto parser = new_parser(input);
    EXPECT_EQ(cbor_next_val(parser.get()), nullptr);
    EXPECT_EQ(cbor_parser_available_bytes(parser.get()), 3);
    ValPtr next(cbor_next_val(parser.get()));
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->initial_byte, 0x61);
    EXPECT_EQ(next->length, 1u);
}

TEST(CborParser, CreateRefusesInputsTheCountCannotExpress)
{
    static const uint8_t byte = 0;
    EXPECT_EQ(cbor_parser_create(&byte, uint64_t(1) << 31), nullptr);
    EXPECT_EQ(cbor_parser_create(&byte, UINT64_MAX), nullptr);
    EXPECT_EQ(cbor_parser_create(nullptr, 1), nullptr);
    cbor_parser_s stack{};
    EXPECT_EQ(_cbor_parser_init(&stack, &byte, uint64_t(1) << 31), -1);
    EXPECT_EQ(_cbor_parser_init(nullptr, &byte, 1), -1);
    EXPECT_EQ(_cbor_parser_init(&stack, &byte, 1), 0);
    EXPECT_EQ(cbor_parser_available_bytes(&stack), 1);
    ParserPtr empty(cbor_parser_create(nullptr, 0));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(cbor_parser_available_bytes(empty.get()), 0);
    EXPECT_EQ(cbor_next_val(empty.get()), nullptr);
    EXPECT_EQ(cbor_next_val(nullptr), nullptr);
    EXPECT_EQ(cbor_parser_available_bytes(nullptr), 0);
    cbor_parser_free(nullptr);
    cbor_val_free(nullptr);
    ValPtr fresh(cbor_val_create());
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->initial_byte, 0);
    EXPECT_EQ(fresh->major_type, 0u);
    EXPECT_EQ(fresh->length, 0u);
}

TEST(CborParser, HandlersCalledAtTheEndOfInputFail)
{
    cbor_parser_s parser{};
    const uint8_t byte = 0;
    ASSERT_EQ(_cbor_parser_init(&parser, &byte, 1), 0);
    parser.cursor += 1;
    for (int b = 0; b < 256; ++b) {
        cbor_val_s val{};
        EXPECT_EQ(cbor_jump_table[b](&parser, &val), -1) << b;
        EXPECT_EQ(parser.cursor, &byte + 1);
    }
}

struct TableRange {
    int first, last;
    cbor_handler_fn handler;
};

TEST(CborParser, JumpTableRoutesEveryInitialByte)
{
    const std::vector<TableRange> ranges = {{0x00, 0x17, cbor_parse_uint_small},
                                            {0x18, 0x18, cbor_parse_uint8},
                                            {0x19, 0x19, cbor_parse_uint16},
                                            {0x1A, 0x1A, cbor_parse_uint32},
                                            {0x1B, 0x1B, cbor_parse_uint64},
                                            {0x1C, 0x1F, cbor_parse_reserved},
                                            {0x20, 0x37, cbor_parse_negint_small},
                                            {0x38, 0x38, cbor_parse_negint8},
                                            {0x39, 0x39, cbor_parse_negint16},
                                            {0x3A, 0x3A, cbor_parse_negint32},
                                            {0x3B, 0x3B, cbor_parse_negint64},
                                            {0x3C, 0x3F, cbor_parse_reserved},
                                            {0x40, 0x57, cbor_parse_byte_string_small},
                                            {0x58, 0x58, cbor_parse_byte_string_uint8},
                                            {0x59, 0x59, cbor_parse_byte_string_uint16},
                                            {0x5A, 0x5A, cbor_parse_byte_string_uint32},
                                            {0x5B, 0x5B, cbor_parse_byte_string_uint64},
                                            {0x5C, 0x5E, cbor_parse_reserved},
                                            {0x5F, 0x5F, cbor_parse_byte_string_indefinite},
                                            {0x60, 0x77, cbor_parse_text_string_small},
                                            {0x78, 0x78, cbor_parse_text_string_uint8},
                                            {0x79, 0x79, cbor_parse_text_string_uint16},
                                            {0x7A, 0x7A, cbor_parse_text_string_uint32},
                                            {0x7B, 0x7B, cbor_parse_text_string_uint64},
                                            {0x7C, 0x7E, cbor_parse_reserved},
                                            {0x7F, 0x7F, cbor_parse_text_string_indefinite},
                                            {0x80, 0x97, cbor_parse_array_small},
                                            {0x98, 0x98, cbor_parse_array_uint8},
                                            {0x99, 0x99, cbor_parse_array_uint16},
                                            {0x9A, 0x9A, cbor_parse_array_uint32},
                                            {0x9B, 0x9B, cbor_parse_array_uint64},
                                            {0x9C, 0x9E, cbor_parse_reserved},
                                            {0x9F, 0x9F, cbor_parse_array_indefinite},
                                            {0xA0, 0xB7, cbor_parse_map_small},
                                            {0xB8, 0xB8, cbor_parse_map_uint8},
                                            {0xB9, 0xB9, cbor_parse_map_uint16},
                                            {0xBA, 0xBA, cbor_parse_map_uint32},
                                            {0xBB, 0xBB, cbor_parse_map_uint64},
                                            {0xBC, 0xBE, cbor_parse_reserved},
                                            {0xBF, 0xBF, cbor_parse_map_indefinite},
                                            {0xC0, 0xDB, cbor_parse_semantic_tag},
                                            {0xDC, 0xDF, cbor_parse_reserved},
                                            {0xE0, 0xF3, cbor_parse_unimplemented},
                                            {0xF4, 0xF4, cbor_parse_false},
                                            {0xF5, 0xF5, cbor_parse_true},
                                            {0xF6, 0xF6, cbor_parse_null},
                                            {0xF7, 0xF7, cbor_parse_undefined},
                                            {0xF8, 0xF8, cbor_parse_unimplemented},
                                            {0xF9, 0xF9, cbor_parse_float16},
                                            {0xFA, 0xFA, cbor_parse_float32},
                                            {0xFB, 0xFB, cbor_parse_float64},
                                            {0xFC, 0xFE, cbor_parse_reserved},
                                            {0xFF, 0xFF, cbor_parse_break}};
    int next = 0;
    for (const TableRange &range : ranges) {
        ASSERT_EQ(range.first, next);
        for (int b = range.first; b <= range.last; ++b)
            EXPECT_EQ(cbor_jump_table[b], range.handler) << b;
        next = range.last + 1;
    }
    EXPECT_EQ(next, 256);
}

/* Every proper prefix of a valid item fails; the cursor stops after the
 * initial byte, or after a string's length argument when only the payload is
 * short. */
TEST(CborParser, TruncationAtEveryByteOfValidItems)
{
    auto gen = new_gen();
    std::vector<std::pair<size_t, size_t>>
        items; // (offset, head size) of each string; head size 0 for others
    auto mark = [&](bool string, size_t before, uint64_t payload) {
        items.emplace_back(before, string ? gen->length - before - payload : 0);
    };
    for (uint64_t v : {24ull, 300ull, 70000ull, 1ull << 40}) {
        size_t before = gen->length;
        ASSERT_EQ(cbor_write_uint(gen.get(), v), 0);
        mark(false, before, 0);
        before = gen->length;
        ASSERT_EQ(cbor_write_negint(gen.get(), -static_cast<int64_t>(v)), 0);
        mark(false, before, 0);
        before = gen->length;
        ASSERT_EQ(cbor_write_array(gen.get(), v), 0);
        mark(false, before, 0);
        before = gen->length;
        ASSERT_EQ(cbor_write_map(gen.get(), v), 0);
        mark(false, before, 0);
    }
    for (uint64_t len : {1ull, 5ull, 24ull, 300ull}) {
        const std::string payload(len, 'q');
        size_t before = gen->length;
        ASSERT_EQ(cbor_write_byte_string(gen.get(), payload.data(), len), 0);
        mark(true, before, len);
        before = gen->length;
        ASSERT_EQ(cbor_write_text_string(gen.get(), payload.data(), len), 0);
        mark(true, before, len);
    }
    for (double v : {1.5, 100000.0, 0.1}) {
        const size_t before = gen->length;
        ASSERT_EQ(cbor_write_float(gen.get(), v), 1);
        mark(false, before, 0);
    }
    const Bytes all = contents(gen.get());
    for (size_t i = 0; i < items.size(); ++i) {
        const size_t begin = items[i].first;
        const size_t end = i + 1 < items.size() ? items[i + 1].first : all.size();
        const size_t head = items[i].second;
        for (size_t cut = 1; cut < end - begin; ++cut) {
            const Bytes prefix(all.begin() + begin, all.begin() + begin + cut);
            auto parser = new_parser(prefix);
            EXPECT_EQ(cbor_next_val(parser.get()), nullptr) << to_hex(prefix);
            const size_t expected = head != 0 && cut >= head ? head : 1;
            EXPECT_EQ(consumed(parser.get()), expected) << to_hex(prefix);
        }
        const Bytes whole(all.begin() + begin, all.begin() + end);
        auto parser = new_parser(whole);
        ValPtr val(cbor_next_val(parser.get()));
        EXPECT_NE(val, nullptr) << to_hex(whole);
        EXPECT_EQ(cbor_parser_available_bytes(parser.get()), 0);
    }
}

/* ------------------------------------------------------ write/parse trips */

TEST(CborRoundTrip, RandomItemsReadBackAsWritten)
{
    std::mt19937_64 rng(2024);
    const int count = std::getenv("KORVALENT_QUICK") ? 3000 : 30000;
    auto gen = new_gen();
    struct Written {
        int kind;
        uint64_t bits;
        std::string payload;
    };
    std::vector<Written> written;
    for (int i = 0; i < count; ++i) {
        const int kind = static_cast<int>(rng() % 8);
        const uint64_t raw = rng() >> (rng() % 64);
        Written w{kind, raw, {}};
        switch (kind) {
        case 0:
            ASSERT_EQ(cbor_write_uint(gen.get(), raw), 0);
            break;
        case 1: {
            const int64_t negative = -1 - static_cast<int64_t>(raw >> 1);
            w.bits = static_cast<uint64_t>(negative);
            ASSERT_EQ(cbor_write_negint(gen.get(), negative), 0);
            break;
        }
        case 2:
        case 3: {
            w.payload.resize(rng() % 300);
            for (char &c : w.payload) c = static_cast<char>(rng());
            if (kind == 2)
                ASSERT_EQ(cbor_write_byte_string(gen.get(), w.payload.data(), w.payload.size()), 0);
            else
                ASSERT_EQ(cbor_write_text_string(gen.get(), w.payload.data(), w.payload.size()), 0);
            break;
        }
        case 4:
            ASSERT_EQ(cbor_write_array(gen.get(), raw), 0);
            break;
        case 5:
            ASSERT_EQ(cbor_write_map(gen.get(), raw), 0);
            break;
        case 6: {
            double value;
            uint64_t pattern = rng();
            std::memcpy(&value, &pattern, sizeof value);
            if (rng() % 2) value = static_cast<float>(value); // often a single or a half
            if (rng() % 4 == 0)
                value = static_cast<double>(static_cast<int64_t>(raw % 100000) - 50000) / 64;
            w.bits = double_bits(value);
            ASSERT_GE(cbor_write_float(gen.get(), value), 0);
            break;
        }
        default:
            ASSERT_EQ(cbor_write_float64(gen.get(), static_cast<double>(raw)), 1);
            w.bits = double_bits(static_cast<double>(raw));
            break;
        }
        written.push_back(std::move(w));
    }
    const Bytes all = contents(gen.get());
    auto parser = new_parser(all);
    for (const Written &w : written) {
        ValPtr val(cbor_next_val(parser.get()));
        ASSERT_NE(val, nullptr);
        switch (w.kind) {
        case 0:
            ASSERT_EQ(val->major_type, 0u);
            ASSERT_EQ(val->value.u64, w.bits);
            break;
        case 1:
            ASSERT_EQ(val->major_type, 1u);
            ASSERT_EQ(val->value.i64, static_cast<int64_t>(w.bits));
            break;
        case 2:
        case 3:
            ASSERT_EQ(val->major_type, static_cast<uint32_t>(w.kind));
            ASSERT_EQ(val->length, w.payload.size());
            ASSERT_EQ(0, std::memcmp(val->value.ptr, w.payload.data(), w.payload.size()));
            if (w.kind == 3) {
                ASSERT_EQ(val->value.ptr[w.payload.size()], 0);
            }
            break;
        case 4:
        case 5:
            ASSERT_EQ(val->major_type, static_cast<uint32_t>(w.kind));
            ASSERT_EQ(val->length, w.bits);
            break;
        default: {
            double expected;
            std::memcpy(&expected, &w.bits, sizeof expected);
            ASSERT_EQ(val->major_type, 7u);
            if (expected != expected)
                ASSERT_NE(val->value.f64, val->value.f64);
            else
                ASSERT_EQ(double_bits(val->value.f64), w.bits) << expected;
        }
        }
    }
    EXPECT_EQ(cbor_parser_available_bytes(parser.get()), 0);
}

/* ------------------------------------- the borrowing reader vs cbor_next_val */

// Reads `input` to the end with both readers, item by item (failed items
// included, since reading continues after them). Empty string when they agree.
std::string compare_readers(const uint8_t *input, size_t size)
{
    cbor_parser_s owning_parser, borrowing;
    if (_cbor_parser_init(&owning_parser, input, size) != 0 ||
        _cbor_parser_init(&borrowing, input, size) != 0)
        return "parser creation failed";
    cbor_parser_s *const owning = &owning_parser;
    for (;;) {
        const bool had_bytes = cbor_parser_available_bytes(owning) > 0;
        ValPtr a(cbor_next_val(owning));
        cbor_val_s b;
        const int32_t status = _cbor_next_view(&borrowing, &b);
        if (owning->cursor != borrowing.cursor) return "cursor differs";
        if (owning->in_indefinite != borrowing.in_indefinite) return "flag differs";
        if (!a) {
            if (status != (had_bytes ? -1 : 0)) return "status differs on a null item";
            if (!had_bytes) return "";
            continue;
        }
        if (status != 1) return "view failed where the copy succeeded";
        if (a->initial_byte != b.initial_byte || a->major_type != b.major_type ||
            a->length != b.length)
            return "head fields differ";
        const bool definite_string =
            (a->major_type == 2 || a->major_type == 3) && a->value.ptr != nullptr;
        if (!definite_string) {
            if (a->value.u64 != b.value.u64) return "value differs";
            continue;
        }
        if (b.value.ptr + b.length != borrowing.cursor)
            return "borrowed payload is not in the input";
        if (a->length && std::memcmp(a->value.ptr, b.value.ptr, a->length) != 0)
            return "payload differs";
        if (a->major_type == 3 && a->value.ptr[a->length] != 0)
            return "text copy lacks its terminator";
    }
}

// Points stderr at a fully buffered /dev/null for the lifetime of the object:
// exhaustive loops hit the unimplemented codes millions of times, and one
// write system call per message would dominate their running time.
class SilencedStderr {
public:
    SilencedStderr() : saved_(stderr), sink_(std::fopen("/dev/null", "w"))
    {
        if (sink_ == nullptr) return;
        std::setvbuf(sink_, nullptr, _IOFBF, kSinkBuffer);
        stderr = sink_;
    }
    ~SilencedStderr()
    {
        stderr = saved_;
        if (sink_ != nullptr) std::fclose(sink_);
    }
    SilencedStderr(const SilencedStderr &) = delete;
    SilencedStderr &operator=(const SilencedStderr &) = delete;

private:
    static constexpr size_t kSinkBuffer = 1 << 16;
    FILE *saved_;
    FILE *sink_;
};

bool quick() { return std::getenv("KORVALENT_QUICK") != nullptr; }

// Every 1- and 2-byte input, as (size, bytes).
template <typename Visit>
void for_each_short_input(Visit visit)
{
    for (unsigned v = 0; v < 256 + 65536; ++v) {
        const bool one = v < 256;
        const uint8_t input[2] = {static_cast<uint8_t>(one ? v : (v - 256) >> 8),
                                  static_cast<uint8_t>(v)};
        visit(input, one ? size_t(1) : size_t(2));
    }
}

TEST(CborViewReader, AgreesOnEveryOneAndTwoByteInput)
{
    SilencedStderr silence;
    for_each_short_input([](const uint8_t *input, size_t size) {
        ASSERT_EQ(compare_readers(input, size), "") << to_hex(Bytes(input, input + size));
    });
}

TEST(CborViewReader, WritesTheSameMessages)
{
    testing::internal::CaptureStderr();
    for_each_short_input([](const uint8_t *input, size_t size) {
        ParserPtr parser(cbor_parser_create(input, size));
        while (cbor_parser_available_bytes(parser.get()) > 0) ValPtr(cbor_next_val(parser.get()));
    });
    const std::string owning_log = testing::internal::GetCapturedStderr();
    testing::internal::CaptureStderr();
    for_each_short_input([](const uint8_t *input, size_t size) {
        cbor_parser_s parser;
        _cbor_parser_init(&parser, input, size);
        cbor_val_s val;
        while (_cbor_next_view(&parser, &val) != 0) {
        }
    });
    const std::string view_log = testing::internal::GetCapturedStderr();
    EXPECT_NE(owning_log.find("Unimplemented CBOR code: f8\n"), std::string::npos);
    EXPECT_EQ(view_log, owning_log);
}

TEST(CborViewReader, AgreesOnEveryThreeByteInput)
{
    SilencedStderr silence;
    // The sanitized run samples a third byte out of every 29.
    const unsigned step = quick() ? 29 : 1;
    for (uint32_t v = 0; v < (1u << 24); v += step) {
        const uint8_t input[3] = {static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                                  static_cast<uint8_t>(v)};
        const std::string verdict = compare_readers(input, 3);
        if (!verdict.empty()) FAIL() << verdict << " on " << to_hex(Bytes(input, input + 3));
    }
}

TEST(CborViewReader, AgreesOnRandomInputs)
{
    SilencedStderr silence;
    std::mt19937_64 rng(99);
    const int count = quick() ? 20000 : 300000;
    Bytes input;
    for (int i = 0; i < count; ++i) {
        input.resize(rng() % 65);
        for (uint8_t &b : input) {
            // Mostly small values so that lengths and counts often fit the input.
            const uint64_t r = rng();
            b = static_cast<uint8_t>(r % 4 == 0 ? (r >> 8) % 8 : r >> 16);
        }
        const std::string verdict = compare_readers(input.data(), input.size());
        if (!verdict.empty()) FAIL() << verdict << " on " << to_hex(input);
    }
}

/* --------------------------------------------- shortest float vs its model */

struct FloatWrite {
    int32_t status;
    Bytes bytes;
};

FloatWrite model_write_float(double value)
{
    const kvtest::FloatItem item = kvtest::model_write_float(value);
    return {item.status, Bytes(item.bytes, item.bytes + item.size)};
}

std::string compare_with_model(cbor_generator_s *gen, double value)
{
    const uint64_t before = gen->length;
    const int32_t status = cbor_write_float(gen, value);
    const FloatWrite expected = model_write_float(value);
    const Bytes got(gen->data + before, gen->data + gen->length);
    if (status == expected.status && got == expected.bytes) return "";
    std::ostringstream out;
    out.precision(17);
    out << value << ": wrote " << to_hex(got) << " (" << status << "), model "
        << to_hex(expected.bytes) << " (" << expected.status << ")";
    return out.str();
}

double from_bits(uint64_t bits)
{
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

TEST(CborFloatModel, AgreesOnTheWorkedExamples)
{
    for (double v :
         {0.0, -0.0, 1.0, -2.0, 65504.0, 65505.0, 65536.0, 100000.0, 0x1p-14, 0x1p-24, 0x1p-149,
          0.1, 1e300, -std::numeric_limits<double>::infinity(), std::nan("")}) {
        auto gen = new_gen();
        EXPECT_EQ(compare_with_model(gen.get(), v), "");
    }
}

TEST(CborFloatModel, AgreesOnMillionsOfRandomDoubles)
{
    std::mt19937_64 rng(31337);
    const uint64_t count = quick() ? 200000 : 3000000;
    auto gen = new_gen();
    for (uint64_t i = 0; i < count; ++i) {
        double value;
        switch (i % 5) {
        case 0:
            value = from_bits(rng());
            break; // any pattern, NaNs and infinities included
        case 4: {
            // A single whose dropped half bits are zero, at any exponent
            // (including the subnormals and the wrapped half exponents).
            const uint32_t pattern = static_cast<uint32_t>(rng()) & ~uint32_t(0x1FFF);
            float single;
            std::memcpy(&single, &pattern, sizeof single);
            value = single;
            break;
        }
        case 1: {
            // A half pattern widened, nudged by a few double ulps.
            const uint64_t half = rng() & 0xFFFF;
            const double base = std::ldexp(static_cast<double>((half & 0x3FF) | 0x400),
                                           static_cast<int>((half >> 10) & 31) - 25);
            value = from_bits(double_bits((half & 0x8000) ? -base : base) + (rng() % 5) - 2);
            break;
        }
        case 2: {
            // A single pattern widened, nudged by a few double ulps.
            uint32_t pattern = static_cast<uint32_t>(rng());
            float single;
            std::memcpy(&single, &pattern, sizeof single);
            value = from_bits(double_bits(static_cast<double>(single)) + (rng() % 5) - 2);
            break;
        }
        default: {
            // Around the edges of the half and single ranges.
            static const double edges[] = {
                65504.0, 65520.0,  0x1p-14,  0x1p-15,  0x1p-24,
                0x1p-25, 0x1p-126, 0x1p-149, 0x1p-150, 3.4028234663852886e+38,
                0x1p128, 0x1p16,   0.0};
            const double edge = edges[rng() % (sizeof edges / sizeof edges[0])];
            value = from_bits(double_bits(edge) + (rng() % 33) - 16);
            if (rng() % 2) value = -value;
        }
        }
        gen->length = 0; // reuse the block; only the bytes of this write matter
        const std::string verdict = compare_with_model(gen.get(), value);
        if (!verdict.empty()) FAIL() << verdict;
    }
}

} // namespace
