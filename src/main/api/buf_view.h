/* buf_view: unowned, read-only buf_s views over memory that someone else
 * owns (a Python bytes object's storage, for instance).
 *
 * A view is never grown, written or passed to buf_free: the memory it points
 * at stays its owner's, and the view must not outlive it. */
#ifndef KORVALENT_API_BUF_VIEW_H
#define KORVALENT_API_BUF_VIEW_H

#include "core/buf.h"
#include "core/export.h"

KV_EXTERN_C_BEGIN

/* Points view at [data, data + size): data is set to data, length and
 * capacity to size. Nothing is copied; view must not be null. */
void buf_view_init(buf_s *view, char *data, unsigned long size);
/* Detaches view from the memory it pointed at: length 0, then data null;
 * capacity is left as it was. A null view does nothing. */
void buf_view_invalidate(buf_s *view);
/* New heap record viewing [data, data + size), or null when the record cannot
 * be allocated. Release it with buf_view_free, never with buf_free. */
buf_s *buf_view_create(char *data, unsigned long size);
/* Frees a record made by buf_view_create, not the memory it views; null does
 * nothing. */
void buf_view_free(buf_s *view);

KV_EXTERN_C_END

#endif
