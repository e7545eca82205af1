/* Tests of generate and apply (core/delta.h): byte tables of generated
 * deltas, apply cases and reserved initial bytes, exhaustive and random
 * equivalence with the shared direct model of the reader
 * (tests/model/delta_apply_model.h), round trips, history levels, and
 * allocation refusal at every step without leaks. */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/activity_history.h"
#include "core/buf.h"
#include "core/cbor.h"
#include "core/delta.h"
#include "core/edit_script.h"
#include "core/myers.h"
#include "core/owner.h"

#include "../model/delta_apply_model.h"
#include "alloc_hook.h"

namespace {

const bool kQuick = std::getenv("KORVALENT_QUICK") != nullptr;

using Bytes = std::string;
using MaybeBytes = std::optional<Bytes>;

using BufPtr = kv_owner<buf_s, buf_free>;
using ParserPtr = kv_owner<cbor_parser_s, cbor_parser_free>;
using ValPtr = kv_owner<cbor_val_s, cbor_val_free>;
using GeneratorPtr = kv_owner<cbor_generator_s, cbor_generator_free>;
using HistoryPtr = kv_owner<activity_history_s, korvalent_activity_history_free>;
using ScriptPtr = kv_owner<edit_script_s, edit_script_free>;

const uint8_t *bytes_of(const Bytes &b) { return reinterpret_cast<const uint8_t *>(b.data()); }

/* A read-only view, as the bindings hand values to the core. */
buf_s view(const Bytes &b)
{
    buf_s v{};
    v.data = const_cast<uint8_t *>(bytes_of(b));
    v.length = b.size();
    return v;
}

MaybeBytes take(buf_s *raw)
{
    BufPtr buf(raw);
    if (!buf) {
        return std::nullopt;
    }
    return Bytes(reinterpret_cast<const char *>(buf->data), buf->length);
}

Bytes hex(const char *text)
{
    Bytes out;
    for (const char *p = text; *p;) {
        if (*p == ' ') {
            ++p;
            continue;
        }
        out.push_back(static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16)));
        p += 2;
    }
    return out;
}

std::string to_hex(const MaybeBytes &b)
{
    if (!b) {
        return "null";
    }
    std::string out;
    char digits[4];
    for (const unsigned char c : *b) {
        std::snprintf(digits, sizeof digits, "%02x ", c);
        out += digits;
    }
    return out;
}

MaybeBytes apply_delta(const Bytes &old_value, const Bytes &delta)
{
    const buf_s o = view(old_value);
    const buf_s d = view(delta);
    return take(diff_apply_binary(&o, &d));
}

MaybeBytes generate(const Bytes &old_value, const Bytes &new_value)
{
    const buf_s o = view(old_value);
    const buf_s n = view(new_value);
    return take(diff_generate_binary(&o, &n));
}

Bytes replacement_of(const Bytes &value)
{
    GeneratorPtr gen(cbor_generator_create());
    EXPECT_EQ(cbor_write_byte_string(gen.get(), value.data(), value.size()), 0);
    return Bytes(reinterpret_cast<const char *>(gen->data), gen->length);
}

/* Sends standard error to /dev/null while alive: exhaustive runs meet the
 * parser's messages for unassigned simple values millions of times. */
class StderrSilenced {
public:
    StderrSilenced()
    {
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, STDERR_FILENO);
        close(null_fd);
        std::setvbuf(stderr, buffer_, _IOFBF, sizeof buffer_);
    }
    ~StderrSilenced()
    {
        std::fflush(stderr);
        std::setvbuf(stderr, nullptr, _IONBF, 0);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
    }
    StderrSilenced(const StderrSilenced &) = delete;
    StderrSilenced &operator=(const StderrSilenced &) = delete;

private:
    int saved_;
    char buffer_[1 << 16];
};

// ------------------------------------------------------ reference model

MaybeBytes model_apply(const Bytes &old_value, const Bytes &delta)
{
    const auto rebuilt =
        delta_model::apply(bytes_of(old_value), old_value.size(), bytes_of(delta), delta.size());
    if (!rebuilt) {
        return std::nullopt;
    }
    return Bytes(rebuilt->begin(), rebuilt->end());
}

void expect_same_as_model(const Bytes &old_value, const Bytes &delta)
{
    const MaybeBytes fast = apply_delta(old_value, delta);
    const MaybeBytes model = model_apply(old_value, delta);
    ASSERT_EQ(fast, model) << "delta " << to_hex(delta) << " old " << to_hex(old_value)
                           << "\nfast  " << to_hex(fast) << "\nmodel " << to_hex(model);
}

// --------------------------------------------------------- generating

struct GenerateCase {
    const char *name;
    Bytes old_value;
    Bytes new_value;
    Bytes delta;
};

class DeltaGenerate : public ::testing::TestWithParam<GenerateCase> {};

TEST_P(DeltaGenerate, ExactBytesAndRoundTrip)
{
    const GenerateCase &c = GetParam();
    const MaybeBytes delta = generate(c.old_value, c.new_value);
    ASSERT_TRUE(delta.has_value());
    EXPECT_EQ(to_hex(delta), to_hex(c.delta));
    EXPECT_EQ(apply_delta(c.old_value, *delta), c.new_value);
}

const Bytes kHello = "hello world, hello moon";
const Bytes kAlphabet = "abcdefghijklmnopqrstuvwxyz";

