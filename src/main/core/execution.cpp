/* execution: the linear-space Myers search, the contract in
 * core/execution.h.
 *
 * Invariants: sub-problems always lie within both values; operations reach
 * the coalescing record in new-value order; the diagonal entries live in the
 * storage (slot indices from storage.h) and every search step stays within
 * the step limit, splitting at the furthest points reached when it bails. */
#include "core/execution.h"

#include <cassert>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#define KV_HAVE_SSE2 1
#else
#define KV_HAVE_SSE2 0
#endif

namespace {

/* The progress check runs every kProgressInterval steps and lowers a slow
 * search's limit by kProgressPenalty. */
constexpr int32_t kProgressInterval = 64;
constexpr int32_t kProgressPenalty = 48;
/* The overlap test runs in the forward pass when delta has all these bits. */
constexpr uint32_t kForwardOverlapBits = 0xB1;
/* A bailed-out middle is searched again while its area is below half the
 * parent's plus this slack (16 Mi positions). */
constexpr int64_t kBoundedAreaSlack = 16777216;
/* The smallest step limit a repeated search of a bailed-out middle gets. */
constexpr int32_t kBoundedMinLimit = 8;

/* Where one run of the engine sends its reports: the execution's
 * coalescing record, or a tracing callback. */
struct Engine {
    execution_s *ex;
    execution_report_fn trace; /* null: the coalescing record */
    void *context;
};

struct Problem {
    int32_t x0;
    int32_t n;
    int32_t y0;
    int32_t m;
};

struct Point {
    int32_t x;
    int32_t y;
};

int32_t min32(int64_t a, int64_t b) { return static_cast<int32_t>(a < b ? a : b); }

int32_t max32(int64_t a, int64_t b) { return static_cast<int32_t>(a > b ? a : b); }

int32_t abs32(int32_t v) { return v < 0 ? -v : v; }

int32_t saturating_sub(int32_t a, int32_t b)
{
    const int64_t r = static_cast<int64_t>(a) - b;
    return r < INT32_MIN ? INT32_MIN : static_cast<int32_t>(r);
}

const uint8_t *old_bytes(const Engine &e, const Problem &p) { return e.ex->old_value->data + p.x0; }

const uint8_t *new_bytes(const Engine &e, const Problem &p) { return e.ex->new_value->data + p.y0; }

/* Reports relative to a sub-problem; each is true on success. A trace sees
 * only runs of positive length, the ones that change anything. */
bool report_copy(Engine &e, const Problem &p, int32_t i, int32_t count)
{
    if (e.trace != nullptr) {
        return count <= 0 || e.trace(e.context, EXECUTION_REPORT_COPY, p.x0 + i, count) != 0;
    }
    return coallescing_script_match(e.ex->coalescing, p.x0 + i, count) != 0;
}

bool report_insert(Engine &e, const Problem &p, int32_t j, int32_t count)
{
    if (e.trace != nullptr) {
        return count <= 0 || e.trace(e.context, EXECUTION_REPORT_INSERT, p.y0 + j, count) != 0;
    }
    return coallescing_script_insert(e.ex->coalescing, p.y0 + j, count) != 0;
}

bool report_delete(Engine &e)
{
    if (e.trace != nullptr) {
        return e.trace(e.context, EXECUTION_REPORT_DELETE, 0, 0) != 0;
    }
    return coallescing_script_delete(e.ex->coalescing) != 0;
}

int32_t common_prefix(const Engine &e, const Problem &p)
{
    const int32_t n = p.n < p.m ? p.n : p.m;
    if (n <= 0) {
        return 0;
    }
    return static_cast<int32_t>(
        execution_match_forward(old_bytes(e, p), new_bytes(e, p), static_cast<size_t>(n)));
}

/* ------------------------------------------------------------------ tasks */

/* The work of a sub-problem is a chain of tasks: each task reports what
 * comes first, solves any part that must come before its tail by a nested
 * call, and hands back its tail (the part after a snake or a split point)
 * as the next task. Solving tails in this loop keeps the nesting depth to
 * the parts before snakes, whatever the size of the input. */
enum class TaskKind {
    kDone,
    kTrimPrefix,  /* _execution_trim_prefix */
    kMiddleSnake, /* execution_middlesnake */
    kSplit,       /* execution_recurse: a = x, b = u, c = k */
    kBail,        /* execution_bail: a = c1, b = c2 */
    kBounded,     /* execution_bounded_diff: a = parent n, b = parent m */
};

struct Task {
    TaskKind kind;
    Problem p;
    int32_t l;
    int32_t a;
    int32_t b;
    int32_t c;
};

Task make_task(TaskKind kind, Problem p, int32_t l, int32_t a = 0, int32_t b = 0, int32_t c = 0)
{
    return Task{kind, p, l, a, b, c};
}

Task done() { return make_task(TaskKind::kDone, Problem{0, 0, 0, 0}, 0); }

bool run(Engine &e, Task task);
bool trim_suffix(Engine &e, const Problem &p, int32_t prefix, int32_t l);

/* A sub-problem lies within both sides of its parent. A split point that
 * does not is never produced by a sound search; refusing it makes the
 * difference fail (the caller then sends the whole new value) rather than
 * read outside the values. */
bool inside(const Problem &p, int32_t x, int32_t y)
{
    return x >= 0 && x <= p.n && y >= 0 && y <= p.m;
}

bool step_trim_prefix(Engine &e, const Task &t, Task *next)
{
    const Problem &p = t.p;
    const int32_t prefix = common_prefix(e, p);
    if (!report_copy(e, p, 0, prefix)) {
        return false;
    }
    if (prefix == p.n) {
        *next = done();
        return report_insert(e, p, p.n, p.m - p.n);
    }
    if (prefix == p.m) {
        *next = done();
        return report_delete(e);
    }
    *next = make_task(TaskKind::kMiddleSnake,
                      Problem{p.x0 + prefix, p.n - prefix, p.y0 + prefix, p.m - prefix}, t.l);
    return true;
}

/* --------------------------------------------------------- middle snake */

struct Frontiers {
    Point forward; /* furthest point of the forward search */
    Point reverse; /* furthest point of the reverse search */
};

/* Furthest points of both searches over the diagonals of the step whose
 * corners are c1 and c2, each clamped into the box. */
Frontiers frontiers(const int32_t *slots, const Problem &p, int32_t c1, int32_t c2)
{
    const int32_t delta = p.n - p.m;
    Frontiers f{{0, 0}, {p.n, p.m}};
    for (int32_t k = -c1; k <= c2; k += 2) {
        const int32_t x =
            min32(min32(slots[storage_forward_slot(k)], p.n), static_cast<int64_t>(p.m) - k);
        const int32_t y = x + k;
        if (static_cast<int64_t>(x) + y > static_cast<int64_t>(f.forward.x) + f.forward.y) {
            f.forward = Point{x, y};
        }
    }
    for (int32_t kr = -c2; kr <= c1; kr += 2) {
        const int32_t k = kr - delta;
        const int32_t x =
            max32(max32(slots[storage_reverse_slot(kr)], 0), -static_cast<int64_t>(k));
        const int32_t y = x + k;
        if (static_cast<int64_t>(x) + y < static_cast<int64_t>(f.reverse.x) + f.reverse.y) {
            f.reverse = Point{x, y};
        }
    }
    return f;
}

/* q = 2^t, t the number of 2-bit right shifts that take d to 0: the
 * progress a step must show grows slowly with d. */
int64_t progress_factor(int32_t d)
{
    int32_t t = 0;
    for (uint32_t v = static_cast<uint32_t>(d); v != 0; v >>= 2) {
        ++t;
    }
    return int64_t{1} << t;
}

enum class SearchEnd { kFailed, kSnake, kBail };

struct SearchResult {
    SearchEnd end;
    int32_t a; /* snake: start x; bail: c1 */
    int32_t b; /* snake: end u;   bail: c2 */
    int32_t c; /* snake: diagonal k */
    int32_t l; /* bail: the (possibly lowered) limit */
};

/* Calls visit(k, slot, slot of k + 1, slot of k - 1) for k = first,
 * first + 2, .. up to last, in order, until it returns true, with the
 * forward slots of storage.h (the reverse ones are 2 further). On either side
 * of diagonal 0 the slots of neighbouring diagonals lie 4 apart, so only the
 * diagonal next to 0 needs the mapping itself. */
template <typename Visit>
inline bool for_each_diagonal(int32_t first, int32_t last, Visit visit)
{
    int32_t k = first;
    int32_t s = storage_forward_slot(k);
    for (; k <= last && k <= -2; k += 2, s -= 8) {
        if (visit(k, s, s - 4, s + 4)) {
            return true;
        }
    }
    if (k <= last && k <= 0) {
        if (visit(k, storage_forward_slot(k), storage_forward_slot(k + 1),
                  storage_forward_slot(k - 1))) {
            return true;
        }
        k += 2;
    }
    for (s = storage_forward_slot(k); k <= last; k += 2, s += 8) {
        if (visit(k, s, s + 4, s - 4)) {
            return true;
        }
    }
    return false;
}

/* One forward pass of step d over the diagonals -c1 .. c2. With kTest the
 * pass also looks for the overlap with the reverse search; *hit then holds
 * the snake. */
template <bool kTest>
bool forward_pass(int32_t *slots, const uint8_t *a, const uint8_t *b, int32_t n, int32_t m,
                  int32_t d, int32_t c1, int32_t c2, SearchResult *hit)
{
    const int32_t delta = n - m;
    return for_each_diagonal(-c1, c2, [&](int32_t k, int32_t slot, int32_t up, int32_t down) {
        const int32_t above = slots[up];
        const int32_t below = slots[down];
        const int32_t x = above < below ? below : above + 1;
        /* Forward entries may lie past the end of a side; bytes are read
         * only for positions inside both sides. */
        const int32_t end = k > m - n ? m - k : n;
        int32_t u = x;
        /* A sound search never asks for bytes before the start here; the
         * test stays so that no input can make it read outside. */
        assert(x >= end || (x >= 0 && x + k >= 0));
        if (x < end && x >= 0 && x + k >= 0 && a[x] == b[x + k]) {
            u = x + static_cast<int32_t>(
                        execution_match_forward(a + x, b + x + k, static_cast<size_t>(end - x)));
        }
        if (kTest) {
            const int32_t kr = k + delta;
            if (abs32(kr) < d && u >= slots[storage_reverse_slot(kr)]) {
                *hit = SearchResult{SearchEnd::kSnake, x, u, k, 0};
                return true;
            }
        }
        slots[slot] = u;
        return false;
    });
}

template <bool kTest>
bool reverse_pass(int32_t *slots, const uint8_t *a, const uint8_t *b, int32_t n, int32_t m,
                  int32_t d, int32_t c1, int32_t c2, SearchResult *hit)
{
    const int32_t delta = n - m;
    int32_t *const reverse = slots + 2; /* reverse slots: 2 past the forward ones */
    return for_each_diagonal(-c2, c1, [&](int32_t kr, int32_t slot, int32_t up, int32_t down) {
        const int32_t above = reverse[up];
        const int32_t below = reverse[down];
        const int32_t e = above < below ? above : below - 1;
        const int32_t k = kr - delta;
        /* Reverse entries may lie before the start of a side. */
        const int32_t lo = k < 0 ? -k : 0;
        const int32_t hi = k > m - n ? m - k : n;
        int32_t x = e;
        /* Likewise never past the end here. */
        assert(x <= lo || x <= hi);
        if (x > lo && x <= hi && a[x - 1] == b[x + k - 1]) {
            x -= static_cast<int32_t>(
                execution_match_backward(a + x, b + x + k, static_cast<size_t>(x - lo)));
        }
        if (kTest && abs32(k) <= d && x <= slots[storage_forward_slot(k)]) {
            *hit = SearchResult{SearchEnd::kSnake, x, e, k, 0};
            return true;
        }
        reverse[slot] = x;
        return false;
    });
}

/* Runs the caller's poll once the searches have spent its interval since
 * the last run: false (and the execution marked cancelled) when it asks them
 * to stop. Checked as a search starts and with every progress check, so the
 * steps themselves pay nothing for it. */
[[gnu::cold, gnu::noinline]] bool run_poll(execution_s *ex)
{
    ex->polled_at = ex->work_left;
    if (ex->poll != nullptr && ex->poll(ex->poll_context) != 0) {
        ex->cancelled = 1;
        return false;
    }
    return true;
}

inline bool keep_going(execution_s *ex)
{
    return ex->polled_at - ex->work_left < EXECUTION_POLL_INTERVAL || run_poll(ex);
}

/* The bidirectional search of a sub-problem with n >= 1 and m >= 1. Ends at
 * the first overlap of the two searches (a snake to split at), when the
 * step limit is passed (bail out), or when the storage cannot grow. */
SearchResult search(Engine &e, const Problem &p, int32_t limit)
{
    storage_s *storage = e.ex->storage;
    const int32_t n = p.n;
    const int32_t m = p.m;
    const int32_t delta = n - m;
    const bool test_forward =
        (static_cast<uint32_t>(delta) & kForwardOverlapBits) == kForwardOverlapBits;
    const uint8_t *a = old_bytes(e, p);
    const uint8_t *b = new_bytes(e, p);
    if (!keep_going(e.ex) || !storage_initialise(storage, 1)) {
        return SearchResult{SearchEnd::kFailed, 0, 0, 0, 0};
    }
    int32_t *slots = storage->slots;
    slots[storage_forward_slot(0)] = 0;
    slots[storage_reverse_slot(0)] = n;
    int32_t l = limit;
    SearchResult hit{SearchEnd::kSnake, 0, 0, 0, 0};
    for (int32_t d = 1;; ++d) {
        const int32_t c1 = myers_binary_diff_corner(d, n);
        const int32_t c2 = myers_binary_diff_corner(d, m);
        if (c2 >= -c1) {
            const bool met = test_forward ? forward_pass<true>(slots, a, b, n, m, d, c1, c2, &hit)
                                          : forward_pass<false>(slots, a, b, n, m, d, c1, c2, &hit);
            if (met) {
                hit.l = l;
                return hit;
            }
        }
        if (c1 >= -c2) {
            const bool met = test_forward ? reverse_pass<false>(slots, a, b, n, m, d, c1, c2, &hit)
                                          : reverse_pass<true>(slots, a, b, n, m, d, c1, c2, &hit);
            if (met) {
                hit.l = l;
                return hit;
            }
        }
        /* Both passes visit at most c1 + c2 + 2 diagonals together; a step
         * costs at least one unit. */
        const int64_t visits = static_cast<int64_t>(c1) + c2 + 2;
        e.ex->work_left -= visits > 0 ? visits : 1;
        if (e.ex->work_left < 0) {
            return SearchResult{SearchEnd::kFailed, 0, 0, 0, 0};
        }
        bool bail_allowed = true;
        if (d % kProgressInterval == 0) {
            if (!keep_going(e.ex)) {
                return SearchResult{SearchEnd::kFailed, 0, 0, 0, 0};
            }
            const Frontiers f = frontiers(slots, p, c1, c2);
            const int64_t progress = static_cast<int64_t>(f.forward.x) + f.forward.y +
                                     (static_cast<int64_t>(n) + m - f.reverse.x - f.reverse.y);
            if (progress < progress_factor(d) * d) {
                l = saturating_sub(l, kProgressPenalty);
                bail_allowed = false;
            }
        }
        if (bail_allowed && d > l) {
            return SearchResult{SearchEnd::kBail, c1, c2, 0, l};
        }
        if (d == INT32_MAX || !storage_extend(storage, d + 1)) {
            return SearchResult{SearchEnd::kFailed, 0, 0, 0, 0};
        }
        slots = storage->slots; /* the array may have moved */
    }
}

bool step_middlesnake(Engine &e, const Task &t, Task *next)
{
    const Problem &p = t.p;
    if (p.n <= 0 || p.m <= 0) {
        /* Not a search: one side is empty. */
        *next = done();
        return p.n <= 0 ? report_insert(e, p, 0, p.m) : report_delete(e);
    }
    const SearchResult r = search(e, p, t.l);
    switch (r.end) {
    case SearchEnd::kSnake:
        *next = make_task(TaskKind::kSplit, p, e.ex->limit, r.a, r.b, r.c);
        return true;
    case SearchEnd::kBail:
        *next = make_task(TaskKind::kBail, p, r.l, r.a, r.b);
        return true;
    case SearchEnd::kFailed:
        break;
    }
    return false;
}

bool step_split(Engine &e, const Task &t, Task *next)
{
    const Problem &p = t.p;
    const int32_t x = t.a;
    const int32_t u = t.b;
    const int32_t k = t.c;
    const bool valid = x <= u && inside(p, x, x + k) && inside(p, u, u + k);
    assert(valid);
    if (!valid) {
        return false;
    }
    if (!trim_suffix(e, Problem{p.x0, x, p.y0, x + k}, 0, e.ex->limit)) {
        return false;
    }
    if (!report_copy(e, p, x, u - x)) {
        return false;
    }
    *next = make_task(TaskKind::kTrimPrefix, Problem{p.x0 + u, p.n - u, p.y0 + u + k, p.m - u - k},
                      e.ex->limit);
    return true;
}

/* Whether the diagonals -c1 to c2 (and the reverse keys -c2 to c1) lie
 * within the step the storage prepared last, as a search's corners do. */
bool corners_prepared(const storage_s *storage, int32_t c1, int32_t c2)
{
    if (storage->slots == nullptr || storage->size < 7) {
        return false;
    }
    const int64_t reach = (static_cast<int64_t>(storage->size) - 7) / 4 + 2;
    return c1 >= -reach && c1 <= reach && c2 >= -reach && c2 <= reach;
}

bool step_bail(Engine &e, const Task &t, Task *next)
{
    const Problem &p = t.p;
    if (!corners_prepared(e.ex->storage, t.a, t.b)) {
        return false;
    }
    const Frontiers f = frontiers(e.ex->storage->slots, p, t.a, t.b);
    const Point fw = f.forward;
    const Point rv = f.reverse;
    const bool valid = inside(p, fw.x, fw.y) && inside(p, rv.x, rv.y);
    assert(valid);
    if (!valid) {
        return false;
    }
    if (rv.x > fw.x && rv.y > fw.y) {
        /* The frontiers have not crossed: solve up to F, the bounded middle
         * between F and R, then the rest after R. */
        if (!trim_suffix(e, Problem{p.x0, fw.x, p.y0, fw.y}, 0, e.ex->limit)) {
            return false;
        }
        const Problem middle{p.x0 + fw.x, rv.x - fw.x, p.y0 + fw.y, rv.y - fw.y};
        if (!run(e, make_task(TaskKind::kBounded, middle, t.l, p.n, p.m))) {
            return false;
        }
        *next = make_task(TaskKind::kTrimPrefix,
                          Problem{p.x0 + rv.x, p.n - rv.x, p.y0 + rv.y, p.m - rv.y}, e.ex->limit);
        return true;
    }
    /* Crossed: split at whichever search got further (forward on a tie). */
    const int64_t reverse_progress = static_cast<int64_t>(p.n) + p.m - rv.x - rv.y;
    const int64_t forward_progress = static_cast<int64_t>(fw.x) + fw.y;
    const Point at = reverse_progress > forward_progress ? rv : fw;
    if (!trim_suffix(e, Problem{p.x0, at.x, p.y0, at.y}, 0, e.ex->limit)) {
        return false;
    }
    *next = make_task(TaskKind::kTrimPrefix,
                      Problem{p.x0 + at.x, p.n - at.x, p.y0 + at.y, p.m - at.y}, e.ex->limit);
    return true;
}

/* The spent-limit case of a bounded middle: only the middle halves are
 * compared; the new side's first quarter and its tail past the middle half
 * go as literal bytes, the old side outside its middle half is dropped. */
bool compare_middle_halves(Engine &e, const Problem &p)
{
    const int32_t qa = p.n / 4;
    const int32_t qb = p.m / 4;
    const int32_t h = p.n / 2;
    const int32_t g = p.m / 2;
    if (!report_insert(e, p, 0, qb) || !report_delete(e)) {
        return false;
    }
    const Problem half{p.x0 + qa, h, p.y0 + qb, g};
    const int32_t prefix = common_prefix(e, half);
    if (!report_copy(e, p, qa, prefix) || !trim_suffix(e, half, prefix, e.ex->limit)) {
        return false;
    }
    return report_insert(e, p, qb + g, p.m - qb - g) && report_delete(e);
}

bool step_bounded(Engine &e, const Task &t, Task *next)
{
    const Problem &p = t.p;
    const int64_t area = static_cast<int64_t>(p.n) * p.m;
    const int64_t parent_area = static_cast<int64_t>(t.a) * t.b;
    if (area < parent_area / 2 + kBoundedAreaSlack) {
        const int32_t l = t.l > kBoundedMinLimit ? t.l : kBoundedMinLimit;
        *next = make_task(TaskKind::kMiddleSnake, p, l);
        return true;
    }
    if (t.l > 0) {
        /* Halve both sides and solve the halves in order, each with half
         * the limit. */
        const int32_t h = p.n / 2;
        const int32_t g = p.m / 2;
        if (!trim_suffix(e, Problem{p.x0, h, p.y0, g}, 0, t.l / 2)) {
            return false;
        }
        *next = make_task(TaskKind::kTrimPrefix, Problem{p.x0 + h, p.n - h, p.y0 + g, p.m - g},
                          t.l / 2);
        return true;
    }
    *next = done();
    return compare_middle_halves(e, p);
}

bool run(Engine &e, Task task)
{
    while (task.kind != TaskKind::kDone) {
        Task next = done();
        bool ok = false;
        switch (task.kind) {
        case TaskKind::kTrimPrefix:
            ok = step_trim_prefix(e, task, &next);
            break;
        case TaskKind::kMiddleSnake:
            ok = step_middlesnake(e, task, &next);
            break;
        case TaskKind::kSplit:
            ok = step_split(e, task, &next);
            break;
        case TaskKind::kBail:
            ok = step_bail(e, task, &next);
            break;
        case TaskKind::kBounded:
            ok = step_bounded(e, task, &next);
            break;
        case TaskKind::kDone:
            break;
        }
        if (!ok) {
            return false;
        }
        task = next;
    }
    return true;
}

/* The common suffix stops short of the reported prefix and never leaves the
 * new side shorter than it; returns the old side's end of the middle. */
int32_t suffix_start(const Engine &e, const Problem &p, int32_t prefix)
{
    const int32_t lower = max32(static_cast<int64_t>(p.n) - p.m, 0) + prefix;
    const int32_t span = p.n - lower;
    if (span <= 0) {
        return p.n;
    }
    const uint8_t *a_end = old_bytes(e, p) + p.n;
    const uint8_t *b_end = new_bytes(e, p) + p.m;
    return p.n -
           static_cast<int32_t>(execution_match_backward(a_end, b_end, static_cast<size_t>(span)));
}

/* _execution_trim_suffix: the difference of a sub-problem whose first
 * `prefix` bytes were already reported as common. */
bool trim_suffix(Engine &e, const Problem &p, int32_t prefix, int32_t l)
{
    const int32_t i = suffix_start(e, p, prefix);
    const int32_t j = i + (p.m - p.n); /* in range, where i + p.m may not be */
    if (i == prefix) {
        if (!report_insert(e, p, prefix, j - prefix)) {
            return false;
        }
    } else if (j == prefix) {
        if (!report_delete(e)) {
            return false;
        }
    } else {
        const Problem middle{p.x0 + prefix, i - prefix, p.y0 + prefix, j - prefix};
        if (!run(e, make_task(TaskKind::kMiddleSnake, middle, l))) {
            return false;
        }
    }
    return report_copy(e, p, i, p.n - i);
}

} // namespace

