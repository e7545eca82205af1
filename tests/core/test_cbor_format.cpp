/* Tests of core/cbor_format.h, the byte layout shared by the generator, the
 * parser table, the edit script and the delta reader: the head encoder must
 * write exactly the generator's bytes for every major type and every argument
 * width, and the reserved-byte rule must match the table RFC 7049 gives and
 * the parser's dispatch table. */
#include "core/cbor_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/cbor.h"
#include "core/owner.h"

namespace {

using GenPtr = kv_owner<cbor_generator_s, cbor_generator_free>;
using Bytes = std::vector<uint8_t>;

/* Every boundary between head widths, and its neighbours. */
const uint64_t kBoundaries[] = {0,
                                1,
                                22,
                                23,
                                24,
                                25,
                                254,
                                255,
                                256,
                                257,
                                65534,
                                65535,
                                65536,
                                65537,
                                UINT64_C(0xFFFFFFFE),
                                UINT64_C(0xFFFFFFFF),
                                UINT64_C(0x100000000),
                                UINT64_C(0x100000001),
                                UINT64_MAX - 1,
                                UINT64_MAX};

Bytes generator_head(uint8_t major, uint64_t value)
{
    GenPtr gen(cbor_generator_create());
    EXPECT_EQ(_cbor_write_uint_helper(gen.get(), major, value), 0);
    return Bytes(gen->data, gen->data + gen->length);
}

Bytes shared_head(uint8_t major, uint64_t value)
{
    uint8_t out[cbor_format::kMaxHeadSize + 1];
    out[cbor_format::kMaxHeadSize] = 0xA5; /* must survive: nothing past 9 bytes */
    const unsigned size = cbor_format::store_head(out, major, value);
    EXPECT_EQ(out[cbor_format::kMaxHeadSize], 0xA5);
    EXPECT_EQ(size, cbor_format::head_size(value));
    return Bytes(out, out + size);
}

/* Expected width of the head by value class. */
unsigned width_by_class(uint64_t value)
{
    if (value < 24) return 1;
    if (value < (UINT64_C(1) << 8)) return 2;
    if (value < (UINT64_C(1) << 16)) return 3;
    if (value < (UINT64_C(1) << 32)) return 5;
    return 9;
}

TEST(CborFormatHead, MatchesTheGeneratorAtEveryBoundaryOfEveryMajorType)
{
    for (uint8_t major = 0; major < 8; ++major) {
        for (const uint64_t value : kBoundaries) {
            const Bytes head = shared_head(major, value);
            EXPECT_EQ(head, generator_head(major, value))
                << "major " << int(major) << " value " << value;
            ASSERT_EQ(head.size(), width_by_class(value)) << value;
            EXPECT_EQ(cbor_format::major_of(head[0]), major);
        }
    }
}

TEST(CborFormatHead, MatchesTheGeneratorOnRandomValuesOfEveryWidth)
{
    std::mt19937_64 rng(18);
    for (int i = 0; i < 20000; ++i) {
        const unsigned bits = static_cast<unsigned>(rng() % 65);
        const uint64_t value = bits == 0 ? 0 : rng() >> (64 - bits);
        const uint8_t major = static_cast<uint8_t>(rng() % 8);
        ASSERT_EQ(shared_head(major, value), generator_head(major, value)) << value;
    }
}

TEST(CborFormatHead, ArgumentReadsBackThroughTheParser)
{
    /* Unsigned heads decode to their value with the generator's parser. */
    for (const uint64_t value : kBoundaries) {
        const Bytes head = shared_head(cbor_format::kMajorUnsigned, value);
        cbor_parser_s parser;
        ASSERT_EQ(_cbor_parser_init(&parser, head.data(), head.size()), 0);
        cbor_val_s val;
        ASSERT_EQ(_cbor_next_view(&parser, &val), 1);
        EXPECT_EQ(val.value.u64, value);
        EXPECT_EQ(parser.cursor, head.data() + head.size());
    }
}

TEST(CborFormatBigEndian, StoreAndLoadAgreeOnEveryWidth)
{
    const uint64_t v = UINT64_C(0x0102030405060708);
    for (unsigned width = 1; width <= 8; ++width) {
        uint8_t out[16] = {}; /* wider than needed: keeps GCC's bounds analysis quiet */
        cbor_format::store_be(out, v, width);
        for (unsigned i = 0; i < width; ++i) {
            EXPECT_EQ(out[i], 8 - width + 1 + i) << width;
        }
        const uint64_t mask = width == 8 ? UINT64_MAX : (UINT64_C(1) << (8 * width)) - 1;
        EXPECT_EQ(cbor_format::load_be(out, width), v & mask) << width;
    }
    uint8_t b16[2], b32[4], b64[8], slow[8];
    cbor_format::store_be16(b16, 0xABCD);
    cbor_format::store_be(slow, 0xABCD, 2);
    EXPECT_EQ(Bytes(b16, b16 + 2), Bytes(slow, slow + 2));
    cbor_format::store_be32(b32, 0x89ABCDEFu);
    cbor_format::store_be(slow, 0x89ABCDEFu, 4);
    EXPECT_EQ(Bytes(b32, b32 + 4), Bytes(slow, slow + 4));
    cbor_format::store_be64(b64, v);
    cbor_format::store_be(slow, v, 8);
    EXPECT_EQ(Bytes(b64, b64 + 8), Bytes(slow, slow + 8));
}

/* The reserved initial bytes as RFC 7049 lists them, range by range. */
bool reserved_by_table(unsigned b)
{
    static const struct {
        unsigned lo, hi;
    } kRanges[] = {{0x1C, 0x1F}, {0x3C, 0x3F}, {0x5C, 0x5E}, {0x7C, 0x7E},
                   {0x9C, 0x9E}, {0xBC, 0xBE}, {0xDC, 0xDF}, {0xFC, 0xFE}};
    for (const auto &r : kRanges) {
        if (b >= r.lo && b <= r.hi) return true;
    }
    return false;
}

TEST(CborFormatReserved, RuleMatchesTheTableAndTheParserDispatch)
{
    for (unsigned b = 0; b < 256; ++b) {
        const uint8_t byte = static_cast<uint8_t>(b);
        EXPECT_EQ(cbor_format::is_reserved_initial_byte(byte), reserved_by_table(b)) << b;
        EXPECT_EQ(cbor_jump_table[b] == &cbor_parse_reserved, reserved_by_table(b)) << b;
    }
}

TEST(CborFormatReserved, EveryInitialByteHasAHandlerInBothTables)
{
    /* Nine bytes after the initial byte cover the widest head; the view
     * decoder goes through the borrowing table, cbor_next_val through
     * cbor_jump_table. Unassigned simple values write a message: keep it. */
    ::testing::internal::CaptureStderr();
    for (unsigned b = 0; b < 256; ++b) {
        ASSERT_NE(cbor_jump_table[b], nullptr) << b;
        const uint8_t input[10] = {static_cast<uint8_t>(b), 0, 0, 0, 0, 0, 0, 0, 0, 0};
        cbor_parser_s parser;
        ASSERT_EQ(_cbor_parser_init(&parser, input, sizeof input), 0);
        cbor_val_s val;
        EXPECT_NE(_cbor_next_view(&parser, &val), 0) << b;
        EXPECT_GT(parser.cursor, input) << b;
    }
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("Unimplemented CBOR code: e0"),
              std::string::npos);
}

TEST(CborFormatConstants, InitialBytesOfTheSimpleValues)
{
    using namespace cbor_format;
    EXPECT_EQ(initial_byte(kMajorSimple, 20), kFalse);
    EXPECT_EQ(initial_byte(kMajorSimple, 22), kNull);
    EXPECT_EQ(initial_byte(kMajorSimple, kAiUint16), kFloat16);
    EXPECT_EQ(initial_byte(kMajorSimple, kAiUint64), kFloat64);
    EXPECT_EQ(initial_byte(kMajorSimple, kAiIndefinite), kBreak);
    EXPECT_EQ(ai_of(initial_byte(kMajorMap, 17)), 17);
}

} // namespace
