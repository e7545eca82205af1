/* buf_view: unowned, read-only buf_s views over memory that someone else owns
 * (the bytes an input of the delta binding exports through the buffer
 * protocol). Contract: this header; used by bindings/python/delta.cpp.
 *
 * A view is never grown, written or passed to buf_free: the memory it points
 * at stays its owner's, and the view must not outlive the export behind it. */
#ifndef KORVALENT_BINDINGS_PYTHON_BUF_VIEW_H
#define KORVALENT_BINDINGS_PYTHON_BUF_VIEW_H

#include "core/buf.h"
#include "core/export.h"

KV_EXTERN_C_BEGIN

/* Points view at [data, data + size): data is set to data, length and
 * capacity to size. Nothing is copied; view must not be null. */
void buf_view_init(buf_s *view, char *data, unsigned long size);
/* Detaches view from the memory it pointed at: length 0, then data null;
 * capacity is left as it was. A null view does nothing. */
void buf_view_invalidate(buf_s *view);

KV_EXTERN_C_END

#endif
