// cbor.dump: the bytes dumps makes, written to a binary file (contract in
// cbor_encode.h). Its arguments, fp included, are checked before anything is
// encoded, each failure a one-line error that names the argument; fp.write()
// gets the bytes object whole, and a raw file, which may take part of it, the
// rest again, so the file gets every byte or the call raises.
#include <cerrno>
#include <new>

#include "bindings/python/cbor_encode.h"

namespace korvalent {

const char kDumpDoc[] =
    R"doc(dump(value, fp, /, *, indefinite=True, max_depth=0, default=None, canonical=False)
--

Write the CBOR encoding of `value` to the binary file `fp`.

The bytes are those of dumps(value, indefinite, max_depth, default=default,
canonical=canonical), options read as dumps reads them; they are passed to
fp.write() as one bytes object. A raw file (io.RawIOBase) may take fewer: the
rest is passed again, a non-blocking one that takes none raises
BlockingIOError, and an answer other than None or a count from 0 to the
bytes passed raises TypeError or OSError. Returns None.

Raises TypeError, naming the type, for a value (at any depth) of a type
that cannot be written, and for an `fp` that is a text file or has no
write(); UnicodeEncodeError for a str holding a lone surrogate; otherwise
what dumps raises for the same value and options.)doc";

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

bool to_options(PyObject *const *options, EncodeOptions *out)
{
    bool indefinite = true;
    unsigned long max_depth = 0;
    if (options[kIndefinite] != nullptr && !read_flag(options[kIndefinite], &indefinite)) {
        if (PyErr_Occurred()) return false;
        PyErr_Format(PyExc_TypeError,
                     "dump(): indefinite must be True, False or None, not '%.100s'",
                     Py_TYPE(options[kIndefinite])->tp_name);
        return false;
    }
    if (options[kMaxDepth] != nullptr && !read_depth(options[kMaxDepth], &max_depth)) {
        if (PyErr_Occurred()) return false;
        // An int out of range is a wrong value; anything else, a wrong type.
        PyErr_Format(PyLong_Check(options[kMaxDepth]) ? PyExc_ValueError : PyExc_TypeError,
                     "dump(): max_depth must be an int from 0 to 2**64 - 1, not %R",
                     options[kMaxDepth]);
        return false;
    }
    const int canonical = options[kCanonical] == nullptr ? 0 : PyObject_IsTrue(options[kCanonical]);
    if (canonical < 0) return false;
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
    *out = EncodeOptions{indefinite, max_depth, hook, canonical != 0, "dump"};
    return true;
}

// Whether fp is an instance of the io class `name`: 1, 0, or -1 with an error.
int is_io(PyObject *fp, const char *name)
{
    PyObject *const io = PyImport_ImportModule("io");
    PyObject *const cls = io == nullptr ? nullptr : PyObject_GetAttrString(io, name);
    const int is = cls == nullptr ? -1 : PyObject_IsInstance(fp, cls);
    Py_XDECREF(cls);
    Py_XDECREF(io);
    return is;
}

// What writes to fp: its bound write(), and whether it may take part of
// what it is given. Null with an error when fp is no binary file.
struct Writer {
    PyObject *write; // owned
    bool raw;
};

bool writer_of(PyObject *fp, Writer *out)
{
    const int text = is_io(fp, "TextIOBase");
    if (text != 0) {
        if (text == 1) {
            PyErr_Format(PyExc_TypeError,
                         "dump() argument 'fp' must be a binary file, not the text file '%.100s'",
                         Py_TYPE(fp)->tp_name);
        }
        return false;
    }
    const int raw = is_io(fp, "RawIOBase");
    if (raw < 0) return false;
    PyObject *const write = PyObject_GetAttrString(fp, "write");
    if (write == nullptr && !PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    if (write == nullptr || !PyCallable_Check(write)) {
        Py_XDECREF(write);
        PyErr_Format(PyExc_TypeError,
                     "dump() argument 'fp' must be a binary file: '%.100s' object has no write()",
                     Py_TYPE(fp)->tp_name);
        return false;
    }
    *out = Writer{write, raw == 1};
    return true;
}

// Bytes a raw file's write() says it took of `left`: None is none (a
// non-blocking file that would block); -1 with an error for an answer that
// is no int, is negative or is more than `left`, as no byte count can be.
Py_ssize_t taken_by_raw(PyObject *result, Py_ssize_t left)
{
    if (result == Py_None) return 0;
    if (!PyLong_Check(result)) {
        PyErr_Format(PyExc_TypeError, "dump(): fp.write() returned '%.100s', not an int or None",
                     Py_TYPE(result)->tp_name);
        return -1;
    }
    int overflow = 0;
    const long long taken = PyLong_AsLongLongAndOverflow(result, &overflow);
    if (taken == -1 && PyErr_Occurred()) return -1;
    if (overflow < 0 || (overflow == 0 && taken < 0)) {
        PyErr_SetString(PyExc_OSError, "dump(): fp.write() returned a negative count");
        return -1;
    }
    if (overflow > 0 || taken > left) {
        PyErr_Format(PyExc_OSError, "dump(): fp.write() returned %R, more than the %zd bytes left",
                     result, left);
        return -1;
    }
    return static_cast<Py_ssize_t>(taken);
}

// Passes data to write() until the file has taken every byte.
bool write_all(const Writer &w, PyObject *data)
{
    const char *const bytes = PyBytes_AS_STRING(data);
    const Py_ssize_t size = PyBytes_GET_SIZE(data);
    Py_INCREF(data);
    for (Py_ssize_t written = 0;;) {
        PyObject *const result = PyObject_CallOneArg(w.write, data);
        Py_DECREF(data);
        if (result == nullptr) return false;
        const Py_ssize_t left = size - written;
        const Py_ssize_t taken = w.raw ? taken_by_raw(result, left) : left;
        Py_DECREF(result);
        if (taken < 0) return false;
        if (taken >= left) return true;
        if (taken == 0) {
            PyObject *const error =
                PyObject_CallFunction(PyExc_BlockingIOError, "isn", EAGAIN,
                                      "dump(): fp.write() took none of the bytes left", written);
            if (error != nullptr) {
                PyErr_SetObject(PyExc_BlockingIOError, error);
                Py_DECREF(error);
            }
            return false;
        }
        written += taken;
        data = PyBytes_FromStringAndSize(bytes + written, size - written);
        if (data == nullptr) return false;
    }
}

} // namespace

PyObject *dump(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    if (nargs != 2) {
        return PyErr_Format(PyExc_TypeError,
                            "dump() takes 2 positional arguments (value, fp) but %zd %s given",
                            nargs, nargs == 1 ? "was" : "were");
    }
    PyObject *options[kOptions] = {};
    EncodeOptions how{};
    Writer writer{};
    if (!bind_options(args + nargs, kwnames, options) || !to_options(options, &how) ||
        !writer_of(args[1], &writer)) {
        return nullptr;
    }
    bool unsupported = false;
    PyObject *data = nullptr;
    try {
        data = encode_value(module, args[0], how, &unsupported);
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    if (unsupported) {
        PyErr_Format(PyExc_TypeError, "dump(): cannot write a value of type '%.100s'",
                     Py_TYPE(args[0])->tp_name);
    }
    const bool ok = data != nullptr && write_all(writer, data);
    Py_XDECREF(data);
    Py_DECREF(writer.write);
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

} // namespace korvalent
