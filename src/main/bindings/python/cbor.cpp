// The cbor submodule.
#include "bindings/python/korvalent.h"

namespace korvalent {

void init_cbor(pybind11::module_ &m) {
    pybind11::module_ cbor = m.def_submodule("cbor");
    cbor.attr("__doc__") = R"pbdoc(
            Korvalent cbor
            -----------------------

            .. currentmodule:: korvalent_cbor

            .. autosummary::
               :toctree: _generate

               dumps
        )pbdoc";
    cbor.attr("__version__") = kVersion;
}

}  // namespace korvalent
