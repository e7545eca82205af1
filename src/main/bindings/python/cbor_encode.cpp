// The dumps encoder: one dispatch over the C API (exact types first, then
// subclasses, __index__ and the default hook) writing into a buffer that
// starts on the native stack and moves into the bytes object it is returned
// as. Contract: cbor_encode.h. Invariants: open containers sit on an explicit
// stack of strong references, so nesting costs heap, never native stack; an
// object is held strongly while Python code may run; no partial output is
// ever returned.
#include "bindings/python/cbor_encode.h"

#include <pybind11/pybind11.h>
#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h> // PyLongObject's digits; Python.h brings them from 3.11 on
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "bindings/python/cbor_reorders.h"
#include "core/cbor_format.h"

namespace korvalent {

const char kDumpsDoc[] =
    "dumps(value: Union[bool, float, int, list, tuple, dict, bytes, str, None, bool, int, int, "
    "str], indefinite: bool = True, max_depth: int = 0) -> bytes\n"
    "\n\n        Dump a Python object to cbor\n        \n";

namespace {

constexpr char kCastFailure[] =
    "Unable to cast Python instance to C++ type (#define PYBIND11_DETAILED_ERROR_MESSAGES or "
    "compile in debug mode for details)";
constexpr char kRangeFailure[] =
    "dumps received an integer out of range for both int64_t and uint64_t";
constexpr std::size_t kRenderedIntegerBytes = 40; // of the integer named in a range error

// The byte layout comes from the core's one description of it
// (core/cbor_format.h): major types, and the major type 7 bytes we write.
constexpr unsigned kUint = cbor_format::kMajorUnsigned, kNegint = cbor_format::kMajorNegative,
                   kBytes = cbor_format::kMajorBytes, kText = cbor_format::kMajorText,
                   kArray = cbor_format::kMajorArray, kMap = cbor_format::kMajorMap,
                   kTag = cbor_format::kMajorTag;
constexpr unsigned char kFalse = cbor_format::kFalse, kTrue = cbor_format::kTrue,
                        kNull = cbor_format::kNull, kHalf = cbor_format::kFloat16,
                        kSingle = cbor_format::kFloat32, kDouble = cbor_format::kFloat64,
                        kBreak = cbor_format::kBreak, kIndefinite = cbor_format::kAiIndefinite,
                        kUndefined = cbor_format::kUndefined;
constexpr std::size_t kMaxHead = cbor_format::kMaxHeadSize;

// Exact bytes and str payloads this long are not copied into the buffer: it
// gets their head, and the payload is copied once, from the (immutable, held)
// object into the result. Shorter payloads are cheaper to copy twice.
constexpr std::size_t kSplicedPayloadBytes = 4096;
constexpr std::size_t kLocalBytes = 2048;      // most messages stay on the stack,
constexpr std::size_t kLocalFrames = 24;       // as does the nesting of most documents
constexpr std::size_t kFirstHeapBytes = 65536; // then few growths for mid-sized documents

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "put_be swaps from little-endian");

// The low `bytes` (1 to 8) bytes of v, big-endian. Stores 8 bytes: p has room
// for them whenever kMaxHead bytes are reserved from p - 1.
inline char *put_be(char *p, uint64_t v, int bytes)
{
    const uint64_t swapped = __builtin_bswap64(v << (64 - 8 * bytes));
    std::memcpy(p, &swapped, sizeof swapped);
    return p + bytes;
}

// Shortest head (RFC 8949 section 3.1); p has room for kMaxHead bytes.
// Branch-free: the argument's width comes from its bit length, so values of
// mixed widths (as in a list of ints) cost no mispredicted branches.
inline char *put_head(char *p, unsigned major, uint64_t v)
{
    // additional information of an argument of 24 or more, by bit length
    static constexpr uint8_t kInfo[65] = {
        24, 24, 24, 24, 24, 24, 24, 24, 24, 25, 25, 25, 25, 25, 25, 25, 25, 26, 26, 26, 26, 26,
        26, 26, 26, 26, 26, 26, 26, 26, 26, 26, 26, 27, 27, 27, 27, 27, 27, 27, 27, 27, 27, 27,
        27, 27, 27, 27, 27, 27, 27, 27, 27, 27, 27, 27, 27, 27, 27, 27, 27, 27, 27, 27, 27};
    const unsigned info = v < 24 ? static_cast<unsigned>(v) : kInfo[64 - __builtin_clzll(v | 1)];
    const unsigned bytes = v < 24 ? 0 : 1u << (info - 24);
    *p = static_cast<char>(major << 5 | info);
    // for no argument bytes this stores scratch that the next write overwrites
    const uint64_t swapped = __builtin_bswap64(v << ((64 - 8 * bytes) & 63));
    std::memcpy(p + 1, &swapped, sizeof swapped);
    return p + 1 + bytes;
}

// Half pattern of the single s when the half is exact, else -1: zeros,
// infinities and normal halves; subnormal halves only when asked (the
// deterministic form), as the default form never wrote them.
inline int32_t half_of(uint32_t s, bool subnormals)
{
    const uint32_t sign = (s >> 16) & 0x8000, exponent = (s >> 23) & 0xFF, fraction = s & 0x7FFFFF;
    if (exponent == 0 && fraction == 0) return static_cast<int32_t>(sign);
    if (exponent == 0xFF) return static_cast<int32_t>(sign | 0x7C00); // NaN never gets here
    if (exponent >= 113 && exponent <= 142 && (fraction & 0x1FFF) == 0) {
        return static_cast<int32_t>(sign | ((exponent - 112) << 10) | (fraction >> 13));
    }
    const uint32_t mantissa = 0x800000 | fraction, shift = 126 - exponent;
    const bool exact =
        subnormals && exponent >= 103 && exponent < 113 && (mantissa & ((1u << shift) - 1)) == 0;
    return exact ? static_cast<int32_t>(sign | (mantissa >> shift)) : -1;
}

// Whether an error is pending that must reach the caller. Where another
// error only means "not this kind of value" and is dropped, an allocation
// failure and what is not an Exception (KeyboardInterrupt, SystemExit) are
// passed on: they say nothing about the value, and the caller must hear of
// them.
inline bool must_pass_on()
{
    PyObject *const pending = PyErr_Occurred();
    return pending != nullptr && (PyErr_GivenExceptionMatches(pending, PyExc_MemoryError) ||
                                  !PyErr_GivenExceptionMatches(pending, PyExc_Exception));
}

// The value of an int of one digit (from 3.12: a compact int) or, before
// 3.12, of two digits (below 2^60 in magnitude with 30-bit digits), read in
// place as the interpreter's own fast paths do; false for a longer int.
inline bool small_int(PyObject *v, long long *value)
{
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(v))) return false;
    *value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(v));
