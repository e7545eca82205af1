// The loads decoder (bindings/python/cbor_decode_impl.h) on native trees:
// every 1- and 2-byte input and a large random sample of well-formed and
// damaged items must get the same verdict and the same tree as the decode on
// the core's head reader; faults are reported by rule and offset; declared
// lengths past the input fail before anything is built.
#include "cbor_tree_model.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using cbor_tree::Decoded;
using korvalent::cbor_decode::Fault;

std::vector<uint8_t> hex(const std::string &text)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

// Empty on agreement, else a description of the first difference.
std::string compare_with_model(const std::vector<uint8_t> &in, uint32_t max_depth = 64)
{
    const Decoded got = cbor_tree::decode_tree(in.data(), in.size(), max_depth);
    const Decoded want = cbor_tree::core_model_decode(in.data(), in.size(), max_depth);
    if (got.ok != want.ok)
        return got.ok ? "decoder accepts, model refuses" : "decoder refuses, model accepts";
    if (got.ok && got.tree != want.tree) return "trees differ";
    return "";
}

std::string as_hex(const std::vector<uint8_t> &in)
{
    static const char *digits = "0123456789abcdef";
    std::string out;
    for (uint8_t b : in) out += {digits[b >> 4], digits[b & 15]};
    return out;
}

TEST(CborDecode, EveryOneAndTwoByteInputAgreesWithTheCoreModel)
{
    for (unsigned n = 1; n <= 2; ++n)
        for (uint32_t v = 0; v < (1u << (8 * n)); ++v) {
            std::vector<uint8_t> in(n);
            for (unsigned i = 0; i < n; ++i) in[i] = static_cast<uint8_t>(v >> (8 * i));
            const std::string diff = compare_with_model(in);
            ASSERT_EQ(diff, "") << as_hex(in);
        }
}

// A random well-formed item written by hand, with every head width, both
// container forms, chunked strings, tags, simple values and floats.
class ItemMaker {
public:
    explicit ItemMaker(uint32_t seed) : rng_(seed) {}

    std::vector<uint8_t> make()
    {
        out_.clear();
        item(0);
        return out_;
    }

private:
    unsigned pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }

    void head(unsigned major, uint64_t arg)
    {
        const unsigned widths[] = {0, 1, 2, 4, 8};
        unsigned w = widths[pick(5)];
        if (w == 0 && arg >= 24) w = 8;
        if (w && w < 8 && (arg >> (8 * w)) != 0) w = 8;
        if (w == 0) {
            out_.push_back(static_cast<uint8_t>(major << 5 | arg));
            return;
        }
        out_.push_back(static_cast<uint8_t>(major << 5 | (w == 1   ? 24
                                                          : w == 2 ? 25
                                                          : w == 4 ? 26
                                                                   : 27)));
        for (unsigned i = w; i-- > 0;) out_.push_back(static_cast<uint8_t>(arg >> (8 * i)));
    }

    void payload(unsigned major, size_t n)
    {
        static const char *pieces[] = {"a",    "\xc3\xbc",    "\xe6\xb0\xb4", "\xf0\x90\x85\x91",
                                       "\xff", "\xed\xa0\x80"};
        std::string s;
        while (s.size() < n)
            s += major == 3 ? pieces[pick(pick(8) == 0 ? 6 : 4)] : std::string(1, char(pick(256)));
        head(major, s.size());
        out_.insert(out_.end(), s.begin(), s.end());
    }

    void item(unsigned depth)
    {
        const uint64_t args[] = {0,          1,    23, 24, 255, 256, 65535, 65536, 0xFFFFFFFFull,
                                 1ull << 32, ~0ull};
        switch (depth > 3 ? pick(4) : pick(9)) {
        case 0:
            head(0, args[pick(11)]);
            break;
        case 1:
            head(1, args[pick(11)]);
            break;
        case 2:
            payload(2 + pick(2), pick(6));
            break;
        case 3: {
            const unsigned simple[] = {0xf4, 0xf5, 0xf6, 0xf7, 0xe0, 0xf3, 0xf9, 0xfa, 0xfb, 0xf8};
            const unsigned b = simple[pick(10)];
            out_.push_back(static_cast<uint8_t>(b));
            const unsigned extra = b == 0xf9   ? 2
                                   : b == 0xfa ? 4
                                   : b == 0xfb ? 8
                                   : b == 0xf8 ? 1
                                               : 0;
            for (unsigned i = 0; i < extra; ++i) out_.push_back(static_cast<uint8_t>(pick(256)));
            break;
        }
        case 4:
        case 5: {
            const unsigned major = 4 + pick(2), n = pick(4);
            const bool indefinite = pick(2);
            if (indefinite)
                out_.push_back(static_cast<uint8_t>(major << 5 | 31));
            else
                head(major, n);
            for (unsigned i = 0; i < n * (major == 5 ? 2 : 1); ++i) item(depth + 1);
            if (indefinite) out_.push_back(0xff);
            break;
        }
        case 6: {
            const unsigned major = 2 + pick(2);
            out_.push_back(static_cast<uint8_t>(major << 5 | 31));
            for (unsigned i = pick(3); i > 0; --i) payload(major, pick(4));
            out_.push_back(0xff);
            break;
        }
        case 7:
            head(6, pick(2) ? 2 + pick(2) : args[pick(11)]);
            item(depth + 1);
            break;
        default:
            head(0, pick(24));
            break;
        }
    }

    std::mt19937 rng_;
    std::vector<uint8_t> out_;
};