INSTANTIATE_TEST_SUITE_P(
    Table, DeltaGenerate,
    ::testing::Values(
        GenerateCase{"one_byte_changed", "abcXdef", "abcYdef", hex("00 03 41 59 04 03")},
        GenerateCase{"prefix_inserted", kHello, "XX" + kHello, hex("42 58 58 00 17")},
        GenerateCase{"two_adjacent_copies", kHello, "hello moon", hex("00 06 13 04")},
        GenerateCase{"suffix_appended", kAlphabet, kAlphabet + "ABC", hex("00 18 1A 43 41 42 43")},
        GenerateCase{"equal_eight_bytes", "abcdefgh", "abcdefgh", hex("F6")},
        GenerateCase{"equal_one_byte", "a", "a", hex("41 61")},
        GenerateCase{"both_empty", "", "", hex("40")},
        GenerateCase{"new_empty", "abc", "", hex("40")},
        GenerateCase{"old_empty", "", "xyz", hex("43 78 79 7A")},
        GenerateCase{"first_byte_deleted", "Xabc", "abc", hex("01 03")},
        GenerateCase{"budget_exhausted", "z", "abcdefghiz",
                     hex("4A 61 62 63 64 65 66 67 68 69 7A")}),
    [](const ::testing::TestParamInfo<GenerateCase> &info) {
        return std::string(info.param.name);
    });

TEST(DeltaGenerateFailures, NullAndUnreadableValues)
{
    const Bytes a = "abc";
    const buf_s v = view(a);
    buf_s no_data{};
    no_data.length = 3;
    EXPECT_EQ(diff_generate_binary(nullptr, &v), nullptr);
    EXPECT_EQ(diff_generate_binary(&v, nullptr), nullptr);
    EXPECT_EQ(diff_generate_binary(&no_data, &v), nullptr);
    EXPECT_EQ(diff_generate_binary(&v, &no_data), nullptr);
    EXPECT_EQ(_write_replacement_delta(nullptr), nullptr);
    EXPECT_EQ(_write_replacement_delta(&no_data), nullptr);
}

// Values too long for the engine's signed 32-bit lengths are refused before a
// single byte is read; a length of 2^32 + 3 must not pass as 3.
TEST(DeltaGenerateFailures, ValuesOf2To31BytesOrMoreAreRefused)
{
    Bytes small = "abcdefgh";
    const buf_s ok = view(small);
    const uint64_t too_long[] = {uint64_t{1} << 31, (uint64_t{1} << 32) + 3, UINT64_MAX};
    for (const uint64_t length : too_long) {
        buf_s huge = view(small);
        huge.length = length;
        EXPECT_EQ(diff_generate_binary(&huge, &ok), nullptr) << length;
        EXPECT_EQ(diff_generate_binary(&ok, &huge), nullptr) << length;
    }
}

TEST(DeltaReplacement, SameBytesAsTheGeneratorsByteString)
{
    std::mt19937 rng(7);
    const size_t lengths[] = {0, 1, 23, 24, 255, 256, 65535, 65536, 70001};
    for (const size_t length : lengths) {
        Bytes value(length, '\0');
        for (char &c : value) {
            c = static_cast<char>(rng());
        }
        const buf_s v = view(value);
        const MaybeBytes delta = take(_write_replacement_delta(&v));
        ASSERT_TRUE(delta.has_value()) << length;
        EXPECT_EQ(*delta, replacement_of(value)) << length;
        EXPECT_EQ(apply_delta("unrelated", *delta), value) << length;
    }
}

// ---------------------------------------------------------- applying

struct ApplyCase {
    const char *name;
    Bytes old_value;
    Bytes delta;
    MaybeBytes expected;
};

class DeltaApply : public ::testing::TestWithParam<ApplyCase> {};

TEST_P(DeltaApply, RebuiltValueOrNull)
{
    const ApplyCase &c = GetParam();
    StderrSilenced quiet; // a few cases hold unassigned simple values
    EXPECT_EQ(to_hex(apply_delta(c.old_value, c.delta)), to_hex(c.expected));
    EXPECT_EQ(to_hex(model_apply(c.old_value, c.delta)), to_hex(c.expected));
}

const MaybeBytes kNull = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Described, DeltaApply,
    ::testing::Values(ApplyCase{"empty_delta", "abc", "", Bytes()},
                      ApplyCase{"offset_without_count", "abc", hex("01"), kNull},
                      ApplyCase{"offset_then_string", "abc", hex("01 40"), kNull},
                      ApplyCase{"copies_repeat", "ab", hex("00 02 00 02"), Bytes("abab")},
                      ApplyCase{"text_string_inserts", "abc", hex("61 7A"), Bytes("z")},
                      ApplyCase{"null_among_items_skipped", "abc", hex("F6 20"), Bytes()},
                      ApplyCase{"negative_skipped", "abc", hex("20"), Bytes()},
                      ApplyCase{"edit_delta", "abcXdef", hex("00 03 41 59 04 03"),
                                Bytes("abcYdef")}),
    [](const ::testing::TestParamInfo<ApplyCase> &info) { return std::string(info.param.name); });

// A copy must lie within the old value, whatever its offset and count.
INSTANTIATE_TEST_SUITE_P(
    CopyRanges, DeltaApply,
    ::testing::Values(
        ApplyCase{"count_past_end", "abc", hex("00 04"), kNull},
        ApplyCase{"offset_plus_count_past_end", "abc", hex("02 02"), kNull},
        ApplyCase{"offset_past_end", "abc", hex("04 00"), kNull},
        ApplyCase{"empty_copy_at_end", "abc", hex("03 00"), Bytes()},
        ApplyCase{"empty_copy_of_empty", "", hex("00 00"), Bytes()},
        ApplyCase{"copy_of_empty_old", "", hex("00 01"), kNull},
        ApplyCase{"whole_old_value", "abc", hex("00 03"), Bytes("abc")},
        ApplyCase{"offset_near_2_64", "abc", hex("1B FF FF FF FF FF FF FF FF 01"), kNull},
        ApplyCase{"count_near_2_64", "abc", hex("01 1B FF FF FF FF FF FF FF FF"), kNull},
        ApplyCase{"sum_wraps_to_zero", "abc",
                  hex("1B 80 00 00 00 00 00 00 00 1B 80 00 00 00 00 00 00 00"), kNull},
        ApplyCase{"sum_wraps_small", "abc", hex("02 1B FF FF FF FF FF FF FF FF"), kNull},
        ApplyCase{"good_then_bad_copy", "abc", hex("00 01 41 62 02 05"), kNull},
        ApplyCase{"count_is_negative", "abc", hex("00 20"), kNull},
        ApplyCase{"count_is_string", "abc", hex("00 41 61"), kNull},
        ApplyCase{"count_is_null", "abc", hex("00 F6"), kNull},
        ApplyCase{"count_is_tag", "abc", hex("00 C1 01"), kNull}),
    [](const ::testing::TestParamInfo<ApplyCase> &info) { return std::string(info.param.name); });