/* Equal-run scans. Words are loaded with memcpy (no alignment needed); the
 * XOR of two words is zero where they agree, and its lowest (forward) or
 * highest (backward) set bit locates the first differing byte in memory
 * order. A single-byte check first keeps the common mismatch-at-once case
 * cheap in the search's inner loop. */

namespace {

constexpr size_t kWord = sizeof(uint64_t);

inline uint64_t load_word(const uint8_t *p)
{
    uint64_t v;
    std::memcpy(&v, p, kWord);
    return v;
}

/* Number of equal bytes at the low-address end of a nonzero XOR word. */
inline size_t equal_leading_bytes(uint64_t diff)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return static_cast<size_t>(__builtin_clzll(diff)) / 8;
#else
    return static_cast<size_t>(__builtin_ctzll(diff)) / 8;
#endif
}

/* Number of equal bytes at the high-address end of a nonzero XOR word. */
inline size_t equal_trailing_bytes(uint64_t diff)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return static_cast<size_t>(__builtin_ctzll(diff)) / 8;
#else
    return static_cast<size_t>(__builtin_clzll(diff)) / 8;
#endif
}

#if KV_HAVE_SSE2
/* Long runs (common prefixes and suffixes of nearly equal values, long
 * snakes) go 32 bytes per iteration: two unaligned 16-byte compares whose
 * byte masks are merged, bit i set when byte i agrees. */