#else
    static_assert(2 * PyLong_SHIFT < 63, "two digits fit a long long");
    const Py_ssize_t size = Py_SIZE(v);
    const digit *const d = reinterpret_cast<PyLongObject *>(v)->ob_digit;
    if (size >= -1 && size <= 1) { // a product: signs mix unpredictably; zero has no digit
        *value = size != 0 ? size * static_cast<long long>(d[0]) : 0;
        return true;
    }
    if (size < -2 || size > 2) return false;
    *value = (size / 2) * (d[0] | static_cast<long long>(d[1]) << PyLong_SHIFT);
#endif
    return true;
}

// The CBOR integer of an int: false, with no error left, outside -2^63 .. 2^64 - 1.
inline bool integer_of(PyObject *v, unsigned *major, uint64_t *argument)
{
    int overflow = 0;
    long long s;
    if (!small_int(v, &s)) s = PyLong_AsLongLongAndOverflow(v, &overflow);
    *major = overflow == 0 && s < 0 ? kNegint : kUint;
    *argument = overflow > 0 ? PyLong_AsUnsignedLongLong(v)
                : s < 0      ? ~static_cast<uint64_t>(s)
                             : static_cast<uint64_t>(s);
    if (overflow == 0 || (overflow > 0 && !(*argument == ~0ULL && PyErr_Occurred()))) return true;
    PyErr_Clear();
    return false;
}

enum class Kind : uint8_t { kList, kTuple, kDict };

// An open container: its head is written, its elements are being written.
struct Frame {
    PyObject *container; // strong: Python code run by an element may drop every other reference
    PyObject *pending;   // dict only, strong: the value whose key is being written
    Py_ssize_t next;     // list/tuple index, or PyDict_Next position
    Py_ssize_t size;     // items or pairs when the head was written
    uint64_t version;    // dict only: its version when the head was written
    std::size_t pairs;   // deterministic form: this dict's first entry in Encoder::pairs_
    Kind kind;
};

struct Splice { // a payload that belongs after the first `offset` buffer bytes
    std::size_t offset;
    const char *data;
    std::size_t size;
    PyObject *owner; // strong
};

// The walk keeps its levels on the heap, so only the interpreter's recursion
// limit (sys.getrecursionlimit) bounds its depth, each level counting as one
// call. Up to 3.11 Py_EnterRecursiveCall checks that limit; from 3.12 it
// checks a fixed allowance of native stack instead, which would refuse deep
// values that a raised limit admits, so there the room left under the limit
// is read from the thread state and counted down here.
#if PY_VERSION_HEX >= 0x030C0000
constexpr const char *kDepthMessage = "maximum recursion depth exceeded while encoding a CBOR item";
inline bool enter_level(std::size_t charged)
{
    const int room = PyThreadState_Get()->py_recursion_remaining;
    if (room <= 0 || charged >= static_cast<std::size_t>(room)) {
        PyErr_SetString(PyExc_RecursionError, kDepthMessage);
        return false;
    }
    return true;
}
inline void leave_level() {}
#else
inline bool enter_level(std::size_t)
{
    return Py_EnterRecursiveCall(" while encoding a CBOR item") == 0;
}
inline void leave_level() { Py_LeaveRecursiveCall(); }
#endif

// Tags whose content default replaced by a tag again, open at once: each
// takes a few hundred bytes of native stack, so that many fit in 512 KiB
// whatever the recursion limit.
constexpr int kMaxTagContentNesting = 1000;
constexpr const char *kTagContentMessage =
    "maximum recursion depth exceeded while encoding a CBOR item (tags nested through default)";

// A dict's version (PEP 509) changes with every change made to it, and is
// never given to another state of any dict. The field is deprecated from 3.12
// on but kept up to date through 3.13; there its low bits name the dict's
// watchers (and, from 3.13, count their changes), which a watcher set up
// without a change to the dict also sets, so they are left out.
#if PY_VERSION_HEX >= 0x030D0000
constexpr uint64_t kDictWatcherBits = (uint64_t{1} << 12) - 1;
#elif PY_VERSION_HEX >= 0x030C0000
constexpr uint64_t kDictWatcherBits = (uint64_t{1} << 8) - 1;
#else
constexpr uint64_t kDictWatcherBits = 0;
#endif
inline uint64_t dict_version(PyObject *dict)
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag & ~kDictWatcherBits;
#pragma GCC diagnostic pop
}

// What writing a value did; kUnsupportedTop is the caller's error to raise,
// kNotValueType an internal answer of write_value_type.
enum Step { kFailed = -1, kDone = 0, kOpened = 1, kUnsupportedTop = 2, kNotValueType = 3 };

