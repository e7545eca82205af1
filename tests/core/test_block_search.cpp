// Block search: generated pairs of every kind applied back by the direct
// apply model, the three delta kinds, determinism, copies from anywhere in
// the old value, byte-precise gaps, repetitive and periodic input, and
// allocation failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/block_search.h"
#include "core/buf.h"
#include "core/delta.h"

#include "alloc_hook.h"
#include "search_support.h"

using namespace search_support;

namespace {

struct BufFree {
    void operator()(buf_s *buf) const { buf_free(buf); }
};
using BufPtr = std::unique_ptr<buf_s, BufFree>;

Bytes as_bytes(const buf_s *b)
{
    return b->length == 0 ? Bytes{} : Bytes(b->data, b->data + b->length);
}

Bytes blocks_delta(const Bytes &old_value, const Bytes &new_value)
{
    const buf_s o = view(old_value);
    const buf_s n = view(new_value);
    BufPtr delta(diff_generate_binary_blocks(&o, &n));
    EXPECT_NE(delta, nullptr);
    return delta ? as_bytes(delta.get()) : Bytes{};
}

Bytes replacement_of(const Bytes &new_value)
{
    const buf_s n = view(new_value);
    BufPtr r(_write_replacement_delta(&n));
    return as_bytes(r.get());
}

// Empty when the delta is one of the three kinds, rebuilds the new value
// through the direct model, and is never longer than the replacement.
std::string check_delta(const Bytes &old_value, const Bytes &new_value, const Bytes &delta)
{
    const Bytes replacement = replacement_of(new_value);
    if (delta.size() == 1 && delta[0] == 0xF6) {
        return old_value == new_value && new_value.size() >= 2
                   ? ""
                   : "no-change delta for a pair it does not fit";
    }
    if (delta == replacement) {
        return "";
    }
    if (delta.size() >= new_value.size()) {
        return "edit delta not shorter than the new value";
    }
    Bytes rebuilt;
    if (!apply_edit_delta(old_value, delta.data(), delta.size(), &rebuilt)) {
        return "edit delta unreadable or copies outside the old value";
    }
    return rebuilt == new_value ? "" : "edit delta does not rebuild the new value";
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

Bytes slice(const Bytes &b, size_t from, size_t count)
{
    return Bytes(b.begin() + static_cast<ptrdiff_t>(from),
                 b.begin() + static_cast<ptrdiff_t>(from + count));
}

// A new value built from the old one, and the most its delta may take.
struct SizedCase {
    const char *name;
    Bytes new_value;
    size_t at_most;
};

void expect_small_deltas(const Bytes &old_value, const std::vector<SizedCase> &cases)
{
    for (const SizedCase &c : cases) {
        const Bytes delta = blocks_delta(old_value, c.new_value);
        EXPECT_EQ(check_delta(old_value, c.new_value, delta), "") << c.name;
        EXPECT_LE(delta.size(), c.at_most) << c.name;
    }
}

// Indented records, like pretty-printed JSON: long runs of spaces that
// would crowd a hash bucket, and keys repeated in every record.
Bytes indented_record(size_t i)
{
    const std::string tag = std::to_string(i * 2654435761u % 1000003);
    std::string s = "  {\n        \"id\": " + std::to_string(i * 7919 % 100003) +
                    ",\n        \"name\": \"user" + std::to_string(i) +
                    "\",\n                \"text\": \"" + std::string(i % 23, ' ') + "post " + tag +
                    " about " + tag + " and " + std::to_string(i * i) +
                    "\",\n                \"flags\": [" + std::string(40, ' ') + "]\n  },\n";
    return bytes_of(s);
}

TEST(BlockSearch, GeneratedPairsRebuildThroughTheModel)
{
    Rng rng(0xB10C);
    const int rounds = scaled(3000);
    for (int i = 0; i < rounds; ++i) {
        const auto kind = static_cast<PairKind>(i % static_cast<int>(PairKind::kCount));
        const size_t max_length = i % 100 == 0 ? 60000 : (i % 10 == 0 ? 4000 : 300);
        Bytes o;
        Bytes n;
        make_pair(rng, kind, max_length, &o, &n);
        const Bytes delta = blocks_delta(o, n);
        ASSERT_EQ(check_delta(o, n, delta), "")
            << "pair " << i << " kind " << static_cast<int>(kind) << "\nold " << describe(o)
            << "\nnew " << describe(n);
    }
}

TEST(BlockSearch, SmallAndEdgePairs)
{
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {"", ""},
        {"a", "a"},
        {"ab", "ab"},
        {"", "x"},
        {"x", ""},
        {"a", "b"},
        {std::string(100, 'a'), std::string(100, 'a')},
        {std::string(100, 'a'), std::string(101, 'a')},
        {std::string(5000, ' '), std::string(4000, ' ') + "x" + std::string(1000, ' ')},
    };
    for (const auto &p : pairs) {
        const Bytes o = bytes_of(p.first);
        const Bytes n = bytes_of(p.second);
        const Bytes delta = blocks_delta(o, n);
        EXPECT_EQ(check_delta(o, n, delta), "") << p.first.size() << " -> " << p.second.size();
        // The same kind of delta as the default search for these.
        const buf_s ov = view(o);
        const buf_s nv = view(n);
        BufPtr reference(diff_generate_binary(&ov, &nv));
        const bool reference_special =
            reference->length == 1 || as_bytes(reference.get()) == replacement_of(n);
        if (reference_special) {
            EXPECT_EQ(delta, as_bytes(reference.get()))
                << p.first.size() << " -> " << p.second.size();
        }
    }
}

TEST(BlockSearch, NullAndUnreadableValuesAreRefused)
{
    const Bytes v = bytes_of("value");
    const buf_s ok = view(v);
    buf_s unreadable{nullptr, 3, 0};
    EXPECT_EQ(diff_generate_binary_blocks(nullptr, &ok), nullptr);
    EXPECT_EQ(diff_generate_binary_blocks(&ok, nullptr), nullptr);
    EXPECT_EQ(diff_generate_binary_blocks(&unreadable, &ok), nullptr);
    EXPECT_EQ(diff_generate_binary_blocks(&ok, &unreadable), nullptr);
    buf_s huge{const_cast<uint8_t *>(v.data()), uint64_t{1} << 31, 0};
    EXPECT_EQ(diff_generate_binary_blocks(&huge, &ok), nullptr);
    EXPECT_EQ(diff_generate_binary_blocks(&ok, &huge), nullptr);
}

TEST(BlockSearch, SameInputsSameDelta)
{
    Rng rng(77);
    for (int i = 0; i < scaled(200); ++i) {
        Bytes o;
        Bytes n;
        make_pair(rng, static_cast<PairKind>(i % static_cast<int>(PairKind::kCount)), 5000, &o, &n);
        EXPECT_EQ(blocks_delta(o, n), blocks_delta(o, n)) << i;
    }
}

// Moved, swapped, repeated and re-inserted blocks cost a few copies each.
TEST(BlockSearch, CopiesComeFromAnywhereInTheOldValue)
{
    Rng rng(3);
    const Bytes base = random_bytes(rng, 1 << 20, 256);
    const size_t k = 4096;
    const Bytes a = slice(base, 100000, k);
    const Bytes b = slice(base, 500000, k);
    const std::vector<SizedCase> cases = {
        {"block moved to the front",
         concat({a, slice(base, 0, 100000), slice(base, 100000 + k, base.size() - 100000 - k)}),
         40},
        {"halves swapped",
         concat({slice(base, base.size() / 2, base.size() / 2), slice(base, 0, base.size() / 2)}),
         20},
        {"block repeated three times",
         concat({slice(base, 0, 200000), b, b, b, slice(base, 200000, base.size() - 200000)}), 60},
        {"blocks reordered", concat({b, a, slice(base, 0, 50000)}), 40},
        {"fresh block inserted",
         concat({slice(base, 0, 300000), random_bytes(rng, 1000, 256),
                 slice(base, 300000, base.size() - 300000)}),
         1040},
    };
    expect_small_deltas(base, cases);
}

// Gaps between anchors keep byte precision: point edits cost a few bytes
// each, and never more than the default search spends on them.
TEST(BlockSearch, PointEditsStayBytePrecise)
{
    Rng rng(11);
    const Bytes base = random_bytes(rng, 200000, 256);
    for (size_t edits : {1, 10, 100}) {
        const Bytes changed = point_edits(rng, base, edits, 256);
        const Bytes delta = blocks_delta(base, changed);
        ASSERT_EQ(check_delta(base, changed, delta), "") << edits;
        EXPECT_LE(delta.size(), 16 * edits) << edits;
        const buf_s o = view(base);
        const buf_s n = view(changed);
        BufPtr reference(diff_generate_binary(&o, &n));
        EXPECT_LE(delta.size(), reference->length) << edits;
    }
}

// Values edited in place are matched along one diagonal. Sparse edits of
// every length, whether their diagonal matches are long or short, cost no
// more than in the default search (dense ones are the format's cost), and
// content copied from elsewhere, next to an edit, is still found wherever
// it lies: inside a stretch edited in place, right after an edit, or at the
// very end of the value.
TEST(BlockSearch, EditsInPlaceAndCopiesBesideThem)
{
    Rng rng(17);
    const Bytes base = random_bytes(rng, 200000, 256);
    const auto edited = [&](size_t at, size_t count) {
        Bytes out = base;
        for (size_t i = at; i < at + count; ++i) {
            out[i] ^= 0x5A;
        }
        return out;
    };
    for (size_t spacing : {100, 250, 256, 257, 300, 1000, 5000}) {
        for (size_t length : {1, 8, 15, 16, 40}) {
            Bytes changed = base;
            for (size_t at = 1000; at + length < base.size() && at < 1000 + 12 * spacing;
                 at += spacing + length) {
                for (size_t i = at; i < at + length; ++i) {
                    changed[i] ^= 0x5A;
                }
            }
            const Bytes delta = blocks_delta(base, changed);
            ASSERT_EQ(check_delta(base, changed, delta), "") << spacing << " " << length;
            const buf_s o = view(base);
            const buf_s n = view(changed);
            BufPtr reference(diff_generate_binary(&o, &n));
            EXPECT_LE(delta.size(), reference->length) << spacing << " " << length;
        }
    }
    const std::vector<SizedCase> cases = {
        {"bytes in place replaced by a copy of others, an edit later on",
         concat({slice(base, 0, 100000), slice(base, 50000, 40),
                 slice(edited(150000, 1), 100040, base.size() - 100040)}),
         32},
        {"an edit, then a block moved in",
         concat({slice(edited(100000, 5), 0, 100005), slice(base, 150000, 4096),
                 slice(base, 100005, base.size() - 100005)}),
         32},
        {"an edit, then a short tail copied from elsewhere",
         concat({slice(edited(100000, 3), 0, 100003), slice(base, 50000, 200)}), 32},
    };
    expect_small_deltas(base, cases);
    // Zero padding has no sampled window: the stretch it starts is probed
    // only after what comes before it has been looked up.
    const Bytes padded = concat({slice(base, 0, 10000), Bytes(600, 0), slice(base, 10000, 90000)});
    Bytes copied_before = padded;
    std::copy_n(base.begin() + 40000, 100, copied_before.begin() + 9900);
    copied_before[60000] ^= 1;
    expect_small_deltas(padded,
                        {{"a copy just before padding", copied_before, 32},
                         {"bytes removed just before padding",
                          concat({slice(padded, 0, 9800), slice(padded, 9833, 80767)}), 24}});
}

// A gap dense with point edits is still searched byte by byte: the bound
// that spares the engine hopeless gaps must not give such a gap up.
TEST(BlockSearch, GapsDenseWithEditsAreStillSearched)
{
    Rng rng(13);
    const Bytes base = random_bytes(rng, 100000, 256);
    for (size_t stride : {24, 40, 100}) {
        Bytes changed = base;
        for (size_t at = 50000; at < 53000; at += stride) {
            changed[at] ^= 0x5A;
        }
        const Bytes delta = blocks_delta(base, changed);
        ASSERT_EQ(check_delta(base, changed, delta), "") << stride;
        const buf_s o = view(base);
        const buf_s n = view(changed);
        BufPtr reference(diff_generate_binary(&o, &n));
        EXPECT_LE(delta.size(), reference->length) << stride;
        EXPECT_LT(delta.size(), 3000u / 2) << stride;
    }
}

// Fields whose old form had a filler byte after each of their bytes: the
// engine would copy them a byte at a time, a copy (two heads) per byte, and
// the fields go as literal bytes instead, which is smaller. Whole fields
// that survived, or fields with a filler after every third byte, show that
// copies worth their heads are still made.
TEST(BlockSearch, GapsOfTinyCopiesGoAsLiteralBytesWhenThatIsSmaller)
{
    constexpr size_t kRecords = 500, kRecord = 200, kField = 64;
    for (size_t every : {1, 3}) {
        Rng rng(every);
        Bytes old_value, new_value;
        for (size_t r = 0; r < kRecords; ++r) {
            const Bytes record = random_bytes(rng, kRecord, 256);
            const Bytes field = random_bytes(rng, kField, 256);
            old_value.insert(old_value.end(), record.begin(), record.end());
            new_value.insert(new_value.end(), record.begin(), record.end());
            for (size_t i = 0; i < kField; ++i) {
                old_value.push_back(field[i]);
                if (i % every == every - 1) {
                    old_value.push_back(0x20);
                }
            }
            new_value.insert(new_value.end(), field.begin(), field.end());
        }
        const Bytes delta = blocks_delta(old_value, new_value);
        ASSERT_EQ(check_delta(old_value, new_value, delta), "") << every;
        // Each record: one copy of at most 1 + 5 + 3 bytes and the field's
        // literal bytes behind a 2-byte head.
        EXPECT_LE(delta.size(), kRecords * (9 + 2 + kField)) << every;
        const buf_s o = view(old_value);
        const buf_s n = view(new_value);
        BufPtr reference(diff_generate_binary(&o, &n));
        EXPECT_LE(delta.size(), reference->length) << every;
    }
}

// Indented records: removing every 7th record or moving the last to the
// front leaves a delta of a few bytes per change, whatever the indentation.
TEST(BlockSearch, IndentedRecordsWithLongRunsOfSpaces)
{
    std::vector<Bytes> records;
    for (size_t i = 0; i < 3000; ++i) {
        records.push_back(indented_record(i));
    }
    Bytes all;
    Bytes thinned;
    Bytes rotated = records.back();
    for (size_t i = 0; i < records.size(); ++i) {
        all.insert(all.end(), records[i].begin(), records[i].end());
        if (i % 7 != 0) {
            thinned.insert(thinned.end(), records[i].begin(), records[i].end());
        }
        if (i + 1 < records.size()) {
            rotated.insert(rotated.end(), records[i].begin(), records[i].end());
        }
    }
    const Bytes thinned_delta = blocks_delta(all, thinned);
    ASSERT_EQ(check_delta(all, thinned, thinned_delta), "");
    EXPECT_LE(thinned_delta.size(), 12 * (records.size() / 7 + 1));
    const Bytes rotated_delta = blocks_delta(all, rotated);
    ASSERT_EQ(check_delta(all, rotated, rotated_delta), "");
    EXPECT_LE(rotated_delta.size(), 48u);
}

// Runs of one byte are not indexed, yet a run left among literal bytes is
// copied from a run of that byte anywhere in the old value: sparse edits of
// zero-filled values, padding moved or grown beyond any run of the old value.
TEST(BlockSearch, RunsOfOneByteAreCopiedFromRunsOfTheOldValue)
{
    Rng rng(29);
    const Bytes zeros(1 << 18, 0);
    for (size_t stride : {40, 64, 1000}) {
        Bytes edited = zeros;
        for (size_t at = stride / 2; at < edited.size(); at += stride) {
            edited[at] = static_cast<uint8_t>(1 + rng.below(255));
        }
        const Bytes delta = blocks_delta(zeros, edited);
        ASSERT_EQ(check_delta(zeros, edited, delta), "") << stride;
        // a copy and an insert of one byte per edit: at most 12 bytes each
        EXPECT_LE(delta.size(), 12 * (edited.size() / stride + 1)) << stride;
    }
    const Bytes a = random_bytes(rng, 60000, 256);
    const Bytes old_value =
        concat({slice(a, 0, 20000), Bytes(3000, 0), slice(a, 20000, 40000), Bytes(100, 0xFF)});
    // zeros moved and grown past the old run; 0xFF grown; 0x7E has no old run
    const Bytes new_value = concat({slice(a, 0, 35000), Bytes(10000, 0), Bytes(5000, 0xFF),
                                    Bytes(500, 0x7E), slice(a, 35000, 25000)});
    const Bytes delta = blocks_delta(old_value, new_value);
    ASSERT_EQ(check_delta(old_value, new_value, delta), "");
    EXPECT_LT(delta.size(), 500u + 600u);
}

Bytes repeated(const Bytes &pattern, size_t length)
{
    Bytes out(length);
    for (size_t i = 0; i < length; ++i) {
        out[i] = pattern[i % pattern.size()];
    }
    return out;
}

// value with `edits` bytes at random offsets flipped (one may be hit twice).
Bytes with_point_edits(Bytes value, Rng &rng, int edits)
{
    for (int edit = 0; edit < edits; ++edit) {
        value[rng.below(value.size())] ^= 0x41;
    }
    return value;
}

// Content of a short period (pixels of one colour, a repeated small record)
// has too few distinct windows to be sampled reliably; its runs left among
// literal bytes are copied from an old run of the same pattern, in whatever
// phase either run starts, and a new run longer than the old one takes
// several copies.
TEST(BlockSearch, ShortPeriodRunsAreCopiedFromRunsOfTheSamePattern)
{
    Rng rng(31);
    for (size_t period = 1; period <= 16; ++period) {
        for (int trial = 0; trial < 4; ++trial) {
            const Bytes pattern = random_bytes(rng, period, 256);
            const Bytes old_value = repeated(pattern, 1 << 16);
            Bytes new_value = with_point_edits(old_value, rng, 6);
            // an insertion that shifts the phase of all that follows
            const size_t at = rng.below(new_value.size());
            new_value.insert(new_value.begin() + static_cast<ptrdiff_t>(at), {1, 2, 3});
            const Bytes delta = blocks_delta(old_value, new_value);
            ASSERT_EQ(check_delta(old_value, new_value, delta), "") << period;
            EXPECT_LE(delta.size(), 16u * 8) << period << " " << trial;
        }
    }
    const Bytes a = random_bytes(rng, 40000, 256);
    const Bytes rgb = {0x20, 0x80, 0xC0};
    const Bytes rotated = {0x80, 0xC0, 0x20};
    const Bytes old_value =
        concat({slice(a, 0, 20000), repeated(rgb, 300), slice(a, 20000, 20000)});
    const Bytes new_value = concat({slice(a, 0, 20000), repeated(rotated, 5000), Bytes{7},
                                    repeated(rgb, 100), slice(a, 20000, 20000)});
    const Bytes delta = blocks_delta(old_value, new_value);
    ASSERT_EQ(check_delta(old_value, new_value, delta), "");
    EXPECT_LT(delta.size(), 200u);
}

// Content of a period of 17 to 40 bytes may have no sampled window at all.
// Point edits of it still cost a few bytes each, as in the default search:
// stretches with no window are probed along the last copy's diagonal.
TEST(BlockSearch, PointEditsOfUnsampledPeriodicContentStaySmall)
{
    Rng rng(37);
    for (size_t period = 17; period <= 40; ++period) {
        for (int trial = 0; trial < 3; ++trial) {
            const Bytes pattern = random_bytes(rng, period, 256);
            const Bytes old_value = repeated(pattern, 1 << 17);
            const Bytes new_value = with_point_edits(old_value, rng, 3);
            const Bytes delta = blocks_delta(old_value, new_value);
            ASSERT_EQ(check_delta(old_value, new_value, delta), "") << period;
            EXPECT_LE(delta.size(), 16u * 3 + 8) << period << " " << trial;
        }
    }
}

// Every refused allocation gives null and leaks nothing; the rest give the
// delta of an unhindered run.
TEST(BlockSearch, AllocationFailuresGiveNullAndLeakNothing)
{
    SKIP_WITHOUT_ALLOC_HOOK();
    Rng rng(5);
    const Bytes o = random_bytes(rng, 20000, 256);
    const Bytes n = mutate_blocks(rng, o, 4);
    const Bytes expected = blocks_delta(o, n);
    const buf_s ov = view(o);
    const buf_s nv = view(n);
    bool completed = false;
    for (long grant = 0; grant < 200 && !completed; ++grant) {
        kvtest::arm_allocations(grant);
        buf_s *delta = diff_generate_binary_blocks(&ov, &nv);
        const long live_with_delta = delta != nullptr ? 1 : 0;
        const kvtest::AllocStats stats = kvtest::allow_allocations();
        EXPECT_EQ(stats.live, live_with_delta * 2) << grant;
        if (delta != nullptr) {
            EXPECT_EQ(as_bytes(delta), expected) << grant;
        }
        buf_free(delta);
        completed = stats.refused == 0;
    }
    EXPECT_TRUE(completed);
}

} // namespace
