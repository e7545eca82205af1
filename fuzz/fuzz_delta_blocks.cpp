// Block search: the input is split into an old and a new value (a 16-bit
// old length first). The delta must be one of the three kinds, never longer
// than the replacement delta, an edit delta strictly shorter than the new
// value, the same bytes on a second run, and it must rebuild the new value
// through the described apply.
#include <cstring>

#include "core/block_search.h"
#include "core/delta.h"
#include "fuzz_common.h"

namespace {

bool equal_values(const buf_s *a, const buf_s *b)
{
    return a->length == b->length &&
           (a->length == 0 || std::memcmp(a->data, b->data, a->length) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Splitter in(data, size);
    const size_t old_len = in.u16();
    auto old_piece = in.take(old_len);
    auto new_piece = in.rest();
    fuzz::ExactBuf old_value(old_piece.first, old_piece.second);
    fuzz::ExactBuf new_value(new_piece.first, new_piece.second);

    fuzz::BufPtr delta(diff_generate_binary_blocks(old_value.get(), new_value.get()));
    fuzz::check(delta != nullptr, "block search failed on small values");
    fuzz::BufPtr again(diff_generate_binary_blocks(old_value.get(), new_value.get()));
    fuzz::check(again != nullptr && equal_values(delta.get(), again.get()),
                "block search is not deterministic");
    fuzz::BufPtr replacement(_write_replacement_delta(new_value.get()));
    fuzz::check(delta->length <= replacement->length, "delta longer than the replacement delta");
    const bool is_no_change = delta->length == 1 && delta->data[0] == 0xF6;
    if (is_no_change) {
        fuzz::check(equal_values(old_value.get(), new_value.get()) && new_value.get()->length >= 2,
                    "no-change delta for unequal values");
    } else if (!equal_values(delta.get(), replacement.get())) {
        fuzz::check(delta->length < new_value.get()->length,
                    "edit delta not shorter than the new value");
    }
    fuzz::ExactBuf exact(delta->data, delta->length);
    fuzz::BufPtr rebuilt(diff_apply_binary(old_value.get(), exact.get()));
    fuzz::check(rebuilt != nullptr, "a block-search delta was refused");
    fuzz::check(equal_values(rebuilt.get(), new_value.get()),
                "a block-search delta does not rebuild the new value");
    return 0;
}