class Encoder {
public:
    // module: the cbor submodule, whose value types (Tag, Simple, undefined)
    // are written as what they stand for.
    Encoder(PyObject *module, const EncodeOptions &options)
        : indefinite_(options.indefinite && !options.canonical), canonical_(options.canonical),
          hook_(options.hook), limit_(options.max_depth == 0 ? ~std::size_t{0} : options.max_depth),
          max_depth_(options.max_depth), unsupported_in_(options.unsupported_in), module_(module)
    {}
    Encoder(const Encoder &) = delete;
    Encoder &operator=(const Encoder &) = delete;

    ~Encoder()
    {
        for (; depth_ > 0; --depth_) {
            Py_DECREF(frames_[depth_ - 1].container);
            Py_XDECREF(frames_[depth_ - 1].pending);
        }
        for (; charged_ > 0; --charged_) leave_level();
        for (const Splice &s : splices_) Py_DECREF(s.owner);
        if (frames_ != local_frames_) PyMem_Free(frames_);
        Py_XDECREF(heap_);
    }

    // The bytes of value, or null with an error set (not set for kUnsupportedTop).
    PyObject *encode(PyObject *value, int *step)
    {
        *step = write(value);
        while (*step >= kDone && depth_ > 0) {
            Frame *const f = &frames_[depth_ - 1];
            *step = f->kind == Kind::kDict ? step_dict(f) : step_sequence(f);
        }
        return *step == kDone ? result() : nullptr;
    }

private:
    // Exact types first: writing them runs no Python code.
    [[gnu::always_inline]] int write(PyObject *obj)
    {
        if (depth_ > limit_) {
            PyErr_Format(PyExc_RuntimeError, "Exceeded recursion limit:%lu", max_depth_);
            return kFailed;
        }
        PyTypeObject *const type = Py_TYPE(obj);
        if (type == &PyUnicode_Type) return write_text(obj);
        if (type == &PyLong_Type) return write_exact_int(obj);
        if (type == &PyFloat_Type) return write_float(PyFloat_AS_DOUBLE(obj));
        if (type == &PyList_Type) return open(obj, Kind::kList, PyList_GET_SIZE(obj));
        if (type == &PyDict_Type) return open(obj, Kind::kDict, PyDict_GET_SIZE(obj));
        if (obj == Py_None || type == &PyBool_Type)
            return put_byte(obj == Py_None ? kNull : obj == Py_True ? kTrue : kFalse);
        if (type == &PyTuple_Type) return open(obj, Kind::kTuple, PyTuple_GET_SIZE(obj));
        if (type == &PyBytes_Type)
            return write_string(kBytes, PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj), obj);
        Py_INCREF(obj); // __index__, __eq__, __str__ or default may drop every other reference
        const int step = write_other(obj);
        Py_DECREF(obj);
        return step;
    }

    // Then subclasses in the order the kinds have always been tried, numpy
    // booleans, integer-likes (__index__), byte arrays (also one whose
    // __index__ gives no integer), and the default hook.
    [[gnu::noinline]] int write_other(PyObject *obj)
    {
        unsigned major;
        uint64_t argument;
        release_levels(); // Python code may run here, with the room a plain call would have
        if (PyFloat_Check(obj)) return write_float(PyFloat_AS_DOUBLE(obj));
        if (PyLong_Check(obj)) return write_int(obj);
        if (PyList_Check(obj)) return open(obj, Kind::kList, PyList_GET_SIZE(obj));
        if (PyTuple_Check(obj)) return open(obj, Kind::kTuple, PyTuple_GET_SIZE(obj));
        if (PyDict_Check(obj)) return open(obj, Kind::kDict, PyDict_GET_SIZE(obj));
        if (PyBytes_Check(obj))
            return write_string(kBytes, PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj), obj);
        if (PyUnicode_Check(obj)) return write_text(obj);
        // The type's name is read again after Python code has run: that code
        // may rename the type and free the old name.
        const char *const name = Py_TYPE(obj)->tp_name;
        if (std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0) {
            const int truth = PyObject_IsTrue(obj);
            if (truth >= 0) return put_byte(truth ? kTrue : kFalse);
            if (must_pass_on()) return kFailed;
            PyErr_Clear();
        } else {
            if (PyIndex_Check(obj)) {
                PyObject *const index = PyNumber_Index(obj);
                const bool fits = index != nullptr && integer_of(index, &major, &argument);
                Py_XDECREF(index);
                if (must_pass_on()) return kFailed;
                PyErr_Clear(); // a raising __index__, or a value out of range: no integer here
                if (fits) return write_integer(major, argument);
            }
            if (PyByteArray_Check(obj)) { // mutable, so always copied
                return write_string(kBytes, PyByteArray_AS_STRING(obj), PyByteArray_GET_SIZE(obj),
                                    nullptr);
            }
        }
        const int own = write_value_type(obj);
        if (own != kNotValueType) return own;
        if (from_hook_) {
            PyErr_Format(PyExc_TypeError,
                         "%s(): default returned an unsupported value of type '%.200s'", caller(),
                         Py_TYPE(obj)->tp_name);
            return kFailed;
        }
        if (hook_ == nullptr) return depth_ == 0 ? kUnsupportedTop : unsupported(obj);
        PyObject *const replacement = PyObject_CallOneArg(hook_, obj);
        if (replacement == nullptr) return kFailed;
        from_hook_ = true;
        const int step = write(replacement);
        from_hook_ = false;
        Py_DECREF(replacement);
        return step;
    }

    // Instances of the cbor submodule's value types, which loads makes: the
    // undefined singleton, Simple(n) and Tag(n, value); kNotValueType for
    // anything else. A chain of tags is written in a loop, so its length
    // costs no native stack; as with nested containers, it may be no longer
    // than the interpreter's recursion limit, which also ends a chain that
    // never ends (a subclass whose value makes a new tag each time). What
    // the innermost tag holds is written as any value is.
    [[gnu::noinline]] int write_value_type(PyObject *obj)
    {
        PyObject *const undefined = PyObject_GetAttrString(module_, "undefined");
        Py_XDECREF(undefined); // the submodule keeps it; only its identity is needed
        if (undefined == nullptr) return missing() ? kNotValueType : kFailed;
        if (obj == undefined) return put_byte(kUndefined);
        const int simple = is_instance_of(obj, "Simple");
        if (simple < 0) return kFailed;
        if (simple) {
            unsigned long value = 0;
            if (!integer_attribute(obj, "value", &value)) return kFailed;
            if (value > 255 || (value >= 20 && value < 32)) // a subclass may say anything
                return fail_in(PyExc_ValueError, "a Simple value must be 0 to 19 or 32 to 255");
            if (!reserve(kMaxHead)) return kFailed;
            pos_ = value < 24 ? (*pos_ = static_cast<char>(0xE0 | value), pos_ + 1)
                              : put_head(pos_, cbor_format::kMajorSimple, value);
            return kDone;
        }
        const int tag = is_instance_of(obj, "Tag");
        if (tag <= 0) return tag < 0 ? kFailed : kNotValueType;
        Py_INCREF(obj);
        PyObject *content = obj;
        int inner_tag = 1;
        for (int levels = 0; content != nullptr && (inner_tag = is_instance_of(content, "Tag")) > 0;
             ++levels) {
            if (levels == Py_GetRecursionLimit()) {
                Py_DECREF(content);
                PyErr_SetString(PyExc_RecursionError,
                                "maximum recursion depth exceeded while encoding a CBOR item");
                return kFailed;
            }
            unsigned long long number = 0;
            PyObject *const inner = integer_attribute(content, "tag", &number)
                                        ? PyObject_GetAttrString(content, "value")
                                        : nullptr;
            Py_DECREF(content);
            content = inner != nullptr && write_integer(kTag, number) == kDone ? inner : nullptr;
            if (content == nullptr) Py_XDECREF(inner);
        }
        if (inner_tag < 0) Py_CLEAR(content);
        if (content == nullptr) return kFailed;
        int step = write_tag_content(content);
        // what a tag holds is an element, even in a tag given as the value
        if (step == kUnsupportedTop) step = unsupported(content);
        Py_DECREF(content);
        return step;
    }

    // What a tag holds is written as any value is, also in a tag that default
    // returned: default is called for it if need be. That may return a tag
    // again, and each such write takes native stack, so it counts as a call
    // against the interpreter's recursion limit, and no more than
    // kMaxTagContentNesting of them may be open, whatever that limit is.
    int write_tag_content(PyObject *content)
    {
        if (tag_contents_ == kMaxTagContentNesting) {
            PyErr_SetString(PyExc_RecursionError, kTagContentMessage);
            return kFailed;
        }
        if (Py_EnterRecursiveCall(" while encoding a CBOR item") != 0) return kFailed;
        const bool from_hook = from_hook_;
        from_hook_ = false;
        ++tag_contents_;
        const int step = write(content);
        --tag_contents_;
        from_hook_ = from_hook;
        Py_LeaveRecursiveCall();
        return step;
    }

    // Whether obj is an instance of the submodule's class `name`: 1 or 0, or
    // -1 with the error pending when the class could not be looked up (a
    // class deleted from the submodule has no instances). No Python code
    // runs for the test.
    int is_instance_of(PyObject *obj, const char *name)
    {
        PyObject *const type = PyObject_GetAttrString(module_, name);
        if (type == nullptr) return missing() ? 0 : -1;
        const bool is =
            PyType_Check(type) && PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject *>(type));
        Py_DECREF(type);
        return is;
    }

    // After a failed lookup: true, with the error cleared, when the name is
    // just not there.
    static bool missing()
    {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }

    // The integer attribute `name` of obj (a Tag's number, a Simple's value).
    template <typename Unsigned>
    static bool integer_attribute(PyObject *obj, const char *name, Unsigned *out)
    {
        PyObject *const number = PyObject_GetAttrString(obj, name);
        if (number == nullptr) return false;
        *out = static_cast<Unsigned>(PyLong_AsUnsignedLongLong(number));
        Py_DECREF(number);
        return !PyErr_Occurred();
    }

    // Items of the innermost list or tuple, until it ends or one opens a container.
    int step_sequence(Frame *f)
    {
        const bool is_list = f->kind == Kind::kList;
        for (;;) {
            // Python code run by any item written so far may have resized a list.
            if (is_list && PyList_GET_SIZE(f->container) != f->size) {
                return fail(PyExc_RuntimeError, "list changed size during dumps");
            }
            if (f->next == f->size) return close();
            PyObject *const *const items =
                is_list ? reinterpret_cast<PyListObject *>(f->container)->ob_item
                        : reinterpret_cast<PyTupleObject *>(f->container)->ob_item;
            PyObject *const item = items[f->next++];
            if (f->next < f->size)
                __builtin_prefetch(items[f->next]); // items lie scattered in memory
            const int step = write(item);
            if (step != kDone) return step;
        }
    }

    // Keys and values of the innermost dict, until it ends or one opens a
    // container. The value is held while its key is written: writing a key
    // may run Python code that drops it from the dict.
    int step_dict(Frame *f)
    {
        for (;;) {
            if (PyObject *const value = f->pending) {
                f->pending = nullptr;
                if (canonical_) end_key();
                const int step = write(value);
                Py_DECREF(value);
                if (step != kDone) return step;
            }
            if (PyDict_GET_SIZE(f->container) != f->size)
                return fail(PyExc_RuntimeError, "dict changed size during dumps");
            // Python code may also have replaced entries, leaving the size as
            // it was, and a rebuilt table leaves the walk's position naming
            // other entries: some would be written twice, others never.
            if (dict_version(f->container) != f->version)
                return fail(PyExc_RuntimeError, "dict changed during dumps");
            PyObject *key, *value;
            if (PyDict_Next(f->container, &f->next, &key, &value) == 0) return close();
            __builtin_prefetch(value); // loads while the key is written
            if (canonical_) pairs_.push_back(Pair{offset(), 0, 0, reorders_.roots(), 0, 0});
            if (Py_TYPE(key) == &PyUnicode_Type && !canonical_) {
                // Writing an exact str runs no Python code: the value stays in the dict.
                if (write_text(key) == kFailed) return kFailed;
                const int step = write(value);
                if (step != kDone) return step;
                continue;
            }
            Py_INCREF(value);
            f->pending = value;
            const int step = write(key);
            if (step != kDone) return step;
        }
    }

    int open(PyObject *container, Kind kind, Py_ssize_t size)
    {
        const unsigned major = kind == Kind::kDict ? kMap : kArray;
        if (size == 0) { // nothing to walk: no frame (many documents are full of these)
            if (!reserve(2)) return kFailed;
            *pos_++ = static_cast<char>(major << 5 | (indefinite_ ? kIndefinite : 0));
            if (indefinite_) *pos_++ = static_cast<char>(kBreak);
            return kDone;
        }
        // The deepest level reached stays charged until Python code may run
        // (release_levels): one call into the interpreter per new level, not
        // two per container.
        if (depth_ == charged_) {
            if (!enter_level(charged_)) return kFailed;
            ++charged_;
        }
        if (depth_ == capacity_) {
            const bool local = frames_ == local_frames_;
            void *const grown = local ? PyMem_Malloc(2 * capacity_ * sizeof(Frame))
                                      : PyMem_Realloc(frames_, 2 * capacity_ * sizeof(Frame));
            if (grown == nullptr) return PyErr_NoMemory(), kFailed;
            if (local) std::memcpy(grown, local_frames_, sizeof local_frames_);
            frames_ = static_cast<Frame *>(grown);
            capacity_ *= 2;
        }
        if (!reserve(kMaxHead)) return kFailed;
        pos_ = indefinite_ ? (*pos_ = static_cast<char>(major << 5 | kIndefinite), pos_ + 1)
                           : put_head(pos_, major, static_cast<uint64_t>(size));
        Py_INCREF(container);
        const uint64_t version = kind == Kind::kDict ? dict_version(container) : 0;
        frames_[depth_++] = Frame{container, nullptr, 0, size, version, pairs_.size(), kind};
        return kOpened;
    }

    // Gives back the levels charged for containers already closed, so that
    // Python code run for a value has the room it would have at its depth.
    void release_levels()
    {
        for (; charged_ > depth_; --charged_) leave_level();
    }

    int close()
    {
        const Frame &f = frames_[depth_ - 1];
        if (indefinite_ && put_byte(kBreak) == kFailed) return kFailed;
        if (canonical_ && f.kind == Kind::kDict && sort_pairs(f.pairs) == kFailed) return kFailed;
        Py_DECREF(f.container);
        --depth_;
        return kDone;
    }

    // Deterministic form: the key of the innermost dict's last entry is
    // written, with the reordered dicts it holds.
    void end_key()
    {
        Pair &p = pairs_.back();
        p.key_end = offset();
        p.roots_end = reorders_.roots();
    }

    // Deterministic form: the entries written since `first`, to be reordered
    // by the bytewise order of their encoded keys (RFC 8949 section 4.2.1).
    // Encodings are self-delimiting, so no key is a proper prefix of another.
    int sort_pairs(std::size_t first)
    {
        Pair *const pairs = pairs_.data() + first;
        const std::size_t count = pairs_.size() - first, from = count > 0 ? pairs[0].start : 0;
        const std::size_t inner = count > 0 ? pairs[0].roots : 0;
        for (std::size_t i = 0; i < count; ++i) {
            pairs[i].end = i + 1 < count ? pairs[i + 1].start : offset();
            pairs[i].held_end = i + 1 < count ? pairs[i + 1].roots : reorders_.roots();
        }
        const char *const base = start_;
        const auto key_less = [this, base](const Pair &a, const Pair &b) {
            if (__builtin_expect((a.roots != a.roots_end) | (b.roots != b.roots_end), 0))
                return held_keys_less(a, b); // as they will read
            const std::size_t la = a.key_end - a.start, lb = b.key_end - b.start;
            const int c = std::memcmp(base + a.start, base + b.start, std::min(la, lb));
            return c < 0 || (c == 0 && la < lb);
        };
        std::sort(pairs, pairs + count, key_less);
        bool in_place = true; // as written: then nothing moves
        for (std::size_t i = 1; i < count; ++i) {
            if (!key_less(pairs[i - 1], pairs[i])) {
                return fail_in(PyExc_ValueError,
                               "canonical=True met two dict keys with the same encoding");
            }
            in_place = in_place && pairs[i - 1].end == pairs[i].start;
        }
        if (!in_place) {
            reorders_.add(from, offset(), pairs, count, inner);
        }
        pairs_.resize(first);
        return kDone;
    }

    // Two keys of which one holds dicts to reorder, by their final bytes.
    [[gnu::noinline]] bool held_keys_less(const Pair &a, const Pair &b) const
    {
        return reorders_.compare_keys(start_, a, b) < 0;
    }

    [[gnu::always_inline]] int write_text(PyObject *text)
    {
        if (PyUnicode_IS_COMPACT_ASCII(text)) { // its characters are its UTF-8 bytes
            const auto *const data =
                reinterpret_cast<const char *>(reinterpret_cast<PyASCIIObject *>(text) + 1);
            return write_string(kText, data, PyUnicode_GET_LENGTH(text), text);
        }
        Py_ssize_t size = 0;
        const char *const utf8 = PyUnicode_AsUTF8AndSize(text, &size);
        if (utf8 != nullptr) return write_string(kText, utf8, size, text);
        // Lone surrogates: dump keeps the UnicodeEncodeError that names them.
        if (unsupported_in_ != nullptr || must_pass_on()) return kFailed;
        PyErr_Clear();
        return fail(PyExc_RuntimeError, kCastFailure);
    }

    // owner: the immutable object holding data, or null when data must be copied now.
    [[gnu::always_inline]] int write_string(unsigned major, const char *data, Py_ssize_t size,
                                            PyObject *owner)
    {
        const auto n = static_cast<std::size_t>(size);
        const bool splice = n >= kSplicedPayloadBytes && owner != nullptr && !canonical_;
        if (!reserve(kMaxHead + (splice ? 0 : n))) return kFailed;
        pos_ = put_head(pos_, major, n);
        if (splice) {
            splices_.push_back(Splice{offset(), data, n, owner});
            Py_INCREF(owner);
        } else {
            pos_ = copy(pos_, data, n);
        }
        return kDone;
    }

    // memcpy without a library call for the short payloads most strings have:
    // two overlapping loads cover any length from w to 2w. Reads stay in [data, data + n).
    [[gnu::always_inline]] static char *copy(char *to, const char *data, std::size_t n)
    {
        uint64_t a, b;
        uint32_t c, d;
        struct Chunk {
            char bytes[16];
        } e, f;
        if (n > 32) return static_cast<char *>(std::memcpy(to, data, n)) + n;
        if (n > 16) {
            std::memcpy(&e, data, 16), std::memcpy(&f, data + n - 16, 16);
            std::memcpy(to, &e, 16), std::memcpy(to + n - 16, &f, 16);
        } else if (n >= 8) {
            std::memcpy(&a, data, 8), std::memcpy(&b, data + n - 8, 8);
            std::memcpy(to, &a, 8), std::memcpy(to + n - 8, &b, 8);
        } else if (n >= 4) {
            std::memcpy(&c, data, 4), std::memcpy(&d, data + n - 4, 4);
            std::memcpy(to, &c, 4), std::memcpy(to + n - 4, &d, 4);
        } else {
            for (std::size_t i = 0; i < n; ++i) to[i] = data[i];
        }
        return to + n;
    }

    // The shortest width that holds the value exactly; NaN as the half 7E00.
    [[gnu::always_inline]] int write_float(double value)
    {
        if (!reserve(kMaxHead)) return kFailed;
        const float single = static_cast<float>(value);
        uint64_t bits;
        uint32_t s;
        std::memcpy(&bits, &value, sizeof bits);
        std::memcpy(&s, &single, sizeof s);
        const int32_t half = static_cast<double>(single) != value ? (value != value ? 0x7E00 : -1)
                                                                  : half_of(s, canonical_);
        const bool is_single = half < 0 && static_cast<double>(single) == value;
        *pos_ = static_cast<char>(half >= 0 ? kHalf : is_single ? kSingle : kDouble);
        pos_ = half >= 0   ? put_be(pos_ + 1, static_cast<uint32_t>(half), 2)
               : is_single ? put_be(pos_ + 1, s, 4)
                           : put_be(pos_ + 1, bits, 8);
        return kDone;
    }

    [[gnu::always_inline]] int write_integer(unsigned major, uint64_t argument)
    {
        if (!reserve(kMaxHead)) return kFailed;
        pos_ = put_head(pos_, major, argument);
        return kDone;
    }

    // Most ints in documents are small: written here without a call.
    [[gnu::always_inline]] int write_exact_int(PyObject *value)
    {
        long long s;
        if (!small_int(value, &s)) return write_int(value);
        return write_integer(s < 0 ? kNegint : kUint,
                             s < 0 ? ~static_cast<uint64_t>(s) : static_cast<uint64_t>(s));
    }

    // Any int. One whose type has its own __eq__ is kept only when the int
    // rebuilt from its value compares equal to it; a raising __eq__ counts
    // as unequal.
    int write_int(PyObject *value)
    {
        unsigned major;
        uint64_t argument;
        if (!integer_of(value, &major, &argument)) return range_error(value);
        if (Py_TYPE(value)->tp_richcompare == PyLong_Type.tp_richcompare)
            return write_integer(major, argument);
        PyObject *const rebuilt = major == kUint
                                      ? PyLong_FromUnsignedLongLong(argument)
                                      : PyLong_FromLongLong(static_cast<long long>(~argument));
        const int equal = rebuilt == nullptr ? -1 : PyObject_RichCompareBool(rebuilt, value, Py_EQ);
        Py_XDECREF(rebuilt);
        if (must_pass_on()) return kFailed;
        PyErr_Clear();
        return equal == 1 ? write_integer(major, argument) : range_error(value);
    }

    // The range error names the integer by str(), cut to kRenderedIntegerBytes
    // at a character boundary; a failing str() is reported in its place.
    [[gnu::noinline]] int range_error(PyObject *value)
    {
        std::string rendering;
        try {
            rendering = static_cast<std::string>(pybind11::str(pybind11::handle(value)));
        } catch (pybind11::error_already_set &e) {
            e.restore();
            if (must_pass_on()) return kFailed;
            PyErr_Clear();
            rendering = std::string("failed with ") + e.what();
        } catch (const std::exception &e) {
            rendering = std::string("failed with ") + e.what();
        }
        std::size_t cut = std::min(rendering.size(), kRenderedIntegerBytes);
        while (cut < rendering.size() && cut > 0 &&
               (static_cast<unsigned char>(rendering[cut]) & 0xC0) == 0x80)
            --cut;
        return fail(PyExc_RuntimeError, (kRangeFailure + rendering.substr(0, cut)).c_str());
    }

    // A value below the top whose type nothing writes.
    int unsupported(PyObject *obj)
    {
        if (unsupported_in_ == nullptr) return fail(PyExc_RuntimeError, kCastFailure);
        PyErr_Format(PyExc_TypeError, "%s(): cannot write a value of type '%.100s'",
                     unsupported_in_, Py_TYPE(obj)->tp_name);
        return kFailed;
    }

    // The function named in errors.
    const char *caller() const { return unsupported_in_ == nullptr ? "dumps" : unsupported_in_; }

    int fail_in(PyObject *type, const char *text)
    {
        PyErr_Format(type, "%s(): %s", caller(), text);
        return kFailed;
    }

    int fail(PyObject *type, const char *text)
    {
        PyErr_SetString(type, text);
        return kFailed;
    }

    int put_byte(unsigned char byte)
    {
        if (!reserve(1)) return kFailed;
        *pos_++ = static_cast<char>(byte);
        return kDone;
    }

    bool reserve(std::size_t bytes)
    {
        return static_cast<std::size_t>(end_ - pos_) >= bytes || grow(bytes);
    }
    std::size_t offset() const { return static_cast<std::size_t>(pos_ - start_); }

    // At least doubles the buffer. The first growth moves it off the stack
    // into a bytes object, which later growths resize in place where the
    // allocator can (large blocks are remapped, not copied).
    [[gnu::noinline]] bool grow(std::size_t bytes)
    {
        const std::size_t used = offset(), capacity = static_cast<std::size_t>(end_ - start_);
        if (bytes > PY_SSIZE_T_MAX - used) return PyErr_NoMemory(), false;
        const std::size_t doubled =
            capacity <= PY_SSIZE_T_MAX / 2 ? std::max(2 * capacity, kFirstHeapBytes) : 0;
        const auto wanted = static_cast<Py_ssize_t>(std::max(used + bytes, doubled));
        if (heap_ == nullptr) {
            if ((heap_ = PyBytes_FromStringAndSize(nullptr, wanted)) == nullptr) return false;
            std::memcpy(PyBytes_AS_STRING(heap_), local_, used);
        } else if (_PyBytes_Resize(&heap_, wanted) != 0) {
            return false; // heap_ is released and MemoryError set
        }
        start_ = PyBytes_AS_STRING(heap_);
        pos_ = start_ + used;
        end_ = start_ + wanted;
        return true;
    }

    // The output as a bytes object: the buffer itself cut to its length, or
    // a copy with the spliced payloads or reordered entries in their places.
    PyObject *result()
    {
        // The deterministic form (no splices): its dicts' entries in key
        // order, moved within the buffer when they span little of it, else
        // assembled into a new bytes object (at most twice the output's
        // size either way).
        if (reorders_.roots() > 0) {
            if (2 * reorders_.largest() >= offset()) return assembled();
            reorders_.apply(start_);
        }
        const std::size_t written = offset();
        PyObject *out = nullptr;
        std::size_t total = written, copied = 0;
        for (const Splice &s : splices_)
            total = total > PY_SSIZE_T_MAX - s.size ? SIZE_MAX : total + s.size;
        if (splices_.empty() && heap_ != nullptr) {
            std::swap(out, heap_);
            if (_PyBytes_Resize(&out, static_cast<Py_ssize_t>(written)) != 0) out = nullptr;
        } else if (total <= PY_SSIZE_T_MAX) {
            out = PyBytes_FromStringAndSize(splices_.empty() ? start_ : nullptr,
                                            static_cast<Py_ssize_t>(total));
        }
        char *to = out != nullptr && !splices_.empty() ? PyBytes_AS_STRING(out) : nullptr;
        for (const Splice &s : splices_) {
            if (to == nullptr) break;
            to = std::copy(start_ + copied, start_ + s.offset, to);
            to = std::copy(s.data, s.data + s.size, to);
            copied = s.offset;
        }
        if (to != nullptr) std::copy(start_ + copied, start_ + written, to);
        return out != nullptr ? out : allocation_failed();
    }

    PyObject *assembled()
    {
        const std::size_t written = offset();
        PyObject *const out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(written));
        if (out == nullptr) return allocation_failed();
        try {
            reorders_.assemble(start_, written, PyBytes_AS_STRING(out));
        } catch (...) {
            Py_DECREF(out);
            throw;
        }
        return out;
    }

    static PyObject *allocation_failed()
    {
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError, "Could not allocate bytes object!");
        return nullptr;
    }

    const bool indefinite_, canonical_;
    PyObject *const hook_; // default=, or null
    const std::size_t limit_;
    const unsigned long max_depth_;
    const char *const unsupported_in_;
    bool from_hook_ = false;   // the value being written is what default returned
    int tag_contents_ = 0;     // tag contents being written (write_tag_content)
    PyObject *heap_ = nullptr; // once local_ is outgrown: the bytes object holding the output
    char *start_ = local_, *pos_ = local_, *end_ = local_ + kLocalBytes;
    Frame *frames_ = local_frames_;
    std::size_t depth_ = 0, capacity_ = kLocalFrames;
    std::size_t charged_ = 0; // levels counted against the interpreter's recursion limit
    std::vector<Splice> splices_;
    std::vector<Pair> pairs_;
    Reorders reorders_; // deterministic form
    char local_[kLocalBytes];
    Frame local_frames_[kLocalFrames];
    PyObject *const module_; // the cbor submodule; last: read on rare paths only
};

