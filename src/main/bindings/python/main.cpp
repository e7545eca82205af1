// Module entry: the interpreter-version check ("Python version mismatch:
// ..."), a refusal outside the main interpreter, the module object and the
// translation of registration failures into ImportError; the registration
// itself only creates the two submodules, cbor first.
#include "bindings/python/korvalent.h"

namespace {

pybind11::module_::module_def module_definition;

// The binding library keeps one set of internals per process and takes the
// lock through the main interpreter's thread state: a subinterpreter that
// imported the module first would wait for it forever, and one that came
// later would get submodules it cannot import.
bool in_main_interpreter() { return PyInterpreterState_Get() == PyInterpreterState_Main(); }

} // namespace

PYBIND11_PLUGIN_IMPL(korvalent_core)
{
    PYBIND11_CHECK_PYTHON_VERSION
    if (!in_main_interpreter()) {
        PyErr_SetString(PyExc_ImportError,
                        "korvalent_core can only be imported in the main interpreter, "
                        "not in a subinterpreter");
        return nullptr;
    }
    PYBIND11_ENSURE_INTERNALS_READY
    auto m =
        pybind11::module_::create_extension_module("korvalent_core", nullptr, &module_definition);
    try {
        korvalent::init_cbor(m);
        korvalent::init_delta(m);
        return m.ptr();
    }
    PYBIND11_CATCH_INIT_EXCEPTIONS
}