// The single null is the no-change delta; nulls among other items are skipped.
INSTANTIATE_TEST_SUITE_P(
    NoChange, DeltaApply,
    ::testing::Values(ApplyCase{"null_rebuilds_old", "abc", hex("F6"), Bytes("abc")},
                      ApplyCase{"null_on_empty", "", hex("F6"), Bytes()},
                      ApplyCase{"two_nulls", "abc", hex("F6 F6"), Bytes()},
                      ApplyCase{"null_after_insert", "abc", hex("41 61 F6"), Bytes("a")},
                      ApplyCase{"null_before_insert", "abc", hex("F6 41 61"), Bytes("a")},
                      ApplyCase{"undefined_alone", "abc", hex("F7"), Bytes()}),
    [](const ::testing::TestParamInfo<ApplyCase> &info) { return std::string(info.param.name); });

// An item cut short fails the delta instead of yielding a shorter value.
INSTANTIATE_TEST_SUITE_P(
    Truncated, DeltaApply,
    ::testing::Values(ApplyCase{"uint8_head", "abc", hex("18"), kNull},
                      ApplyCase{"uint16_head", "abc", hex("19 00"), kNull},
                      ApplyCase{"uint32_head", "abc", hex("1A 00 00 00"), kNull},
                      ApplyCase{"uint64_head", "abc", hex("1B 00 00 00 00 00 00 00"), kNull},
                      ApplyCase{"negint_head", "abc", hex("38"), kNull},
                      ApplyCase{"half_float", "abc", hex("F9 00"), kNull},
                      ApplyCase{"single_float", "abc", hex("FA 00 00 00"), kNull},
                      ApplyCase{"double_float", "abc", hex("FB 00 00 00 00 00 00 00"), kNull},
                      ApplyCase{"string_payload", "abc", hex("42 61"), kNull},
                      ApplyCase{"string_length", "abc", hex("58"), kNull},
                      ApplyCase{"after_complete_item", "abc", hex("41 61 18"), kNull},
                      ApplyCase{"string_after_copy", "abc", hex("00 01 43 61 62"), kNull},
                      ApplyCase{"count_head", "abc", hex("00 18"), kNull},
                      ApplyCase{"length_2_32", "abc", hex("5B 00 00 00 01 00 00 00 00 61"), kNull},
                      ApplyCase{"length_2_64", "abc", hex("5B FF FF FF FF FF FF FF FF"), kNull},
                      ApplyCase{"length_2_31", "abc", hex("5A 7F FF FF FF 61 62"), kNull},
                      ApplyCase{"text_length_2_32", "abc", hex("7A FF FF FF FF 61"), kNull},
                      ApplyCase{"length_256_of_3", "abc", hex("59 01 00 61 62 63"), kNull}),
    [](const ::testing::TestParamInfo<ApplyCase> &info) { return std::string(info.param.name); });

// Items that are neither integers nor strings are skipped; containers and tags
// only announce what follows, so their contents are ordinary operations.
INSTANTIATE_TEST_SUITE_P(
    OtherItems, DeltaApply,
    ::testing::Values(
        ApplyCase{"tag", "abc", hex("C1 41 61"), Bytes("a")},
        ApplyCase{"tag_with_argument", "abc", hex("D8 20 41 61"), Bytes("a")},
        ApplyCase{"half_float", "abc", hex("F9 3C 00 41 61"), Bytes("a")},
        ApplyCase{"single_float", "abc", hex("FA 3F 80 00 00 41 62"), Bytes("b")},
        ApplyCase{"double_float", "abc", hex("FB 3F F0 00 00 00 00 00 00 41 63"), Bytes("c")},
        ApplyCase{"array_of_strings", "abc", hex("82 41 61 41 62"), Bytes("ab")},
        ApplyCase{"map_holding_a_copy", "abc", hex("A1 00 01"), Bytes("a")},
        ApplyCase{"indefinite_array", "abc", hex("9F 41 61 FF"), Bytes("a")},
        ApplyCase{"booleans", "abc", hex("F4 F5 41 61"), Bytes("a")},
        ApplyCase{"long_negative", "abc", hex("3B FF FF FF FF FF FF FF FF 41 61"), Bytes("a")},
        ApplyCase{"simple_value_with_argument", "abc", hex("F8 20 41 61"), Bytes("a")},
        ApplyCase{"break_alone", "abc", hex("FF"), Bytes()}),
    [](const ::testing::TestParamInfo<ApplyCase> &info) { return std::string(info.param.name); });