constexpr size_t kVectorStride = 32;
constexpr unsigned kAllEqual32 = 0xFFFFFFFFu;

inline unsigned equal_mask_32(const uint8_t *a, const uint8_t *b)
{
    const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a));
    const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b));
    const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + 16));
    const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + 16));
    const unsigned low = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(a0, b0)));
    const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(a1, b1)));
    return low | (high << 16);
}
#endif

} // namespace

KV_EXTERN_C_BEGIN

size_t execution_match_forward(const uint8_t *a, const uint8_t *b, size_t n)
{
    if (n == 0 || a[0] != b[0]) {
        return 0;
    }
    size_t t = 1;
#if KV_HAVE_SSE2
    while (n - t >= kVectorStride) {
        const unsigned equal = equal_mask_32(a + t, b + t);
        if (equal != kAllEqual32) {
            return t + static_cast<size_t>(__builtin_ctz(~equal));
        }
        t += kVectorStride;
    }
#endif
    while (n - t >= kWord) {
        const uint64_t diff = load_word(a + t) ^ load_word(b + t);
        if (diff != 0) {
            return t + equal_leading_bytes(diff);
        }
        t += kWord;
    }
    while (t < n && a[t] == b[t]) {
        ++t;
    }
    return t;
}

size_t execution_match_backward(const uint8_t *a_end, const uint8_t *b_end, size_t n)
{
    if (n == 0 || a_end[-1] != b_end[-1]) {
        return 0;
    }
    size_t t = 1;
#if KV_HAVE_SSE2
    while (n - t >= kVectorStride) {
        const unsigned equal = equal_mask_32(a_end - t - kVectorStride, b_end - t - kVectorStride);
        if (equal != kAllEqual32) {
            /* Bit 31 is the byte nearest the end. */
            return t + static_cast<size_t>(__builtin_clz(~equal));
        }
        t += kVectorStride;
    }
#endif
    while (n - t >= kWord) {
        const uint64_t diff = load_word(a_end - t - kWord) ^ load_word(b_end - t - kWord);
        if (diff != 0) {
            return t + equal_trailing_bytes(diff);
        }
        t += kWord;
    }
    while (t < n &&
           a_end[-1 - static_cast<ptrdiff_t>(t)] == b_end[-1 - static_cast<ptrdiff_t>(t)]) {
        ++t;
    }
    return t;
}

