/* A direct, unoptimised model of the search: byte-at-a-time comparisons,
 * plain recursion for every part, and a diagonal array that regrows at
 * every step exactly as first written down. The engine must report exactly
 * what this model reports. Reads outside either value are recorded instead
 * of performed, so a test can prove the search never needs them. */
#ifndef KORVALENT_TESTS_EXECUTION_MODEL_H
#define KORVALENT_TESTS_EXECUTION_MODEL_H

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/execution.h"

namespace execution_model {

struct Report {
    int32_t kind; /* EXECUTION_REPORT_* */
    int32_t position;
    int32_t length;
    bool operator==(const Report &o) const
    {
        return kind == o.kind && position == o.position && length == o.length;
    }
};

/* Collects reports the way the engine's trace sees them; refuses the
 * report numbered fail_at (counting from 0) when fail_at is not negative. */
struct Recorder {
    std::vector<Report> reports;
    long fail_at = -1;

    bool take(int32_t kind, int32_t position, int32_t length)
    {
        if (kind != EXECUTION_REPORT_DELETE && length <= 0) {
            return true;
        }
        if (fail_at >= 0 && static_cast<long>(reports.size()) == fail_at) {
            return false;
        }
        reports.push_back(Report{kind, position, length});
        return true;
    }

    static int32_t callback(void *context, int32_t kind, int32_t position, int32_t length)
    {
        return static_cast<Recorder *>(context)->take(kind, position, length) ? 1 : 0;
    }
};

class Model {
public:
    Model(const std::vector<uint8_t> &old_value, const std::vector<uint8_t> &new_value,
          int32_t slot_limit, int32_t step_limit, Recorder *recorder)
        : old_(old_value), new_(new_value), limit_(step_limit), rec_(recorder)
    {
        slots_.assign(22, 0);
        capacity_ = 11;
        size_ = 11;
        max_distance_ = slot_limit >= 3 ? (slot_limit - 3) >> 2 : slot_limit >> 2;
        for (int32_t m = 1; m <= 3; ++m) {
            fill_group(4 * m - 1);
        }
    }

    bool out_of_bounds_read = false;

    bool diff(int32_t x0, int32_t n, int32_t y0, int32_t m)
    {
        const int32_t p = prefix(x0, n, y0, m);
        return copy(x0, 0, p) && trim_suffix(x0, n, y0, m, p, limit_);
    }

    bool trim_prefix_and_suffix(int32_t x0, int32_t n, int32_t y0, int32_t m)
    {
        const int32_t p = prefix(x0, n, y0, m);
        if (!copy(x0, 0, p)) {
            return false;
        }
        const int32_t i = suffix(x0, n, y0, m, p);
        const int32_t j = i + m - n;
        if (i == p) {
            if (!insert(y0, p, j - p)) {
                return false;
            }
        } else {
            if (j != p && !insert(y0, p, j - p)) {
                return false;
            }
            if (!del()) {
                return false;
            }
        }
        return copy(x0, i, n - i);
    }

    bool middlesnake(int32_t x0, int32_t n, int32_t y0, int32_t m, int32_t l)
    {
        const int32_t delta = n - m;
        const bool forward_test = (static_cast<uint32_t>(delta) & 0xB1u) == 0xB1u;
        initialise(1);
        fwd(0) = 0;
        rev(0) = n;
        for (int32_t d = 1;; ++d) {
            const int32_t c1 = corner(d, n);
            const int32_t c2 = corner(d, m);
            if (!(c2 < -c1)) {
                for (int32_t k = -c1; k <= c2; k += 2) {
                    int32_t x = fwd(k + 1) < fwd(k - 1) ? fwd(k - 1) : fwd(k + 1) + 1;
                    const int64_t lim = std::min<int64_t>(static_cast<int64_t>(m) - k, n);
                    int32_t s = 0;
                    if (x < lim) {
                        while (x + s < lim && a(x0, n, x + s) == b(y0, m, x + k + s)) {
                            ++s;
                        }
                    }
                    const int32_t u = x + s;
                    if (forward_test && std::abs(k + delta) < d && u >= rev(k + delta)) {
                        return recurse(x0, n, y0, m, x, u, k);
                    }
                    fwd(k) = u;
                }
            }
            if (!(c1 < -c2)) {
                for (int32_t kr = -c2; kr <= c1; kr += 2) {
                    int32_t x = rev(kr + 1) < rev(kr - 1) ? rev(kr + 1) : rev(kr - 1) - 1;
                    const int32_t k = kr - delta;
                    const int32_t lo = std::max(-k, 0);
                    const int32_t e = x;
                    while (x > lo && a(x0, n, x - 1) == b(y0, m, x + k - 1)) {
                        --x;
                    }
                    if (!forward_test && std::abs(k) <= d && x <= fwd(k)) {
                        return recurse(x0, n, y0, m, x, e, k);
                    }
                    rev(kr) = x;
                }
            }
            bool skip_bail = false;
            if (d % 64 == 0) {
                int32_t fx, fy, rx, ry;
                frontiers(n, m, c1, c2, &fx, &fy, &rx, &ry);
                const int64_t progress =
                    static_cast<int64_t>(fx) + fy + (static_cast<int64_t>(n) + m - rx - ry);
                int64_t q = 1;
                for (int32_t v = d; v != 0; v >>= 2) {
                    q *= 2;
                }
                if (progress < q * d) {
                    l -= 48;
                    skip_bail = true;
                }
            }
            if (!skip_bail && d > l) {
                return bail(x0, n, y0, m, c1, c2, l);
            }
            if (!extend(d + 1)) {
                return false;
            }
        }
    }

