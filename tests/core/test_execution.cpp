/* Tests of the Myers execution (core/execution.h): the equal-run scans, the
 * corner formula, operation reports in new-value order, the bounded search,
 * and the search against the direct model in execution_model.h on tables
 * and random pairs. */
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/buf.h"
#include "core/execution.h"
#include "core/owner.h"
#include "execution_model.h"
#include "search_support.h"

using namespace search_support;
using execution_model::Model;
using execution_model::Recorder;
using execution_model::Report;

namespace {

constexpr int32_t kSlots = 2147483647;
constexpr int32_t kCopy = EXECUTION_REPORT_COPY;
constexpr int32_t kInsert = EXECUTION_REPORT_INSERT;
constexpr int32_t kDelete = EXECUTION_REPORT_DELETE;

using ExecutionPtr = kv_owner<execution_s, execution_free>;

struct Call {
    int32_t operation = EXECUTION_OPERATION_DIFF;
    int32_t x0 = 0;
    int32_t n = -1; /* -1: the whole old value */
    int32_t y0 = 0;
    int32_t m = -1; /* -1: the whole new value */
    int32_t l = 0;
    int32_t np = 0;
    int32_t mp = 0;
};

struct Traced {
    bool ok;
    std::vector<Report> reports;
    bool out_of_bounds_read; /* model only */
};

Call resolved(Call c, const Bytes &o, const Bytes &n)
{
    if (c.n < 0) {
        c.n = static_cast<int32_t>(o.size()) - c.x0;
    }
    if (c.m < 0) {
        c.m = static_cast<int32_t>(n.size()) - c.y0;
    }
    return c;
}

Traced run_engine(const Bytes &o, const Bytes &n, int32_t slot_limit, int32_t step_limit, Call c,
                  long fail_at = -1)
{
    c = resolved(c, o, n);
    const buf_s ov = view(o);
    const buf_s nv = view(n);
    ExecutionPtr ex(execution_create(&ov, &nv, nullptr, slot_limit, step_limit));
    EXPECT_NE(ex, nullptr);
    Recorder rec;
    rec.fail_at = fail_at;
    const int32_t r = execution_trace(ex.get(), c.operation, c.x0, c.n, c.y0, c.m, c.l, c.np, c.mp,
                                      &Recorder::callback, &rec);
    return Traced{r == 1, rec.reports, false};
}

Traced run_model(const Bytes &o, const Bytes &n, int32_t slot_limit, int32_t step_limit, Call c,
                 long fail_at = -1)
{
    c = resolved(c, o, n);
    Recorder rec;
    rec.fail_at = fail_at;
    Model model(o, n, slot_limit, step_limit, &rec);
    bool ok = false;
    switch (c.operation) {
    case EXECUTION_OPERATION_DIFF:
        ok = model.diff(c.x0, c.n, c.y0, c.m);
        break;
    case EXECUTION_OPERATION_TRIM_PREFIX_AND_SUFFIX:
        ok = model.trim_prefix_and_suffix(c.x0, c.n, c.y0, c.m);
        break;
    case EXECUTION_OPERATION_MIDDLESNAKE:
        ok = model.middlesnake(c.x0, c.n, c.y0, c.m, c.l);
        break;
    case EXECUTION_OPERATION_BOUNDED_DIFF:
        ok = model.bounded_diff(c.x0, c.n, c.y0, c.m, c.np, c.mp, c.l);
        break;
    default:
        break;
    }
    return Traced{ok, rec.reports, model.out_of_bounds_read};
}

std::string show(const std::vector<Report> &reports)
{
    std::string s;
    for (const Report &r : reports) {
        if (r.kind == kDelete) {
            s += "delete ";
        } else {
            s += (r.kind == kCopy ? "copy(" : "insert(") + std::to_string(r.position) + "," +
                 std::to_string(r.length) + ") ";
        }
    }
    return s;
}

/* Applies a report sequence to the old value; the result must be the new
 * value for a completed run. */
Bytes replay(const Bytes &o, const Bytes &n, const std::vector<Report> &reports)
{
    Bytes out;
    for (const Report &r : reports) {
        if (r.kind == kCopy) {
            out.insert(out.end(), o.begin() + r.position, o.begin() + r.position + r.length);
        } else if (r.kind == kInsert) {
            out.insert(out.end(), n.begin() + r.position, n.begin() + r.position + r.length);
        }
    }
    return out;
}

/* The engine against the model for one call; true when they agree. */
::testing::AssertionResult agrees(const Bytes &o, const Bytes &n, int32_t slot_limit,
                                  int32_t step_limit, const Call &c, long fail_at = -1)
{
    const Traced engine = run_engine(o, n, slot_limit, step_limit, c, fail_at);
    const Traced model = run_model(o, n, slot_limit, step_limit, c, fail_at);
    if (model.out_of_bounds_read) {
        return ::testing::AssertionFailure() << "the model needed a byte outside the values\nold "
                                             << describe(o) << "\nnew " << describe(n);
    }
    if (engine.ok != model.ok || engine.reports != model.reports) {
        return ::testing::AssertionFailure()
               << "op " << c.operation << " slots " << slot_limit << " limit " << step_limit
               << " l " << c.l << "\nold " << describe(o) << "\nnew " << describe(n) << "\nengine "
               << engine.ok << ": " << show(engine.reports) << "\nmodel  " << model.ok << ": "
               << show(model.reports);
    }
    return ::testing::AssertionSuccess();
}

/* --------------------------------------------------------- run scans */

size_t byte_forward(const uint8_t *a, const uint8_t *b, size_t n)
{
    size_t t = 0;
    while (t < n && a[t] == b[t]) {
        ++t;
    }
    return t;
}

size_t byte_backward(const uint8_t *a_end, const uint8_t *b_end, size_t n)
{
    size_t t = 0;
    while (t < n && *(a_end - 1 - t) == *(b_end - 1 - t)) {
        ++t;
    }
    return t;
}

/* Every length and mismatch position up to past two vector strides, at every
 * relative alignment of the two sides. */
TEST(ExecutionMatch, WordScansEqualTheByteScanAtAllAlignments)
{
    Rng rng(31);
    const size_t span = 100;
    for (size_t align_a = 0; align_a < 16; ++align_a) {
        for (size_t align_b = 0; align_b < 16; ++align_b) {
            for (size_t mismatch = 0; mismatch <= span; ++mismatch) {
                Bytes a(span + 32);
                for (auto &c : a) {
                    c = static_cast<uint8_t>(rng.next());
                }
                Bytes b(span + 32);
                std::copy(a.begin() + static_cast<ptrdiff_t>(align_a),
                          a.begin() + static_cast<ptrdiff_t>(align_a + span),
                          b.begin() + static_cast<ptrdiff_t>(align_b));
                if (mismatch < span) {
                    b[align_b + mismatch] ^= static_cast<uint8_t>(1 + rng.below(255));
                }
                const size_t n = rng.below(span + 1);
                const uint8_t *pa = a.data() + align_a;
                const uint8_t *pb = b.data() + align_b;
                ASSERT_EQ(execution_match_forward(pa, pb, n), byte_forward(pa, pb, n));
                /* Backward over the same stretch, mismatch counted from the end. */
                ASSERT_EQ(execution_match_backward(pa + n, pb + n, n),
                          byte_backward(pa + n, pb + n, n));
            }
        }
    }
}

TEST(ExecutionMatch, RandomRunsOverSmallAlphabets)
{
    Rng rng(32);
    for (int i = 0; i < scaled(20000); ++i) {
        const size_t n = rng.below(300);
        const Bytes a = random_bytes(rng, n + 8, 1 + rng.below(3));
        const Bytes b = random_bytes(rng, n + 8, 1 + rng.below(3));
        const size_t oa = rng.below(8);
        const size_t ob = rng.below(8);
        ASSERT_EQ(execution_match_forward(a.data() + oa, b.data() + ob, n),
                  byte_forward(a.data() + oa, b.data() + ob, n));
        ASSERT_EQ(execution_match_backward(a.data() + oa + n, b.data() + ob + n, n),
                  byte_backward(a.data() + oa + n, b.data() + ob + n, n));
    }
}

TEST(ExecutionMatch, LongEqualRunsEndAtTheFirstDifference)
{
    Rng rng(33);
    const Bytes a = random_bytes(rng, 1 << 16, 256);
    for (size_t at : {size_t{0}, size_t{31}, size_t{32}, size_t{33}, size_t{4095}, size_t{65534},
                      size_t{65535}}) {
        Bytes b = a;
        b[at] ^= 0x80;
        EXPECT_EQ(execution_match_forward(a.data(), b.data(), a.size()), at);
        EXPECT_EQ(execution_match_backward(a.data() + a.size(), b.data() + b.size(), a.size()),
                  a.size() - 1 - at);
    }
    EXPECT_EQ(execution_match_forward(a.data(), a.data(), a.size()), a.size());
    EXPECT_EQ(execution_match_backward(a.data() + a.size(), a.data() + a.size(), a.size()),
              a.size());
    EXPECT_EQ(execution_match_forward(a.data(), a.data(), 0), 0u);
}

/* --------------------------------------------------------- small parts */

TEST(ExecutionCorner, Table)
{
    const struct {
        int32_t d, n, expected;
    } cases[] = {{0, 0, 0},
                 {1, 0, -1},
                 {1, 1, 1},
                 {3, 5, 3},
                 {5, 5, 5},
                 {6, 5, 4},
                 {10, 5, 0},
                 {11, 5, -1},
                 {INT32_MAX, INT32_MAX, INT32_MAX},
                 {INT32_MAX, 0, -INT32_MAX},
                 {INT32_MAX, 1073741824, 1}};
    for (const auto &c : cases) {
        EXPECT_EQ(myers_binary_diff_corner(c.d, c.n), c.expected) << c.d << ", " << c.n;
    }
}

TEST(ExecutionCreate, FieldsAndFree)
{
    const Bytes o = bytes_of("abc");
    const buf_s ov = view(o);
    coallescing_script_s record{};
    ExecutionPtr ex(execution_create(&ov, &ov, &record, 10, 77));
    ASSERT_NE(ex, nullptr);
    EXPECT_EQ(ex->old_value, &ov);
    EXPECT_EQ(ex->new_value, &ov);
    EXPECT_EQ(ex->coalescing, &record);
    EXPECT_EQ(ex->limit, 77);
    ASSERT_NE(ex->storage, nullptr);
    EXPECT_EQ(ex->storage->limit, 10);
    EXPECT_EQ(ex->storage->max_distance, 1);
    execution_free(nullptr);
}

TEST(ExecutionTrace, RefusesUnknownOperationsAndNullCallbacks)
{
    const Bytes o = bytes_of("abc");
    const buf_s ov = view(o);
    ExecutionPtr ex(execution_create(&ov, &ov, nullptr, kSlots, 10));
    Recorder rec;
    EXPECT_EQ(execution_trace(ex.get(), 99, 0, 3, 0, 3, 0, 0, 0, &Recorder::callback, &rec), 0);
    EXPECT_EQ(
        execution_trace(ex.get(), EXECUTION_OPERATION_DIFF, 0, 3, 0, 3, 0, 0, 0, nullptr, nullptr),
        0);
    EXPECT_TRUE(rec.reports.empty());
}

TEST(ExecutionBail, RefusesCornersBeyondThePreparedStep)
{
    const Bytes o(64, 1);
    const Bytes n(64, 2);
    const buf_s ov = view(o);
    const buf_s nv = view(n);
    ExecutionPtr ex(execution_create(&ov, &nv, nullptr, kSlots, 100));
    ASSERT_NE(ex, nullptr);
    /* The storage holds the step d with size 4d + 7; its diagonals reach d + 2. */
    const int32_t over = (ex->storage->size - 7) / 4 + 3;
    const int32_t corners[][2] = {
        {60, 60},   {over, 0},      {0, over},      {0, -over},
        {-over, 0}, {INT32_MAX, 0}, {0, INT32_MIN}, {INT32_MIN, INT32_MAX}};
    for (const auto &c : corners) {
        EXPECT_EQ(execution_bail(ex.get(), 0, 64, 0, 64, c[0], c[1], 10), 0)
            << c[0] << ", " << c[1];
    }
}

/* ------------------------------------------------------ exact reports */

struct ReportCase {
    const char *name;
    std::string old_value;
    std::string new_value;
    int32_t operation;
    int32_t limit;
    std::vector<Report> reports;
};

TEST(ExecutionReports, ExactSequences)
{
    const std::vector<ReportCase> cases = {
        {"equal", "abcdefgh", "abcdefgh", EXECUTION_OPERATION_DIFF, 10000, {{kCopy, 0, 8}}},
        {"substitution",
         "abcXdef",
         "abcYdef",
         EXECUTION_OPERATION_DIFF,
         10000,
         {{kCopy, 0, 3}, {kDelete, 0, 0}, {kInsert, 3, 1}, {kCopy, 4, 3}}},
        {"substitution, trim only",
         "abcXdef",
         "abcYdef",
         EXECUTION_OPERATION_TRIM_PREFIX_AND_SUFFIX,
         -1,
         {{kCopy, 0, 3}, {kInsert, 3, 1}, {kDelete, 0, 0}, {kCopy, 4, 3}}},
        {"old empty", "", "xyz", EXECUTION_OPERATION_DIFF, 10000, {{kInsert, 0, 3}}},
        {"new empty", "xyz", "", EXECUTION_OPERATION_DIFF, 10000, {{kDelete, 0, 0}}},
        {"both empty", "", "", EXECUTION_OPERATION_DIFF, 10000, {}},
        {"leading deletion",
         "Xabc",
         "abc",
         EXECUTION_OPERATION_DIFF,
         10000,
         {{kDelete, 0, 0}, {kCopy, 1, 3}}},
        {"trailing insert",
         "abc",
         "abcde",
         EXECUTION_OPERATION_DIFF,
         10000,
         {{kCopy, 0, 3}, {kInsert, 3, 2}}},
        {"insert only, trim",
         "abc",
         "abXc",
         EXECUTION_OPERATION_TRIM_PREFIX_AND_SUFFIX,
         -1,
         {{kCopy, 0, 2}, {kInsert, 2, 1}, {kCopy, 2, 1}}},
        {"delete only, trim",
         "abXc",
         "abc",
         EXECUTION_OPERATION_TRIM_PREFIX_AND_SUFFIX,
         -1,
         {{kCopy, 0, 2}, {kDelete, 0, 0}, {kCopy, 3, 1}}},
        {"overlapping suffix",
         "aaa",
         "aaaa",
         EXECUTION_OPERATION_DIFF,
         10000,
         {{kCopy, 0, 3}, {kInsert, 3, 1}}},
    };
    for (const auto &c : cases) {
        const Bytes o = bytes_of(c.old_value);
        const Bytes n = bytes_of(c.new_value);
        Call call;
        call.operation = c.operation;
        const Traced run = run_engine(o, n, kSlots, c.limit, call);
        EXPECT_TRUE(run.ok) << c.name;
        EXPECT_EQ(show(run.reports), show(c.reports)) << c.name;
        EXPECT_TRUE(agrees(o, n, kSlots, c.limit, call)) << c.name;
    }
}

TEST(ExecutionReports, NoCommonByteGivesOnlyInsertsAndDeletes)
{
    Rng rng(8);
    for (int32_t limit : {-1, 0, 1, 2, 10, 10000}) {
        for (int i = 0; i < 20; ++i) {
            const Bytes o = random_bytes(rng, 1 + rng.below(300), 2); /* a, b */
            Bytes n = random_bytes(rng, 1 + rng.below(300), 2);
            for (auto &c : n) {
                c = static_cast<uint8_t>(c + 2); /* c, d */
            }
            Call call;
            const Traced run = run_engine(o, n, kSlots, limit, call);
            ASSERT_TRUE(run.ok);
            for (const Report &r : run.reports) {
                EXPECT_NE(r.kind, kCopy) << show(run.reports);
            }
            EXPECT_EQ(replay(o, n, run.reports), n);
        }
    }
}

/* -------------------------------------------------- model equivalence */

/* Every pair of strings over two symbols up to 6 bytes each, at several
 * limits, small slot limits included. */
TEST(ExecutionModel, ExhaustiveSmallBinaryPairs)
{
    std::vector<Bytes> all;
    const size_t max_length = quick() ? 4 : 6;
    for (size_t len = 0; len <= max_length; ++len) {
        for (uint32_t bits = 0; bits < (1u << len); ++bits) {
            Bytes b;
            for (size_t i = 0; i < len; ++i) {
                b.push_back(static_cast<uint8_t>('a' + ((bits >> i) & 1)));
            }
            all.push_back(b);
        }
    }
    const struct {
        int32_t slots;
        int32_t limit;
    } settings[] = {{kSlots, 10000}, {kSlots, 1}, {kSlots, -1}, {kSlots, 0},
                    {10, 10000},     {2, 3},      {14, 2}};
    for (const Bytes &o : all) {
        for (const Bytes &n : all) {
            for (const auto &s : settings) {
                Call call;
                ASSERT_TRUE(agrees(o, n, s.slots, s.limit, call));
                const Traced run = run_engine(o, n, s.slots, s.limit, call);
                if (run.ok) {
                    ASSERT_EQ(replay(o, n, run.reports), n);
                }
            }
        }
    }
}

class ExecutionModelRandom : public ::testing::TestWithParam<int32_t> {};

TEST_P(ExecutionModelRandom, GeneratedPairsAtManyLimits)
{
    const int32_t limit = GetParam();
    const int32_t slot_limits[] = {kSlots, kSlots, 1, 2, 10, 100, 1000};
    Rng rng(1000 + static_cast<uint64_t>(limit + 100));
    for (int i = 0; i < scaled(400); ++i) {
        const auto kind = static_cast<PairKind>(i % static_cast<int>(PairKind::kCount));
        Bytes o;
        Bytes n;
        make_pair(rng, kind, i % 10 == 0 ? 3000 : 200, &o, &n);
        const int32_t slots = slot_limits[rng.below(7)];
        Call call;
        call.operation =
            i % 9 == 0 ? EXECUTION_OPERATION_TRIM_PREFIX_AND_SUFFIX : EXECUTION_OPERATION_DIFF;
        ASSERT_TRUE(agrees(o, n, slots, limit, call)) << "pair " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Limits, ExecutionModelRandom,
                         ::testing::Values(-1, 0, 1, 2, 3, 10, 63, 64, 100, 130, 10000));

/* The overlap test runs in the forward pass exactly when delta has the bits
 * 0xB1: pairs whose lengths differ by these amounts take both branches. */
TEST(ExecutionModel, OverlapTestFollowsTheBitsOfDelta)
{
    Rng rng(177);
    const int32_t deltas[] = {177, 1, 2, 0, -1, -2, -3, 176, 178, 0xB1 + 256, -79};
    for (int32_t delta : deltas) {
        for (int i = 0; i < scaled(60); ++i) {
            const size_t base = 300 + rng.below(200);
            const Bytes o = random_bytes(rng, base + static_cast<size_t>(delta > 0 ? delta : 0),
                                         2 + rng.below(2));
            Bytes n = random_bytes(rng, base + static_cast<size_t>(delta < 0 ? -delta : 0),
                                   2 + rng.below(2));
            if (i % 2 == 0) { /* related values: the delta still holds for the middle */
                n = point_edits(rng, o, 20, 3);
            }
            for (int32_t limit : {10000, 5, -1}) {
                Call call;
                ASSERT_TRUE(agrees(o, n, kSlots, limit, call)) << "delta " << delta;
            }
        }
    }
}

/* Long searches reach the progress check at step 64 and beyond. */
TEST(ExecutionModel, LongSearchesWithTheProgressCheck)
{
    Rng rng(64);
    for (int i = 0; i < scaled(30); ++i) {
        const Bytes o = random_bytes(rng, 2000 + rng.below(3000), 2 + rng.below(3));
        const Bytes n = i % 2 ? random_bytes(rng, 2000 + rng.below(3000), 2 + rng.below(3))
                              : point_edits(rng, o, 400 + rng.below(400), 4);
        for (int32_t limit : {63, 64, 65, 127, 200, 10000}) {
            Call call;
            ASSERT_TRUE(agrees(o, n, kSlots, limit, call)) << "pair " << i;
        }
    }
}

/* A failing report ends the operation at once, at the same point as the
 * model, whichever report fails. */
TEST(ExecutionModel, AFailedReportStopsEverything)
{
    Rng rng(404);
    for (int i = 0; i < scaled(60); ++i) {
        Bytes o;
        Bytes n;
        make_pair(rng, static_cast<PairKind>(i % static_cast<int>(PairKind::kCount)), 400, &o, &n);
        const int32_t limit = i % 3 == 0 ? 2 : 10000;
        Call call;
        const size_t total = run_engine(o, n, kSlots, limit, call).reports.size();
        for (size_t fail_at = 0; fail_at < total; ++fail_at) {
            const Traced run = run_engine(o, n, kSlots, limit, call, static_cast<long>(fail_at));
            ASSERT_FALSE(run.ok);
            ASSERT_EQ(run.reports.size(), fail_at);
            ASSERT_TRUE(agrees(o, n, kSlots, limit, call, static_cast<long>(fail_at)));
        }
    }
}

/* ---------------------------------------------------- bounded middles */

Call bounded_call(int32_t np, int32_t mp, int32_t l)
{
    Call c;
    c.operation = EXECUTION_OPERATION_BOUNDED_DIFF;
    c.np = np;
    c.mp = mp;
    c.l = l;
    return c;
}

Call middlesnake_call(int32_t l)
{
    Call c;
    c.operation = EXECUTION_OPERATION_MIDDLESNAKE;
    c.l = l;
    return c;
}

TEST(ExecutionBounded, SpentLimitComparesOnlyTheMiddleHalves)
{
    Rng rng(8192);
    const Bytes o = random_bytes(rng, 8192, 4);
    Bytes n8192 = o;
    for (int i = 0; i < 30; ++i) {
        n8192[rng.below(n8192.size())] = 'q';
    }
    const Call call = bounded_call(8192, 8192, 0);
    const Traced run = run_engine(o, n8192, kSlots, 10000, call);
    ASSERT_TRUE(run.ok);
    ASSERT_GE(run.reports.size(), 4u);
    EXPECT_EQ(run.reports[0], (Report{kInsert, 0, 2048}));
    EXPECT_EQ(run.reports[1], (Report{kDelete, 0, 0}));
    EXPECT_EQ(run.reports[run.reports.size() - 2], (Report{kInsert, 6144, 2048}));
    EXPECT_EQ(run.reports.back(), (Report{kDelete, 0, 0}));
    for (size_t i = 2; i + 2 < run.reports.size(); ++i) {
        const Report &r = run.reports[i];
        if (r.kind != kDelete) { /* copies in old, inserts in new: both halves' middles */
            EXPECT_GE(r.position, 2048);
            EXPECT_LE(r.position + r.length, 6144);
        }
    }
    EXPECT_TRUE(agrees(o, n8192, kSlots, 10000, call));
}

TEST(ExecutionBounded, PositiveLimitHalvesBothSides)
{
    Rng rng(4096);
    const Bytes o = random_bytes(rng, 8192, 4);
    Bytes n = o;
    for (size_t i = 0; i < n.size(); i += 97) {
        n[i] = 'z';
    }
    const Call call = bounded_call(8192, 8192, 10);
    const Traced run = run_engine(o, n, kSlots, 10000, call);
    ASSERT_TRUE(run.ok);
    EXPECT_EQ(replay(o, n, run.reports), n);
    /* The halves are solved in order: nothing reported for the first half
     * reaches past 4096 on either side. */
    bool second_half = false;
    for (const Report &r : run.reports) {
        if (r.kind == kDelete) {
            continue;
        }
        const bool beyond = r.position >= 4096;
        if (beyond) {
            second_half = true;
        } else {
            EXPECT_FALSE(second_half) << show(run.reports);
            EXPECT_LE(r.position + r.length, 4096);
        }
    }
    EXPECT_TRUE(agrees(o, n, kSlots, 10000, call));
}

TEST(ExecutionBounded, SmallMiddlesAreSearchedAgainWithAtLeastLimitEight)
{
    Rng rng(1000);
    const Bytes o = random_bytes(rng, 1000, 3);
    const Bytes n = point_edits(rng, o, 200, 3);
    const int32_t m = static_cast<int32_t>(n.size());
    for (int32_t l : {-5, 0, 3, 8}) {
        const Call bounded = bounded_call(1000, m, l);
        const Call snake = middlesnake_call(8);
        const Traced a = run_engine(o, n, kSlots, 10000, bounded);
        const Traced b = run_engine(o, n, kSlots, 10000, snake);
        EXPECT_EQ(a.reports, b.reports) << "l " << l;
        EXPECT_TRUE(agrees(o, n, kSlots, 10000, bounded));
    }
    const Call bounded = bounded_call(1000, m, 20);
    const Call snake = middlesnake_call(20);
    EXPECT_EQ(run_engine(o, n, kSlots, 10000, bounded).reports,
              run_engine(o, n, kSlots, 10000, snake).reports);
}

/* ------------------------------------------------- depth and large input */

/* The parts after snakes are solved in a loop: a long run of scattered
 * edits (thousands of snakes one after another) needs no deep nesting and
 * still agrees with the recursive model on its reports. */
TEST(ExecutionDepth, ManySnakesInARow)
{
    Rng rng(2024);
    const Bytes o = random_bytes(rng, quick() ? 20000 : 200000, 256);
    Bytes n = o;
    for (size_t i = 17; i < n.size(); i += 23) {
        n[i] ^= 0x5A;
    }
    Call call;
    const Traced run = run_engine(o, n, kSlots, 10000, call);
    ASSERT_TRUE(run.ok);
    EXPECT_GT(run.reports.size(), n.size() / 23);
    EXPECT_EQ(replay(o, n, run.reports), n);
}

} // namespace