// Indefinite-length string heads add nothing; their chunks are inserts.
INSTANTIATE_TEST_SUITE_P(
    IndefiniteStrings, DeltaApply,
    ::testing::Values(ApplyCase{"bytes_one_chunk", "abc", hex("5F 41 61 FF"), Bytes("a")},
                      ApplyCase{"text_one_chunk", "abc", hex("7F 61 61 FF"), Bytes("a")},
                      ApplyCase{"two_chunks", "abc", hex("5F 41 61 42 62 63 FF"), Bytes("abc")},
                      ApplyCase{"no_chunks", "abc", hex("5F FF"), Bytes()},
                      ApplyCase{"head_alone", "abc", hex("5F"), Bytes()},
                      ApplyCase{"text_head_alone", "abc", hex("7F"), Bytes()},
                      ApplyCase{"around_a_copy", "abc", hex("5F 00 02 FF"), Bytes("ab")}),
    [](const ::testing::TestParamInfo<ApplyCase> &info) { return std::string(info.param.name); });

std::vector<ApplyCase> reserved_cases()
{
    std::vector<ApplyCase> cases;
    static std::vector<std::string> names;
    for (const delta_model::ByteRange &r : delta_model::kReservedRanges) {
        for (int b = r.lo; b <= r.hi; ++b) {
            const Bytes byte(1, static_cast<char>(b));
            cases.push_back({nullptr, "abc", byte, kNull});
            cases.push_back({nullptr, "abc", hex("41 61") + byte, kNull});
            cases.push_back({nullptr, "abc", byte + hex("41 61"), kNull});
            cases.push_back({nullptr, "abc", hex("00") + byte, kNull});
            cases.push_back({nullptr, "abc", hex("41") + byte, byte}); // inside a payload
        }
    }
    return cases;
}

// Reserved initial bytes are malformed wherever an item starts.
INSTANTIATE_TEST_SUITE_P(ReservedBytes, DeltaApply, ::testing::ValuesIn(reserved_cases()),
                         [](const ::testing::TestParamInfo<ApplyCase> &info) {
                             return "case_" + std::to_string(info.index);
                         });

TEST(DeltaApplyFailures, NullUnreadableAndOversizedInputs)
{
    Bytes small = hex("41 61");
    const buf_s v = view(small);
    buf_s no_data{};
    no_data.length = 2;
    EXPECT_EQ(diff_apply_binary(nullptr, &v), nullptr);
    EXPECT_EQ(diff_apply_binary(&v, nullptr), nullptr);
    EXPECT_EQ(diff_apply_binary(&no_data, &v), nullptr);
    EXPECT_EQ(diff_apply_binary(&v, &no_data), nullptr);
    // A delta of 2^31 bytes or more is refused before any byte is read.
    const uint64_t too_long[] = {uint64_t{1} << 31, (uint64_t{1} << 32) + 2, UINT64_MAX};
    for (const uint64_t length : too_long) {
        buf_s huge = view(small);
        huge.length = length;
        EXPECT_EQ(diff_apply_binary(&v, &huge), nullptr) << length;
    }
}

TEST(DeltaApplyMessages, UnassignedSimpleValuesAreReportedOnce)
{
    const struct {
        Bytes delta;
        MaybeBytes value;
        std::string message;
    } cases[] = {
        {hex("E0 41 61"), Bytes("a"), "Unimplemented CBOR code: e0\n"},
        {hex("00 01 F3 01 01"), Bytes("ab"), "Unimplemented CBOR code: f3\n"},
        {hex("E5 E6"), Bytes(), "Unimplemented CBOR code: e5\nUnimplemented CBOR code: e6\n"},
        {hex("00 E0"), kNull, "Unimplemented CBOR code: e0\n"},
        {hex("41 61 E0 18"), kNull, "Unimplemented CBOR code: e0\n"},
        {hex("41 E0"), Bytes("\xE0"), ""},
    };
    for (const auto &c : cases) {
        ::testing::internal::CaptureStderr();
        const MaybeBytes fast = apply_delta("abc", c.delta);
        const std::string fast_message = ::testing::internal::GetCapturedStderr();
        ::testing::internal::CaptureStderr();
        const MaybeBytes model = model_apply("abc", c.delta);
        const std::string model_message = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(to_hex(fast), to_hex(c.value)) << to_hex(c.delta);
        EXPECT_EQ(fast_message, c.message) << to_hex(c.delta);
        EXPECT_EQ(to_hex(model), to_hex(c.value)) << to_hex(c.delta);
        EXPECT_EQ(model_message, c.message) << to_hex(c.delta);
    }
}

// -------------------------------------- equivalence with the reference model

TEST(DeltaApplyEquivalence, EveryDeltaOfUpToTwoBytes)
{
    const Bytes olds[] = {"", "abcdefgh"};
    StderrSilenced quiet;
    for (const Bytes &old_value : olds) {
        expect_same_as_model(old_value, "");
        for (int a = 0; a < 256; ++a) {
            const Bytes one(1, static_cast<char>(a));
            ASSERT_NO_FATAL_FAILURE(expect_same_as_model(old_value, one));
            for (int b = 0; b < 256; ++b) {
                ASSERT_NO_FATAL_FAILURE(
                    expect_same_as_model(old_value, one + static_cast<char>(b)));
            }
        }
    }
}

TEST(DeltaApplyEquivalence, EveryDeltaOfThreeBytes)
{
    const Bytes old_value = "abcdefgh";
    StderrSilenced quiet;
    // The quick run walks every seventeenth first byte.
    const int stride = kQuick ? 17 : 1;
    Bytes delta(3, '\0');
    for (int a = 0; a < 256; a += stride) {
        delta[0] = static_cast<char>(a);
        for (int b = 0; b < 256; ++b) {
            delta[1] = static_cast<char>(b);
            for (int c = 0; c < 256; ++c) {
                delta[2] = static_cast<char>(c);
                ASSERT_NO_FATAL_FAILURE(expect_same_as_model(old_value, delta));
            }
        }
    }
}

Bytes random_bytes(std::mt19937_64 &rng, size_t length, int alphabet = 256)
{
    Bytes out(length, '\0');
    for (char &c : out) {
        c = static_cast<char>(rng() % static_cast<uint64_t>(alphabet));
    }
    return out;
}