// ------------------------------------------------------------------ arguments

enum Slot { kValue, kIndefiniteArg, kMaxDepth, kDefault, kCanonical, kSlots };
constexpr const char *kNames[kSlots] = {"value", "indefinite", "max_depth", "default", "canonical"};

// The arguments by slot; false when they do not fit the signature.
bool bind(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **slots)
{
    if (nargs > kDefault) return false; // default and canonical are keyword-only
    std::copy(args, args + nargs, slots);
    for (Py_ssize_t k = 0; kwnames != nullptr && k < PyTuple_GET_SIZE(kwnames); ++k) {
        int slot = 0;
        while (slot < kSlots &&
               PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, k), kNames[slot]) != 0)
            ++slot;
        if (slot == kSlots || slots[slot] != nullptr) return false;
        slots[slot] = args[nargs + k];
    }
    return slots[kValue] != nullptr;
}

// repr(obj), or str(obj) for a keyword name, as the argument error shows it.
std::string shown(PyObject *obj, bool as_repr)
{
    try {
        const pybind11::handle h(obj);
        return static_cast<std::string>(as_repr ? pybind11::repr(h) : pybind11::str(h));
    } catch (const pybind11::error_already_set &) {
        return "<repr raised Error>";
    }
}

// The TypeError dumps has always raised for arguments it cannot take.
PyObject *incompatible(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    const char *const signature = kDumpsDoc + std::strlen("dumps");
    std::string text =
        "dumps(): incompatible function arguments. The following argument types are supported:\n"
        "    1. " +
        std::string(signature, std::strchr(signature, '\n')) + "\n\nInvoked with: ";
    for (Py_ssize_t i = 0; i < nargs; ++i) text += (i > 0 ? ", " : "") + shown(args[i], true);
    for (Py_ssize_t k = 0; kwnames != nullptr && k < PyTuple_GET_SIZE(kwnames); ++k) {
        text += k > 0 ? ", " : nargs > 0 ? "; kwargs: " : "kwargs: ";
        text += shown(PyTuple_GET_ITEM(kwnames, k), false) + "=" + shown(args[nargs + k], true);
    }
    PyErr_SetString(PyExc_TypeError, text.c_str());
    return nullptr;
}

