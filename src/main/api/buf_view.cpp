// Views own nothing, so none of these functions touches the viewed bytes:
// they only set up or tear down the record that points at them.
#include "api/buf_view.h"

#include <cstdlib>

void buf_view_init(buf_s *view, char *data, unsigned long size) {
    view->data = reinterpret_cast<uint8_t *>(data);
    view->length = size;
    view->capacity = size;
}

void buf_view_invalidate(buf_s *view) {
    if (view == nullptr) {
        return;
    }
    // Length first: a reader that still holds the record sees an empty range
    // before the pointer goes away.
    view->length = 0;
    view->data = nullptr;
}

buf_s *buf_view_create(char *data, unsigned long size) {
    // A plain allocation rather than buf_create: the record must be released
    // with buf_view_free, which leaves the viewed memory alone.
    auto *view = static_cast<buf_s *>(std::calloc(1, sizeof(buf_s)));
    if (view != nullptr) {
        buf_view_init(view, data, size);
    }
    return view;
}

void buf_view_free(buf_s *view) {
    std::free(view);
}
