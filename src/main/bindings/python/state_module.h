// state_module: a module object imported nowhere that owns one C++ object as
// its state, made to be the `self` of plain C-API functions. A builtin whose
// `self` is a module pickles by name (its __module__ and __qualname__), so
// such functions can be handed to process pools; the state is one call away.
#ifndef KORVALENT_BINDINGS_PYTHON_STATE_MODULE_H
#define KORVALENT_BINDINGS_PYTHON_STATE_MODULE_H

#include <pybind11/pybind11.h>

#include <memory>

namespace korvalent {

template <class State>
struct StateModule {
    // The definition of a state module named `name` (the name of the public
    // module its functions belong to). Keep it in static storage: modules
    // made from it refer to it for their whole life.
    static PyModuleDef definition(const char *name)
    {
        return PyModuleDef{PyModuleDef_HEAD_INIT,
                           name,
                           nullptr,
                           sizeof(State *),
                           nullptr,
                           nullptr,
                           nullptr,
                           nullptr,
                           &release};
    }

    // A new module of `def` that owns state from now on (also when this
    // throws error_already_set).
    static pybind11::object make(PyModuleDef *def, std::unique_ptr<State> state)
    {
        auto module = pybind11::reinterpret_steal<pybind11::object>(
            PyModule_Create2(def, PYTHON_API_VERSION));
        if (!module) throw pybind11::error_already_set();
        *static_cast<State **>(PyModule_GetState(module.ptr())) = state.release();
        return module;
    }

    // The state of a module made by make().
    static State *of(PyObject *module) { return *static_cast<State **>(PyModule_GetState(module)); }

private:
    static void release(void *module) { delete of(static_cast<PyObject *>(module)); }
};

} // namespace korvalent

#endif
