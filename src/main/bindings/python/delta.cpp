// The delta submodule.
#include "bindings/python/korvalent.h"

namespace korvalent {

void init_delta(pybind11::module_ &m) {
    pybind11::module_ delta = m.def_submodule("delta");
    delta.attr("__doc__") = R"pbdoc(
        Korvalent Delta
        -----------------------

        .. currentmodule:: korvalent_delta

        .. autosummary::
           :toctree: _generate

           diff
    )pbdoc";
    delta.attr("__version__") = kVersion;
}

}  // namespace korvalent
