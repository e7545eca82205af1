// Tests of the linked list: shapes after each operation walked in both
// directions, the callbacks' calls, the list writer, and what an operation
// leaves behind when an allocation fails.
#include "core/list.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/owner.h"

#include "alloc_hook.h"

namespace {

using Elements = std::vector<void *>;

void free_list(list_s *list) { list_free(list, nullptr); }
using ListPtr = kv_owner<list_s, free_list>;

using BufPtr = kv_owner<buf_s, buf_free>;

// Distinct element pointers for the shape tests.
int g_slots[8];
void *el(int i) { return &g_slots[i]; }

ListPtr make_list(const Elements &elements)
{
    ListPtr list(list_create());
    for (void *e : elements) {
        list_append_last(list.get(), e);
    }
    return list;
}

// Checks every structural invariant and the element order, walking forwards
// from head and backwards from tail.
testing::AssertionResult has_shape(const list_s *list, const Elements &expected)
{
    if ((list->head == nullptr) != (list->tail == nullptr)) {
        return testing::AssertionFailure() << "head and tail disagree on emptiness";
    }
    if (list->head != nullptr && (list->head->prev != nullptr || list->tail->next != nullptr)) {
        return testing::AssertionFailure() << "head has a prev or tail has a next";
    }
    Elements forward;
    const list_node_s *last = nullptr;
    for (const list_node_s *n = list->head; n != nullptr; n = n->next) {
        if (n->prev != last) {
            return testing::AssertionFailure() << "prev link broken at position " << forward.size();
        }
        forward.push_back(n->data);
        last = n;
        if (forward.size() > expected.size() + 1) {
            return testing::AssertionFailure() << "list longer than expected (or cyclic)";
        }
    }
    if (last != list->tail) {
        return testing::AssertionFailure() << "walking next from head does not end at tail";
    }
    Elements backward;
    for (const list_node_s *n = list->tail; n != nullptr && backward.size() <= expected.size();
         n = n->prev) {
        backward.insert(backward.begin(), n->data);
    }
    if (forward != expected || backward != expected) {
        return testing::AssertionFailure()
               << "elements differ: got " << forward.size() << " forwards, " << backward.size()
               << " backwards, expected " << expected.size();
    }
    if (list_get_size(list) != static_cast<int32_t>(expected.size())) {
        return testing::AssertionFailure() << "size " << list_get_size(list);
    }
    return testing::AssertionSuccess();
}

// An element that counts what callbacks did to it.
struct Tracked {
    int freed = 0;
    int value = 0;
    int copied = 0;
};

void count_free(void *e) { ++static_cast<Tracked *>(e)->freed; }

// Callbacks are plain function pointers without context, so the one test that
// needs to see null elements passed along points this at its own vector.
thread_local std::vector<void *> *t_received = nullptr;
void record_element(void *e) { t_received->push_back(e); }

std::string captured_debug(const list_s *list)
{
    testing::internal::CaptureStdout();
    list_debug(list);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// ---------------------------------------------------------------------------
// Queries

TEST(ListQuery, SizesAndEnds)
{
    EXPECT_EQ(list_get_size(nullptr), -1);
    ListPtr empty = make_list({});
    EXPECT_TRUE(has_shape(empty.get(), {}));
    EXPECT_EQ(list_get_data_first(empty.get()), nullptr);
    EXPECT_EQ(list_get_data_last(empty.get()), nullptr);
    EXPECT_EQ(list_get_data_first(nullptr), nullptr);
    EXPECT_EQ(list_get_data_last(nullptr), nullptr);

    ListPtr three = make_list({el(0), el(1), el(2)});
    EXPECT_EQ(list_get_data_first(three.get()), el(0));
    EXPECT_EQ(list_get_data_last(three.get()), el(2));
}

TEST(ListQuery, IndexedTable)
{
    ListPtr three = make_list({el(0), el(1), el(2)});
    const struct {
        int32_t index;
        void *expected;
    } cases[] = {{INT32_MIN, el(0)}, {-3, el(0)},  {0, el(0)},          {1, el(1)},
                 {2, el(2)},         {3, nullptr}, {INT32_MAX, nullptr}};
    for (const auto &c : cases) {
        EXPECT_EQ(list_get_data_indexed(three.get(), c.index), c.expected) << c.index;
    }
    EXPECT_EQ(list_get_data_indexed(nullptr, 0), nullptr);
    ListPtr empty = make_list({});
    EXPECT_EQ(list_get_data_indexed(empty.get(), -1), nullptr);
}

// ---------------------------------------------------------------------------
// Placement and removal

TEST(ListPlace, EndsAndReferenceNodes)
{
    ListPtr list = make_list({});
    list_insert_first(list.get(), el(1));
    EXPECT_TRUE(has_shape(list.get(), {el(1)}));
    list_append_last(list.get(), el(3));
    EXPECT_TRUE(has_shape(list.get(), {el(1), el(3)}));
    list_insert_first(list.get(), el(0));
    EXPECT_TRUE(has_shape(list.get(), {el(0), el(1), el(3)}));

    list_node_s *three = list->tail;
    list_node_s *two = list_insert(list.get(), three, el(2));
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(two->data, el(2));
    EXPECT_TRUE(has_shape(list.get(), {el(0), el(1), el(2), el(3)}));

    list_node_s *four = list_append(list.get(), three, el(4));
    EXPECT_EQ(list->tail, four);
    list_node_s *head = list_insert(list.get(), list->head, el(5));
    EXPECT_EQ(list->head, head);
    list_append(list.get(), two, el(6));
    EXPECT_TRUE(has_shape(list.get(), {el(5), el(0), el(1), el(2), el(6), el(3), el(4)}));

    list_insert_first(nullptr, el(0));
    list_append_last(nullptr, el(0));
    EXPECT_EQ(list_insert(nullptr, nullptr, el(0)), nullptr);
    EXPECT_EQ(list_append(nullptr, nullptr, el(0)), nullptr);
}

// Without a reference node nothing may be cut off: insert goes to the head,
// append to the tail, and an empty list takes the node as head and tail.
TEST(ListPlace, NullReferenceNode)
{
    ListPtr list = make_list({});
    list_node_s *only = list_insert(list.get(), nullptr, el(1));
    EXPECT_EQ(list->head, only);
    EXPECT_EQ(list->tail, only);
    EXPECT_TRUE(has_shape(list.get(), {el(1)}));
    list_insert(list.get(), nullptr, el(0));
    EXPECT_TRUE(has_shape(list.get(), {el(0), el(1)}));
    list_append(list.get(), nullptr, el(2));
    EXPECT_TRUE(has_shape(list.get(), {el(0), el(1), el(2)}));

    ListPtr other = make_list({});
    list_append(other.get(), nullptr, el(4));
    EXPECT_TRUE(has_shape(other.get(), {el(4)}));
}

struct RemoveCase {
    const char *name;
    int count;
    int32_t index;
    Elements after;
};

class ListRemove : public testing::TestWithParam<RemoveCase> {};

TEST_P(ListRemove, Shape)
{
    const RemoveCase &c = GetParam();
    Elements start;
    for (int i = 0; i < c.count; ++i) {
        start.push_back(el(i));
    }
    ListPtr list = make_list(start);
    list_remove_data_indexed(list.get(), c.index, nullptr);
    EXPECT_TRUE(has_shape(list.get(), c.after));
}

INSTANTIATE_TEST_SUITE_P(List, ListRemove,
                         testing::Values(RemoveCase{"only", 1, 0, {}},
                                         RemoveCase{"head", 3, 0, {el(1), el(2)}},
                                         RemoveCase{"middle", 3, 1, {el(0), el(2)}},
                                         RemoveCase{"tail", 3, 2, {el(0), el(1)}},
                                         RemoveCase{"past_end", 3, 3, {el(0), el(1), el(2)}},
                                         RemoveCase{"negative", 3, -1, {el(0), el(1), el(2)}},
                                         RemoveCase{"empty", 0, 0, {}}),
                         [](const testing::TestParamInfo<RemoveCase> &info) {
                             return std::string(info.param.name);
                         });

TEST(ListRemoveCallback, OnlyNonNullElements)
{
    Tracked a;
    ListPtr list = make_list({&a, nullptr});
    list_remove_data_indexed(list.get(), 1, count_free); // null element: no call
    list_remove_data_indexed(list.get(), 0, count_free);
    EXPECT_EQ(a.freed, 1);
    EXPECT_TRUE(has_shape(list.get(), {}));
    list_remove_data_indexed(nullptr, 0, count_free);
}

TEST(ListSet, ReplacesAndReleasesTheOldElement)
{
    Tracked a, b, c;
    ListPtr list = make_list({&a, &b, nullptr});
    list_set_data_indexed(list.get(), 3, &c, count_free);
    list_set_data_indexed(list.get(), -1, &c, count_free);
    EXPECT_TRUE(has_shape(list.get(), {&a, &b, nullptr}));
    EXPECT_EQ(a.freed + b.freed + c.freed, 0);

    list_set_data_indexed(list.get(), 1, &c, count_free);
    EXPECT_EQ(b.freed, 1);
    list_set_data_indexed(list.get(), 2, &b, count_free); // old element null: no call
    list_set_data_indexed(list.get(), 0, &b, nullptr);
    EXPECT_TRUE(has_shape(list.get(), {&b, &c, &b}));
    EXPECT_EQ(a.freed + b.freed + c.freed, 1);
    list_set_data_indexed(nullptr, 0, &a, count_free);
}

// Random sequences of every placing and removing operation against a vector
// model, checking the whole shape after each step.
TEST(ListPlace, RandomOperationsMatchModel)
{
    std::mt19937 rng(99);
    for (int round = 0; round < 50; ++round) {
        ListPtr list = make_list({});
        Elements model;
        for (int step = 0; step < 60; ++step) {
            void *e = el(static_cast<int>(rng() % 8));
            const size_t size = model.size();
            const size_t at = size == 0 ? 0 : rng() % size;
            list_node_s *ref = nullptr;
            if (size > 0) {
                ref = list->head;
                for (size_t i = 0; i < at; ++i) {
                    ref = ref->next;
                }
            }
            switch (rng() % 7) {
            case 0:
                list_insert_first(list.get(), e);
                model.insert(model.begin(), e);
                break;
            case 1:
                list_append_last(list.get(), e);
                model.push_back(e);
                break;
            case 2:
                list_insert(list.get(), ref, e);
                model.insert(model.begin() + static_cast<long>(at), e);
                break;
            case 3:
                list_append(list.get(), ref, e);
                model.insert(model.begin() + static_cast<long>(size == 0 ? 0 : at + 1), e);
                break;
            case 4:
            case 5:
                list_remove_data_indexed(list.get(), static_cast<int32_t>(at), nullptr);
                if (size > 0) {
                    model.erase(model.begin() + static_cast<long>(at));
                }
                break;
            default:
                list_set_data_indexed(list.get(), static_cast<int32_t>(at), e, nullptr);
                if (size > 0) {
                    model[at] = e;
                }
                break;
            }
            ASSERT_TRUE(has_shape(list.get(), model)) << "round " << round << " step " << step;
        }
    }
}

// ---------------------------------------------------------------------------
// Whole-list operations

struct AppendListCase {
    const char *name;
    Elements dst;
    Elements src;
};

class ListAppendList : public testing::TestWithParam<AppendListCase> {};

TEST_P(ListAppendList, SharesTheSourcesElements)
{
    const AppendListCase &c = GetParam();
    ListPtr dst = make_list(c.dst);
    ListPtr src = make_list(c.src);
    list_append_list(dst.get(), src.get());
    Elements expected = c.dst;
    expected.insert(expected.end(), c.src.begin(), c.src.end());
    EXPECT_TRUE(has_shape(dst.get(), expected));
    EXPECT_TRUE(has_shape(src.get(), c.src));
}

INSTANTIATE_TEST_SUITE_P(
    List, ListAppendList,
    testing::Values(AppendListCase{"empty_onto_full", {el(0), el(1)}, {}},
                    AppendListCase{"one_onto_empty", {}, {el(0)}},
                    AppendListCase{"both_empty", {}, {}},
                    AppendListCase{"full_onto_full", {el(0)}, {el(1), el(2), el(3)}}),
    [](const testing::TestParamInfo<AppendListCase> &info) {
        return std::string(info.param.name);
    });

TEST(ListAppendListEdge, OntoItselfAndNulls)
{
    ListPtr list = make_list({el(0), el(1)});
    list_append_list(list.get(), list.get());
    EXPECT_TRUE(has_shape(list.get(), {el(0), el(1), el(0), el(1)}));
    list_append_list(list.get(), nullptr);
    list_append_list(nullptr, list.get());
    EXPECT_TRUE(has_shape(list.get(), {el(0), el(1), el(0), el(1)}));

    ListPtr one = make_list({});
    ListPtr src = make_list({el(5)});
    list_append_list(one.get(), src.get());
    EXPECT_EQ(one->head, one->tail);
    EXPECT_EQ(one->head->prev, nullptr);
    EXPECT_EQ(one->head->next, nullptr);
    EXPECT_NE(one->head, src->head);
}

void *copy_tracked(void *e)
{
    Tracked *copy = new Tracked(*static_cast<Tracked *>(e));
    copy->value += 100;
    return copy;
}

void delete_tracked(void *e) { delete static_cast<Tracked *>(e); }

// A copy callback that allocates nothing (safe while allocations are refused)
// and records that it ran.
void *mark_copied(void *e)
{
    ++static_cast<Tracked *>(e)->copied;
    return e;
}

TEST(ListDup, WithAndWithoutCopyCallback)
{
    Tracked a{0, 1, 0}, b{0, 2, 0};
    ListPtr src = make_list({&a, &b});

    ListPtr shared(list_dup(src.get(), nullptr));
    ASSERT_NE(shared, nullptr);
    EXPECT_TRUE(has_shape(shared.get(), {&a, &b}));
    EXPECT_NE(shared->head, src->head);

    list_s *copied = list_dup(src.get(), copy_tracked);
    ASSERT_NE(copied, nullptr);
    ASSERT_EQ(list_get_size(copied), 2);
    EXPECT_EQ(static_cast<Tracked *>(list_get_data_first(copied))->value, 101);
    EXPECT_EQ(static_cast<Tracked *>(list_get_data_last(copied))->value, 102);
    EXPECT_TRUE(has_shape(copied, {copied->head->data, copied->tail->data}));
    list_free(copied, delete_tracked);

    EXPECT_EQ(list_dup(nullptr, nullptr), nullptr);
    ListPtr empty = make_list({});
    ListPtr empty_copy(list_dup(empty.get(), copy_tracked));
    ASSERT_NE(empty_copy, nullptr);
    EXPECT_TRUE(has_shape(empty_copy.get(), {}));
}

int same_value(void *a, void *b)
{
    return static_cast<Tracked *>(a)->value == static_cast<Tracked *>(b)->value;
}

struct CmpCase {
    const char *name;
    int a; // element count, or -1 for a null list
    int b;
    bool callback;
    int change_at; // index of b whose value differs, or -1
    int expected;
};

class ListCmp : public testing::TestWithParam<CmpCase> {};

TEST_P(ListCmp, Table)
{
    const CmpCase &c = GetParam();
    std::vector<Tracked> xs(8), ys(8);
    for (int i = 0; i < 8; ++i) {
        xs[i].value = ys[i].value = i;
    }
    if (c.change_at >= 0) {
        ys[c.change_at].value = -1;
    }
    auto build = [](int count, std::vector<Tracked> &items) {
        if (count < 0) {
            return ListPtr();
        }
        ListPtr list = make_list({});
        for (int i = 0; i < count; ++i) {
            list_append_last(list.get(), &items[i]);
        }
        return list;
    };
    ListPtr a = build(c.a, xs);
    ListPtr b = build(c.b, ys);
    EXPECT_EQ(list_cmp(a.get(), b.get(), c.callback ? same_value : nullptr), c.expected);
}

INSTANTIATE_TEST_SUITE_P(List, ListCmp,
                         testing::Values(CmpCase{"both_null", -1, -1, true, -1, 1},
                                         CmpCase{"null_and_empty", -1, 0, true, -1, 0},
                                         CmpCase{"both_empty", 0, 0, true, -1, 1},
                                         CmpCase{"equal", 3, 3, true, -1, 1},
                                         CmpCase{"no_callback", 3, 3, false, -1, 0},
                                         CmpCase{"no_callback_empty", 0, 0, false, -1, 0},
                                         CmpCase{"counts_differ", 3, 4, true, -1, 0},
                                         CmpCase{"first_differs", 3, 3, true, 0, 0},
                                         CmpCase{"last_differs", 3, 3, true, 2, 0}),
                         [](const testing::TestParamInfo<CmpCase> &info) {
                             return std::string(info.param.name);
                         });

TEST(ListClear, PassesEveryElementIncludingNull)
{
    Tracked a, b;
    int calls = 0;
    ListPtr list = make_list({&a, &b, &a});
    list_clear(list.get(), count_free);
    EXPECT_EQ(a.freed, 2);
    EXPECT_EQ(b.freed, 1);
    EXPECT_TRUE(has_shape(list.get(), {}));
    list_append_last(list.get(), &b);
    EXPECT_TRUE(has_shape(list.get(), {&b}));

    // A null element reaches the callback as well.
    list_s *with_null = list_create();
    list_append_last(with_null, &calls);
    list_append_last(with_null, nullptr);
    std::vector<void *> seen;
    t_received = &seen;
    list_free(with_null, record_element);
    t_received = nullptr;
    EXPECT_EQ(seen, (std::vector<void *>{&calls, nullptr}));
    list_clear(nullptr, count_free);
    list_free(nullptr, count_free);
}

TEST(ListOfLists, FreesInnerListsAndTheirElements)
{
    list_s *outer = list_create();
    for (int i = 0; i < 3; ++i) {
        list_s *inner = list_create();
        for (int j = 0; j <= i; ++j) {
            list_append_last(inner, std::malloc(16));
        }
        list_append_last(outer, inner);
    }
    list_append_last(outer, list_create());                   // an empty inner list
    list_of_lists_free(outer, [](void *p) { std::free(p); }); // the sanitized run reports leaks

    Tracked a;
    list_s *counted = list_create();
    list_s *inner = list_create();
    list_append_last(inner, &a);
    list_append_last(inner, &a);
    list_append_last(counted, inner);
    list_of_lists_free(counted, count_free);
    EXPECT_EQ(a.freed, 2);
    list_of_lists_free(nullptr, count_free);
}

struct DebugCase {
    const char *name;
    std::vector<const char *> strings;
    const char *printed;
};

class ListDebug : public testing::TestWithParam<DebugCase> {};

TEST_P(ListDebug, Prints)
{
    ListPtr list = make_list({});
    for (const char *s : GetParam().strings) {
        list_append_last(list.get(), const_cast<char *>(s));
    }
    EXPECT_EQ(captured_debug(list.get()), GetParam().printed);
}

INSTANTIATE_TEST_SUITE_P(List, ListDebug,
                         testing::Values(DebugCase{"two", {"a", "b"}, "a b \n"},
                                         DebugCase{"empty", {}, "\n"},
                                         DebugCase{"empty_string", {""}, " \n"},
                                         DebugCase{"null_element", {"x", nullptr}, "x (null) \n"}),
                         [](const testing::TestParamInfo<DebugCase> &info) {
                             return std::string(info.param.name);
                         });

TEST(ListDebugNull, PrintsNothing) { EXPECT_EQ(captured_debug(nullptr), ""); }

// ---------------------------------------------------------------------------
// List writer

void write_value(buf_s *buf, void *e) { buf_write_byte(buf, static_cast<Tracked *>(e)->value); }

TEST(ListWrite, CountThenElements)
{
    BufPtr buf(buf_create());
    buf_write_list(buf.get(), nullptr, write_value);
    ListPtr empty = make_list({});
    buf_write_list(buf.get(), empty.get(), write_value);
    EXPECT_EQ(std::vector<uint8_t>(buf->data, buf->data + buf->length),
              (std::vector<uint8_t>{0x00, 0x00}));

    std::vector<Tracked> items(200);
    ListPtr list = make_list({});
    for (int i = 0; i < 200; ++i) {
        items[i].value = i;
        list_append_last(list.get(), &items[i]);
    }
    BufPtr out(buf_create());
    buf_write_list(out.get(), list.get(), write_value);
    std::vector<uint8_t> expected = {0xC8, 0x01};
    for (int i = 0; i < 200; ++i) {
        expected.push_back(static_cast<uint8_t>(i));
    }
    EXPECT_EQ(std::vector<uint8_t>(out->data, out->data + out->length), expected);

    BufPtr count_only(buf_create());
    buf_write_list(count_only.get(), list.get(), nullptr);
    EXPECT_EQ(std::vector<uint8_t>(count_only->data, count_only->data + count_only->length),
              (std::vector<uint8_t>{0xC8, 0x01}));
}

// ---------------------------------------------------------------------------
// Allocation failures: nothing changes

TEST(ListFault, RefusedNodeChangesNothing)
{
    SKIP_WITHOUT_ALLOC_HOOK();
    ListPtr list = make_list({el(0), el(1)});
    const Elements before = {el(0), el(1)};
    kvtest::arm_allocations(0);
    list_insert_first(list.get(), el(2));
    list_append_last(list.get(), el(2));
    list_node_s *a = list_insert(list.get(), list->tail, el(2));
    list_node_s *b = list_append(list.get(), list->head, el(2));
    const kvtest::AllocStats stats = kvtest::allow_allocations();
    EXPECT_EQ(stats.refused, 4);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_TRUE(has_shape(list.get(), before));

    kvtest::arm_allocations(0);
    list_s *none = list_create();
    kvtest::allow_allocations();
    EXPECT_EQ(none, nullptr);
}

TEST(ListFault, AppendListAndDupAreAllOrNothing)
{
    SKIP_WITHOUT_ALLOC_HOOK();
    ListPtr src = make_list({el(3), el(4), el(5)});
    for (long grant = 0;; ++grant) {
        ListPtr dst = make_list({el(0)});
        kvtest::arm_allocations(grant);
        list_append_list(dst.get(), src.get());
        const kvtest::AllocStats stats = kvtest::allow_allocations();
        if (stats.refused == 0) {
            EXPECT_TRUE(has_shape(dst.get(), {el(0), el(3), el(4), el(5)}));
            break;
        }
        EXPECT_EQ(stats.live, 0) << grant;
        EXPECT_TRUE(has_shape(dst.get(), {el(0)})) << grant;
    }

    Tracked a{0, 1, 0}, b{0, 2, 0};
    ListPtr tracked = make_list({&a, &b});
    for (long grant = 0;; ++grant) {
        kvtest::arm_allocations(grant);
        list_s *copy = list_dup(tracked.get(), mark_copied);
        const kvtest::AllocStats stats = kvtest::allow_allocations();
        if (stats.refused == 0) {
            ASSERT_NE(copy, nullptr);
            EXPECT_TRUE(has_shape(copy, {&a, &b}));
            EXPECT_EQ(a.copied + b.copied, 2);
            list_free(copy, nullptr);
            break;
        }
        // The copy callback runs only once every node exists, so a refused
        // allocation leaves no copy behind to leak.
        EXPECT_EQ(copy, nullptr) << grant;
        EXPECT_EQ(stats.live, 0) << grant;
        EXPECT_EQ(a.copied + b.copied, 0) << grant;
    }
}

} // namespace