/* A delta of random items: mostly copies (sometimes out of range) and
 * inserts, with every other kind of item mixed in. */
Bytes random_delta(std::mt19937_64 &rng, size_t old_length)
{
    GeneratorPtr gen(cbor_generator_create());
    cbor_generator_s *g = gen.get();
    const int items = static_cast<int>(rng() % 12);
    for (int i = 0; i < items; ++i) {
        const uint64_t roll = rng() % 100;
        if (roll < 35) {
            const uint64_t offset = rng() % (old_length + 2);
            const uint64_t count = rng() % (old_length + 2);
            cbor_write_uint(g, offset);
            cbor_write_uint(g, rng() % 8 == 0 ? rng() : count);
        } else if (roll < 60) {
            const Bytes payload = random_bytes(rng, rng() % 8 == 0 ? 300 : rng() % 30);
            cbor_write_byte_string(g, payload.data(), payload.size());
        } else if (roll < 65) {
            const Bytes payload = random_bytes(rng, rng() % 30);
            cbor_write_text_string(g, payload.data(), payload.size());
        } else if (roll < 70) {
            cbor_write_byte_string(g, nullptr, CBOR_INDEFINITE_LENGTH);
        } else if (roll < 73) {
            cbor_write_break(g);
        } else if (roll < 76) {
            cbor_write_null(g);
        } else if (roll < 79) {
            cbor_write_negint(g, -1 - static_cast<int64_t>(rng() % 100000));
        } else if (roll < 82) {
            cbor_write_float(g, static_cast<double>(rng() % 1000) / 7.0);
        } else if (roll < 85) {
            cbor_write_array(g, rng() % 30);
        } else if (roll < 88) {
            cbor_write_map(g, rng() % 30);
        } else if (roll < 91) {
            _cbor_write_uint_helper(g, 6, rng() % 70000); // tag
        } else if (roll < 94) {
            cbor_write_true(g);
        } else if (roll < 97) {
            _cbor_generator_write_byte(g, 0xE0 + static_cast<unsigned>(rng() % 20));
        } else {
            cbor_write_uint(g, rng()); // a lone offset
        }
    }
    return Bytes(reinterpret_cast<const char *>(g->data), g->length);
}

TEST(DeltaApplyEquivalence, RandomBytes)
{
    std::mt19937_64 rng(11);
    const int rounds = kQuick ? 20000 : 300000;
    StderrSilenced quiet;
    for (int i = 0; i < rounds; ++i) {
        const Bytes old_value = random_bytes(rng, rng() % 40);
        const Bytes delta = random_bytes(rng, rng() % 24);
        ASSERT_NO_FATAL_FAILURE(expect_same_as_model(old_value, delta));
    }
}

TEST(DeltaApplyEquivalence, RandomItemsFlippedBitsAndTruncations)
{
    std::mt19937_64 rng(12);
    const int rounds = kQuick ? 3000 : 40000;
    StderrSilenced quiet;
    for (int i = 0; i < rounds; ++i) {
        const Bytes old_value = random_bytes(rng, rng() % 64);
        const Bytes delta = random_delta(rng, old_value.size());
        ASSERT_NO_FATAL_FAILURE(expect_same_as_model(old_value, delta));
        if (delta.empty()) {
            continue;
        }
        Bytes flipped = delta;
        for (uint64_t flips = 1 + rng() % 3; flips > 0; --flips) {
            flipped[rng() % flipped.size()] ^= static_cast<char>(1u << (rng() % 8));
        }
        ASSERT_NO_FATAL_FAILURE(expect_same_as_model(old_value, flipped));
        ASSERT_NO_FATAL_FAILURE(
            expect_same_as_model(old_value, delta.substr(0, rng() % delta.size())));
    }
}

/* Offsets in `delta` where an item starts, and where a copy's count starts. */
std::pair<std::vector<size_t>, std::vector<size_t>> item_starts(const Bytes &delta)
{
    ParserPtr parser(cbor_parser_create(bytes_of(delta), delta.size()));
    std::vector<size_t> starts;
    std::vector<size_t> counts;
    bool after_offset = false;
    while (cbor_parser_available_bytes(parser.get()) > 0) {
        const size_t at = static_cast<size_t>(parser->cursor - parser->start);
        (after_offset ? counts : starts).push_back(at);
        ValPtr item(cbor_next_val(parser.get()));
        EXPECT_NE(item, nullptr);
        if (!item) {
            break;
        }
        after_offset = !after_offset && item->major_type == 0;
    }
    return {starts, counts};
}

// A generated delta cut at any byte: at an operation boundary it rebuilds the
// operations before the cut; anywhere else it is rejected.
TEST(DeltaApplyTruncation, EveryCutOfGeneratedDeltas)
{
    std::mt19937_64 rng(13);
    const int rounds = kQuick ? 30 : 300;
    for (int i = 0; i < rounds; ++i) {
        const Bytes old_value = random_bytes(rng, 200 + rng() % 400, 4);
        Bytes new_value = old_value;
        for (int e = 0; e < 6; ++e) {
            const size_t at = rng() % new_value.size();
            new_value.insert(at, random_bytes(rng, 1 + rng() % 30));
        }
        const MaybeBytes delta = generate(old_value, new_value);
        ASSERT_TRUE(delta.has_value());
        const auto [starts, counts] = item_starts(*delta);
        for (size_t cut = 0; cut < delta->size(); ++cut) {
            const Bytes head = delta->substr(0, cut);
            const MaybeBytes rebuilt = apply_delta(old_value, head);
            ASSERT_EQ(rebuilt, model_apply(old_value, head)) << cut;
            const bool at_operation = std::find(starts.begin(), starts.end(), cut) != starts.end();
            ASSERT_EQ(rebuilt.has_value(), at_operation)
                << "cut at " << cut << " of " << to_hex(delta);
            if (rebuilt) {
                ASSERT_EQ(new_value.compare(0, rebuilt->size(), *rebuilt), 0) << cut;
            }
        }
    }
}

