// The loads decoder over arbitrary bytes, with a native value tree in place
// of Python objects: it must never crash or read past the input; an accepted
// item must agree with the decode on the core's head reader, and written back
// by the core's generator it must decode to the same tree; text read through
// a copy (as for inputs that may change) must decode as text read in place;
// reading the input as a sequence must stop at its end or at a reported fault.
#include "../tests/core/cbor_tree_model.h"
#include "core/cbor.h"
#include "fuzz_common.h"

namespace {

// Depth kept modest so the sanitized native stack stays small.
constexpr uint32_t kMaxDepth = 200;

void check_rewrite(const cbor_tree::Node &tree)
{
    cbor_generator_s *gen = cbor_generator_create();
    fuzz::check(gen != nullptr, "out of memory");
    fuzz::check(cbor_tree::write_tree(gen, tree), "generator refused a decoded tree");
    const cbor_tree::Decoded again =
        cbor_tree::decode_tree(gen->data, static_cast<size_t>(gen->length), kMaxDepth);
    fuzz::check(again.ok, "a rewritten item does not decode");
    fuzz::check(again.tree == tree, "a rewritten item decodes to another tree");
    cbor_generator_free(gen);
}

void walk_sequence(const uint8_t *data, size_t size)
{
    size_t offset = 0;
    while (offset < size) {
        cbor_tree::TreeBuilder builder;
        korvalent::cbor_decode::Decoder<cbor_tree::TreeBuilder> decoder(builder, data, size,
                                                                        kMaxDepth, offset);
        cbor_tree::Node *item = decoder.next();
        fuzz::check(decoder.failure().offset <= size, "fault offset past the input");
        if (item == nullptr) return;
        delete item;
        fuzz::check(decoder.offset() > offset && decoder.offset() <= size,
                    "sequence cursor out of step");
        offset = decoder.offset();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::ExactBuf input(data, size);
    const cbor_tree::Decoded got = cbor_tree::decode_tree(input.data(), size, kMaxDepth);
    fuzz::check(got.ok || got.failure.fault != korvalent::cbor_decode::Fault::kNone,
                "failure without a fault");
    fuzz::check(got.failure.offset <= size, "fault offset past the input");
    // Text read through a copy (an input that may change) decodes the same.
    const cbor_tree::Decoded copied = cbor_tree::decode_tree(
        input.data(), size, kMaxDepth, false, korvalent::cbor_decode::Input::kMayChange);
    fuzz::check(copied.ok == got.ok && copied.failure.fault == got.failure.fault &&
                    copied.failure.offset == got.failure.offset &&
                    (!got.ok || copied.tree == got.tree),
                "text read in place and through a copy decode differently");
    if (size < (1u << 20)) {
        const cbor_tree::Decoded model =
            cbor_tree::core_model_decode(input.data(), size, kMaxDepth);
        fuzz::check(model.ok == got.ok, "decoder and core model disagree on validity");
        if (got.ok)
            fuzz::check(model.tree == got.tree, "decoder and core model decode different trees");
    }
    if (got.ok) check_rewrite(got.tree);
    walk_sequence(input.data(), size);
    return 0;
}
