// Registration functions of the korvalent_core submodules. Each lives in the
// source unit of its submodule and is called once, in order, at import.
#ifndef KORVALENT_BINDINGS_PYTHON_KORVALENT_H
#define KORVALENT_BINDINGS_PYTHON_KORVALENT_H

#include <pybind11/pybind11.h>

namespace korvalent {

// Version string carried by every submodule.
inline constexpr const char *kVersion = "dev";

void init_cbor(pybind11::module_ &m);
// loads, load, iter_items and their types, added to the cbor submodule.
void init_cbor_decode(pybind11::module_ &cbor);
void init_delta(pybind11::module_ &m);

} // namespace korvalent

#endif