// ------------------------------------------------------------ round trips

/* Checks that delta is one of the three kinds for (old, new) and rebuilds
 * new from old. */
void expect_valid_delta(const Bytes &old_value, const Bytes &new_value, const Bytes &delta)
{
    ASSERT_EQ(apply_delta(old_value, delta), new_value) << "delta " << to_hex(delta);
    if (delta == "\xF6") {
        ASSERT_EQ(old_value, new_value);
        ASSERT_GE(new_value.size(), 2u);
        return;
    }
    if (delta == replacement_of(new_value)) {
        return;
    }
    ASSERT_LT(delta.size(), new_value.size()) << "edit delta not shorter";
    ParserPtr parser(cbor_parser_create(bytes_of(delta), delta.size()));
    while (cbor_parser_available_bytes(parser.get()) > 0) {
        ValPtr item(cbor_next_val(parser.get()));
        ASSERT_NE(item, nullptr);
        ASSERT_TRUE(item->major_type == 0 || item->major_type == 2) << to_hex(delta);
        ASSERT_NE(item->length, CBOR_INDEFINITE_LENGTH);
        if (item->major_type == 0) {
            ValPtr count(cbor_next_val(parser.get()));
            ASSERT_NE(count, nullptr);
            ASSERT_EQ(count->major_type, 0u);
            ASSERT_GT(count->value.u64, 0u) << "empty copy";
        } else {
            ASSERT_GT(item->length, 0u) << "empty insert";
        }
    }
}

using PairMaker = std::function<std::pair<Bytes, Bytes>(std::mt19937_64 &)>;

Bytes edited(std::mt19937_64 &rng, Bytes value, int edits, int alphabet)
{
    for (int e = 0; e < edits; ++e) {
        const size_t at = value.empty() ? 0 : rng() % (value.size() + 1);
        const size_t span = 1 + rng() % 16;
        switch (rng() % 3) {
        case 0:
            value.insert(at, random_bytes(rng, span, alphabet));
            break;
        case 1:
            value.erase(at, span);
            break;
        default:
            value.replace(at, span, random_bytes(rng, span, alphabet));
            break;
        }
    }
    return value;
}

Bytes block_shuffled(std::mt19937_64 &rng, const Bytes &value)
{
    if (value.size() < 8) {
        return value + value;
    }
    const size_t a = rng() % value.size();
    const size_t len = 1 + rng() % (value.size() - a);
    const Bytes block = value.substr(a, len);
    Bytes out = value;
    switch (rng() % 3) {
    case 0: // move
        out.erase(a, len);
        out.insert(rng() % (out.size() + 1), block);
        break;
    case 1: // duplicate
        out.insert(rng() % (out.size() + 1), block);
        break;
    default: // delete
        out.erase(a, len);
        break;
    }
    return out;
}

const std::vector<std::pair<const char *, PairMaker>> &pair_makers()
{
    static const std::vector<std::pair<const char *, PairMaker>> makers = {
        {"random",
         [](std::mt19937_64 &r) {
             return std::make_pair(random_bytes(r, r() % 300), random_bytes(r, r() % 300));
         }},
        {"small alphabet edits",
         [](std::mt19937_64 &r) {
             const int alphabet = 2 + static_cast<int>(r() % 3);
             Bytes a = random_bytes(r, r() % 400, alphabet);
             return std::make_pair(a, edited(r, a, 1 + static_cast<int>(r() % 8), alphabet));
         }},
        {"long repeats",
         [](std::mt19937_64 &r) {
             Bytes unit = random_bytes(r, 1 + r() % 3);
             Bytes a;
             for (uint64_t n = r() % 200; n > 0; --n) {
                 a += unit;
             }
             return std::make_pair(a, edited(r, a, static_cast<int>(r() % 4), 256));
         }},
        {"blocks",
         [](std::mt19937_64 &r) {
             Bytes a = random_bytes(r, r() % 500, 16);
             return std::make_pair(a, block_shuffled(r, a));
         }},
        {"one side empty",
         [](std::mt19937_64 &r) {
             Bytes a = random_bytes(r, r() % 100);
             return r() % 2 ? std::make_pair(a, Bytes()) : std::make_pair(Bytes(), a);
         }},
        {"equal",
         [](std::mt19937_64 &r) {
             Bytes a = random_bytes(r, r() % 100);
             return std::make_pair(a, a);
         }},
    };
    return makers;
}

/* A history whose utilisation reads u at the next start: one slot, with the
 * current slot ahead of any real clock so that the start empties nothing. */
HistoryPtr history_at(int32_t utilisation)
{
    HistoryPtr history(korvalent_activity_history_create(1, 1024));
    // One slot of 1024 ms: the window is 1024 ms, i.e. 4 ms per 256th.
    const uint64_t busy = static_cast<uint64_t>(utilisation) * 4;
    history->current_slot = UINT64_MAX;
    history->slots[0] = busy;
    history->busy_total = busy;
    return history;
}

const int32_t kUtilisationForLevel[] = {0, 128, 166, 204, 250};

MaybeBytes generate_at_level(const Bytes &old_value, const Bytes &new_value, int level,
                             int32_t slot_limit, int32_t work_limit)
{
    HistoryPtr history = history_at(kUtilisationForLevel[level]);
    const buf_s o = view(old_value);
    const buf_s n = view(new_value);
    MaybeBytes delta = take(diff_generate_binary_with_activity_history_ex(history.get(), &o, &n,
                                                                          slot_limit, work_limit));
    EXPECT_EQ(history->last_delta_quality, level);
    return delta;
}