int32_t myers_binary_diff_corner(int32_t d, int32_t n)
{
    return d <= n ? d : static_cast<int32_t>(2 * static_cast<int64_t>(n) - d);
}

execution_s *execution_create(const buf_s *old_value, const buf_s *new_value,
                              coallescing_script_s *coalescing, int32_t slot_limit,
                              int32_t step_limit)
{
    auto *ex = static_cast<execution_s *>(std::calloc(1, sizeof(execution_s)));
    if (ex == nullptr) {
        return nullptr;
    }
    ex->storage = storage_create(slot_limit);
    if (ex->storage == nullptr) {
        std::free(ex);
        return nullptr;
    }
    ex->old_value = old_value;
    ex->new_value = new_value;
    ex->coalescing = coalescing;
    ex->limit = step_limit;
    ex->work_left = EXECUTION_UNBOUNDED_WORK;
    ex->polled_at = EXECUTION_UNBOUNDED_WORK;
    return ex;
}

void execution_set_poll(execution_s *execution, kv_poll_fn poll, void *context)
{
    execution->poll = poll;
    execution->poll_context = context;
    execution->polled_at = execution->work_left;
}

void execution_free(execution_s *execution)
{
    if (execution == nullptr) {
        return;
    }
    storage_free(execution->storage);
    std::free(execution);
}

