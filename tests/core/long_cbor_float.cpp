// Exhaustive check of the shortest-float writer: every single-precision bit
// pattern, widened to double, must come out byte for byte (and with the same
// result) as from a direct model of the rule the writer replaces: write the
// candidates F9 H, FA S and FB D, decode them with the parser's own float
// handlers and keep the shortest whose decoded double equals the others.
#include "core/cbor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

namespace {

struct Encoded {
    int32_t status;
    unsigned size;
    uint8_t bytes[9];
};

constexpr uint8_t kCandidates[3] = {0xF9, 0xFA, 0xFB};

// Most significant byte first; width is 2, 4 or 8.
void put_be(uint8_t *out, uint64_t value, unsigned width) {
    const uint64_t be = __builtin_bswap64(value << (8 * (8 - width)));
    std::memcpy(out, &be, width);
}

Encoded fixed(uint8_t b0, uint8_t b1) { return {0, 3, {kCandidates[0], b0, b1}}; }

Encoded model_write_float(double value) {
    if (value != value) return fixed(0x7E, 0x00);
    if (value == std::numeric_limits<double>::infinity()) return fixed(0x7C, 0x00);
    if (value == -std::numeric_limits<double>::infinity()) return fixed(0xFC, 0x00);
    const float single = static_cast<float>(value);
    uint32_t s;
    std::memcpy(&s, &single, sizeof s);
    const uint32_t sign = s >> 31, exponent = (s >> 23) & 0xFF, fraction = s & 0x7FFFFF;
    uint32_t h = (sign << 15) | (fraction >> 13);
    if (exponent != 0) h = (h | ((exponent - 112) << 10)) & 0xFFFF;
    uint64_t d;
    std::memcpy(&d, &value, sizeof d);

    // Scratch items F9 H | FA S | FB D, decoded in that order.
    uint8_t scratch[3 + 5 + 9];
    scratch[0] = kCandidates[0];
    put_be(scratch + 1, h, 2);
    scratch[3] = kCandidates[1];
    put_be(scratch + 4, s, 4);
    scratch[8] = kCandidates[2];
    put_be(scratch + 9, d, 8);
    cbor_parser_s parser;
    cbor_val_s hv{}, fv{}, dv{};
    if (_cbor_parser_init(&parser, scratch, sizeof scratch) != 0 || cbor_parse_float16(&parser, &hv) != 0 ||
        cbor_parse_float32(&parser, &fv) != 0 || cbor_parse_float64(&parser, &dv) != 0)
        return {-1, 0, {}};

    Encoded out{1, 0, {}};
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

struct GenDeleter {
    void operator()(cbor_generator_s *gen) const { cbor_generator_free(gen); }
};

// Checks patterns [first, last] and returns how many disagree; the first
// disagreeing pattern goes to *first_bad.
uint64_t check_range(uint64_t first, uint64_t last, uint32_t *first_bad) {
    constexpr uint64_t kBatch = 1 << 10; // writes between generator resets (keeps the block small)
    std::unique_ptr<cbor_generator_s, GenDeleter> gen(cbor_generator_create());
    if (!gen) return last - first + 1;
    uint64_t bad = 0;
    for (uint64_t pattern = first; pattern <= last; ++pattern) {
        if ((pattern - first) % kBatch == 0) gen->length = 0;
        const uint32_t bits = static_cast<uint32_t>(pattern);
        float single;
        std::memcpy(&single, &bits, sizeof single);
        const double value = single;
        const uint64_t before = gen->length;
        const int32_t status = cbor_write_float(gen.get(), value);
        const Encoded expected = model_write_float(value);
        bool same = status == expected.status && gen->length - before == expected.size;
        for (unsigned i = 0; same && i < expected.size; ++i) same = gen->data[before + i] == expected.bytes[i];
        if (!same && bad++ == 0) *first_bad = bits;
    }
    return bad;
}

TEST(CborFloatExhaustive, EverySinglePatternMatchesTheModel) {
    constexpr unsigned kThreads = 2;
    constexpr uint64_t kPatterns = uint64_t(1) << 32;
    std::vector<std::thread> threads;
    uint64_t bad[kThreads] = {};
    uint32_t first_bad[kThreads] = {};
    for (unsigned t = 0; t < kThreads; ++t) {
        const uint64_t first = kPatterns / kThreads * t;
        const uint64_t last = kPatterns / kThreads * (t + 1) - 1;
        threads.emplace_back([&, t, first, last] { bad[t] = check_range(first, last, &first_bad[t]); });
    }
    for (std::thread &thread : threads) thread.join();
    for (unsigned t = 0; t < kThreads; ++t) {
        EXPECT_EQ(bad[t], 0u) << "first disagreeing single pattern 0x" << std::hex << first_bad[t];
    }
}

} // namespace
