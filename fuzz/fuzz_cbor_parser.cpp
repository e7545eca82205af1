// The CBOR parser over arbitrary bytes: reads items until the end, through
// the allocating reader and the borrowing reader side by side, and checks
// that they agree item by item and never leave the input.
#include <cstring>

#include "core/cbor.h"
#include "fuzz_common.h"

namespace {

bool is_definite_string(const cbor_val_s &v)
{
    return (v.major_type == 2 || v.major_type == 3) && v.value.ptr != nullptr;
}

void compare_items(const cbor_val_s &copy, const cbor_val_s &view)
{
    fuzz::check(copy.initial_byte == view.initial_byte, "initial byte differs");
    fuzz::check(copy.major_type == view.major_type, "major type differs");
    fuzz::check(copy.length == view.length, "length differs");
    if (is_definite_string(copy)) {
        fuzz::check(view.value.ptr != nullptr, "view lost a payload");
        fuzz::check(copy.length == 0 ||
                        std::memcmp(copy.value.ptr, view.value.ptr, copy.length) == 0,
                    "payload differs");
        if (copy.major_type == 3)
            fuzz::check(copy.value.ptr[copy.length] == 0, "text copy not terminated");
    } else {
        fuzz::check(std::memcmp(&copy.value, &view.value, sizeof copy.value) == 0, "value differs");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::ExactBuf input(data, size);
    const uint8_t *start = input.data();
    cbor_parser_s *parser = cbor_parser_create(start, size);
    fuzz::check(parser != nullptr, "parser refused a small input");
    cbor_parser_s view_parser;
    fuzz::check(_cbor_parser_init(&view_parser, start, size) == 0,
                "view parser refused a small input");

    for (;;) {
        cbor_val_s view;
        const int32_t got = _cbor_next_view(&view_parser, &view);
        cbor_val_s *item = cbor_next_val(parser);
        fuzz::check(parser->cursor == view_parser.cursor, "cursors differ");
        fuzz::check(parser->in_indefinite == view_parser.in_indefinite, "indefinite flags differ");
        fuzz::check(parser->cursor >= start && parser->cursor <= start + size,
                    "cursor left the input");
        fuzz::check(cbor_parser_available_bytes(parser) >= 0, "negative bytes left");
        if (!item) {
            fuzz::check(got != 1, "view read an item the parser refused");
            // A failed item leaves the cursor where further reads continue;
            // the end of input is the only place the loop must stop.
            if (got == 0) break;
            continue;
        }
        fuzz::check(got == 1, "parser read an item the view refused");
        compare_items(*item, view);
        cbor_val_free(item);
    }
    cbor_parser_free(parser);
    return 0;
}