KV_EXTERN_C_END

namespace {

/* The entry operations, shared by the plain and the traced entry points. */

bool diff(Engine &e, const Problem &p)
{
    const int32_t prefix = common_prefix(e, p);
    return report_copy(e, p, 0, prefix) && trim_suffix(e, p, prefix, e.ex->limit);
}

bool trim_prefix_and_suffix(Engine &e, const Problem &p)
{
    const int32_t prefix = common_prefix(e, p);
    if (!report_copy(e, p, 0, prefix)) {
        return false;
    }
    const int32_t i = suffix_start(e, p, prefix);
    const int32_t j = i + (p.m - p.n); /* in range, where i + p.m may not be */
    if (i == prefix) {
        if (!report_insert(e, p, prefix, j - prefix)) {
            return false;
        }
    } else {
        if (j != prefix && !report_insert(e, p, prefix, j - prefix)) {
            return false;
        }
        if (!report_delete(e)) {
            return false;
        }
    }
    return report_copy(e, p, i, p.n - i);
}

int32_t as_result(bool ok) { return ok ? 1 : 0; }

Engine plain(execution_s *execution) { return Engine{execution, nullptr, nullptr}; }

} // namespace

KV_EXTERN_C_BEGIN

int32_t execution_diff(execution_s *execution, int32_t x0, int32_t n, int32_t y0, int32_t m)
{
    Engine e = plain(execution);
    return as_result(diff(e, Problem{x0, n, y0, m}));
}

