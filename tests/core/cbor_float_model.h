// A direct model of the shortest-float rule, shared by the float tests and
// the float fuzz target: write the candidates F9 H, FA S and FB D, decode them
// with the parser's own float handlers, compare the decoded numbers as
// doubles and keep the first that agrees. The writer decides by bit tests;
// this is what it must match, byte for byte and result for result.
#ifndef KORVALENT_TESTS_CBOR_FLOAT_MODEL_H
#define KORVALENT_TESTS_CBOR_FLOAT_MODEL_H

#include <cstdint>
#include <cstring>
#include <limits>

#include "core/cbor.h"

namespace kvtest {

struct FloatItem {
    int32_t status; // what cbor_write_float must return
    unsigned size;  // bytes it must append
    uint8_t bytes[9];
};

inline FloatItem model_write_float(double value)
{
    constexpr uint8_t kHalf = 0xF9, kSingle = 0xFA, kDouble = 0xFB;
    if (value != value) return {0, 3, {kHalf, 0x7E, 0x00}};
    if (value == std::numeric_limits<double>::infinity()) return {0, 3, {kHalf, 0x7C, 0x00}};
    if (value == -std::numeric_limits<double>::infinity()) return {0, 3, {kHalf, 0xFC, 0x00}};
    const float single = static_cast<float>(value);
    uint32_t s;
    std::memcpy(&s, &single, sizeof s);
    const uint32_t sign = s >> 31, exponent = (s >> 23) & 0xFF, fraction = s & 0x7FFFFF;
    uint32_t h = (sign << 15) | (fraction >> 13);
    // Without rounding and without a subnormal form; an exponent outside the
    // half range wraps and the decoded comparison rejects the candidate.
    if (exponent != 0) h = (h | ((exponent - 112) << 10)) & 0xFFFF;
    uint64_t d;
    std::memcpy(&d, &value, sizeof d);

    uint8_t scratch[3 + 5 + 9];
    scratch[0] = kHalf;
    for (int i = 0; i < 2; ++i) scratch[1 + i] = static_cast<uint8_t>(h >> (8 - 8 * i));
    scratch[3] = kSingle;
    for (int i = 0; i < 4; ++i) scratch[4 + i] = static_cast<uint8_t>(s >> (24 - 8 * i));
    scratch[8] = kDouble;
    for (int i = 0; i < 8; ++i) scratch[9 + i] = static_cast<uint8_t>(d >> (56 - 8 * i));
    cbor_parser_s parser;
    cbor_val_s hv{}, fv{}, dv{};
    if (_cbor_parser_init(&parser, scratch, sizeof scratch) != 0 ||
        cbor_parse_float16(&parser, &hv) != 0 || cbor_parse_float32(&parser, &fv) != 0 ||
        cbor_parse_float64(&parser, &dv) != 0)
        return {-1, 0, {}};

    FloatItem out{1, 0, {}};
    const uint8_t *chosen;
    if (fv.value.f64 == dv.value.f64) {
        const bool half = hv.value.f64 == fv.value.f64;
        chosen = half ? scratch : scratch + 3;
        out.size = half ? 3 : 5;
    } else {
        chosen = scratch + 8;
        out.size = 9;
    }
    std::memcpy(out.bytes, chosen, out.size);
    return out;
}

} // namespace kvtest

#endif
