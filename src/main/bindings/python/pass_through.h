// pass_through: a caster for arguments that a bound function checks itself.
// The binding library's own conversions answer a wrong argument with a
// listing of overloads (the repr of every argument, however large) instead of
// one line naming it; a holder type whose caster takes any object lets the
// function refuse it in its own words, while rendered signatures keep naming
// the type the argument is read as. The call's argument tuple keeps the
// object alive.
#ifndef KORVALENT_BINDINGS_PYTHON_PASS_THROUGH_H
#define KORVALENT_BINDINGS_PYTHON_PASS_THROUGH_H

#include <pybind11/pybind11.h>

// Holder: a struct with a pybind11::handle member `object`; shown: the type
// signatures name. Use inside namespace pybind11::detail.
#define KV_PASS_THROUGH_CASTER(Holder, shown)                                 \
    template <>                                                               \
    struct type_caster<Holder> {                                              \
        PYBIND11_TYPE_CASTER(Holder, const_name(shown));                      \
        bool load(handle source, bool /*convert*/)                            \
        {                                                                     \
            value.object = source;                                            \
            return true;                                                      \
        }                                                                     \
        static handle cast(const Holder &source, return_value_policy, handle) \
        {                                                                     \
            return source.object.inc_ref();                                   \
        }                                                                     \
    }

#endif
