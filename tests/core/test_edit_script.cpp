/* Tests of the edit script and the coalescing record (core/edit_script.h):
 * byte tables of the heads written, the fold rules between copies and
 * literal bytes, the byte budget, and allocation failure. Every written
 * delta is also applied through the shared model of the reader. */
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/buf.h"
#include "core/cbor.h"
#include "core/edit_script.h"
#include "core/myers.h"
#include "core/owner.h"
#include "search_support.h"

using namespace search_support;

namespace {

using ScriptPtr = kv_owner<edit_script_s, edit_script_free>;

using GeneratorPtr = kv_owner<cbor_generator_s, cbor_generator_free>;

/* Keeps the values alive as long as the script that borrows them. */
struct Fixture {
    Bytes old_bytes;
    Bytes new_bytes;
    buf_s old_view;
    buf_s new_view;
    ScriptPtr script;

    Fixture(Bytes o, Bytes n) : old_bytes(std::move(o)), new_bytes(std::move(n))
    {
        old_view = view(old_bytes);
        new_view = view(new_bytes);
        script.reset(edit_script_create(&old_view, &new_view));
        EXPECT_NE(script, nullptr);
    }

    Bytes output() const
    {
        const buf_s *out = script->output;
        return out->length == 0 ? Bytes{} : Bytes(out->data, out->data + out->length);
    }
};

Bytes generator_bytes(const cbor_generator_s *g)
{
    return g->length == 0 ? Bytes{} : Bytes(g->data, g->data + g->length);
}

Bytes patterned(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    return b;
}

/* ------------------------------------------------------------ creation */

TEST(EditScriptCreate, StartsEmptyWithTheBudgetOfTheNewValue)
{
    Fixture f(bytes_of("old"), bytes_of("a new value"));
    const edit_script_s *s = f.script.get();
    EXPECT_EQ(s->insert_start, -1);
    EXPECT_EQ(s->insert_length, 0);
    EXPECT_EQ(s->match_start, -1);
    EXPECT_EQ(s->match_length, 0);
    EXPECT_EQ(s->old_value, &f.old_view);
    EXPECT_EQ(s->new_value, &f.new_view);
    EXPECT_EQ(s->budget, 11);
    ASSERT_NE(s->output, nullptr);
    EXPECT_EQ(s->output->length, 0u);
}

TEST(EditScriptCreate, FreeOfNullDoesNothing) { edit_script_free(nullptr); }

TEST(EditScriptClose, NothingPendingWritesNothing)
{
    Fixture f(bytes_of("abc"), bytes_of("abc"));
    EXPECT_EQ(edit_script_close(f.script.get()), 1);
    EXPECT_TRUE(f.output().empty());
    EXPECT_EQ(f.script->budget, 3);
}

/* --------------------------------------------------------------- heads */

/* The script writes heads itself; they must be the generator's bytes for
 * every head size. */
TEST(EditScriptHeads, InsertsMatchTheGeneratorForEveryHeadSize)
{
    const size_t lengths[] = {0, 1, 23, 24, 255, 256, 65535, 65536, 70000};
    const Bytes value = patterned(200000);
    for (size_t length : lengths) {
        Fixture f(Bytes{}, value);
        ASSERT_EQ(edit_script_insert(f.script.get(), 5, static_cast<int32_t>(length)), 1);
        ASSERT_EQ(edit_script_close(f.script.get()), 1);
        GeneratorPtr g(cbor_generator_create());
        ASSERT_EQ(cbor_write_byte_string(g.get(), value.data() + 5, length), 0);
        EXPECT_EQ(f.output(), generator_bytes(g.get())) << "length " << length;
        const int64_t head = length < 24 ? 1 : length < 256 ? 2 : length < 65536 ? 3 : 5;
        EXPECT_EQ(f.script->budget, 200000 - head - static_cast<int64_t>(length))
            << "length " << length;
        EXPECT_EQ(f.script->insert_start, -1);
    }
}

TEST(EditScriptHeads, CopiesMatchTheGeneratorForEveryHeadSize)
{
    const int32_t values[] = {0, 1, 23, 24, 255, 256, 65535, 65536, 16777216, INT32_MAX};
    for (int32_t start : values) {
        for (int32_t count : values) {
            Fixture f(Bytes{}, patterned(100));
            ASSERT_EQ(edit_script_match(f.script.get(), start, count), 1);
            ASSERT_EQ(edit_script_close(f.script.get()), 1);
            GeneratorPtr g(cbor_generator_create());
            ASSERT_EQ(cbor_write_uint(g.get(), static_cast<uint64_t>(start)), 0);
            ASSERT_EQ(cbor_write_uint(g.get(), static_cast<uint64_t>(count)), 0);
            const Bytes expected = generator_bytes(g.get());
            EXPECT_EQ(f.output(), expected) << start << ", " << count;
            EXPECT_EQ(f.script->budget, 100 - static_cast<int32_t>(expected.size()));
            EXPECT_EQ(f.script->match_start, -1);
        }
    }
}

/* -------------------------------------------------------------- folding */

struct CopyAfterInsertCase {
    int32_t insert_length;
    int32_t copy_start;
    int32_t copy_length;
    bool folded;
};

TEST(EditScriptMatch, ShortCopiesAfterAnInsertBecomeLiteralBytes)
{
    const CopyAfterInsertCase cases[] = {
        {10, 100, 3, true}, /* H(13) + 3 - H(10) = 3 <= H(100) + 1 = 3 */
        {10, 5, 3, false},  /* 3 > H(5) + 1 = 2 */
        {10, 5, 2, true},          {10, 24, 3, true},
        {23, 0, 1, true}, /* the string head grows: 2 + 1 - 1 = 2 <= 2 */
        {22, 0, 1, true},          {255, 24, 2, true},  /* 3 + 2 - 2 = 3 <= 3 */
        {255, 24, 3, false},       {5, 70000, 4, true}, /* 1 + 4 - 1 = 4 <= 6 */
        {5, 70000, 5, true},                            /* 1 + 5 - 1 = 5 <= 6 */
        {5, 70000, 6, true},                            /* H(11) + 6 - 1 = 6 <= 6 */
        {5, 70000, 7, false},      {1, 5, 24, false},   /* 24 bytes or more are never literal */
        {1, INT32_MAX, 24, false}, {100, INT32_MAX, 30, false},
    };
    for (const auto &c : cases) {
        Fixture f(Bytes{}, patterned(100000));
        ASSERT_EQ(edit_script_insert(f.script.get(), 0, c.insert_length), 1);
        ASSERT_EQ(edit_script_match(f.script.get(), c.copy_start, c.copy_length), 1);
        if (c.folded) {
            EXPECT_EQ(f.script->insert_length, c.insert_length + c.copy_length) << c.copy_start;
            EXPECT_EQ(f.script->match_start, -1) << c.copy_start;
        } else {
            EXPECT_EQ(f.script->insert_length, c.insert_length) << c.copy_start;
            EXPECT_EQ(f.script->match_start, c.copy_start);
            EXPECT_EQ(f.script->match_length, c.copy_length);
        }
        EXPECT_TRUE(f.output().empty()); /* nothing is flushed yet */
    }
}

TEST(EditScriptMatch, ACopyAfterACopyFlushesTheFirst)
{
    Fixture f(Bytes{}, patterned(100));
    ASSERT_EQ(edit_script_match(f.script.get(), 0, 30), 1);
    ASSERT_EQ(edit_script_match(f.script.get(), 40, 30), 1);
    EXPECT_EQ(f.output(), (Bytes{0x00, 0x18, 0x1E}));
    EXPECT_EQ(f.script->match_start, 40);
    EXPECT_EQ(f.script->match_length, 30);
}

TEST(EditScriptInsert, ShortPendingCopyJoinsTheInsert)
{
    Fixture f(Bytes{}, patterned(1000));
    ASSERT_EQ(edit_script_match(f.script.get(), 300, 1), 1);
    ASSERT_EQ(edit_script_insert(f.script.get(), 11, 5), 1);
    EXPECT_EQ(f.script->match_start, -1);
    EXPECT_EQ(f.script->insert_start, 10);
    EXPECT_EQ(f.script->insert_length, 6);
    ASSERT_EQ(edit_script_close(f.script.get()), 1);
    Bytes expected = {0x46};
    expected.insert(expected.end(), f.new_bytes.begin() + 10, f.new_bytes.begin() + 16);
    EXPECT_EQ(f.output(), expected);
}

TEST(EditScriptInsert, ALongerPendingCopyIsFlushedFirst)
{
    Fixture f(Bytes{}, patterned(1000));
    ASSERT_EQ(edit_script_insert(f.script.get(), 20, 4), 1);
    ASSERT_EQ(edit_script_match(f.script.get(), 0, 3), 1); /* 3 > H(0) + 1: stays a copy */
    ASSERT_EQ(f.script->match_start, 0);
    ASSERT_EQ(edit_script_insert(f.script.get(), 27, 2), 1); /* H(5) + 3 - H(2) = 3 > 2: flush */
    EXPECT_EQ(f.output(), (Bytes{0x44, f.new_bytes[20], f.new_bytes[21], f.new_bytes[22],
                                 f.new_bytes[23], 0x00, 0x03}));
    EXPECT_EQ(f.script->insert_start, 27);
    EXPECT_EQ(f.script->insert_length, 2);
    EXPECT_EQ(f.script->match_start, -1);
}

/* A copy that stays a copy after a long insert (the string head would
 * grow) can still join when a short insert follows. */
TEST(EditScriptInsert, ACopyBetweenTwoInsertsJoinsBoth)
{
    Fixture f(Bytes{}, patterned(1000));
    ASSERT_EQ(edit_script_insert(f.script.get(), 20, 20), 1);
    ASSERT_EQ(edit_script_match(f.script.get(), 300, 4),
              1); /* H(24) + 4 - H(20) = 5 > H(300) + 1 = 4 */
    ASSERT_EQ(f.script->match_start, 300);
    ASSERT_EQ(edit_script_insert(f.script.get(), 44, 1), 1); /* H(5) + 4 - H(1) = 4 <= 4 */
    EXPECT_EQ(f.script->match_start, -1);
    EXPECT_EQ(f.script->insert_start, 20);
    EXPECT_EQ(f.script->insert_length, 25);
    ASSERT_EQ(edit_script_close(f.script.get()), 1);
    Bytes expected = {0x58, 25};
    expected.insert(expected.end(), f.new_bytes.begin() + 20, f.new_bytes.begin() + 45);
    EXPECT_EQ(f.output(), expected);
}

TEST(EditScriptInsert, ContiguousInsertsMerge)
{
    Fixture f(Bytes{}, patterned(100));
    ASSERT_EQ(edit_script_insert(f.script.get(), 3, 2), 1);
    ASSERT_EQ(edit_script_insert(f.script.get(), 5, 4), 1);
    EXPECT_EQ(f.script->insert_start, 3);
    EXPECT_EQ(f.script->insert_length, 6);
}

/* -------------------------------------------------------------- budget */

TEST(EditScriptBudget, AnInsertThatWouldReachTheBudgetFails)
{
    Fixture f(Bytes{}, patterned(10));
    ASSERT_EQ(edit_script_insert(f.script.get(), 0, 9), 1);
    EXPECT_EQ(edit_script_close(f.script.get()), 0); /* 1 + 9 = 10 leaves 0 */
    EXPECT_EQ(f.script->insert_start, 0);            /* still pending */
    EXPECT_EQ(f.script->budget, 0);                  /* keeps the deduction */
    EXPECT_TRUE(f.output().empty());

    Fixture g(Bytes{}, patterned(10));
    ASSERT_EQ(edit_script_insert(g.script.get(), 0, 8), 1);
    EXPECT_EQ(edit_script_close(g.script.get()), 1);
    EXPECT_EQ(g.script->budget, 1);
    EXPECT_EQ(g.output().size(), 9u);
}

TEST(EditScriptBudget, ACopyThatWouldReachTheBudgetFails)
{
    Fixture f(Bytes{}, patterned(6));
    ASSERT_EQ(edit_script_match(f.script.get(), 300, 300), 1);
    EXPECT_EQ(edit_script_close(f.script.get()), 0); /* 3 + 3 = 6 */
    EXPECT_EQ(f.script->match_start, 300);
    EXPECT_EQ(f.script->budget, 0);

    Fixture g(Bytes{}, patterned(7));
    ASSERT_EQ(edit_script_match(g.script.get(), 300, 300), 1);
    EXPECT_EQ(edit_script_close(g.script.get()), 1);
    EXPECT_EQ(g.output(), (Bytes{0x19, 0x01, 0x2C, 0x19, 0x01, 0x2C}));
}

TEST(EditScriptBudget, AFailedInsertStopsBeforeTheCopy)
{
    Fixture f(Bytes{}, patterned(12));
    ASSERT_EQ(edit_script_insert(f.script.get(), 0, 11), 1);
    ASSERT_EQ(edit_script_match(f.script.get(), 100, 30), 1);
    EXPECT_EQ(edit_script_close(f.script.get()), 0);
    EXPECT_EQ(f.script->match_start, 100);
    EXPECT_TRUE(f.output().empty());
}

/* ------------------------------------------------------ failed appends */

/* A buffer that cannot take one more byte: buf_write_bytes leaves it
 * unchanged, which the script must notice. */
void make_output_full(edit_script_s *script) { script->output->length = UINT64_MAX - 1; }

TEST(EditScriptFailure, AFailedAppendFailsTheFlushAndDropsTheOutput)
{
    Fixture f(Bytes{}, patterned(100));
    ASSERT_EQ(edit_script_insert(f.script.get(), 0, 5), 1);
    make_output_full(f.script.get());
    EXPECT_EQ(edit_script_close(f.script.get()), 0);
    EXPECT_EQ(f.script->output, nullptr);
    EXPECT_EQ(edit_script_close(f.script.get()), 0); /* stays failed */
    EXPECT_EQ(edit_script_match(f.script.get(), 0, 30), 1);
    EXPECT_EQ(edit_script_match(f.script.get(), 50, 30), 0);

    Fixture g(Bytes{}, patterned(100));
    ASSERT_EQ(edit_script_match(g.script.get(), 3, 40), 1);
    make_output_full(g.script.get());
    EXPECT_EQ(edit_script_close(g.script.get()), 0);
    EXPECT_EQ(g.script->output, nullptr);
}

TEST(EditScriptFailure, FlushTellsASpentBudgetFromAFailedAppend)
{
    Fixture ok(Bytes{}, patterned(100));
    ASSERT_EQ(edit_script_insert(ok.script.get(), 0, 5), 1);
    EXPECT_EQ(edit_script_flush(ok.script.get()), KV_OK);
    EXPECT_EQ(ok.script->output->length, 6u);

    Fixture spent(Bytes{}, patterned(10));
    ASSERT_EQ(edit_script_insert(spent.script.get(), 0, 10), 1); /* 11 bytes against 10 */
    EXPECT_EQ(edit_script_flush(spent.script.get()), KV_LIMIT_REACHED);
    EXPECT_NE(spent.script->output, nullptr);

    Fixture full(Bytes{}, patterned(100));
    ASSERT_EQ(edit_script_match(full.script.get(), 3, 40), 1);
    make_output_full(full.script.get());
    EXPECT_EQ(edit_script_flush(full.script.get()), KV_OUT_OF_MEMORY);
    EXPECT_EQ(full.script->output, nullptr);
    EXPECT_EQ(edit_script_flush(full.script.get()), KV_OUT_OF_MEMORY); /* stays failed */
}

TEST(EditScriptFailure, TheDriverReportsAFailedAppend)
{
    Fixture f(bytes_of("the quick brown fox jumps over the lazy dog"),
              bytes_of("the quick brown cat jumps over the lazy dog"));
    make_output_full(f.script.get());
    const int32_t r = myers_binary_diff(&f.old_view, 0, static_cast<int32_t>(f.old_bytes.size()),
                                        &f.new_view, 0, static_cast<int32_t>(f.new_bytes.size()),
                                        f.script.get(), 2147483647, 10000, 0);
    EXPECT_EQ(r, MYERS_ALLOCATION_FAILED);
    EXPECT_EQ(f.script->output, nullptr);
}

/* Literal bytes are checked against the new value when written: a range
 * outside it fails the flush and nothing outside it is read. */
TEST(EditScriptFailure, InsertsOutsideTheNewValueFailTheirFlush)
{
    const struct {
        int32_t start, length;
    } past_the_end[] = {{1000, 10}, {95, 10}, {100, 1}, {INT32_MAX, INT32_MAX}, {0, INT32_MAX}};
    for (const auto &c : past_the_end) {
        Fixture f(patterned(100), patterned(100));
        ASSERT_EQ(edit_script_insert(f.script.get(), c.start, c.length), 1);
        EXPECT_EQ(edit_script_flush(f.script.get()), KV_OUT_OF_RANGE)
            << c.start << ", " << c.length;
    }
    Fixture negative(patterned(100), patterned(100));
    EXPECT_EQ(edit_script_insert(negative.script.get(), -1, 5), 0);
    EXPECT_EQ(edit_script_insert(negative.script.get(), INT32_MIN, 4), 0);
    EXPECT_EQ(edit_script_insert(negative.script.get(), 0, -1), 0);
    EXPECT_EQ(edit_script_close(negative.script.get()), 1);
    EXPECT_EQ(negative.output(), Bytes{});

    /* A copy that cannot come right before the insert in the new value is
     * not folded into it: it is written as the copy it is. */
    Fixture early(patterned(100), patterned(100));
    ASSERT_EQ(edit_script_match(early.script.get(), 40, 1), 1);
    ASSERT_EQ(edit_script_insert(early.script.get(), 0, 3), 1);
    ASSERT_EQ(edit_script_close(early.script.get()), 1);
    EXPECT_EQ(early.output(), (Bytes{0x18, 40, 0x01, 0x43, 3, 10, 17}));

    Fixture edge(Bytes{}, patterned(100)); /* the last bytes are fine */
    ASSERT_EQ(edit_script_insert(edge.script.get(), 90, 10), 1);
    EXPECT_EQ(edit_script_close(edge.script.get()), 1);
}

TEST(EditScriptFailure, TheDriverFailsOnValuesLongerThanTheScripts)
{
    /* The script was made for a 30-byte new value; the bytes past it that
     * differ must not be read from the script's value. */
    const Bytes small_new(30, 'x');
    Bytes longer_new(64, 'x');
    for (size_t i = 40; i < 60; ++i) longer_new[i] = 'y';
    Fixture f(Bytes(64, 'x'), small_new);
    const buf_s longer_view = view(longer_new);
    const int32_t r = myers_binary_diff(&f.old_view, 0, 64, &longer_view, 0, 64, f.script.get(),
                                        2147483647, 10000, 0);
    EXPECT_NE(r, MYERS_EDIT_DELTA);
}

/* ----------------------------------------------------------- coalescing */

enum class Op { kMatch, kInsert, kDelete };

struct Step {
    Op op;
    int32_t position;
    int32_t length;
};

struct CoalescingCase {
    const char *name;
    std::string old_value;
    std::string new_value;
    std::vector<Step> steps;
    int32_t result;
    Bytes delta; /* compared when result is 0 */
};

int32_t apply_step(coallescing_script_s *record, const Step &s)
{
    switch (s.op) {
    case Op::kMatch:
        return coallescing_script_match(record, s.position, s.length);
    case Op::kInsert:
        return coallescing_script_insert(record, s.position, s.length);
    case Op::kDelete:
        return coallescing_script_delete(record);
    }
    return 0;
}

Bytes with_text(Bytes head, const std::string &text, Bytes tail = {})
{
    head.insert(head.end(), text.begin(), text.end());
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

TEST(CoalescingScript, ReportSequencesGiveExactDeltas)
{
    const std::string alphabet = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    const std::vector<CoalescingCase> cases = {
        {"equal values", "abcdefgh", "abcdefgh", {{Op::kMatch, 0, 8}}, 2, {}},
        {"both empty", "", "", {}, 2, {}},
        {"only an insert", "", "xyz", {{Op::kInsert, 0, 3}}, 1, {}},
        {"leading deletion",
         "Xabc",
         "abc",
         {{Op::kDelete, 0, 0}, {Op::kMatch, 1, 3}},
         0,
         {0x01, 0x03}},
        {"over budget", "z", "abcdefghiz", {{Op::kInsert, 0, 9}, {Op::kMatch, 0, 1}}, 1, {}},
        {"substitution",
         "abcXdef",
         "abcYdef",
         {{Op::kMatch, 0, 3}, {Op::kDelete, 0, 0}, {Op::kInsert, 3, 1}, {Op::kMatch, 4, 3}},
         0,
         {0x00, 0x03, 0x41, 'Y', 0x04, 0x03}},
        {"deletion between inserts",
         alphabet,
         "PQRS" + alphabet.substr(10, 30),
         {{Op::kInsert, 0, 2}, {Op::kDelete, 0, 0}, {Op::kInsert, 2, 2}, {Op::kMatch, 10, 30}},
         0,
         with_text({0x44}, "PQRS", {0x0A, 0x18, 0x1E})},
        {"deletion between copies",
         alphabet,
         alphabet.substr(0, 30) + alphabet.substr(32, 30),
         {{Op::kMatch, 0, 30}, {Op::kDelete, 0, 0}, {Op::kMatch, 32, 30}},
         0,
         {0x00, 0x18, 0x1E, 0x18, 0x20, 0x18, 0x1E}},
        {"adjacent copies merge",
         alphabet + alphabet,
         alphabet.substr(0, 60),
         {{Op::kMatch, 0, 30}, {Op::kMatch, 30, 30}},
         0,
         {0x00, 0x18, 0x3C}},
        {"adjacent inserts merge",
         "0123456789",
         "abcdefghij0123456789xy",
         {{Op::kInsert, 0, 4}, {Op::kInsert, 4, 6}, {Op::kMatch, 0, 10}, {Op::kInsert, 20, 2}},
         0,
         with_text({0x4A}, "abcdefghij", with_text({0x00, 0x0A, 0x42}, "xy"))},
        {"empty runs are ignored",
         "abcdefgh",
         "abcdefgh",
         {{Op::kInsert, 0, 0}, {Op::kMatch, 0, 8}, {Op::kMatch, 3, 0}, {Op::kInsert, 8, -2}},
         2,
         {}},
        {"deletions only", "abc", "", {{Op::kDelete, 0, 0}}, 0, {}},
        {"deletion keeps single_operation",
         "abcdef",
         "abcdef",
         {{Op::kDelete, 0, 0}, {Op::kMatch, 0, 6}},
         2,
         {}},
        {"copy of a part only",
         "abcdefgh",
         "abcdef",
         {{Op::kMatch, 0, 6}, {Op::kDelete, 0, 0}},
         0,
         {0x00, 0x06}},
        {"insert then delete",
         "XYZ",
         "abcdefgh",
         {{Op::kInsert, 0, 8}, {Op::kDelete, 0, 0}},
         1,
         {}},
    };
    for (const auto &c : cases) {
        Fixture f(bytes_of(c.old_value), bytes_of(c.new_value));
        coallescing_script_s record;
        coallescing_script_init(&record, f.script.get(), 0, 0);
        for (const Step &s : c.steps) {
            ASSERT_EQ(apply_step(&record, s), 1) << c.name;
        }
        const int32_t r =
            coallescing_script_close(&record, static_cast<int32_t>(c.old_value.size()),
                                     static_cast<int32_t>(c.new_value.size()));
        EXPECT_EQ(r, c.result) << c.name;
        if (c.result == 0) {
            EXPECT_EQ(f.output(), c.delta) << c.name;
            Bytes rebuilt;
            ASSERT_TRUE(
                apply_edit_delta(f.old_bytes, f.output().data(), f.output().size(), &rebuilt))
                << c.name;
            EXPECT_EQ(rebuilt, f.new_bytes) << c.name;
        }
    }
}

TEST(CoalescingScript, InitialState)
{
    Fixture f(bytes_of("a"), bytes_of("b"));
    coallescing_script_s record;
    coallescing_script_init(&record, f.script.get(), 7, 9);
    EXPECT_EQ(record.script, f.script.get());
    EXPECT_EQ(record.old_base, 7);
    EXPECT_EQ(record.new_base, 9);
    EXPECT_EQ(record.pending, COALESCING_PENDING_NONE);
    EXPECT_EQ(record.start, 0);
    EXPECT_EQ(record.length, 0);
    EXPECT_EQ(record.single_operation, 1);
}

TEST(CoalescingScript, SingleOperationTracksKindChanges)
{
    Fixture f(bytes_of("abcdefghijklmnopqrstuvwxyz"), bytes_of("abcdefghijklmnopqrstuvwxyz"));
    coallescing_script_s record;
    coallescing_script_init(&record, f.script.get(), 0, 0);
    ASSERT_EQ(coallescing_script_delete(&record), 1);
    EXPECT_EQ(record.single_operation, 1); /* nothing was pending */
    ASSERT_EQ(coallescing_script_match(&record, 2, 3), 1);
    EXPECT_EQ(record.single_operation, 1); /* from none to copy */
    EXPECT_EQ(record.pending, COALESCING_PENDING_COPY);
    EXPECT_EQ(record.start, 2);
    ASSERT_EQ(coallescing_script_match(&record, 5, 4), 1);
    EXPECT_EQ(record.length, 7);
    ASSERT_EQ(coallescing_script_insert(&record, 7, 2), 1);
    EXPECT_EQ(record.single_operation, 0);
    EXPECT_EQ(record.pending, COALESCING_PENDING_INSERT);
    EXPECT_EQ(record.start, 7);
}

/* Positions are kept relative to the bases; the script still takes the
 * inserted bytes from the right place in the new value. */
TEST(CoalescingScript, BasesMakeCopiesRelativeAndInsertsExact)
{
    Fixture f(bytes_of("0123456789abcdefghijklmnopqrstuvwxyz"),
              bytes_of("----PQRSTUV0123456789abcdefghijklmnopqrs"));
    coallescing_script_s record;
    coallescing_script_init(&record, f.script.get(), 10, 4);
    ASSERT_EQ(coallescing_script_insert(&record, 4, 7), 1);
    EXPECT_EQ(record.start, 0);
    ASSERT_EQ(coallescing_script_match(&record, 10, 26), 1);
    EXPECT_EQ(record.start, 0);
    EXPECT_EQ(coallescing_script_close(&record, 26, 33), 0);
    EXPECT_EQ(f.output(), with_text({0x47}, "PQRSTUV", {0x00, 0x18, 0x1A}));
}

TEST(CoalescingScript, AFailedPassOnKeepsThePendingRun)
{
    /* Budget 3: flushing a 30-byte copy at 0 costs 1 + 2 = 3. */
    Fixture f(Bytes(100, 'a'), bytes_of("abc"));
    coallescing_script_s record;
    coallescing_script_init(&record, f.script.get(), 0, 0);
    ASSERT_EQ(coallescing_script_match(&record, 0, 30), 1);
    ASSERT_EQ(coallescing_script_delete(&record), 1); /* the script now holds copy (0, 30) */
    ASSERT_EQ(coallescing_script_match(&record, 40, 30), 1);
    EXPECT_EQ(coallescing_script_insert(&record, 0, 1), 0);
    EXPECT_EQ(record.pending, COALESCING_PENDING_COPY);
    EXPECT_EQ(record.start, 40);
}

TEST(CoalescingScript, AFailedDeleteStillEndsTheRun)
{
    Fixture f(Bytes(100, 'a'), bytes_of("abc"));
    coallescing_script_s record;
    coallescing_script_init(&record, f.script.get(), 0, 0);
    ASSERT_EQ(coallescing_script_match(&record, 0, 30), 1);
    ASSERT_EQ(coallescing_script_delete(&record), 1);
    ASSERT_EQ(coallescing_script_match(&record, 40, 30), 1);
    EXPECT_EQ(coallescing_script_delete(&record), 0);
    EXPECT_EQ(record.pending, COALESCING_PENDING_NONE);
}

TEST(CoalescingScript, AFoldedCopyThatOverrunsTheBudgetAsksForTheReplacement)
{
    /* Budget 10: the 9 literal bytes, the one byte of the copy folded in,
     * and the head cost 11. */
    Fixture f(bytes_of("z"), bytes_of("abcdefghiz"));
    coallescing_script_s record;
    coallescing_script_init(&record, f.script.get(), 0, 0);
    ASSERT_EQ(coallescing_script_insert(&record, 0, 9), 1);
    ASSERT_EQ(coallescing_script_match(&record, 0, 1), 1);
    EXPECT_EQ(coallescing_script_close(&record, 1, 10), 1);
    EXPECT_EQ(f.script->budget, -1);
}

} // namespace