    bool bounded_diff(int32_t x0, int32_t n, int32_t y0, int32_t m, int32_t np, int32_t mp,
                      int32_t l)
    {
        if (static_cast<int64_t>(n) * m < static_cast<int64_t>(np) * mp / 2 + 16777216) {
            return middlesnake(x0, n, y0, m, std::max(l, 8));
        }
        if (l > 0) {
            const int32_t h = n / 2;
            const int32_t g = m / 2;
            return trim_suffix(x0, h, y0, g, 0, l / 2) &&
                   trim_prefix(x0 + h, n - h, y0 + g, m - g, l / 2);
        }
        if (!insert(y0, 0, m / 4) || !del()) {
            return false;
        }
        const int32_t qa = n / 4;
        const int32_t qb = m / 4;
        const int32_t h = n / 2;
        const int32_t g = m / 2;
        const int32_t p = prefix(x0 + qa, h, y0 + qb, g);
        if (!copy(x0, qa, p) || !trim_suffix(x0 + qa, h, y0 + qb, g, p, limit_)) {
            return false;
        }
        return insert(y0, qb + g, m - qb - g) && del();
    }

private:
    const std::vector<uint8_t> &old_;
    const std::vector<uint8_t> &new_;
    int32_t limit_;
    Recorder *rec_;
    std::vector<int32_t> slots_;
    int32_t capacity_;
    int32_t size_;
    int32_t max_distance_;

    static int32_t corner(int32_t d, int32_t n) { return d <= n ? d : 2 * n - d; }
    static int32_t key(int32_t k) { return k >= 0 ? 4 * k : -4 * k - 1; }
    int32_t &fwd(int32_t k) { return slots_.at(static_cast<size_t>(key(k))); }
    int32_t &rev(int32_t k) { return slots_.at(static_cast<size_t>(key(k) + 2)); }

    void fill_group(int32_t first)
    {
        slots_.at(first) = -1;
        slots_.at(first + 1) = -1;
        slots_.at(first + 2) = INT32_MAX;
        slots_.at(first + 3) = INT32_MAX;
    }
    void fill(int32_t i)
    {
        for (; i < size_ + 4; i += 4) {
            fill_group(i);
        }
    }
    /* The growth rule as first described: regrow whenever the last size
     * set is short, whatever was allocated. */
    void grow(int32_t d)
    {
        size_ = 4 * d + 7;
        if (capacity_ < 4 * d + 11) {
            slots_.resize(static_cast<size_t>(2 * (4 * d + 7)));
            capacity_ = 4 * d + 7;
        }
    }
    void initialise(int32_t d)
    {
        grow(d);
        if (size_ >= 0) {
            fill(3);
        }
    }
    bool extend(int32_t d)
    {
        if (d > max_distance_) {
            return false;
        }
        const int32_t old_size = size_;
        grow(d);
        if (size_ + 4 > old_size) {
            fill(old_size);
        }
        return true;
    }

    uint8_t a(int32_t x0, int32_t n, int32_t i)
    {
        if (i < 0 || i >= n) {
            out_of_bounds_read = true;
            return 0;
        }
        return old_[static_cast<size_t>(x0 + i)];
    }
    uint8_t b(int32_t y0, int32_t m, int32_t j)
    {
        if (j < 0 || j >= m) {
            out_of_bounds_read = true;
            return 1;
        }
        return new_[static_cast<size_t>(y0 + j)];
    }