/* Level 5 is reachable only through the driver: its edit deltas must rebuild
 * the new value and stay shorter than it. */
void expect_level5_sound(const Bytes &old_value, const Bytes &new_value, int32_t slot_limit,
                         int32_t work_limit)
{
    const buf_s o = view(old_value);
    const buf_s n = view(new_value);
    ScriptPtr script(edit_script_create(&o, &n));
    ASSERT_NE(script, nullptr);
    const int32_t r =
        myers_binary_diff(&o, 0, static_cast<int32_t>(o.length), &n, 0,
                          static_cast<int32_t>(n.length), script.get(), slot_limit, work_limit, 5);
    if (r == MYERS_VALUES_EQUAL) {
        ASSERT_EQ(old_value, new_value);
    } else if (r == MYERS_EDIT_DELTA) {
        const Bytes delta(reinterpret_cast<const char *>(script->output->data),
                          script->output->length);
        // Only the empty delta (no item paid from the budget) may reach the
        // new value's size; the generate functions replace it.
        ASSERT_TRUE(delta.size() < new_value.size() || delta.empty()) << to_hex(delta);
        ASSERT_EQ(apply_delta(old_value, delta), new_value) << to_hex(delta);
    } else {
        ASSERT_EQ(r, MYERS_REPLACEMENT_DELTA);
    }
}

TEST(DeltaRoundTrip, GeneratedPairsAtEveryLevelAndLimit)
{
    const std::pair<int32_t, int32_t> limits[] = {
        {DIFF_DEFAULT_SLOT_LIMIT, DIFF_DEFAULT_WORK_LIMIT},
        {1, 1},
        {2, 2},
        {10, 10},
        {100, 100},
        {DIFF_DEFAULT_SLOT_LIMIT, 1},
        {10, DIFF_DEFAULT_WORK_LIMIT}};
    std::mt19937_64 rng(14);
    const int rounds = kQuick ? 15 : 150;
    for (const auto &[name, make] : pair_makers()) {
        for (int i = 0; i < rounds; ++i) {
            const auto [old_value, new_value] = make(rng);
            for (const auto &[slot_limit, work_limit] : limits) {
                for (int level = 0; level <= 4; ++level) {
                    const MaybeBytes delta =
                        generate_at_level(old_value, new_value, level, slot_limit, work_limit);
                    ASSERT_TRUE(delta.has_value()) << name;
                    ASSERT_NO_FATAL_FAILURE(expect_valid_delta(old_value, new_value, *delta))
                        << name << " level " << level << " limits " << slot_limit << "/"
                        << work_limit;
                }
                ASSERT_NO_FATAL_FAILURE(
                    expect_level5_sound(old_value, new_value, slot_limit, work_limit))
                    << name;
            }
            const MaybeBytes plain = generate(old_value, new_value);
            ASSERT_TRUE(plain.has_value());
            ASSERT_NO_FATAL_FAILURE(expect_valid_delta(old_value, new_value, *plain)) << name;
            ASSERT_EQ(apply_delta(old_value, *generate(old_value, old_value)), old_value) << name;
        }
    }
}

TEST(DeltaRoundTrip, LargeValuesWithScatteredEdits)
{
    std::mt19937_64 rng(15);
    const size_t sizes[] = {16384, kQuick ? size_t{20000} : size_t{300000}};
    for (const size_t size : sizes) {
        const Bytes old_value = random_bytes(rng, size);
        for (const int edits : {1, 10, 100}) {
            const Bytes new_value = edited(rng, old_value, edits, 256);
            const MaybeBytes delta = generate(old_value, new_value);
            ASSERT_TRUE(delta.has_value());
            ASSERT_NO_FATAL_FAILURE(expect_valid_delta(old_value, new_value, *delta));
            EXPECT_LT(delta->size(), new_value.size() / 4)
                << size << " bytes, " << edits << " edits";
        }
    }
}

TEST(DeltaRoundTrip, NoChangeDeltaRebuildsTheOldValue)
{
    std::mt19937_64 rng(16);
    for (size_t length = 0; length < 70; ++length) {
        const Bytes value = random_bytes(rng, length);
        const MaybeBytes delta = generate(value, value);
        ASSERT_TRUE(delta.has_value());
        EXPECT_EQ(*delta, length >= 2 ? hex("F6") : replacement_of(value)) << length;
        EXPECT_EQ(apply_delta(value, *delta), value) << length;
    }
}

// ------------------------------------------------------------ history

struct LevelCase {
    int32_t utilisation;
    int32_t level;
};

class DeltaHistoryLevel : public ::testing::TestWithParam<LevelCase> {};

TEST_P(DeltaHistoryLevel, UtilisationThresholdsPickTheLevel)
{
    const LevelCase c = GetParam();
    HistoryPtr history = history_at(c.utilisation);
    ASSERT_EQ(korvalent_activity_history_utilisation(history.get()), c.utilisation);
    const Bytes old_value = "abcXdef";
    const Bytes new_value = "abcYdef";
    const buf_s o = view(old_value);
    const buf_s n = view(new_value);
    const MaybeBytes delta =
        take(diff_generate_binary_with_activity_history(history.get(), &o, &n));
    EXPECT_EQ(korvalent_activity_history_get_last_delta_quality(history.get()), c.level);
    ASSERT_TRUE(delta.has_value());
    EXPECT_EQ(apply_delta(old_value, *delta), new_value);
    EXPECT_EQ(history->start_time >> history->slot_shift, history->current_slot);
}