int32_t execution_trim_prefix_and_suffix(execution_s *execution, int32_t x0, int32_t n, int32_t y0,
                                         int32_t m)
{
    Engine e = plain(execution);
    return as_result(trim_prefix_and_suffix(e, Problem{x0, n, y0, m}));
}

int32_t execution_middlesnake(execution_s *execution, int32_t x0, int32_t n, int32_t y0, int32_t m,
                              int32_t l)
{
    Engine e = plain(execution);
    return as_result(run(e, make_task(TaskKind::kMiddleSnake, Problem{x0, n, y0, m}, l)));
}

int32_t execution_recurse(execution_s *execution, int32_t x0, int32_t n, int32_t y0, int32_t m,
                          int32_t x, int32_t u, int32_t k)
{
    Engine e = plain(execution);
    return as_result(
        run(e, make_task(TaskKind::kSplit, Problem{x0, n, y0, m}, execution->limit, x, u, k)));
}

int32_t execution_bail(execution_s *execution, int32_t x0, int32_t n, int32_t y0, int32_t m,
                       int32_t c1, int32_t c2, int32_t l)
{
    Engine e = plain(execution);
    return as_result(run(e, make_task(TaskKind::kBail, Problem{x0, n, y0, m}, l, c1, c2)));
}

int32_t execution_bounded_diff(execution_s *execution, int32_t x0, int32_t n, int32_t y0, int32_t m,
                               int32_t np, int32_t mp, int32_t l)
{
    Engine e = plain(execution);
    return as_result(run(e, make_task(TaskKind::kBounded, Problem{x0, n, y0, m}, l, np, mp)));
}

int32_t execution_trace(execution_s *execution, int32_t operation, int32_t x0, int32_t n,
                        int32_t y0, int32_t m, int32_t l, int32_t np, int32_t mp,
                        execution_report_fn report, void *context)
{
    if (report == nullptr) {
        return 0;
    }
    Engine e{execution, report, context};
    const Problem p{x0, n, y0, m};
    switch (operation) {
    case EXECUTION_OPERATION_DIFF:
        return as_result(diff(e, p));
    case EXECUTION_OPERATION_TRIM_PREFIX_AND_SUFFIX:
        return as_result(trim_prefix_and_suffix(e, p));
    case EXECUTION_OPERATION_MIDDLESNAKE:
        return as_result(run(e, make_task(TaskKind::kMiddleSnake, p, l)));
    case EXECUTION_OPERATION_BOUNDED_DIFF:
        return as_result(run(e, make_task(TaskKind::kBounded, p, l, np, mp)));
    default:
        return 0;
    }
}

KV_EXTERN_C_END
