// Tests of the CBOR generator and parser: byte tables for every writer and
// handler, truncation and hostile lengths, the allocation-free reader against
// the allocating one, and the shortest-float writer against a direct model of
// its candidate/decode/compare rule.
#include "core/cbor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct GenDeleter {
    void operator()(cbor_generator_s *gen) const { cbor_generator_free(gen); }
};
using GenPtr = std::unique_ptr<cbor_generator_s, GenDeleter>;

GenPtr new_gen() {
    GenPtr gen(cbor_generator_create());
    if (!gen) throw std::bad_alloc();
    return gen;
}

// "1A 00 01" -> {0x1A, 0x00, 0x01}
Bytes hex(const std::string &text) {
    Bytes out;
    std::istringstream in(text);
    std::string byte;
    while (in >> byte) out.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
    return out;
}

Bytes contents(const cbor_generator_s *gen) {
    if (gen->length == 0) return {};
    return Bytes(gen->data, gen->data + gen->length);
}

std::string to_hex(const Bytes &bytes) {
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

TEST_P(CborWriteUint, ShortestHead) {
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

TEST_P(CborWriteNegint, ComplementHead) {
    auto gen = new_gen();
    ASSERT_EQ(cbor_write_negint(gen.get(), GetParam().value), 0);
    EXPECT_EQ(to_hex(contents(gen.get())), to_hex(hex(GetParam().expected)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, CborWriteNegint,
    ::testing::Values(NegintCase{-1, "20"}, NegintCase{-10, "29"}, NegintCase{-24, "37"},
                      NegintCase{-25, "38 18"}, NegintCase{-100, "38 63"}, NegintCase{-256, "38 FF"},
                      NegintCase{-257, "39 01 00"}, NegintCase{-1000, "39 03 E7"},
                      NegintCase{-65536, "39 FF FF"}, NegintCase{-65537, "3A 00 01 00 00"},
                      NegintCase{-4294967296ll, "3A FF FF FF FF"},
                      NegintCase{-4294967297ll, "3B 00 00 00 01 00 00 00 00"},
                      NegintCase{std::numeric_limits<int64_t>::min(), "3B 7F FF FF FF FF FF FF FF"}));

struct HelperCase {
    uint32_t major;
    uint64_t value;
    const char *expected;
};

class CborWriteUintHelper : public ::testing::TestWithParam<HelperCase> {};

TEST_P(CborWriteUintHelper, EveryMajorType) {
    auto gen = new_gen();
    ASSERT_EQ(_cbor_write_uint_helper(gen.get(), GetParam().major, GetParam().value), 0);
    EXPECT_EQ(to_hex(contents(gen.get())), to_hex(hex(GetParam().expected)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, CborWriteUintHelper,
    ::testing::Values(HelperCase{0, 5, "05"}, HelperCase{2, 24, "58 18"}, HelperCase{3, 0x1234, "79 12 34"},
                      HelperCase{4, 0x10000, "9A 00 01 00 00"}, HelperCase{5, 0x100000000ull, "BB 00 00 00 01 00 00 00 00"},
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

TEST_P(CborWriteUintSized, CallerChosenWidth) {
    auto gen = new_gen();
    EXPECT_EQ(_cbor_write_uint_sized(gen.get(), GetParam().initial, GetParam().value), GetParam().status);
    EXPECT_EQ(to_hex(contents(gen.get())), to_hex(hex(GetParam().expected)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, CborWriteUintSized,
    ::testing::Values(SizedCase{0x18, 0, 0, "18 00"}, SizedCase{0x18, 0x1FF, 0, "18 FF"},
                      SizedCase{0x19, 5, 0, "19 00 05"}, SizedCase{0x1A, 0x12345678, 0, "1A 12 34 56 78"},
                      SizedCase{0x5B, 3, 0, "5B 00 00 00 00 00 00 00 03"},
                      SizedCase{0x9A, 0x0102030405ull, 0, "9A 02 03 04 05"},
                      SizedCase{0x00, 23, 0, "17"}, SizedCase{0x80, 2, 0, "82"}, SizedCase{0x1F, 0, 0, "1F"},
                      SizedCase{0x60, 0, 0, "60"},
                      // A value above 23 would overwrite the major type.
                      SizedCase{0x00, 100, -1, ""}, SizedCase{0x00, 24, -1, ""}, SizedCase{0xA0, 1000, -1, ""}));

/* ------------------------------------------------- strings and containers */

TEST(CborWriteStrings, DefiniteAndIndefinite) {
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

TEST(CborWriteStrings, LengthHeadsAtEveryWidth) {
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

TEST(CborWriteStrings, NullPayloadWithLengthFails) {
    auto gen = new_gen();
    EXPECT_EQ(cbor_write_byte_string(gen.get(), nullptr, 3), -1);
    EXPECT_EQ(cbor_write_text_string(gen.get(), nullptr, 1), -1);
    EXPECT_EQ(gen->length, 0u);
}

TEST(CborWriteContainers, HeadsAndSentinels) {
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
    EXPECT_EQ(to_hex(contents(gen.get())), "80 83 98 19 9F A0 A1 B9 01 2C BF 9B FF FF FF FF FF FF FF FE");
}

TEST(CborWriteSimple, OneByteEach) {
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

TEST_P(CborWriteFloat, ShortestExactWidth) {
    auto gen = new_gen();
    EXPECT_EQ(cbor_write_float(gen.get(), GetParam().value), GetParam().status);
    EXPECT_EQ(to_hex(contents(gen.get())), to_hex(hex(GetParam().expected)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, CborWriteFloat,
    ::testing::Values(
        FloatCase{0.0, 1, "F9 00 00"}, FloatCase{-0.0, 1, "F9 80 00"}, FloatCase{1.0, 1, "F9 3C 00"},
        FloatCase{-2.0, 1, "F9 C0 00"}, FloatCase{1.5, 1, "F9 3E 00"}, FloatCase{-4.0, 1, "F9 C4 00"},
        FloatCase{65504.0, 1, "F9 7B FF"}, FloatCase{65505.0, 1, "FA 47 7F E1 00"},
        FloatCase{65536.0, 1, "FA 47 80 00 00"}, FloatCase{100000.0, 1, "FA 47 C3 50 00"},
        FloatCase{0.00006103515625, 1, "F9 04 00"},               // 2^-14, the smallest normal half
        FloatCase{5.960464477539063e-8, 1, "FA 33 80 00 00"},     // 2^-24: a half subnormal, never produced
        FloatCase{0.000030517578125, 1, "FA 38 00 00 00"},        // 2^-15, also a half subnormal
        FloatCase{0x1p-149, 1, "FA 00 00 00 01"},                 // smallest single subnormal
        FloatCase{3.4028234663852886e+38, 1, "FA 7F 7F FF FF"},   // largest single
        FloatCase{0.1, 1, "FB 3F B9 99 99 99 99 99 9A"}, FloatCase{1.1, 1, "FB 3F F1 99 99 99 99 99 9A"},
        FloatCase{-4.1, 1, "FB C0 10 66 66 66 66 66 66"}, FloatCase{1.0e+300, 1, "FB 7E 37 E4 3C 88 00 75 9C"},
        FloatCase{0x1p-150, 1, "FB 36 90 00 00 00 00 00 00"},     // below the smallest single
        FloatCase{3.4028235677973366e+38, 1, "FB 47 EF FF FF F0 00 00 00"}, // rounds to infinity as a single
        FloatCase{std::numeric_limits<double>::quiet_NaN(), 0, "F9 7E 00"},
        FloatCase{-std::numeric_limits<double>::quiet_NaN(), 0, "F9 7E 00"},
        FloatCase{std::numeric_limits<double>::infinity(), 0, "F9 7C 00"},
        FloatCase{-std::numeric_limits<double>::infinity(), 0, "F9 FC 00"}));

TEST(CborWriteFloat, FixedWidthWriters) {
    auto gen = new_gen();
    EXPECT_EQ(cbor_write_float32(gen.get(), 0.1), 1);
    EXPECT_EQ(cbor_write_float32(gen.get(), 1.0), 1);
    EXPECT_EQ(cbor_write_float32(gen.get(), 1e300), 1);
    EXPECT_EQ(cbor_write_float64(gen.get(), 1.0), 1);
    EXPECT_EQ(cbor_write_float64(gen.get(), -0.0), 1);
    EXPECT_EQ(to_hex(contents(gen.get())),
              "FA 3D CC CC CD FA 3F 80 00 00 FA 7F 80 00 00 FB 3F F0 00 00 00 00 00 00 FB 80 00 00 00 00 00 00 00");
}

/* ------------------------------------------------------ failure and growth */

TEST(CborWriteNullGenerator, EveryWriterFails) {
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

TEST(CborGenerator, StartsEmptyAndGrowsExactlyByWhatIsWritten) {
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

TEST(CborGenerator, OversizedAppendFailsAndAppendsNothing) {
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

} // namespace
