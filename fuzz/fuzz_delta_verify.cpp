// The verifying apply (diff_apply_binary_ex) under every flag and output cap,
// held to the direct model. A mode byte picks whether the delta comes from
// the input as it is, or is a checksummed delta generated from an old and a
// new value and then possibly cut or changed by one bit: a verified apply
// must then give the new value exactly or refuse.
#include <cstring>

#include "core/delta.h"
#include "../tests/model/delta_verify_model.h"
#include "fuzz_common.h"

namespace {

constexpr uint8_t kVerify = 1;
constexpr uint8_t kCapped = 2;
constexpr uint8_t kGenerate = 4;
constexpr uint8_t kCut = 8;
constexpr uint8_t kFlip = 16;
constexpr size_t kMaxValue = 2048;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Splitter in(data, size);
    const uint8_t mode = in.byte();
    const bool verify = (mode & kVerify) != 0;
    const uint64_t cap = (mode & kCapped) != 0 ? in.u16() : UINT64_MAX;
    auto old_piece = in.take(in.u16() % kMaxValue);
    fuzz::ExactBuf old_value(old_piece.first, old_piece.second);

    std::vector<uint8_t> delta_bytes;
    std::vector<uint8_t> new_bytes;
    bool generated_intact = false;
    if ((mode & kGenerate) != 0) {
        auto new_piece = in.take(in.u16() % kMaxValue);
        new_bytes.assign(new_piece.first, new_piece.first + new_piece.second);
        fuzz::ExactBuf new_value(new_piece.first, new_piece.second);
        fuzz::BufPtr made(diff_generate_binary_checked(old_value.get(), new_value.get()));
        fuzz::check(made != nullptr, "checksummed generate failed on small values");
        delta_bytes.assign(made->data, made->data + made->length);
        const uint16_t where = in.u16();
        generated_intact = true;
        if ((mode & kCut) != 0 && where < delta_bytes.size()) {
            delta_bytes.resize(where);
            generated_intact = false;
        }
        if ((mode & kFlip) != 0 && !delta_bytes.empty()) {
            const size_t bit = in.u16() % (delta_bytes.size() * 8);
            delta_bytes[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
            generated_intact = false;
        }
    } else {
        auto rest = in.rest();
        delta_bytes.assign(rest.first, rest.first + rest.second);
    }
    fuzz::ExactBuf delta(delta_bytes.data(), delta_bytes.size());

    kv_status status = KV_OK;
    fuzz::BufPtr result(diff_apply_binary_ex(old_value.get(), delta.get(),
                                             verify ? DIFF_APPLY_VERIFY : 0, cap, &status));
    fuzz::check((result != nullptr) == (status == KV_OK), "status and result disagree");
    const auto expected = fuzz::model_apply(old_value.get(), delta.get(), verify, cap);
    fuzz::check(result != nullptr || !expected,
                "verifying reader refused a delta the model accepts");
    fuzz::check(result == nullptr || expected.has_value(),
                "verifying reader accepted a delta the model refuses");
    if (result) {
        fuzz::check(fuzz::same_bytes(result.get(), expected->data(), expected->size()),
                    "rebuilt value differs from the model");
    }
    if ((mode & kGenerate) != 0) {
        if (generated_intact && new_bytes.size() <= cap) {
            fuzz::check(result != nullptr, "an intact checksummed delta was refused");
        }
        if (result && (verify || generated_intact)) {
            fuzz::check(fuzz::same_bytes(result.get(), new_bytes.data(), new_bytes.size()),
                        "a checksummed delta rebuilt something else");
        }
    }
    return 0;
}
