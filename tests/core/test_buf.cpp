// Tests of the byte buffer: appenders and growth, LEB128 forms both ways,
// readers, whole-buffer operations, the hex dump, and what is left behind when
// an allocation fails.
#include "core/buf.h"

#include "alloc_hook.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/owner.h"

namespace {

using Bytes = std::vector<uint8_t>;

using BufPtr = kv_owner<buf_s, buf_free>;

using CString = kv_owner<char, std::free>;

BufPtr make_buf(const Bytes &bytes = {})
{
    BufPtr buf(buf_create());
    if (buf && !bytes.empty()) {
        buf_write_bytes(buf.get(), bytes.data(), bytes.size());
    }
    return buf;
}

Bytes contents(const buf_s *buf)
{
    if (buf == nullptr || buf->length == 0) {
        return {};
    }
    return Bytes(buf->data, buf->data + buf->length);
}

// Plain model of unsigned LEB128: byte k carries bits 7k..7k+6.
Bytes leb128_model(uint64_t value)
{
    int groups = 1;
    while (groups < 10 && (value >> (7 * groups)) != 0) {
        ++groups;
    }
    Bytes out;
    for (int k = 0; k < groups; ++k) {
        uint8_t byte = static_cast<uint8_t>((value >> (7 * k)) & 0x7F);
        if (k + 1 < groups) {
            byte |= 0x80;
        }
        out.push_back(byte);
    }
    return out;
}

std::string captured(void (*print)(const buf_s *), const buf_s *buf)
{
    testing::internal::CaptureStdout();
    print(buf);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// ---------------------------------------------------------------------------
// LEB128

struct Leb32Case {
    uint32_t value;
    Bytes bytes;
};

class BufUint32Enc : public testing::TestWithParam<Leb32Case> {};

TEST_P(BufUint32Enc, WritesAndReadsBack)
{
    const Leb32Case &c = GetParam();
    BufPtr buf = make_buf();
    buf_write_uint32_enc(buf.get(), c.value);
    EXPECT_EQ(contents(buf.get()), c.bytes);

    uint32_t read = ~c.value;
    const uint8_t *end = buf_read_uint32_enc(c.bytes.data(), &read);
    EXPECT_EQ(end, c.bytes.data() + c.bytes.size());
    EXPECT_EQ(read, c.value);
    EXPECT_EQ(buf_read_uint32_enc(c.bytes.data(), nullptr), end);
}

INSTANTIATE_TEST_SUITE_P(Buf, BufUint32Enc,
                         testing::Values(Leb32Case{0, {0x00}}, Leb32Case{127, {0x7F}},
                                         Leb32Case{128, {0x80, 0x01}}, Leb32Case{300, {0xAC, 0x02}},
                                         Leb32Case{16383, {0xFF, 0x7F}},
                                         Leb32Case{16384, {0x80, 0x80, 0x01}},
                                         Leb32Case{2097151, {0xFF, 0xFF, 0x7F}},
                                         Leb32Case{268435456, {0x80, 0x80, 0x80, 0x80, 0x01}},
                                         Leb32Case{4294967295u, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}}));

struct Leb64Case {
    uint64_t value;
    Bytes bytes;
};

class BufUint64Enc : public testing::TestWithParam<Leb64Case> {};

TEST_P(BufUint64Enc, WritesEncodesAndReadsBack)
{
    const Leb64Case &c = GetParam();
    BufPtr buf = make_buf();
    buf_write_uint64_enc(buf.get(), c.value);
    EXPECT_EQ(contents(buf.get()), c.bytes);

    uint8_t scratch[BUF_UINT64_ENC_MAX];
    const size_t n = buf_encode_uint64_enc(c.value, scratch);
    EXPECT_EQ(Bytes(scratch, scratch + n), c.bytes);

    uint64_t read = ~c.value;
    const uint8_t *end = buf_read_uint64_enc(c.bytes.data(), &read);
    EXPECT_EQ(end, c.bytes.data() + c.bytes.size());
    EXPECT_EQ(read, c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Buf, BufUint64Enc,
    testing::Values(
        Leb64Case{0, {0x00}}, Leb64Case{300, {0xAC, 0x02}},
        Leb64Case{4294967295u, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
        Leb64Case{1ull << 32, {0x80, 0x80, 0x80, 0x80, 0x10}},
        Leb64Case{(1ull << 32) + 1, {0x81, 0x80, 0x80, 0x80, 0x10}},
        Leb64Case{1ull << 63, {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}},
        Leb64Case{UINT64_MAX, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}}));

struct LebReadCase {
    const char *name;
    Bytes bytes;
    bool ok;
    uint64_t value;  // when ok
    size_t consumed; // when ok
};

class BufReadUint32Enc : public testing::TestWithParam<LebReadCase> {};

TEST_P(BufReadUint32Enc, DecodesOrRefuses)
{
    const LebReadCase &c = GetParam();
    uint32_t read = 0xDEADBEEF;
    const uint8_t *end = buf_read_uint32_enc(c.bytes.data(), &read);
    if (!c.ok) {
        EXPECT_EQ(end, nullptr);
        EXPECT_EQ(read, 0xDEADBEEFu);
        return;
    }
    EXPECT_EQ(end, c.bytes.data() + c.consumed);
    EXPECT_EQ(read, c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Buf, BufReadUint32Enc,
    testing::Values(LebReadCase{"max", {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, true, 4294967295u, 5},
                    LebReadCase{"fifth_continues", {0x80, 0x80, 0x80, 0x80, 0x80}, false, 0, 0},
                    // Of the fifth byte only the low 4 bits fit in 32 bits.
                    LebReadCase{"fifth_high_bits_dropped",
                                {0x81, 0x80, 0x80, 0x80, 0x7F},
                                true,
                                0xF0000001u,
                                5},
                    LebReadCase{"stops_at_clear_byte", {0x05, 0xFF, 0xFF}, true, 5, 1},
                    LebReadCase{"redundant_zero_group", {0x80, 0x00}, true, 0, 2}),
    [](const testing::TestParamInfo<LebReadCase> &info) { return std::string(info.param.name); });

class BufReadUint64Enc : public testing::TestWithParam<LebReadCase> {};

TEST_P(BufReadUint64Enc, DecodesOrRefuses)
{
    const LebReadCase &c = GetParam();
    uint64_t read = 0x1234;
    const uint8_t *end = buf_read_uint64_enc(c.bytes.data(), &read);
    if (!c.ok) {
        EXPECT_EQ(end, nullptr);
        EXPECT_EQ(read, 0x1234u);
        return;
    }
    EXPECT_EQ(end, c.bytes.data() + c.consumed);
    EXPECT_EQ(read, c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Buf, BufReadUint64Enc,
    testing::Values(LebReadCase{"ten_ff", Bytes(10, 0xFF), false, 0, 0},
                    LebReadCase{"max",
                                {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01},
                                true,
                                UINT64_MAX,
                                10},
                    // Of the tenth byte only bit 0 fits in 64 bits.
                    LebReadCase{"tenth_high_bits_dropped",
                                {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x7F},
                                true,
                                1ull << 63,
                                10},
                    LebReadCase{"five_bytes", {0x80, 0x80, 0x80, 0x80, 0x10}, true, 1ull << 32, 5}),
    [](const testing::TestParamInfo<LebReadCase> &info) { return std::string(info.param.name); });

TEST(BufLeb128, RandomValuesMatchModelAndRoundTrip)
{
    std::mt19937_64 rng(20240611);
    for (int i = 0; i < 20000; ++i) {
        // Spread the values over every encoded width.
        const uint64_t value = rng() >> (rng() % 64);
        const Bytes expected = leb128_model(value);

        BufPtr buf = make_buf();
        buf_write_uint64_enc(buf.get(), value);
        ASSERT_EQ(contents(buf.get()), expected) << value;
        uint64_t back = 0;
        ASSERT_EQ(buf_read_uint64_enc(buf->data, &back), buf->data + buf->length);
        ASSERT_EQ(back, value);

        const uint32_t low = static_cast<uint32_t>(value);
        BufPtr buf32 = make_buf();
        buf_write_uint32_enc(buf32.get(), low);
        ASSERT_EQ(contents(buf32.get()), leb128_model(low)) << low;
        uint32_t back32 = 0;
        ASSERT_EQ(buf_read_uint32_enc(buf32->data, &back32), buf32->data + buf32->length);
        ASSERT_EQ(back32, low);
    }
}

TEST(BufLeb128, FloatTravelsAsItsBitPattern)
{
    const float values[] = {0.0f, -0.0f, 1.5f, -3.25e7f, INFINITY};
    for (float value : values) {
        uint32_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        BufPtr buf = make_buf();
        buf_write_uint32_enc(buf.get(), bits);
        float back = 42.0f;
        ASSERT_EQ(buf_read_float(buf->data, &back), buf->data + buf->length);
        EXPECT_EQ(std::memcmp(&back, &value, sizeof value), 0) << value;
    }
    const uint8_t bad[] = {0x80, 0x80, 0x80, 0x80, 0x80};
    float untouched = 7.0f;
    EXPECT_EQ(buf_read_float(bad, &untouched), nullptr);
    EXPECT_EQ(untouched, 7.0f);
}

// ---------------------------------------------------------------------------
// Growth and plain appenders

TEST(BufGrowth, CapacityDoublesPastTheNeededSize)
{
    BufPtr buf = make_buf();
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(buf->data, nullptr);
    const uint64_t expected_capacity[] = {2, 2, 6, 6, 6, 6, 14};
    for (uint64_t i = 0; i < sizeof expected_capacity / sizeof expected_capacity[0]; ++i) {
        buf_write_byte(buf.get(), static_cast<int>(i));
        EXPECT_EQ(buf->length, i + 1);
        EXPECT_EQ(buf->capacity, expected_capacity[i]) << "after byte " << i;
    }
}

TEST(BufGrowth, RandomAppendsMatchModel)
{
    std::mt19937 rng(7);
    BufPtr buf = make_buf();
    Bytes model;
    uint64_t model_capacity = 0;
    for (int step = 0; step < 2000; ++step) {
        Bytes chunk(rng() % 40);
        for (uint8_t &b : chunk) {
            b = static_cast<uint8_t>(rng());
        }
        buf_write_bytes(buf.get(), chunk.data(), chunk.size());
        model.insert(model.end(), chunk.begin(), chunk.end());
        if (model.size() > model_capacity) {
            model_capacity = 2 * model.size();
        }
        ASSERT_EQ(buf->capacity, model_capacity);
    }
    EXPECT_EQ(contents(buf.get()), model);
}

TEST(BufAppend, FixedForms)
{
    BufPtr buf = make_buf();
    buf_write_byte(buf.get(), 0x1AB);
    buf_write_bool(buf.get(), 1);
    buf_write_bool(buf.get(), 0);
    buf_write_string(buf.get(), "hi");
    buf_write_string(buf.get(), "");
    buf_write_string(buf.get(), nullptr);
    buf_write_bytes(buf.get(), "\x00\x01", 2);
    buf_write_bytes(buf.get(), nullptr, 0);
    EXPECT_EQ(contents(buf.get()), (Bytes{0xAB, 0x01, 0x00, 'h', 'i', 0x00, 0x01}));

    buf_write_bool(nullptr, 1); // ignored, no crash

    const float value = -1.75f;
    uint8_t host[sizeof value];
    std::memcpy(host, &value, sizeof value);
    BufPtr fbuf = make_buf();
    buf_write_float(fbuf.get(), value);
    EXPECT_EQ(contents(fbuf.get()), Bytes(host, host + sizeof host));
}

TEST(BufAppend, BufferOntoItselfAndFromItsOwnBytes)
{
    BufPtr buf = make_buf({1, 2, 3});
    buf_write_buf(buf.get(), buf.get());
    EXPECT_EQ(contents(buf.get()), (Bytes{1, 2, 3, 1, 2, 3}));
    // The source moves with the block when growth reallocates it.
    buf_write_bytes(buf.get(), buf->data + 1, 5);
    EXPECT_EQ(contents(buf.get()), (Bytes{1, 2, 3, 1, 2, 3, 2, 3, 1, 2, 3}));
    // A source running past the bytes in use is refused.
    const Bytes before = contents(buf.get());
    buf_write_bytes(buf.get(), buf->data + 8, 4);
    EXPECT_EQ(contents(buf.get()), before);

    BufPtr other = make_buf({9});
    buf_write_buf(other.get(), buf.get());
    buf_write_buf(other.get(), nullptr);
    EXPECT_EQ(other->length, 1 + before.size());
}

TEST(BufAppend, ImpossibleSizesLeaveTheBufferUnchanged)
{
    BufPtr buf = make_buf({1, 2, 3});
    const uint8_t *data = buf->data;
    const uint64_t capacity = buf->capacity;
    const char source[] = "x";
    const uint64_t counts[] = {UINT64_MAX, UINT64_MAX - 2, UINT64_MAX - 3, (UINT64_MAX >> 1) + 1,
                               UINT64_MAX >> 1};
    for (uint64_t count : counts) {
        buf_write_bytes(buf.get(), source, count);
        buf_write_string_length_enc(buf.get(), source, count);
        EXPECT_EQ(contents(buf.get()), (Bytes{1, 2, 3})) << count;
        EXPECT_EQ(buf->data, data);
        EXPECT_EQ(buf->capacity, capacity);
    }
}

// ---------------------------------------------------------------------------
// Length-prefixed strings

TEST(BufStringEnc, Examples)
{
    BufPtr buf = make_buf();
    buf_write_string_length_enc(buf.get(), "abc", 3);
    EXPECT_EQ(contents(buf.get()), (Bytes{0x03, 'a', 'b', 'c'}));

    char *text = nullptr;
    uint64_t length = 99;
    const uint8_t *end = buf_read_string_length_enc(buf->data, &text, &length);
    CString owned(text);
    EXPECT_EQ(end, buf->data + 4);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "abc");
    EXPECT_EQ(length, 3u);

    const struct {
        const char *str;
        uint64_t length;
    } empties[] = {{nullptr, 0}, {"", 0}, {"abc", 0}, {nullptr, 5}};
    for (const auto &e : empties) {
        BufPtr b = make_buf();
        buf_write_string_length_enc(b.get(), e.str, e.length);
        EXPECT_EQ(contents(b.get()), Bytes{0x00});
    }
    BufPtr n = make_buf();
    buf_write_string_enc(n.get(), nullptr);
    buf_write_string_enc(n.get(), "");
    buf_write_string_enc(n.get(), "xy");
    EXPECT_EQ(contents(n.get()), (Bytes{0x00, 0x00, 0x02, 'x', 'y'}));
}

// For every length below 2^32 the prefix is the LEB128 of the length's low 32
// bits, then the bytes follow.
TEST(BufStringEnc, PrefixIsTheLengthsLeb128)
{
    const uint64_t lengths[] = {1,       2, 127, 128, 129, 300, 16383, 16384, 65536, (1u << 21) - 1,
                                1u << 21};
    std::string text;
    for (uint64_t length : lengths) {
        text.assign(length, '\0');
        for (uint64_t i = 0; i < length; ++i) {
            text[i] = static_cast<char>('a' + i % 26);
        }
        BufPtr buf = make_buf();
        buf_write_string_length_enc(buf.get(), text.data(), length);
        Bytes expected = leb128_model(static_cast<uint32_t>(length));
        expected.insert(expected.end(), text.begin(), text.end());
        ASSERT_EQ(contents(buf.get()), expected) << length;

        char *read = nullptr;
        uint64_t read_length = 0;
        ASSERT_EQ(buf_read_string_length_enc(buf->data, &read, &read_length),
                  buf->data + buf->length);
        CString owned(read);
        EXPECT_EQ(read_length, length);
        EXPECT_EQ(std::string(read, read_length), text);
        EXPECT_EQ(read[length], '\0');
        EXPECT_EQ(buf_read_string_length_enc(buf->data, nullptr, nullptr), buf->data + buf->length);
    }
}

// A string of 2^32 bytes is announced by all five LEB128 bytes of its length;
// keeping only the low 32 bits would give the one-byte prefix 00. The growth
// request shows the prefix width without touching 4 GiB: it asks for twice
// (5 + 2^32) bytes, which the hook refuses.
TEST(BufStringEnc, LengthOfTwoToThe32KeepsAllItsBits)
{
    uint8_t prefix[BUF_UINT64_ENC_MAX];
    const size_t n = buf_encode_uint64_enc(1ull << 32, prefix);
    EXPECT_EQ(Bytes(prefix, prefix + n), (Bytes{0x80, 0x80, 0x80, 0x80, 0x10}));

    SKIP_WITHOUT_ALLOC_HOOK();
    BufPtr buf = make_buf({7});
    const char source = 'x'; // never read: the growth is refused first
    kvtest::arm_allocations(0);
    buf_write_string_length_enc(buf.get(), &source, 1ull << 32);
    const kvtest::AllocStats stats = kvtest::allow_allocations();
    EXPECT_EQ(stats.refused, 1);
    EXPECT_EQ(stats.last_refused, 2 * (1 + 5 + (1ull << 32)));
    EXPECT_EQ(contents(buf.get()), Bytes{7});
}

TEST(BufStringEnc, MalformedOrImpossiblePrefixAllocatesNothing)
{
    const Bytes cases[] = {
        Bytes(10, 0xFF),                                                   // prefix never ends
        {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 'a'}, // 2^64 - 1 bytes
        {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01, 'a'}, // 2^63 bytes
    };
    for (const Bytes &bytes : cases) {
        char *text = reinterpret_cast<char *>(&text);
        uint64_t length = 5;
        kvtest::arm_allocations(-1);
        EXPECT_EQ(buf_read_string_length_enc(bytes.data(), &text, &length), nullptr);
        EXPECT_EQ(kvtest::allow_allocations().live, 0);
        EXPECT_EQ(text, reinterpret_cast<char *>(&text));
        EXPECT_EQ(length, 5u);
    }
}

TEST(BufStringEnc, FailedCopyReturnsNull)
{
    SKIP_WITHOUT_ALLOC_HOOK();
    const uint8_t bytes[] = {0x02, 'o', 'k'};
    char *text = nullptr;
    uint64_t length = 0;
    kvtest::arm_allocations(0);
    EXPECT_EQ(buf_read_string_length_enc(bytes, &text, &length), nullptr);
    const kvtest::AllocStats stats = kvtest::allow_allocations();
    EXPECT_EQ(stats.refused, 1);
    EXPECT_EQ(stats.live, 0);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(length, 0u);
}

// ---------------------------------------------------------------------------
// Fixed readers

TEST(BufRead, BoolTable)
{
    const struct {
        uint8_t byte;
        bool ok;
    } cases[] = {{0x00, true}, {0x01, true}, {0x02, false}, {0x80, false}, {0xFF, false}};
    for (const auto &c : cases) {
        uint8_t out = 0x55;
        const uint8_t *end = buf_read_bool(&c.byte, &out);
        EXPECT_EQ(end, c.ok ? &c.byte + 1 : nullptr) << int(c.byte);
        EXPECT_EQ(out, c.ok ? c.byte : 0x55);
    }
    uint8_t out = 0x55;
    EXPECT_EQ(buf_read_bool(nullptr, &out), nullptr);
    EXPECT_EQ(out, 0x55);
}

TEST(BufRead, BigEndianIntegersAndBytes)
{
    const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xF0};
    uint32_t u32 = 0;
    EXPECT_EQ(buf_read_uint32(bytes, &u32), bytes + 4);
    EXPECT_EQ(u32, 0x01020304u);
    uint64_t u64 = 0;
    EXPECT_EQ(buf_read_uint64(bytes + 1, &u64), bytes + 9);
    EXPECT_EQ(u64, 0x02030405060708F0ull);
    uint8_t b = 0;
    EXPECT_EQ(buf_read_byte(bytes + 8, &b), bytes + 9);
    EXPECT_EQ(b, 0xF0);
    EXPECT_EQ(buf_read_byte(bytes, nullptr), bytes + 1);
}

// ---------------------------------------------------------------------------
// Whole-buffer operations

struct CmpCase {
    const char *name;
    bool a_null;
    Bytes a;
    bool b_null;
    Bytes b;
    int sign;
};

class BufCmp : public testing::TestWithParam<CmpCase> {};

TEST_P(BufCmp, Table)
{
    const CmpCase &c = GetParam();
    BufPtr a = c.a_null ? nullptr : make_buf(c.a);
    BufPtr b = c.b_null ? nullptr : make_buf(c.b);
    const int32_t r = buf_cmp(a.get(), b.get());
    EXPECT_EQ((r > 0) - (r < 0), c.sign);
}

INSTANTIATE_TEST_SUITE_P(
    Buf, BufCmp,
    testing::Values(CmpCase{"both_null", true, {}, true, {}, 0},
                    CmpCase{"first_null", true, {}, false, {}, -1},
                    CmpCase{"second_null", false, {1}, true, {}, -1},
                    CmpCase{"both_empty", false, {}, false, {}, 0},
                    CmpCase{"shorter_first", false, {0x61, 0x62}, false, {0x61, 0x62, 0x63}, -1},
                    CmpCase{"longer_first", false, {0x61, 0x62, 0x63}, false, {0x61, 0x62}, -1},
                    CmpCase{"equal", false, {0x61, 0x62}, false, {0x61, 0x62}, 0},
                    CmpCase{"less", false, {0x61, 0x62}, false, {0x61, 0x63}, -1},
                    CmpCase{"greater", false, {0x62, 0x00}, false, {0x61, 0xFF}, 1},
                    CmpCase{"unsigned_bytes", false, {0x80}, false, {0x7F}, 1}),
    [](const testing::TestParamInfo<CmpCase> &info) { return std::string(info.param.name); });

TEST(BufSubstr, Table)
{
    BufPtr buf = make_buf({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    const struct {
        int32_t offset;
        int32_t length;
        long expected; // offset into data, or -1 for null
    } cases[] = {
        {2, 8, 2},          {2, 9, -1},  {0, 10, 0},         {0, 11, -1},
        {10, 0, 10},        {10, 1, -1}, {11, 0, -1},        {2, -5, 2},
        {-1, 1, -1},        {-1, 0, -1}, {5, INT32_MAX, -1}, {INT32_MAX, INT32_MAX, -1},
        {INT32_MAX, 1, -1},
    };
    for (const auto &c : cases) {
        const uint8_t *p = buf_substr(buf.get(), c.offset, c.length);
        if (c.expected < 0) {
            EXPECT_EQ(p, nullptr) << c.offset << "," << c.length;
        } else {
            EXPECT_EQ(p, buf->data + c.expected) << c.offset << "," << c.length;
        }
    }
    EXPECT_EQ(buf_substr(nullptr, 0, 0), nullptr);
    BufPtr empty = make_buf();
    EXPECT_EQ(buf_substr(empty.get(), 0, 0), nullptr);
}

TEST(BufDiscardFront, KeepsTheRestInAnExactBlock)
{
    BufPtr buf = make_buf({0x61, 0x62, 0x63, 0x64, 0x65, 0x66});
    buf_discard_front(buf.get(), 2);
    EXPECT_EQ(contents(buf.get()), (Bytes{0x63, 0x64, 0x65, 0x66}));
    EXPECT_EQ(buf->capacity, 4u);
    // The next append must grow the exact-size block (the sanitizer run checks
    // that nothing is written past it).
    buf_write_bytes(buf.get(), "gh", 2);
    EXPECT_EQ(buf->capacity, 12u);
    EXPECT_EQ(contents(buf.get()), (Bytes{0x63, 0x64, 0x65, 0x66, 'g', 'h'}));

    const int32_t refused[] = {-1, 7, INT32_MAX};
    for (int32_t n : refused) {
        buf_discard_front(buf.get(), n);
        EXPECT_EQ(buf->length, 6u) << n;
    }
    buf_discard_front(buf.get(), 0);
    EXPECT_EQ(contents(buf.get()), (Bytes{0x63, 0x64, 0x65, 0x66, 'g', 'h'}));
    EXPECT_EQ(buf->capacity, 6u);
    buf_discard_front(buf.get(), 6);
    EXPECT_EQ(buf->length, 0u);
    EXPECT_EQ(buf->capacity, 0u);
    buf_write_byte(buf.get(), 1);
    EXPECT_EQ(contents(buf.get()), Bytes{1});
    buf_discard_front(nullptr, 0);
}

TEST(BufDup, CopiesExactly)
{
    BufPtr src = make_buf({1, 2, 3});
    BufPtr copy(buf_dup(src.get()));
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy->data, src->data);
    EXPECT_EQ(contents(copy.get()), contents(src.get()));
    EXPECT_EQ(copy->capacity, 3u);
    buf_write_byte(copy.get(), 4);
    EXPECT_EQ(src->length, 3u);

    EXPECT_EQ(buf_dup(nullptr), nullptr);
    BufPtr empty = make_buf();
    BufPtr empty_copy(buf_dup(empty.get()));
    ASSERT_NE(empty_copy, nullptr);
    EXPECT_EQ(empty_copy->length, 0u);

    // A view over memory the buffer does not own copies just the same.
    uint8_t outside[] = {9, 8};
    const buf_s view = {outside, sizeof outside, sizeof outside};
    BufPtr view_copy(buf_dup(&view));
    ASSERT_NE(view_copy, nullptr);
    EXPECT_EQ(contents(view_copy.get()), (Bytes{9, 8}));
}

TEST(BufText, HexAndString)
{
    const struct {
        Bytes bytes;
        const char *hex;
    } cases[] = {{{}, ""}, {{0x00, 0xFF}, "00ff"}, {{0xAB, 0x01, 0x9C}, "ab019c"}};
    for (const auto &c : cases) {
        BufPtr buf = make_buf(c.bytes);
        CString hex(buf_as_hex(buf.get()));
        ASSERT_NE(hex, nullptr);
        EXPECT_STREQ(hex.get(), c.hex);
    }
    BufPtr buf = make_buf({'a', 0, 'b'});
    CString text(buf_as_string(buf.get()));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::memcmp(text.get(), "a\0b\0", 4), 0);
    CString none(buf_as_string(nullptr));
    ASSERT_NE(none, nullptr);
    EXPECT_STREQ(none.get(), "");
}

// ---------------------------------------------------------------------------
// Formatted append

TEST(BufSprintf, AppendsTheFormattedText)
{
    BufPtr buf = make_buf({'>'});
    EXPECT_EQ(buf_sprintf(buf.get(), "%d-%s", 42, "x"), 4);
    EXPECT_EQ(contents(buf.get()), (Bytes{'>', '4', '2', '-', 'x'}));
    EXPECT_EQ(buf_sprintf(buf.get(), "%s", ""), 0);
    EXPECT_EQ(buf->length, 5u);
    EXPECT_EQ(buf_sprintf(nullptr, "x"), -1);
}

// Texts that outgrow the first scratch block once or several times: every
// retry formats from the first argument again, so the later arguments land
// intact.
TEST(BufSprintf, LongTextsNeedRetries)
{
    const size_t sizes[] = {50, 96, 97, 98, 150, 1000, 5000};
    for (size_t size : sizes) {
        const std::string head(size, 'h');
        BufPtr buf = make_buf();
        const int32_t n = buf_sprintf(buf.get(), "%s|%d|%s|%c", head.c_str(), -17, "tail", 'z');
        const std::string expected = head + "|-17|tail|z";
        EXPECT_EQ(n, static_cast<int32_t>(expected.size()));
        EXPECT_EQ(std::string(buf->data, buf->data + buf->length), expected);
    }
}

TEST(BufSprintf, FailedScratchAppendsNothing)
{
    SKIP_WITHOUT_ALLOC_HOOK();
    const std::string head(300, 'h');
    for (long grant = 0;; ++grant) {
        BufPtr buf = make_buf({1});
        kvtest::arm_allocations(grant);
        const int32_t n = buf_sprintf(buf.get(), "%s%d", head.c_str(), 5);
        const kvtest::AllocStats stats = kvtest::allow_allocations();
        EXPECT_EQ(stats.live, 0) << "scratch block leaked";
        if (stats.refused == 0) {
            EXPECT_EQ(n, 301);
            EXPECT_EQ(buf->length, 302u);
            break;
        }
        EXPECT_EQ(n, -1) << grant;
        EXPECT_EQ(contents(buf.get()), Bytes{1});
    }
}

// ---------------------------------------------------------------------------
// Hex dump

struct DumpCase {
    size_t count;
    const char *text;
};

class BufHexdump : public testing::TestWithParam<DumpCase> {};

TEST_P(BufHexdump, Layout)
{
    Bytes bytes(GetParam().count);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i);
    }
    BufPtr buf = make_buf(bytes);
    EXPECT_EQ(captured(hexdump_buf, buf.get()), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Buf, BufHexdump,
    testing::Values(
        DumpCase{0, "\n"}, DumpCase{1, "| 00 \n"}, DumpCase{8, "| 00 01 02 03 04 05 06 07 \n"},
        DumpCase{9, "| 00 01 02 03 04 05 06 07 . 08 \n"},
        DumpCase{16, "| 00 01 02 03 04 05 06 07 . 08 09 0a 0b 0c 0d 0e 0f \n"},
        DumpCase{17, "| 00 01 02 03 04 05 06 07 . 08 09 0a 0b 0c 0d 0e 0f |\n| 10 \n"},
        DumpCase{20, "| 00 01 02 03 04 05 06 07 . 08 09 0a 0b 0c 0d 0e 0f |\n| 10 11 12 13 \n"},
        DumpCase{33, "| 00 01 02 03 04 05 06 07 . 08 09 0a 0b 0c 0d 0e 0f |\n"
                     "| 10 11 12 13 14 15 16 17 . 18 19 1a 1b 1c 1d 1e 1f |\n| 20 \n"}));

TEST(BufHexdumpNull, PrintsNothing) { EXPECT_EQ(captured(hexdump_buf, nullptr), ""); }

// ---------------------------------------------------------------------------
// Allocation failures

TEST(BufFault, CreateAndDupReturnNullWithoutLeaks)
{
    SKIP_WITHOUT_ALLOC_HOOK();
    kvtest::arm_allocations(0);
    buf_s *none = buf_create();
    EXPECT_EQ(kvtest::allow_allocations().refused, 1);
    EXPECT_EQ(none, nullptr);

    BufPtr src = make_buf({1, 2, 3});
    for (long grant = 0;; ++grant) {
        kvtest::arm_allocations(grant);
        buf_s *copy = buf_dup(src.get());
        const kvtest::AllocStats stats = kvtest::allow_allocations();
        if (stats.refused == 0) {
            ASSERT_NE(copy, nullptr);
            EXPECT_EQ(contents(copy), contents(src.get()));
            buf_free(copy);
            break;
        }
        EXPECT_EQ(copy, nullptr) << grant;
        EXPECT_EQ(stats.live, 0) << grant;
    }
}

// Every appender, refused its growth, leaves data, length and capacity as they
// were; once growth is granted the bytes land whole.
TEST(BufFault, RefusedGrowthLeavesTheBufferAsItWas)
{
    SKIP_WITHOUT_ALLOC_HOOK();
    const std::string big(40, 'q');
    const struct {
        const char *name;
        void (*append)(buf_s *, const std::string &);
    } appenders[] = {
        {"byte", [](buf_s *b, const std::string &) { buf_write_byte(b, 1); }},
        {"bytes", [](buf_s *b, const std::string &s) { buf_write_bytes(b, s.data(), s.size()); }},
        {"string", [](buf_s *b, const std::string &s) { buf_write_string(b, s.c_str()); }},
        {"float", [](buf_s *b, const std::string &) { buf_write_float(b, 2.5f); }},
        {"uint32_enc", [](buf_s *b, const std::string &) { buf_write_uint32_enc(b, 4294967295u); }},
        {"uint64_enc", [](buf_s *b, const std::string &) { buf_write_uint64_enc(b, UINT64_MAX); }},
        {"string_length_enc",
         [](buf_s *b, const std::string &s) {
             buf_write_string_length_enc(b, s.data(), s.size());
         }},
        {"self", [](buf_s *b, const std::string &) { buf_write_buf(b, b); }},
    };
    for (const auto &a : appenders) {
        // Length and capacity 4: every appender must grow.
        BufPtr buf = make_buf({1, 2});
        buf_write_bytes(buf.get(), "\x03\x04", 2);
        const Bytes before = contents(buf.get());
        const uint8_t *data = buf->data;
        kvtest::arm_allocations(0);
        a.append(buf.get(), big);
        const kvtest::AllocStats stats = kvtest::allow_allocations();
        EXPECT_EQ(stats.refused, 1) << a.name;
        EXPECT_EQ(contents(buf.get()), before) << a.name;
        EXPECT_EQ(buf->data, data) << a.name;
        EXPECT_EQ(buf->capacity, 4u) << a.name;

        a.append(buf.get(), big);
        EXPECT_GT(buf->length, before.size()) << a.name;
    }
}

TEST(BufFault, RefusedDiscardLeavesTheBufferAsItWas)
{
    SKIP_WITHOUT_ALLOC_HOOK();
    BufPtr buf = make_buf({1, 2, 3, 4});
    kvtest::arm_allocations(0);
    buf_discard_front(buf.get(), 1);
    EXPECT_EQ(kvtest::allow_allocations().refused, 1);
    EXPECT_EQ(contents(buf.get()), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(buf->capacity, 8u);
}

TEST(BufFault, TextCopiesReturnNull)
{
    SKIP_WITHOUT_ALLOC_HOOK();
    BufPtr buf = make_buf({1, 2});
    kvtest::arm_allocations(0);
    char *hex = buf_as_hex(buf.get());
    char *text = buf_as_string(buf.get());
    const kvtest::AllocStats stats = kvtest::allow_allocations();
    EXPECT_EQ(stats.refused, 2);
    EXPECT_EQ(hex, nullptr);
    EXPECT_EQ(text, nullptr);
}

} // namespace
