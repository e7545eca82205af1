/* status: the one failure vocabulary of the core's internal functions.
 *
 * Internal functions return a kv_status and leave their outputs untouched on
 * anything but KV_OK; exported functions that keep an older contract (null,
 * 0/1) are thin wrappers that fold these values into it. A caller that must
 * tell lack of memory from bad input asks for the status itself. */
#ifndef KORVALENT_CORE_STATUS_H
#define KORVALENT_CORE_STATUS_H

#include <stdint.h>
#include "core/export.h"

KV_EXTERN_C_BEGIN

typedef enum kv_status {
    KV_OK = 0,
    KV_OUT_OF_MEMORY = 1,    /* an allocation failed; the input may be fine */
    KV_MALFORMED = 2,        /* the input breaks its format (a delta that cannot apply) */
    KV_OUT_OF_RANGE = 3,     /* a size or offset beyond what the engine can address */
    KV_LIMIT_REACHED = 4,    /* a caller's bound (budget, output cap) would be passed */
    KV_OLD_MISMATCH = 5,     /* the old value is not the one the delta was made from */
    KV_NEW_MISMATCH = 6,     /* the rebuilt value is not the one the delta was made for */
    KV_DELTA_MISMATCH = 7,   /* the delta's bytes differ from those its checksum covers */
    KV_UNCHECKED = 8,        /* a checksum was required and the delta carries none */
    KV_INVALID_ARGUMENT = 9, /* a null or unreadable argument */
    KV_UNVERIFIABLE = 10,    /* a checksum was required; the delta ends in bytes shaped like
                               one that neither cover it nor end its items: changed, or
                               made without one that ends in such bytes */
    KV_CANCELLED = 11        /* the caller's poll asked a long computation to stop */
} kv_status;

/* A caller's check, run now and then during a long computation (each entry
 * that takes one says how often) with the context it was given; nonzero asks
 * the computation to stop at once, which it then reports as KV_CANCELLED.
 * It runs on the computing thread and must not call back into the core. */
typedef int32_t (*kv_poll_fn)(void *context);

KV_EXTERN_C_END

#endif