INSTANTIATE_TEST_SUITE_P(Table, DeltaHistoryLevel,
                         ::testing::Values(LevelCase{0, 0}, LevelCase{127, 0}, LevelCase{128, 1},
                                           LevelCase{165, 1}, LevelCase{166, 2}, LevelCase{203, 2},
                                           LevelCase{204, 3}, LevelCase{242, 3}, LevelCase{243, 4},
                                           LevelCase{250, 4}, LevelCase{256, 4}));

// At level 4 only the common prefix and suffix are used: the moved-apart
// halves are not found again, unlike at level 0.
TEST(DeltaHistory, BusyHistoryTrimsOnly)
{
    const Bytes tail = "0123456789abcdefghij";
    const Bytes head = "klmnopqrstuvwyz-+*/=";
    const Bytes old_value = head + tail;
    const Bytes new_value = "XY" + head + "ZW" + tail;
    const MaybeBytes trimmed = generate_at_level(old_value, new_value, 4, DIFF_DEFAULT_SLOT_LIMIT,
                                                 DIFF_DEFAULT_WORK_LIMIT);
    EXPECT_EQ(to_hex(trimmed), to_hex(hex("58 18") + "XY" + head + "ZW" + hex("14 14")));
    const MaybeBytes searched = generate_at_level(old_value, new_value, 0, DIFF_DEFAULT_SLOT_LIMIT,
                                                  DIFF_DEFAULT_WORK_LIMIT);
    EXPECT_EQ(to_hex(searched), to_hex(hex("42 58 59 00 14 42 5A 57 14 14")));
}

TEST(DeltaHistory, GenerateRecordsTheActivity)
{
    HistoryPtr history(korvalent_activity_history_create(16, 1024));
    const Bytes a = "some old value";
    const Bytes b = "some new value";
    const buf_s o = view(a);
    const buf_s n = view(b);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(
            take(diff_generate_binary_with_activity_history(history.get(), &o, &n)).has_value());
        EXPECT_EQ(korvalent_activity_history_get_last_delta_quality(history.get()), 0);
        EXPECT_NE(history->start_time, 0u);
    }
    // Without a history the level is 0 and nothing is recorded.
    EXPECT_TRUE(take(diff_generate_binary_with_activity_history(nullptr, &o, &n)).has_value());
}

// ------------------------------------------------- allocation failures

bool hook_usable() { return kvtest::alloc_hook_available(); }

/* Blocks a returned buffer holds: the record, and its data when non-empty. */
long blocks_of(const buf_s *buf) { return buf == nullptr ? 0 : 1 + (buf->data != nullptr ? 1 : 0); }

/* Runs call with the k-th allocation and all after it refused, for every k
 * until the call no longer meets a refusal: each result is null or exactly
 * the expected bytes, and nothing but the result stays allocated. */
void expect_clean_refusals(const std::function<buf_s *()> &call, const Bytes &expected)
{
    bool refused_some = false;
    for (long grant = 0;; ++grant) {
        kvtest::arm_allocations(grant);
        buf_s *result = call();
        const kvtest::AllocStats stats = kvtest::allow_allocations();
        ASSERT_EQ(stats.live, blocks_of(result)) << "grant " << grant;
        const MaybeBytes value = take(result);
        if (stats.refused == 0) {
            ASSERT_EQ(value, expected) << "grant " << grant;
            break;
        }
        refused_some = true;
        if (value) {
            ASSERT_EQ(*value, expected) << "grant " << grant;
        }
    }
    EXPECT_TRUE(refused_some);
}

TEST(DeltaAllocationFailures, GenerateGivesNullOrASoundDelta)
{
    if (!hook_usable()) {
        GTEST_SKIP() << "allocation hook unavailable";
    }
    std::mt19937_64 rng(17);
    const Bytes old_value = random_bytes(rng, 3000, 4);
    const std::pair<Bytes, Bytes> pairs[] = {
        {old_value, edited(rng, old_value, 8, 4)}, // edit delta
        {old_value, old_value},                    // no-change delta
        {"", old_value},                           // replacement delta
    };
    for (const auto &[o, n] : pairs) {
        const buf_s ov = view(o);
        const buf_s nv = view(n);
        const MaybeBytes delta = generate(o, n);
        ASSERT_TRUE(delta.has_value());
        ASSERT_NO_FATAL_FAILURE(
            expect_clean_refusals([&] { return diff_generate_binary(&ov, &nv); }, *delta));
        HistoryPtr history(korvalent_activity_history_create(16, 1024));
        ASSERT_NO_FATAL_FAILURE(expect_clean_refusals(
            [&] { return diff_generate_binary_with_activity_history(history.get(), &ov, &nv); },
            *delta));
        ASSERT_NO_FATAL_FAILURE(expect_clean_refusals([&] { return _write_replacement_delta(&nv); },
                                                      replacement_of(n)));
    }
}

TEST(DeltaAllocationFailures, ApplyGivesNullOrTheValue)
{
    if (!hook_usable()) {
        GTEST_SKIP() << "allocation hook unavailable";
    }
    const Bytes old_value = "abcdefghijklmnopqrstuvwxyz";
    const struct {
        Bytes delta;
        Bytes value;
    } cases[] = {
        {hex("00 03 41 59 04 03"), "abcYefg"},
        {hex("F6"), old_value},
        {hex("5F 41 61 FF 02 02"), "acd"},
        {hex("E0 41 61 00 02"), "aab"}, // read in one growing pass
        {hex("41 61"), "a"},
    };
    StderrSilenced quiet;
    for (const auto &c : cases) {
        ASSERT_EQ(apply_delta(old_value, c.delta), c.value);
        const buf_s ov = view(old_value);
        const buf_s dv = view(c.delta);
        ASSERT_NO_FATAL_FAILURE(
            expect_clean_refusals([&] { return diff_apply_binary(&ov, &dv); }, c.value))
            << to_hex(c.delta);
    }
}

} // namespace
