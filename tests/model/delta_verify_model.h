/* A direct model of the verifying apply: the plain apply of
 * delta_apply_model.h, one allocated item at a time through cbor_next_val,
 * stopped at a checksum trailer met at an item boundary, whose lengths and
 * hashes are then checked. The verifying fuzz target holds the real reader
 * to it. */
#ifndef KORVALENT_TESTS_MODEL_DELTA_VERIFY_MODEL_H
#define KORVALENT_TESTS_MODEL_DELTA_VERIFY_MODEL_H

#include <cstdint>
#include <optional>
#include <vector>

#include "core/buf.h"
#include "core/cbor.h"
#include "core/delta_check.h"
#include "delta_apply_model.h"

namespace fuzz {

using delta_model::is_reserved;

// The rebuilt value, or nullopt where the reader must refuse the delta:
// besides a malformed delta, a trailer that does not match, no trailer when
// `verify` asks for one, or a value longer than max_size.
inline std::optional<std::vector<uint8_t>> model_apply(const buf_s *old_value, const buf_s *delta,
                                                       bool verify = false,
                                                       uint64_t max_size = UINT64_MAX)
{
    const uint8_t *old = old_value->data;
    const uint64_t old_len = old_value->length;
    if (delta->length == 1 && delta->data[0] == 0xF6) {
        if (verify || old_len > max_size) return std::nullopt;
        return std::vector<uint8_t>(old, old + old_len);
    }
    delta_trailer_s trailer{};
    const bool shaped = delta_check_read_trailer(delta, &trailer) == 1;
    const uint64_t trailer_at = shaped ? delta->length - DELTA_TRAILER_SIZE : UINT64_MAX;
    bool reached_trailer = false;
    cbor_parser_s *parser = cbor_parser_create(delta->data, delta->length);
    if (!parser) return std::nullopt;
    std::vector<uint8_t> out;
    bool ok = true;
    while (ok && cbor_parser_available_bytes(parser) > 0) {
        if (static_cast<uint64_t>(parser->cursor - parser->start) == trailer_at) {
            reached_trailer = true;
            break;
        }
        if (is_reserved(*parser->cursor)) {
            ok = false;
            break;
        }
        cbor_val_s *item = cbor_next_val(parser);
        if (!item) {
            ok = false;
            break;
        }
        if (item->major_type == 0) {
            const uint64_t offset = item->value.u64;
            cbor_val_free(item);
            if (cbor_parser_available_bytes(parser) <= 0 || is_reserved(*parser->cursor)) {
                ok = false;
                break;
            }
            cbor_val_s *count_item = cbor_next_val(parser);
            if (!count_item || count_item->major_type != 0) {
                cbor_val_free(count_item);
                ok = false;
                break;
            }
            const uint64_t count = count_item->value.u64;
            cbor_val_free(count_item);
            if (offset > old_len || count > old_len - offset) {
                ok = false;
                break;
            }
            out.insert(out.end(), old + offset, old + offset + count);
        } else if ((item->major_type == 2 || item->major_type == 3) &&
                   item->length != CBOR_INDEFINITE_LENGTH) {
            out.insert(out.end(), item->value.ptr, item->value.ptr + item->length);
            cbor_val_free(item);
        } else {
            cbor_val_free(item);
        }
    }
    cbor_parser_free(parser);
    if (!ok) return std::nullopt;
    if (reached_trailer) {
        const buf_s rebuilt{out.data(), out.size(), out.size()};
        if (!delta_check_covers(delta, &trailer) ||
            !delta_check_value_matches(old_value, trailer.old_length, trailer.old_hash) ||
            !delta_check_value_matches(&rebuilt, trailer.new_length, trailer.new_hash)) {
            return std::nullopt;
        }
    } else if (verify) {
        return std::nullopt;
    }
    if (out.size() > max_size) return std::nullopt;
    return out;
}

} // namespace fuzz

#endif
