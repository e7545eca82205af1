/* owner: one RAII owner for every record the core hands out with a matching
 * `_free` function (buf_free, cbor_generator_free, execution_free, ...).
 *
 * C++ only, header-only, not exported. kv_owner<T, Free> is a unique_ptr that
 * calls Free(p) once on release; like every core `_free`, Free must accept
 * null, so an empty owner is harmless. */
#ifndef KORVALENT_CORE_OWNER_H
#define KORVALENT_CORE_OWNER_H

#include <memory>

template <auto Free>
struct kv_deleter {
    template <typename T>
    void operator()(T *p) const
    {
        Free(p);
    }
};

template <typename T, auto Free>
using kv_owner = std::unique_ptr<T, kv_deleter<Free>>;

#endif
