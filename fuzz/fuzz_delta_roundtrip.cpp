// Generate and apply: the input is split into an old and a new value, a
// quality level 0 to 5 and a pair of small or default limits. Every delta
// must be of one of the three kinds, an edit delta strictly shorter than the
// new value, and applying it must rebuild the new value exactly.
#include <cstring>

#include "core/delta.h"
#include "core/edit_script.h"
#include "core/myers.h"
#include "fuzz_common.h"

namespace {

constexpr int32_t kSmallLimits[] = {1, 2, 10, 100, DIFF_DEFAULT_WORK_LIMIT};
constexpr int32_t kSlotLimits[] = {1, 2, 10, 100, DIFF_DEFAULT_SLOT_LIMIT};
constexpr uint32_t kQualityLevels = 6;

bool equal_values(const buf_s *a, const buf_s *b)
{
    return a->length == b->length &&
           (a->length == 0 || std::memcmp(a->data, b->data, a->length) == 0);
}

void check_applies(const buf_s *old_value, const buf_s *new_value, const buf_s *delta)
{
    fuzz::ExactBuf exact(delta->data, delta->length);
    fuzz::BufPtr rebuilt(diff_apply_binary(old_value, exact.get()));
    fuzz::check(rebuilt != nullptr, "a generated delta was refused");
    fuzz::check(equal_values(rebuilt.get(), new_value),
                "a generated delta does not rebuild the new value");
}

// The public generator: one of the three kinds, and it applies.
void check_generate(const buf_s *old_value, const buf_s *new_value, int32_t slots, int32_t work)
{
    fuzz::BufPtr delta(diff_generate_binary_ex(old_value, new_value, slots, work));
    fuzz::check(delta != nullptr, "generate failed on small values");
    fuzz::BufPtr replacement(_write_replacement_delta(new_value));
    const bool is_no_change = delta->length == 1 && delta->data[0] == 0xF6;
    if (is_no_change) {
        fuzz::check(equal_values(old_value, new_value) && new_value->length >= 2,
                    "no-change delta for unequal values");
    } else if (!equal_values(delta.get(), replacement.get())) {
        fuzz::check(delta->length < new_value->length, "edit delta not shorter than the new value");
    }
    check_applies(old_value, new_value, delta.get());
}

// The driver at an explicit quality level, including 5, which the
// generate functions never choose.
void check_driver(const buf_s *old_value, const buf_s *new_value, uint32_t quality, int32_t slots,
                  int32_t work)
{
    edit_script_s *script = edit_script_create(old_value, new_value);
    fuzz::check(script != nullptr, "edit_script_create");
    const int32_t r =
        myers_binary_diff(old_value, 0, static_cast<int32_t>(old_value->length), new_value, 0,
                          static_cast<int32_t>(new_value->length), script, slots, work, quality);
    fuzz::check(r >= 0 && r <= 2, "driver result out of range");
    if (r == MYERS_VALUES_EQUAL)
        fuzz::check(equal_values(old_value, new_value), "unequal values called equal");
    if (r == MYERS_EDIT_DELTA) {
        // Only an empty new value gets an edit delta of its own size: the
        // empty one, which the generate functions replace.
        fuzz::check(script->output->length < new_value->length || script->output->length == 0,
                    "driver: edit delta not shorter than the new value");
        check_applies(old_value, new_value, script->output);
    }
    edit_script_free(script);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Splitter in(data, size);
    const uint32_t quality = in.byte() % kQualityLevels;
    const uint8_t limits = in.byte();
    const int32_t work = kSmallLimits[limits % 5];
    const int32_t slots = kSlotLimits[(limits / 5) % 5];
    const size_t old_len = in.u16() % 4096;
    auto old_piece = in.take(old_len);
    auto new_piece = in.rest();
    fuzz::ExactBuf old_value(old_piece.first, old_piece.second);
    fuzz::ExactBuf new_value(new_piece.first, new_piece.second);

    check_driver(old_value.get(), new_value.get(), quality, slots, work);
    check_generate(old_value.get(), new_value.get(), slots, work);
    return 0;
}
