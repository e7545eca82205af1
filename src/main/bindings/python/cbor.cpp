// The cbor submodule: its docstring, its version, and dumps and dump, plain
// CPython functions (cbor_encode.h) bound on the submodule so that a call
// goes straight to the encoder without the binding library's dispatcher.
#include "bindings/python/cbor_encode.h"
#include "bindings/python/korvalent.h"

#include <initializer_list>

namespace korvalent {

namespace {

constexpr const char *kModuleDoc = R"pbdoc(
            Korvalent cbor
            -----------------------

            .. currentmodule:: korvalent_cbor

            .. autosummary::
               :toctree: _generate

               dumps
        )pbdoc";

// Static: the interpreter keeps a pointer to the definition in the function.
PyMethodDef dumps_def = {"dumps",
                         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&dumps)),
                         METH_FASTCALL | METH_KEYWORDS, kDumpsDoc};
PyMethodDef dump_def = {"dump", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&dump)),
                        METH_FASTCALL | METH_KEYWORDS, kDumpDoc};

} // namespace

void init_cbor(pybind11::module_ &m)
{
    namespace py = pybind11;
    py::module_ cbor = m.def_submodule("cbor");
    cbor.attr("__doc__") = kModuleDoc;
    const py::object name = cbor.attr("__name__");
    for (PyMethodDef *def : {&dumps_def, &dump_def}) {
        PyObject *const function = PyCFunction_NewEx(def, cbor.ptr(), name.ptr());
        if (function == nullptr) throw py::error_already_set();
        cbor.attr(def->ml_name) = py::reinterpret_steal<py::object>(function);
    }
    cbor.attr("__version__") = kVersion;
    init_cbor_decode(cbor);
}

} // namespace korvalent