PyObject *dumps_checked(PyObject *module, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames)
{
    PyObject *slots[kSlots] = {};
    bool indefinite = true;
    unsigned long max_depth = 0;
    if (!bind(args, nargs, kwnames, slots) ||
        (slots[kIndefiniteArg] && !read_flag(slots[kIndefiniteArg], &indefinite)) ||
        (slots[kMaxDepth] && !read_depth(slots[kMaxDepth], &max_depth))) {
        return PyErr_Occurred() ? nullptr : incompatible(args, nargs, kwnames);
    }
    PyObject *const hook = slots[kDefault] == Py_None ? nullptr : slots[kDefault];
    if (hook != nullptr && !PyCallable_Check(hook)) {
        return PyErr_Format(PyExc_TypeError,
                            "dumps(): default must be callable or None, not %.200s",
                            Py_TYPE(hook)->tp_name);
    }
    const int canonical = slots[kCanonical] == nullptr ? 0 : PyObject_IsTrue(slots[kCanonical]);
    if (canonical < 0) return nullptr;
    if (canonical && slots[kIndefiniteArg] != nullptr && indefinite) {
        PyErr_SetString(
            PyExc_ValueError,
            "dumps(): canonical=True writes definite lengths; indefinite=True contradicts it");
        return nullptr;
    }
    bool unsupported = false;
    PyObject *const out = encode_value(
        module, slots[kValue], EncodeOptions{indefinite, max_depth, hook, canonical != 0, nullptr},
        &unsupported);
    return unsupported ? incompatible(args, nargs, kwnames) : out;
}

