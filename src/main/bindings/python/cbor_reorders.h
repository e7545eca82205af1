// The record of dumps' deterministic form (canonical=True): dicts written
// out of key order, put into key order once the output is complete. Moving
// each dict's entries as it closed would copy a dict nested n levels deep n
// times; the record moves every byte at most twice, however deep such dicts
// nest. Used by bindings/python/cbor_encode.cpp. No Python calls; the only
// failure is std::bad_alloc, which any member but roots and largest may throw
// (compare_keys grows its cursor stacks).
//
// Until the record is applied, the final bytes of a span are read through it:
// a key that holds recorded dicts compares as it will read, not as written.
#ifndef KORVALENT_BINDINGS_PYTHON_CBOR_REORDERS_H
#define KORVALENT_BINDINGS_PYTHON_CBOR_REORDERS_H

#include <cstddef>
#include <string>
#include <vector>

namespace korvalent {

struct Pair { // a dict entry as written, in buffer offsets
    std::size_t start, key_end, end;
    // The reordered dicts it holds, Reorders::roots_[roots, held_end), the
    // first roots_end - roots of them in its key.
    std::size_t roots, roots_end, held_end;
};

class Reorders {
public:
    // The recorded dicts no later one holds (outermost so far).
    std::size_t roots() const { return roots_.size(); }

    // The dict just closed fills [from, to) of the output; its entries, in
    // key order, are sorted[0, n), and the dicts they hold are the roots from
    // `inner` on.
    void add(std::size_t from, std::size_t to, const Pair *sorted, std::size_t n,
             std::size_t inner);

    // The order of two keys of buf by their final bytes (as memcmp, then
    // length): negative, zero or positive.
    int compare_keys(const char *buf, const Pair &a, const Pair &b) const;

    // The largest span of an outermost recorded dict.
    std::size_t largest() const;

    // Writes buf[0, size) to out with every recorded dict's entries in key
    // order: every byte moves once.
    void assemble(const char *buf, std::size_t size, char *out);

    // Moves every recorded dict's entries into key order within buf: each
    // outermost one is assembled in a scratch buffer and copied back, so
    // every byte moves twice however deep such dicts nest, and the extra
    // memory is the largest outermost span.
    void apply(char *buf);

private:
    struct Dict {
        std::size_t from, to; // its entries' bytes
        std::size_t first, n; // its entries in key order: entries_[first, first + n)
    };
    // An entry's bytes, and the dicts it holds: kids_[kid, kid_end), in order.
    struct Entry {
        std::size_t start, end, kid, kid_end;
    };
    struct Piece {
        const char *data;
        std::size_t size;
    };
    // A span being read, [pos, end), its held dicts still ahead, and (but
    // for a cursor's first level) the recorded dict and entry it is.
    struct Level {
        std::size_t dict, entry, pos, end;
        const std::size_t *held, *held_end;
    };
    class Cursor;

    std::vector<Dict> dicts_;                // in the order they closed
    std::vector<Entry> entries_;             // each dict's in key order
    std::vector<std::size_t> kids_;          // each entry's held dicts, in output order
    std::vector<std::size_t> roots_;         // the dicts no later one holds, in output order
    std::vector<Level> levels_;              // assemble's and apply's cursor stack
    mutable std::vector<Level> compared_[2]; // compare_keys' cursor stacks, kept for reuse
    std::string scratch_;
};

} // namespace korvalent

#endif
