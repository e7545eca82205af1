// The shortest-float writer against the direct model of its rule (decode
// the half, single and double candidates and keep the shortest that agrees).
// The input's first 8 bytes are the double's bit pattern.
#include <cstring>

#include "core/cbor.h"
#include "fuzz_common.h"
#include "../tests/core/cbor_float_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint64_t bits = 0;
    if (size) std::memcpy(&bits, data, size < 8 ? size : 8);
    double value;
    std::memcpy(&value, &bits, 8);

    const kvtest::FloatItem expected = kvtest::model_write_float(value);
    cbor_generator_s *gen = cbor_generator_create();
    fuzz::check(gen != nullptr, "generator");
    const int32_t status = cbor_write_float(gen, value);
    fuzz::check(status == expected.status, "status differs from the model");
    fuzz::check(gen->length == expected.size &&
                    std::memcmp(gen->data, expected.bytes, expected.size) == 0,
                "bytes differ from the model");
    cbor_generator_free(gen);
    return 0;
}
