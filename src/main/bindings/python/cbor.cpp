// The cbor submodule: dumps, which writes a Python value as one CBOR data
// item. The container form and the depth guard are chosen once per call
// among four compiled combinations.
#include "bindings/python/cbor_encoder.h"
#include "bindings/python/korvalent.h"

namespace korvalent {

// Writes value through a fresh encoder: the top-level value is dispatched
// directly (the guard does not count it), then the open containers are
// drained, and the generator's bytes are copied once into the result.
template <typename Encoder, typename Guard, typename Value>
pybind11::bytes encode(const Value &value, const Guard &guard, Dispatch dispatch) {
    using Action = PythonEncoderAction<Encoder, Guard>;
    Action action(guard, dispatch);
    Action::visit_top(action, value);
    Action::_run(action);
    return action.as_bytes();
}

template <typename Encoder>
pybind11::bytes _dumps(const PythonValue &value, unsigned long max_depth,
                       Dispatch dispatch = Dispatch::kExactTypesFirst) {
    if (max_depth == 0) return encode<Encoder>(value, RecursionGuard<false>(), dispatch);
    return encode<Encoder>(value, RecursionGuard<true>(max_depth), dispatch);
}

template pybind11::bytes encode<CborEncoder<true>, RecursionGuard<false>, PythonValue>(
    const PythonValue &, const RecursionGuard<false> &, Dispatch);
template pybind11::bytes encode<CborEncoder<true>, RecursionGuard<true>, PythonValue>(
    const PythonValue &, const RecursionGuard<true> &, Dispatch);
template pybind11::bytes encode<CborEncoder<false>, RecursionGuard<false>, PythonValue>(
    const PythonValue &, const RecursionGuard<false> &, Dispatch);
template pybind11::bytes encode<CborEncoder<false>, RecursionGuard<true>, PythonValue>(
    const PythonValue &, const RecursionGuard<true> &, Dispatch);

pybind11::bytes dumps(const PythonValue &value, bool indefinite, unsigned long max_depth) {
    if (indefinite) return _dumps<CborEncoder<true>>(value, max_depth);
    return _dumps<CborEncoder<false>>(value, max_depth);
}

namespace {

// dumps without the exact-type shortcuts: every element goes through the
// variant conversion. Kept callable so tests can hold the two to the same
// bytes and errors.
pybind11::bytes dumps_generic(const PythonValue &value, bool indefinite, unsigned long max_depth) {
    if (indefinite) return _dumps<CborEncoder<true>>(value, max_depth, Dispatch::kVariantOnly);
    return _dumps<CborEncoder<false>>(value, max_depth, Dispatch::kVariantOnly);
}

constexpr const char *kModuleDoc = R"pbdoc(
            Korvalent cbor
            -----------------------

            .. currentmodule:: korvalent_cbor

            .. autosummary::
               :toctree: _generate

               dumps
        )pbdoc";

constexpr const char *kDumpsDoc = R"pbdoc(
        Dump a Python object to cbor
        )pbdoc";

}  // namespace

void init_cbor(pybind11::module_ &m) {
    namespace py = pybind11;
    py::module_ cbor = m.def_submodule("cbor");
    cbor.attr("__doc__") = kModuleDoc;
    cbor.def("dumps", &dumps, kDumpsDoc, py::arg("value"), py::arg("indefinite") = true,
             py::arg("max_depth") = 0);
    cbor.def("_dumps_generic", &dumps_generic, "dumps through the value conversion alone (for tests).",
             py::arg("value"), py::arg("indefinite") = true, py::arg("max_depth") = 0);
    cbor.attr("__version__") = kVersion;
    init_cbor_decode(cbor);
}

}  // namespace korvalent
