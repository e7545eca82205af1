// buf_view: sets up and tears down buf_s records that view memory owned by
// someone else. Contract: bindings/python/buf_view.h.
//
// Views own nothing, so neither function touches the viewed bytes: they only
// fill or clear the record that points at them.
#include "bindings/python/buf_view.h"

void buf_view_init(buf_s *view, char *data, unsigned long size)
{
    view->data = reinterpret_cast<uint8_t *>(data);
    view->length = size;
    view->capacity = size;
}

void buf_view_invalidate(buf_s *view)
{
    if (view == nullptr) {
        return;
    }
    // Length first: a reader that still holds the record sees an empty range
    // before the pointer goes away.
    view->length = 0;
    view->data = nullptr;
}