TEST(CborDecode, RandomItemsAndTheirDamageAgreeWithTheCoreModel)
{
    ItemMaker maker(2024);
    std::mt19937 rng(7);
    unsigned accepted = 0;
    for (int round = 0; round < 300000; ++round) {
        std::vector<uint8_t> in = maker.make();
        ASSERT_EQ(compare_with_model(in), "") << as_hex(in);
        accepted += cbor_tree::decode_tree(in.data(), in.size(), 64).ok;
        // Damage: a flipped byte, a cut, a doubled item.
        std::vector<uint8_t> flipped = in;
        flipped[rng() % flipped.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        ASSERT_EQ(compare_with_model(flipped), "") << as_hex(flipped);
        std::vector<uint8_t> cut(in.begin(), in.begin() + static_cast<long>(rng() % in.size()));
        ASSERT_EQ(compare_with_model(cut), "") << as_hex(cut);
        EXPECT_FALSE(cbor_tree::decode_tree(cut.data(), cut.size(), 64).ok) << as_hex(cut);
        std::vector<uint8_t> twice = in;
        twice.insert(twice.end(), in.begin(), in.end());
        EXPECT_FALSE(cbor_tree::decode_tree(twice.data(), twice.size(), 64).ok);
        // Read as a sequence, the first item ends exactly where the single one did.
        const Decoded first = cbor_tree::decode_tree(twice.data(), twice.size(), 64, true);
        const Decoded single = cbor_tree::decode_tree(in.data(), in.size(), 64);
        EXPECT_EQ(first.ok, single.ok) << as_hex(in);
        if (single.ok) {
            EXPECT_EQ(first.consumed, in.size());
        }
    }
    // The maker writes some invalid UTF-8 and simple values on purpose, but
    // most of its items must be well formed for the sample to mean much.
    EXPECT_GT(accepted, 150000u);
}

TEST(CborDecode, LongIndefiniteContainersAgreeWithTheCoreModel)
{
    // Past the scratch stack's inline room, with open containers nested in
    // each other so the stacked ranges interleave.
    std::vector<uint8_t> in = {0x9f};
    for (int i = 0; i < 300; ++i) in.push_back(static_cast<uint8_t>(i % 24));
    in.push_back(0xbf);
    for (int i = 0; i < 200; ++i) {
        in.push_back(0x18);
        in.push_back(static_cast<uint8_t>(i));
        in.push_back(0x9f);
        for (int j = 0; j < i % 5; ++j) in.push_back(0xf6);
        in.push_back(0xff);
    }
    in.push_back(0xff);
    in.push_back(0xff);
    const Decoded got = cbor_tree::decode_tree(in.data(), in.size(), 8);
    ASSERT_TRUE(got.ok);
    ASSERT_EQ(got.tree.kids.size(), 301u);
    EXPECT_EQ(got.tree.kids[300].kids.size(), 400u);
    EXPECT_EQ(compare_with_model(in), "");
    // Cut anywhere inside, the stacked values are all given back (ASan checks).
    for (size_t cut = 1; cut < in.size(); cut += 7) {
        std::vector<uint8_t> part(in.begin(), in.begin() + static_cast<long>(cut));
        EXPECT_FALSE(cbor_tree::decode_tree(part.data(), part.size(), 8).ok);
    }
}

struct FaultCase {
    const char *input;
    Fault fault;
    uint64_t offset;
};

TEST(CborDecode, FaultsNameTheRuleAndTheOffset)
{
    const FaultCase cases[] = {
        {"", Fault::kEmpty, 0},
        {"19ff", Fault::kTruncated, 0},
        {"8219ff", Fault::kTruncated, 1},
        {"5a00000010", Fault::kLengthBeyondInput, 0},
        {"a301020304", Fault::kLengthBeyondInput, 0},
        {"9c", Fault::kReservedInfo, 0},
        {"8101fe", Fault::kTrailing, 2},
        {"3f", Fault::kNotIndefinite, 0},
        {"8201ff", Fault::kStrayBreak, 2},
        {"7f6161406162ff", Fault::kChunkType, 3},
        {"f81f", Fault::kSimpleBelow32, 0},
        {"818181818100", Fault::kTooDeep, 4},
        {"8262c328", Fault::kInvalidUtf8, 1},
        {"bf0102", Fault::kTruncated, 0},
        /* counts that fit the input one by one but not together */
        {"8382ff00", Fault::kStrayBreak, 2},
        {"83a10000", Fault::kTruncated, 0},
    };
    for (const FaultCase &c : cases) {
        const std::vector<uint8_t> in = hex(c.input);
        const Decoded got = cbor_tree::decode_tree(in.data(), in.size(), 4);
        EXPECT_FALSE(got.ok) << c.input;
        EXPECT_EQ(got.failure.fault, c.fault) << c.input;
        EXPECT_EQ(got.failure.offset, c.offset) << c.input;
        EXPECT_NE(korvalent::cbor_decode::describe(got.failure, 4).find(std::to_string(c.offset)),
                  std::string::npos);
    }
}

TEST(CborDecode, DeclaredLengthsPastTheInputFailBeforeBuilding)
{
    // The tree builder would try to size a list of 2^64 - 1 nodes if asked.
    for (const char *in :
         {"9bffffffffffffffff", "bbffffffffffffffff", "5bffffffffffffffff", "9b0000000100000000"}) {
        const std::vector<uint8_t> bytes = hex(in);
        const Decoded got = cbor_tree::decode_tree(bytes.data(), bytes.size(), 8);
        EXPECT_EQ(got.failure.fault, Fault::kLengthBeyondInput) << in;
    }
}

TEST(CborDecode, HalfFloatsAgreeWithTheCoreForEveryPattern)
{
    for (uint32_t bits = 0; bits < 65536; ++bits) {
        const uint8_t in[3] = {0xf9, static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)};
        cbor_parser_s parser;
        ASSERT_EQ(_cbor_parser_init(&parser, in, 3), 0);
        cbor_val_s v;
        ASSERT_EQ(_cbor_next_view(&parser, &v), 1);
        const double mine = korvalent::cbor_decode::decode_half(static_cast<uint16_t>(bits));
        EXPECT_EQ(std::memcmp(&mine, &v.value.f64, 8), 0) << bits;
    }
}