    bool copy(int32_t x0, int32_t i, int32_t count)
    {
        return rec_->take(EXECUTION_REPORT_COPY, x0 + i, count);
    }
    bool insert(int32_t y0, int32_t j, int32_t count)
    {
        return rec_->take(EXECUTION_REPORT_INSERT, y0 + j, count);
    }
    bool del() { return rec_->take(EXECUTION_REPORT_DELETE, 0, 0); }

    int32_t prefix(int32_t x0, int32_t n, int32_t y0, int32_t m)
    {
        int32_t t = 0;
        while (t < std::min(n, m) && a(x0, n, t) == b(y0, m, t)) {
            ++t;
        }
        return t;
    }
    int32_t suffix(int32_t x0, int32_t n, int32_t y0, int32_t m, int32_t p)
    {
        const int32_t lower = std::max(n - m, 0) + p;
        int32_t i = n;
        while (i > lower && a(x0, n, i - 1) == b(y0, m, i - 1 + m - n)) {
            --i;
        }
        return i;
    }

    bool trim_suffix(int32_t x0, int32_t n, int32_t y0, int32_t m, int32_t p, int32_t l)
    {
        const int32_t i = suffix(x0, n, y0, m, p);
        const int32_t j = i + m - n;
        bool ok;
        if (i == p) {
            ok = insert(y0, p, j - p);
        } else if (j == p) {
            ok = del();
        } else {
            ok = middlesnake(x0 + p, i - p, y0 + p, j - p, l);
        }
        return ok && copy(x0, i, n - i);
    }

    bool trim_prefix(int32_t x0, int32_t n, int32_t y0, int32_t m, int32_t l)
    {
        const int32_t p = prefix(x0, n, y0, m);
        if (!copy(x0, 0, p)) {
            return false;
        }
        if (p == n) {
            return insert(y0, n, m - n);
        }
        if (p == m) {
            return del();
        }
        return middlesnake(x0 + p, n - p, y0 + p, m - p, l);
    }

    bool recurse(int32_t x0, int32_t n, int32_t y0, int32_t m, int32_t x, int32_t u, int32_t k)
    {
        return trim_suffix(x0, x, y0, x + k, 0, limit_) && copy(x0, x, u - x) &&
               trim_prefix(x0 + u, n - u, y0 + u + k, m - u - k, limit_);
    }

    void frontiers(int32_t n, int32_t m, int32_t c1, int32_t c2, int32_t *fx, int32_t *fy,
                   int32_t *rx, int32_t *ry)
    {
        *fx = 0;
        *fy = 0;
        for (int32_t k = -c1; k <= c2; k += 2) {
            const int32_t x = std::min({fwd(k), n, m - k});
            if (x + x + k > *fx + *fy) {
                *fx = x;
                *fy = x + k;
            }
        }
        *rx = n;
        *ry = m;
        const int32_t delta = n - m;
        for (int32_t kr = -c2; kr <= c1; kr += 2) {
            const int32_t k = kr - delta;
            const int32_t x = std::max({rev(kr), 0, -k});
            if (x + x + k < *rx + *ry) {
                *rx = x;
                *ry = x + k;
            }
        }
    }

    bool bail(int32_t x0, int32_t n, int32_t y0, int32_t m, int32_t c1, int32_t c2, int32_t l)
    {
        int32_t fx, fy, rx, ry;
        frontiers(n, m, c1, c2, &fx, &fy, &rx, &ry);
        if (rx > fx && ry > fy) {
            return trim_suffix(x0, fx, y0, fy, 0, limit_) &&
                   bounded_diff(x0 + fx, rx - fx, y0 + fy, ry - fy, n, m, l) &&
                   trim_prefix(x0 + rx, n - rx, y0 + ry, m - ry, limit_);
        }
        int32_t px = fx;
        int32_t py = fy;
        if (static_cast<int64_t>(n) + m - rx - ry > static_cast<int64_t>(fx) + fy) {
            px = rx;
            py = ry;
        }
        return trim_suffix(x0, px, y0, py, 0, limit_) &&
               trim_prefix(x0 + px, n - px, y0 + py, m - py, limit_);
    }
};

} // namespace execution_model

#endif
