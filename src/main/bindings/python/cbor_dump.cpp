// cbor.dump: the bytes dumps makes, written to a binary file (contract in
// cbor_encode.h). Its arguments are checked before anything is encoded, and
// fp before its bytes are made, each failure a one-line error that names the
// argument; the file gets every byte or the call raises.
#include <new>

#include "bindings/python/cbor_encode.h"

namespace korvalent {

const char kDumpDoc[] =
    R"doc(dump(value, fp, /, *, indefinite=True, max_depth=0, default=None, canonical=False)
--

Write the CBOR encoding of `value` to the binary file `fp`.

The bytes are those of dumps(value, indefinite, max_depth, default=default,
canonical=canonical); they are passed to fp.write(), and after a write that
reports taking fewer of them, the rest is passed again. Returns None.

Raises TypeError, naming the type, for a value (at any depth) of a type
that cannot be written, and for an `fp` without write(); otherwise what
dumps raises for the same value and options.)doc";

namespace {

enum Option { kIndefinite, kMaxDepth, kDefault, kCanonical, kOptions };
constexpr const char *kOptionNames[kOptions] = {"indefinite", "max_depth", "default", "canonical"};

// The keyword arguments, by option; false with a TypeError for any other.
bool bind_options(PyObject *const *values, PyObject *kwnames, PyObject **options)
{
    for (Py_ssize_t k = 0; kwnames != nullptr && k < PyTuple_GET_SIZE(kwnames); ++k) {
        PyObject *const name = PyTuple_GET_ITEM(kwnames, k);
        int option = 0;
        while (option < kOptions &&
               PyUnicode_CompareWithASCIIString(name, kOptionNames[option]) != 0)
            ++option;
        if (option == kOptions || options[option] != nullptr) {
            PyErr_Format(PyExc_TypeError,
                         option == kOptions ? "dump() got an unexpected keyword argument '%S'"
                                            : "dump() got multiple values for argument '%S'",
                         name);
            return false;
        }
        options[option] = values[k];
    }
    return true;
}

bool to_flag(PyObject *obj, bool *out)
{
    const int truth = obj == nullptr ? *out : PyObject_IsTrue(obj);
    *out = truth == 1;
    return truth >= 0;
}

// An int (or an object with __index__) from 0 to 2**64 - 1.
bool to_depth(PyObject *obj, unsigned long *out)
{
    if (obj == nullptr) return true;
    PyObject *const number = PyNumber_Index(obj);
    if (number == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "dump(): max_depth must be an int, not '%.100s'",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    *out = PyLong_AsUnsignedLong(number);
    const bool fits = !PyErr_Occurred();
    if (!fits) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "dump(): max_depth must be 0 to 2**64 - 1, not %S", number);
    }
    Py_DECREF(number);
    return fits;
}

bool to_options(PyObject *const *options, EncodeOptions *out)
{
    bool indefinite = true;
    bool canonical = false;
    unsigned long max_depth = 0;
    if (!to_flag(options[kIndefinite], &indefinite) || !to_depth(options[kMaxDepth], &max_depth) ||
        !to_flag(options[kCanonical], &canonical)) {
        return false;
    }
    PyObject *const hook = options[kDefault] == Py_None ? nullptr : options[kDefault];
    if (hook != nullptr && !PyCallable_Check(hook)) {
        PyErr_Format(PyExc_TypeError, "dump(): default must be callable or None, not %.200s",
                     Py_TYPE(hook)->tp_name);
        return false;
    }
    if (canonical && options[kIndefinite] != nullptr && indefinite) {
        PyErr_SetString(
            PyExc_ValueError,
            "dump(): canonical=True writes definite lengths; indefinite=True contradicts it");
        return false;
    }
    *out = EncodeOptions{indefinite, max_depth, hook, canonical, "dump"};
    return true;
}

// fp.write, or null with a TypeError when fp has none.
PyObject *writer_of(PyObject *fp)
{
    PyObject *const write = PyObject_GetAttrString(fp, "write");
    if (write == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "dump() argument 'fp' must be a binary file: '%.100s' object has no write()",
                     Py_TYPE(fp)->tp_name);
    }
    return write;
}

// A text file refuses bytes with its own TypeError: say what was wrong. Any
// other error from write() stands, as does this one when the check fails.
void explain_text_file(PyObject *fp)
{
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject *const io = PyImport_ImportModule("io");
    PyObject *const text = io == nullptr ? nullptr : PyObject_GetAttrString(io, "TextIOBase");
    const int is_text = text == nullptr ? -1 : PyObject_IsInstance(fp, text);
    Py_XDECREF(text);
    Py_XDECREF(io);
    PyErr_Clear();
    if (is_text != 1) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    PyErr_Format(PyExc_TypeError,
                 "dump() argument 'fp' must be a binary file, not the text file '%.100s'",
                 Py_TYPE(fp)->tp_name);
}

// Passes data to write until it has taken every byte: a write returning an
// int less than what it was given took only that many (as a raw file may).
bool write_all(PyObject *fp, PyObject *write, PyObject *data)
{
    const Py_ssize_t size = PyBytes_GET_SIZE(data);
    Py_ssize_t written = 0;
    Py_INCREF(data);
    for (PyObject *rest = data;;) {
        PyObject *const result = PyObject_CallOneArg(write, rest);
        Py_DECREF(rest);
        if (result == nullptr) {
            if (written == 0) explain_text_file(fp);
            return false;
        }
        const Py_ssize_t left = size - written;
        Py_ssize_t taken = left;
        if (PyLong_Check(result)) {
            taken = PyLong_AsSsize_t(result);
            if (taken == -1 && PyErr_Occurred()) PyErr_Clear(), taken = left;
        }
        Py_DECREF(result);
        if (taken >= left) return true;
        if (taken <= 0) {
            PyErr_Format(PyExc_OSError, "dump(): fp.write() took %zd of the last %zd bytes", taken,
                         left);
            return false;
        }
        written += taken;
        PyObject *const view = PyMemoryView_FromObject(data);
        rest = view == nullptr ? nullptr : PySequence_GetSlice(view, written, size);
        Py_XDECREF(view);
        if (rest == nullptr) return false;
    }
}

PyObject *dump_checked(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    if (nargs != 2) {
        return PyErr_Format(PyExc_TypeError,
                            "dump() takes 2 positional arguments (value, fp) but %zd %s given",
                            nargs, nargs == 1 ? "was" : "were");
    }
    PyObject *options[kOptions] = {};
    EncodeOptions how{};
    if (!bind_options(args + nargs, kwnames, options) || !to_options(options, &how)) {
        return nullptr;
    }
    PyObject *const write = writer_of(args[1]);
    if (write == nullptr) return nullptr;
    bool unsupported = false;
    PyObject *const data = encode_value(module, args[0], how, &unsupported);
    if (unsupported) {
        PyErr_Format(PyExc_TypeError, "dump(): cannot write a value of type '%.100s'",
                     Py_TYPE(args[0])->tp_name);
    }
    const bool ok = data != nullptr && write_all(args[1], write, data);
    Py_XDECREF(data);
    Py_DECREF(write);
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

} // namespace

PyObject *dump(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    try {
        return dump_checked(module, args, nargs, kwnames);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

} // namespace korvalent
