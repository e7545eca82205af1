// The record of dumps' deterministic form; contract in cbor_reorders.h.
// Invariants: dicts_ holds every recorded dict in the order it closed, each
// with its entries in key order in entries_; a dict's held dicts were all
// recorded before it, so the record is a forest whose roots_ are in output
// order, and every cursor walks it depth first.
#include "bindings/python/cbor_reorders.h"

#include <algorithm>
#include <cstring>

namespace korvalent {

// The final bytes of buf[start, end), which holds the recorded dicts
// held[0, held_end - held) (in output order), a piece at a time. *levels is
// its stack.
class Reorders::Cursor {
public:
    Cursor(const Reorders &r, const char *buf, std::size_t start, std::size_t end,
           const std::size_t *held, const std::size_t *held_end, std::vector<Level> *levels)
        : r_(r), buf_(buf), levels_(*levels)
    {
        levels_.clear();
        levels_.push_back(Level{kNoDict, 0, start, end, held, held_end});
    }

    // The next piece; empty at the end.
    Piece next()
    {
        while (!levels_.empty()) {
            Level &l = levels_.back();
            if (l.held < l.held_end) {
                const std::size_t id = *l.held;
                const Dict &d = r_.dicts_[id];
                if (l.pos < d.from) return take(&l, d.from);
                ++l.held;
                l.pos = d.to;
                levels_.push_back(at_entry(id, 0));
                continue;
            }
            if (l.pos < l.end) return take(&l, l.end);
            if (l.dict != kNoDict && l.entry + 1 < r_.dicts_[l.dict].n) {
                l = at_entry(l.dict, l.entry + 1);
            } else {
                levels_.pop_back();
            }
        }
        return Piece{nullptr, 0};
    }

    // Copies every piece left to out; returns the end of what it wrote.
    char *drain(char *out)
    {
        for (Piece p = next(); p.size > 0; p = next())
            out = std::copy(p.data, p.data + p.size, out);
        return out;
    }

private:
    static constexpr std::size_t kNoDict = ~std::size_t{0};

    Piece take(Level *l, std::size_t until)
    {
        const Piece piece{buf_ + l->pos, until - l->pos};
        l->pos = until;
        return piece;
    }

    Level at_entry(std::size_t dict, std::size_t entry) const
    {
        const Entry &e = r_.entries_[r_.dicts_[dict].first + entry];
        return Level{
            dict, entry, e.start, e.end, r_.kids_.data() + e.kid, r_.kids_.data() + e.kid_end};
    }

    const Reorders &r_;
    const char *buf_;
    std::vector<Level> &levels_;
};

void Reorders::add(std::size_t from, std::size_t to, const Pair *sorted, std::size_t n,
                   std::size_t inner)
{
    const std::size_t kids = kids_.size() - inner; // kids_[kids + i] is roots_[i]
    kids_.insert(kids_.end(), roots_.begin() + static_cast<std::ptrdiff_t>(inner), roots_.end());
    roots_.resize(inner);
    for (std::size_t i = 0; i < n; ++i) {
        const Pair &p = sorted[i];
        entries_.push_back(Entry{p.start, p.end, kids + p.roots, kids + p.held_end});
    }
    roots_.push_back(dicts_.size());
    dicts_.push_back(Dict{from, to, entries_.size() - n, n});
}

int Reorders::compare_keys(const char *buf, const Pair &a, const Pair &b) const
{
    Cursor x(*this, buf, a.start, a.key_end, roots_.data() + a.roots, roots_.data() + a.roots_end,
             &compared_[0]);
    Cursor y(*this, buf, b.start, b.key_end, roots_.data() + b.roots, roots_.data() + b.roots_end,
             &compared_[1]);
    Piece p = x.next(), q = y.next();
    while (p.size > 0 && q.size > 0) {
        const std::size_t m = std::min(p.size, q.size);
        if (const int c = std::memcmp(p.data, q.data, m)) return c;
        p = p.size == m ? x.next() : Piece{p.data + m, p.size - m};
        q = q.size == m ? y.next() : Piece{q.data + m, q.size - m};
    }
    return p.size > 0 ? 1 : q.size > 0 ? -1 : 0;
}

std::size_t Reorders::largest() const
{
    std::size_t most = 0;
    for (const std::size_t id : roots_) most = std::max(most, dicts_[id].to - dicts_[id].from);
    return most;
}

void Reorders::assemble(const char *buf, std::size_t size, char *out)
{
    Cursor(*this, buf, 0, size, roots_.data(), roots_.data() + roots_.size(), &levels_).drain(out);
}

void Reorders::apply(char *buf)
{
    for (std::size_t i = 0; i < roots_.size(); ++i) {
        const Dict &top = dicts_[roots_[i]];
        scratch_.resize(top.to - top.from);
        Cursor(*this, buf, top.from, top.to, &roots_[i], &roots_[i] + 1, &levels_)
            .drain(&scratch_[0]);
        std::copy(scratch_.begin(), scratch_.end(), buf + top.from);
    }
}

} // namespace korvalent
