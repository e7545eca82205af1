/* A direct model of applying a delta, shared by the core tests, the search
 * tests and the fuzz targets; the fast reader in core/delta.cpp is held to it.
 *
 * Written for clarity, not speed: one allocated record per item through
 * cbor_next_val, following the apply algorithm step by step. Where the
 * library refuses a delta that the plain algorithm would half apply, the
 * step is marked "refused": copies must lie within the old value, reserved
 * initial bytes and undecodable items fail the delta, a delta of exactly one
 * null rebuilds the old value, and indefinite string heads add nothing. One
 * rule comes from the integrity trailer (core/delta_check.h): a delta whose
 * last DELTA_TRAILER_SIZE bytes are shaped as a trailer and start at an item
 * boundary is refused unless the trailer covers the delta and records the
 * old value and the rebuilt one. */
#ifndef KORVALENT_TESTS_MODEL_DELTA_APPLY_MODEL_H
#define KORVALENT_TESTS_MODEL_DELTA_APPLY_MODEL_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/cbor.h"
#include "core/delta_check.h"
#include "core/owner.h"

namespace delta_model {

using Bytes = std::vector<uint8_t>;

/* Initial bytes RFC 7049 reserves, as inclusive ranges: additional
 * information 28 to 30 everywhere, and 31 for integers and tags. */
struct ByteRange {
    int lo;
    int hi;
};
inline constexpr ByteRange kReservedRanges[] = {{0x1C, 0x1F}, {0x3C, 0x3F}, {0x5C, 0x5E},
                                                {0x7C, 0x7E}, {0x9C, 0x9E}, {0xBC, 0xBE},
                                                {0xDC, 0xDF}, {0xFC, 0xFE}};

inline bool is_reserved(uint8_t byte)
{
    for (const ByteRange &r : kReservedRanges) {
        if (byte >= r.lo && byte <= r.hi) {
            return true;
        }
    }
    return false;
}

using ValPtr = kv_owner<cbor_val_s, cbor_val_free>;
using ParserPtr = kv_owner<cbor_parser_s, cbor_parser_free>;

/* The next item, or null at the end of the delta, for a reserved initial
 * byte (refused) or an undecodable item. */
inline ValPtr next_item(cbor_parser_s *parser)
{
    if (cbor_parser_available_bytes(parser) < 1 || is_reserved(*parser->cursor)) {
        return nullptr;
    }
    return ValPtr(cbor_next_val(parser));
}

/* Whether a trailer-shaped tail of the delta, starting at an item boundary
 * (trailer_is_item), fails to check out against old and the rebuilt value. */
inline bool trailer_refuses(const uint8_t *old, size_t old_length, const uint8_t *delta,
                            size_t delta_length, bool trailer_is_item, const Bytes &rebuilt)
{
    const auto view = [](const uint8_t *data, size_t length) {
        return buf_s{const_cast<uint8_t *>(data), length, length};
    };
    const buf_s delta_view = view(delta, delta_length);
    delta_trailer_s t{};
    if (!trailer_is_item || !delta_check_read_trailer(&delta_view, &t)) {
        return false;
    }
    const buf_s old_view = view(old, old_length), new_view = view(rebuilt.data(), rebuilt.size());
    return !delta_check_covers(&delta_view, &t) ||
           !delta_check_value_matches(&old_view, t.old_length, t.old_hash) ||
           !delta_check_value_matches(&new_view, t.new_length, t.new_hash);
}

/* The value rebuilt from old[0, old_length) by the delta, or nullopt where
 * the library refuses the delta. When majors is given, the major type of
 * every item read is appended to it, so callers can also check which items a
 * delta holds. */
inline std::optional<Bytes> apply(const uint8_t *old, size_t old_length, const uint8_t *delta,
                                  size_t delta_length, std::vector<uint32_t> *majors = nullptr)
{
    /* The no-change delta rebuilds the old value. */
    if (delta_length == 1 && delta[0] == 0xF6) {
        if (majors != nullptr) {
            majors->push_back(7);
        }
        return Bytes(old, old + old_length);
    }
    /* A parser over the delta; one that cannot be made is refused. */
    ParserPtr parser(cbor_parser_create(delta, delta_length));
    if (!parser) {
        return std::nullopt;
    }
    Bytes out;
    bool trailer_is_item = false;
    /* Items until the end of the delta; an undecodable one is refused. */
    while (cbor_parser_available_bytes(parser.get()) > 0) {
        trailer_is_item =
            trailer_is_item || (delta_length >= DELTA_TRAILER_SIZE &&
                                cbor_parser_available_bytes(parser.get()) == DELTA_TRAILER_SIZE);
        ValPtr item = next_item(parser.get());
        if (!item) {
            return std::nullopt;
        }
        if (majors != nullptr) {
            majors->push_back(item->major_type);
        }
        if (item->major_type == 0) {
            /* A copy offset: the next item must be a major-0 count. */
            ValPtr count = next_item(parser.get());
            if (!count || count->major_type != 0) {
                return std::nullopt;
            }
            if (majors != nullptr) {
                majors->push_back(count->major_type);
            }
            const uint64_t offset = item->value.u64;
            const uint64_t n = count->value.u64;
            /* The copy must lie within the old value (refused otherwise). */
            if (offset > old_length || n > old_length - offset) {
                return std::nullopt;
            }
            out.insert(out.end(), old + offset, old + offset + n);
        } else if (item->major_type == 2 || item->major_type == 3) {
            /* A byte or text string appends its bytes; an indefinite head
             * adds nothing, its chunks follow as ordinary strings. */
            if (item->length != CBOR_INDEFINITE_LENGTH) {
                out.insert(out.end(), item->value.ptr, item->value.ptr + item->length);
            }
        }
        /* Any other item is skipped. */
    }
    /* Refused: a trailer that does not check out. */
    if (trailer_refuses(old, old_length, delta, delta_length, trailer_is_item, out)) {
        return std::nullopt;
    }
    return out;
}

} // namespace delta_model

#endif
