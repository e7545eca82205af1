// diff_apply_binary over an arbitrary old value and delta: never reads
// outside either (both are exact-size heap copies), returns null or a
// buffer, and agrees with the direct model of the reader.
#include "core/delta.h"
#include "../tests/model/delta_apply_model.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Splitter in(data, size);
    const size_t old_len = in.u16() % 4096;
    auto old_piece = in.take(old_len);
    auto delta_piece = in.rest();
    fuzz::ExactBuf old_value(old_piece.first, old_piece.second);
    fuzz::ExactBuf delta(delta_piece.first, delta_piece.second);

    fuzz::BufPtr result(diff_apply_binary(old_value.get(), delta.get()));
    const auto expected =
        delta_model::apply(old_value.data(), old_value.size(), delta.data(), delta.size());
    fuzz::check(result != nullptr || !expected, "reader refused a delta the model accepts");
    fuzz::check(result == nullptr || expected.has_value(),
                "reader accepted a delta the model refuses");
    if (result) {
        fuzz::check(fuzz::same_bytes(result.get(), expected->data(), expected->size()),
                    "rebuilt value differs from the model");
    }
    return 0;
}
