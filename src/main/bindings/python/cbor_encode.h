// The entries of cbor.dumps and cbor.dump, plain CPython functions
// (METH_FASTCALL | METH_KEYWORDS) registered by init_cbor, and the encoding
// both share. Their contracts:
//   dumps(value, indefinite=True, max_depth=0, *, default=None, canonical=False)
// returns a new bytes object holding one CBOR data item, or null with a
// Python exception set;
//   dump(value, fp, /, *, indefinite=True, max_depth=0, default=None, canonical=False)
// writes the same bytes to fp.write() and returns None, or null with a Python
// exception set. Neither keeps state between calls.
#ifndef KORVALENT_BINDINGS_PYTHON_CBOR_ENCODE_H
#define KORVALENT_BINDINGS_PYTHON_CBOR_ENCODE_H

#include <Python.h>

namespace korvalent {

// The docstring dumps has always carried: its signature line, then the text.
extern const char kDumpsDoc[];
extern const char kDumpDoc[];

// How a value is written.
struct EncodeOptions {
    bool indefinite;         // containers with an indefinite length
    unsigned long max_depth; // 0: no limit beyond the recursion limit
    PyObject *hook;          // the default hook (borrowed), or null
    bool canonical;          // the deterministic encoding
    // The function its errors name; a value below the top whose type nothing
    // writes then raises TypeError naming it and the type. Null: dumps, and
    // dumps' RuntimeError for such a value.
    const char *unsupported_in;
};

// The encoding of value as a new bytes object, or null with a Python
// exception set; except that when value itself has a type nothing writes
// (and no hook replaces it), null is returned with no exception set and
// *unsupported true, for the caller to report. Throws std::bad_alloc.
PyObject *encode_value(PyObject *module, PyObject *value, const EncodeOptions &options,
                       bool *unsupported);

// indefinite and max_depth as dumps has always read them: a flag is True,
// False, None or an object whose type has __bool__; a depth is an int or a
// number int() converts (never a float) from 0 to 2**64 - 1. False, with no
// exception set, for anything else; false with the exception kept when
// reading the object raised MemoryError or what is not an Exception.
bool read_flag(PyObject *obj, bool *out);
bool read_depth(PyObject *obj, unsigned long *out);

PyObject *dumps(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *dump(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

} // namespace korvalent

#endif
