/* Helpers for the delta search tests: a deterministic generator of value
 * pairs, an edit-delta check over the shared model of the reader, and a
 * driver call that checks a generated delta rebuilds the new value. */
#ifndef KORVALENT_TESTS_SEARCH_SUPPORT_H
#define KORVALENT_TESTS_SEARCH_SUPPORT_H

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "core/buf.h"
#include "core/edit_script.h"
#include "core/myers.h"

#include "../model/delta_apply_model.h"

namespace search_support {

using Bytes = std::vector<uint8_t>;

/* True when the run asks for short tests (the sanitized run sets it). */
inline bool quick()
{
    const char *v = std::getenv("KORVALENT_QUICK");
    return v != nullptr && v[0] != '\0' && v[0] != '0';
}

/* Scales a case count down for quick runs. */
inline int scaled(int count) { return quick() ? (count + 9) / 10 : count; }

/* splitmix64: small, fast, and the same sequence on every platform. */
struct Rng {
    uint64_t state;
    explicit Rng(uint64_t seed) : state(seed) {}
    uint64_t next()
    {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    /* Uniform in [0, n); n > 0. */
    size_t below(size_t n) { return static_cast<size_t>(next() % n); }
};

inline Bytes bytes_of(const std::string &s) { return Bytes(s.begin(), s.end()); }

/* A read-only buf_s view over a vector (owns nothing; never buf_free it). */
inline buf_s view(const Bytes &b)
{
    buf_s v{};
    v.data = const_cast<uint8_t *>(b.data());
    v.length = b.size();
    v.capacity = b.size();
    return v;
}

/* Random bytes over an alphabet of `symbols` values (256 for any byte). */
inline Bytes random_bytes(Rng &rng, size_t n, size_t symbols)
{
    Bytes out(n);
    for (auto &c : out) {
        c = static_cast<uint8_t>('a' + rng.below(symbols) - (symbols > 26 ? 'a' : 0));
    }
    return out;
}

enum class PairKind {
    kRandom,        /* two unrelated values */
    kSmallAlphabet, /* unrelated values over 2 to 4 symbols */
    kSparseEdits,   /* a few point edits */
    kDenseEdits,    /* many point edits over a small alphabet */
    kBlockMoves,    /* blocks shifted, inserted, deleted, duplicated */
    kRepeats,       /* long runs of one pattern with edits */
    kOneSideEmpty,
    kEqual,
    kCount,
};

/* Applies a handful of block operations to a copy of base. */
inline Bytes mutate_blocks(Rng &rng, const Bytes &base, size_t symbols)
{
    Bytes out = base;
    const size_t ops = 1 + rng.below(6);
    for (size_t i = 0; i < ops; ++i) {
        const size_t len = out.empty() ? 0 : rng.below(out.size() / 4 + 2);
        const size_t at = out.empty() ? 0 : rng.below(out.size() + 1);
        switch (rng.below(4)) {
        case 0: { /* insert fresh bytes */
            const Bytes fresh = random_bytes(rng, len + 1, symbols);
            out.insert(out.begin() + static_cast<ptrdiff_t>(at), fresh.begin(), fresh.end());
            break;
        }
        case 1: { /* delete a block */
            const size_t end = at + len < out.size() ? at + len : out.size();
            out.erase(out.begin() + static_cast<ptrdiff_t>(at),
                      out.begin() + static_cast<ptrdiff_t>(end));
            break;
        }
        case 2: { /* duplicate a block elsewhere */
            if (out.empty()) {
                break;
            }
            const size_t from = rng.below(out.size());
            const size_t end = from + len < out.size() ? from + len : out.size();
            const Bytes block(out.begin() + static_cast<ptrdiff_t>(from),
                              out.begin() + static_cast<ptrdiff_t>(end));
            out.insert(out.begin() + static_cast<ptrdiff_t>(at), block.begin(), block.end());
            break;
        }
        default: { /* shift: move a block to another place */
            if (out.empty()) {
                break;
            }
            const size_t from = rng.below(out.size());
            const size_t end = from + len < out.size() ? from + len : out.size();
            const Bytes block(out.begin() + static_cast<ptrdiff_t>(from),
                              out.begin() + static_cast<ptrdiff_t>(end));
            out.erase(out.begin() + static_cast<ptrdiff_t>(from),
                      out.begin() + static_cast<ptrdiff_t>(end));
            const size_t to = rng.below(out.size() + 1);
            out.insert(out.begin() + static_cast<ptrdiff_t>(to), block.begin(), block.end());
            break;
        }
        }
    }
    return out;
}

inline Bytes point_edits(Rng &rng, const Bytes &base, size_t count, size_t symbols)
{
    Bytes out = base;
    for (size_t i = 0; i < count && !out.empty(); ++i) {
        const size_t at = rng.below(out.size());
        switch (rng.below(3)) {
        case 0:
            out[at] = static_cast<uint8_t>(rng.next());
            break;
        case 1:
            out.erase(out.begin() + static_cast<ptrdiff_t>(at));
            break;
        default:
            out.insert(out.begin() + static_cast<ptrdiff_t>(at),
                       static_cast<uint8_t>('a' + rng.below(symbols)));
            break;
        }
    }
    return out;
}

/* One generated pair of the given kind with lengths up to about max_length. */
inline void make_pair(Rng &rng, PairKind kind, size_t max_length, Bytes *old_value,
                      Bytes *new_value)
{
    const size_t n = max_length == 0 ? 0 : rng.below(max_length + 1);
    const size_t symbols = 2 + rng.below(3);
    switch (kind) {
    case PairKind::kRandom:
        *old_value = random_bytes(rng, n, 256);
        *new_value = random_bytes(rng, max_length == 0 ? 0 : rng.below(max_length + 1), 256);
        return;
    case PairKind::kSmallAlphabet:
        *old_value = random_bytes(rng, n, symbols);
        *new_value = random_bytes(rng, max_length == 0 ? 0 : rng.below(max_length + 1), symbols);
        return;
    case PairKind::kSparseEdits:
        *old_value = random_bytes(rng, n, 256);
        *new_value = point_edits(rng, *old_value, 1 + rng.below(8), 26);
        return;
    case PairKind::kDenseEdits:
        *old_value = random_bytes(rng, n, symbols);
        *new_value = point_edits(rng, *old_value, n / 8 + 1, symbols);
        return;
    case PairKind::kBlockMoves:
        *old_value = random_bytes(rng, n, rng.below(2) ? 256 : symbols);
        *new_value = mutate_blocks(rng, *old_value, symbols);
        return;
    case PairKind::kRepeats: {
        const Bytes unit = random_bytes(rng, 1 + rng.below(12), symbols);
        old_value->clear();
        while (old_value->size() < n) {
            old_value->insert(old_value->end(), unit.begin(), unit.end());
        }
        *new_value = rng.below(2) ? point_edits(rng, *old_value, 1 + rng.below(16), symbols)
                                  : mutate_blocks(rng, *old_value, symbols);
        return;
    }
    case PairKind::kOneSideEmpty: {
        Bytes filled = random_bytes(rng, n, symbols);
        if (rng.below(2)) {
            *old_value = filled;
            new_value->clear();
        } else {
            old_value->clear();
            *new_value = filled;
        }
        return;
    }
    case PairKind::kEqual:
    case PairKind::kCount:
        *old_value = random_bytes(rng, n, symbols);
        *new_value = *old_value;
        return;
    }
}

/* Applies an edit delta to old_value through the shared model of the
 * reader. False when the model refuses it or when it holds any item other
 * than copies (two unsigned integers) and inserts (byte strings), the only
 * items an edit script writes. */
inline bool apply_edit_delta(const Bytes &old_value, const uint8_t *delta, size_t length,
                             Bytes *out)
{
    out->clear();
    std::vector<uint32_t> majors;
    const std::optional<Bytes> rebuilt =
        delta_model::apply(old_value.data(), old_value.size(), delta, length, &majors);
    if (!rebuilt) {
        return false;
    }
    for (const uint32_t major : majors) {
        if (major != 0 && major != 2) {
            return false;
        }
    }
    *out = *rebuilt;
    return true;
}

struct Limits {
    int32_t slot_limit;
    int32_t work_limit;
    uint32_t quality;
};

struct Outcome {
    int32_t result;
    Bytes delta; /* the edit delta when result is MYERS_EDIT_DELTA */
};

inline Outcome run_driver(const Bytes &old_value, const Bytes &new_value, const Limits &limits)
{
    const buf_s o = view(old_value);
    const buf_s n = view(new_value);
    edit_script_s *script = edit_script_create(&o, &n);
    Outcome outcome{MYERS_INVALID_RANGES, {}};
    if (script == nullptr) {
        return outcome;
    }
    outcome.result = myers_binary_diff(&o, 0, static_cast<int32_t>(o.length), &n, 0,
                                       static_cast<int32_t>(n.length), script, limits.slot_limit,
                                       limits.work_limit, limits.quality);
    if (outcome.result == MYERS_EDIT_DELTA) {
        outcome.delta.assign(script->output->data, script->output->data + script->output->length);
    }
    edit_script_free(script);
    return outcome;
}

/* Empty when the driver's answer for the pair is sound; otherwise a
 * description of what is wrong. An edit delta must rebuild the new value
 * and be strictly shorter than it; "equal" must mean equal; a replacement
 * is always sound. */
inline std::string check_outcome(const Bytes &old_value, const Bytes &new_value,
                                 const Outcome &outcome)
{
    switch (outcome.result) {
    case MYERS_VALUES_EQUAL:
        return old_value == new_value ? "" : "reported equal for different values";
    case MYERS_REPLACEMENT_DELTA:
        return "";
    case MYERS_EDIT_DELTA: {
        /* The one edit delta that cannot be shorter: the empty delta of an
         * empty new value (the caller then sends the replacement). */
        if (outcome.delta.size() >= new_value.size() &&
            !(new_value.empty() && outcome.delta.empty())) {
            return "edit delta not shorter than the new value";
        }
        Bytes rebuilt;
        if (!apply_edit_delta(old_value, outcome.delta.data(), outcome.delta.size(), &rebuilt)) {
            return "edit delta unreadable or copies outside the old value";
        }
        return rebuilt == new_value ? "" : "edit delta does not rebuild the new value";
    }
    default:
        return "unexpected driver result " + std::to_string(outcome.result);
    }
}

inline std::string check_pair(const Bytes &old_value, const Bytes &new_value, const Limits &limits)
{
    return check_outcome(old_value, new_value, run_driver(old_value, new_value, limits));
}

inline std::string describe(const Bytes &b)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < b.size() && i < 64; ++i) {
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    if (b.size() > 64) {
        s += "... (" + std::to_string(b.size()) + " bytes)";
    }
    return s;
}

} // namespace search_support

#endif
