// The shortest-float writer against a direct model of its rule: write the
// half, single and double candidates as CBOR items, decode them back with
// the parser's own float handlers, and keep the shortest that decodes to the
// same number. The input's first 8 bytes are the double's bit pattern.
#include <cmath>
#include <cstring>
#include <vector>

#include "core/cbor.h"
#include "fuzz_common.h"

namespace {

struct ModelResult {
    std::vector<uint8_t> bytes;
    int32_t status;
};

void put_be(std::vector<uint8_t> &out, uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

double decode(cbor_handler_fn handler, const std::vector<uint8_t> &item) {
    cbor_parser_s parser;
    fuzz::check(_cbor_parser_init(&parser, item.data(), item.size()) == 0, "parser init");
    cbor_val_s val{};
    val.initial_byte = item[0];
    val.major_type = item[0] >> 5;
    fuzz::check(handler(&parser, &val) == 0, "candidate did not decode");
    return val.value.f64;
}

ModelResult model_write_float(double value) {
    ModelResult r;
    if (value != value) { r.bytes = {0xF9, 0x7E, 0x00}; r.status = 0; return r; }
    if (std::isinf(value)) {
        r.bytes = {0xF9, static_cast<uint8_t>(value > 0 ? 0x7C : 0xFC), 0x00};
        r.status = 0;
        return r;
    }
    const float single = static_cast<float>(value);
    uint32_t s;
    std::memcpy(&s, &single, 4);
    const uint32_t sign = s >> 31, exp = (s >> 23) & 0xFF, frac = s & 0x7FFFFF;
    uint16_t h = static_cast<uint16_t>((sign << 15) | (frac >> 13));
    if (exp != 0) h = static_cast<uint16_t>(h | ((exp - 112) << 10));
    uint64_t d;
    std::memcpy(&d, &value, 8);

    std::vector<uint8_t> hi{0xF9}, fi{0xFA}, di{0xFB};
    put_be(hi, h, 2);
    put_be(fi, s, 4);
    put_be(di, d, 8);
    const double hv = decode(cbor_parse_float16, hi);
    const double fv = decode(cbor_parse_float32, fi);
    const double dv = decode(cbor_parse_float64, di);
    if (fv == dv) r.bytes = (hv == fv) ? hi : fi;
    else r.bytes = di;
    r.status = 1;
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint64_t bits = 0;
    std::memcpy(&bits, data, size < 8 ? size : 8);
    double value;
    std::memcpy(&value, &bits, 8);

    const ModelResult expected = model_write_float(value);
    cbor_generator_s *gen = cbor_generator_create();
    fuzz::check(gen != nullptr, "generator");
    const int32_t status = cbor_write_float(gen, value);
    fuzz::check(status == expected.status, "status differs from the model");
    fuzz::check(gen->length == expected.bytes.size() &&
                    std::memcmp(gen->data, expected.bytes.data(), expected.bytes.size()) == 0,
                "bytes differ from the model");
    cbor_generator_free(gen);
    return 0;
}
