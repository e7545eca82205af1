// Exhaustive check of the loads decoder against the decode on the core's
// head reader: every 3-byte input gets the same verdict and the same tree.
#include "cbor_tree_model.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(CborDecodeLong, EveryThreeByteInputAgreesWithTheCoreModel)
{
    uint64_t disagreements = 0;
    uint32_t first_bad = 0;
    for (uint32_t v = 0; v < (1u << 24); ++v) {
        const uint8_t in[3] = {static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                               static_cast<uint8_t>(v)};
        const cbor_tree::Decoded got = cbor_tree::decode_tree(in, 3, 64);
        const cbor_tree::Decoded want = cbor_tree::core_model_decode(in, 3, 64);
        if (got.ok != want.ok || (got.ok && got.tree != want.tree)) {
            if (disagreements++ == 0) first_bad = v;
        }
    }
    EXPECT_EQ(disagreements, 0u) << "first at " << std::hex << first_bad;
}

} // namespace