// A call without default= keeps its encoder, buffers included, on the native
// stack. With default=, the hook may call dumps again from inside the call,
// and a value may take one such call per level: there the encoder goes on
// the heap, so that a level costs the native stack of a few calls.
[[gnu::noinline]] PyObject *encode_on_stack(PyObject *module, PyObject *value,
                                            const EncodeOptions &options, int *step)
{
    return Encoder(module, options).encode(value, step);
}

[[gnu::noinline]] PyObject *encode_on_heap(PyObject *module, PyObject *value,
                                           const EncodeOptions &options, int *step)
{
    const std::unique_ptr<Encoder> encoder(new (std::nothrow) Encoder(module, options));
    return encoder != nullptr ? encoder->encode(value, step) : PyErr_NoMemory();
}

} // namespace

PyObject *encode_value(PyObject *module, PyObject *value, const EncodeOptions &options,
                       bool *unsupported)
{
    int step = kDone;
    PyObject *const out = options.hook == nullptr ? encode_on_stack(module, value, options, &step)
                                                  : encode_on_heap(module, value, options, &step);
    *unsupported = step == kUnsupportedTop;
    return out;
}

bool read_flag(PyObject *obj, bool *out)
{
    const PyNumberMethods *const number = Py_TYPE(obj)->tp_as_number;
    const int truth = obj == Py_True                                    ? 1
                      : obj == Py_False || obj == Py_None               ? 0
                      : number != nullptr && number->nb_bool != nullptr ? number->nb_bool(obj)
                                                                        : -1;
    if (!must_pass_on()) PyErr_Clear();
    *out = truth == 1;
    return truth == 0 || truth == 1;
}

bool read_depth(PyObject *obj, unsigned long *out)
{
    PyObject *const number = PyFloat_Check(obj)    ? nullptr
                             : PyLong_Check(obj)   ? (Py_INCREF(obj), obj)
                             : PyNumber_Check(obj) ? PyNumber_Long(obj)
                                                   : nullptr;
    *out = number != nullptr ? PyLong_AsUnsignedLong(number) : static_cast<unsigned long>(-1);
    Py_XDECREF(number);
    const bool ok = number != nullptr && !PyErr_Occurred();
    if (!must_pass_on()) PyErr_Clear();
    return ok;
}

// No C++ exception may cross into the interpreter: the only one the encoder's
// containers and texts can throw is an allocation failure.
PyObject *dumps(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    try {
        return dumps_checked(module, args, nargs, kwnames);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

} // namespace korvalent
