// The entry of cbor.dumps, a plain CPython function (METH_FASTCALL |
// METH_KEYWORDS) registered by init_cbor. Its contract:
//   dumps(value, indefinite=True, max_depth=0, *, default=None, canonical=False)
// returns a new bytes object holding one CBOR data item, or null with a
// Python exception set; it keeps no state between calls.
#ifndef KORVALENT_BINDINGS_PYTHON_CBOR_ENCODE_H
#define KORVALENT_BINDINGS_PYTHON_CBOR_ENCODE_H

#include <Python.h>

namespace korvalent {

// The docstring dumps has always carried: its signature line, then the text.
extern const char kDumpsDoc[];

PyObject *dumps(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

} // namespace korvalent

#endif