TEST(CborDecode, StrictUtf8MatchesTheReferenceOnEveryShortSequence)
{
    for (uint32_t v = 0; v < (1u << 24); v += 1) {
        const uint8_t in[3] = {static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                               static_cast<uint8_t>(v)};
        korvalent::cbor_decode::Utf8Shape shape;
        const bool valid = korvalent::cbor_decode::validate_utf8(in, 3, &shape);
        ASSERT_EQ(valid, cbor_tree::reference_utf8(in, 3)) << v;
        if (valid) {
            size_t lead_bytes = 0;
            uint8_t max_lead = 0;
            for (uint8_t b : in) {
                lead_bytes += (b & 0xC0) != 0x80;
                if (b >= 0xC0 && b > max_lead) max_lead = b;
            }
            ASSERT_EQ(shape.code_points, lead_bytes) << v;
            ASSERT_EQ(shape.max_lead, max_lead) << v;
        }
    }
    const uint8_t four[][4] = {{0xf0, 0x90, 0x80, 0x80},
                               {0xf4, 0x8f, 0xbf, 0xbf},
                               {0xf4, 0x90, 0x80, 0x80},
                               {0xf0, 0x8f, 0xbf, 0xbf},
                               {0xf5, 0x80, 0x80, 0x80}};
    for (const auto &seq : four) {
        korvalent::cbor_decode::Utf8Shape shape;
        EXPECT_EQ(korvalent::cbor_decode::validate_utf8(seq, 4, &shape),
                  cbor_tree::reference_utf8(seq, 4));
    }
}

} // namespace
