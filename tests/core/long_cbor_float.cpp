// Exhaustive check of the shortest-float writer: every single-precision bit
// pattern, widened to double, must come out byte for byte (and with the same
// result) as from a direct model of the rule the writer replaces: write the
// candidates F9 H, FA S and FB D, decode them with the parser's own float
// handlers and keep the shortest whose decoded double equals the others.
#include "core/cbor.h"

#include "cbor_float_model.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "core/owner.h"

namespace {

// Checks patterns [first, last] and returns how many disagree; the first
// disagreeing pattern goes to *first_bad.
uint64_t check_range(uint64_t first, uint64_t last, uint32_t *first_bad)
{
    constexpr uint64_t kBatch = 1 << 10; // writes between generator resets (keeps the block small)
    kv_owner<cbor_generator_s, cbor_generator_free> gen(cbor_generator_create());
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
        const kvtest::FloatItem expected = kvtest::model_write_float(value);
        bool same = status == expected.status && gen->length - before == expected.size;
        for (unsigned i = 0; same && i < expected.size; ++i)
            same = gen->data[before + i] == expected.bytes[i];
        if (!same && bad++ == 0) *first_bad = bits;
    }
    return bad;
}

TEST(CborFloatExhaustive, EverySinglePatternMatchesTheModel)
{
    constexpr unsigned kThreads = 2;
    constexpr uint64_t kPatterns = uint64_t(1) << 32;
    std::vector<std::thread> threads;
    uint64_t bad[kThreads] = {};
    uint32_t first_bad[kThreads] = {};
    for (unsigned t = 0; t < kThreads; ++t) {
        const uint64_t first = kPatterns / kThreads * t;
        const uint64_t last = kPatterns / kThreads * (t + 1) - 1;
        threads.emplace_back(
            [&, t, first, last] { bad[t] = check_range(first, last, &first_bad[t]); });
    }
    for (std::thread &thread : threads) thread.join();
    for (unsigned t = 0; t < kThreads; ++t) {
        EXPECT_EQ(bad[t], 0u) << "first disagreeing single pattern 0x" << std::hex << first_bad[t];
    }
}

} // namespace
