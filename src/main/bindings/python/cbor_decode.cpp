// The decoding half of the cbor submodule: loads, load, iter_items, the
// CBORDecodeError exception and the small value types undefined, Simple and
// Tag. The grammar lives in cbor_decode_impl.h; this unit supplies the Python
// builder (plain C-API code, since it runs once per decoded value) and the
// argument handling. Invariants: the input buffer is held for as long as a
// decoder reads it, and every object the builder hands out is owned by exactly
// one container or by the caller.
#include <Python.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bindings/python/bound_instance.h"
#include "bindings/python/cbor_decode_impl.h"
#include "bindings/python/korvalent.h"
#include "bindings/python/pass_through.h"
#include "bindings/python/state_module.h"

namespace korvalent {

// Simple()'s argument, checked by simple_value.
struct SimpleNumber {
    pybind11::handle object;
};
// Tag()'s tag argument, checked by tag_number.
struct TagNumber {
    pybind11::handle object;
};

} // namespace korvalent

namespace pybind11::detail {
KV_PASS_THROUGH_CASTER(korvalent::SimpleNumber, "int");
KV_PASS_THROUGH_CASTER(korvalent::TagNumber, "int");
} // namespace pybind11::detail

namespace korvalent {
namespace {

namespace py = pybind11;
using cbor_decode::Decoder;
using cbor_decode::Failure;
using cbor_decode::Fault;

/* ------------------------------------------------------------ value types */

// A CBOR tag around any value. Immutable, so it may be hashed when its value
// can be.
struct Tag : ZeroedStorage {
    Tag(py::int_ number, py::object content) : tag(std::move(number)), value(std::move(content)) {}
    Tag(Tag &&) = default;
    Tag &operator=(Tag &&) = default;
    ~Tag() { free_chain(std::move(value)); }

    py::int_ tag;
    py::object value;

private:
    // Frees a chain of tags, each the only holder of the next, in a loop.
    // Freed the usual way each tag would free the next from inside its own
    // destructor, and a chain of a few hundred thousand would exhaust the
    // native stack.
    static void free_chain(py::object next)
    {
        if (!next || Py_REFCNT(next.ptr()) != 1) return;
        // Exact tags only: a subclass may have a finaliser that keeps the
        // object, which must then still hold its value.
        const auto *tag_type = reinterpret_cast<PyTypeObject *>(py::type::of<Tag>().ptr());
        while (next && Py_REFCNT(next.ptr()) == 1 && Py_TYPE(next.ptr()) == tag_type) {
            Tag *inner = constructed_or_null<Tag>(next);
            if (inner == nullptr) break;
            // The inner tag loses its value first, so freeing it frees nothing more.
            py::object after = std::move(inner->value);
            next = std::move(after);
        }
    }
};

// A simple value without a Python counterpart (0..19, 32..255).
struct Simple : ZeroedStorage {
    explicit Simple(int v) : value(v) {}
    int value;
};

struct Undefined {};

constexpr const char *kTagDoc = R"doc(Tag(tag, value)
--

A CBOR tagged value that has no Python counterpart of its own: the tag
number (0 to 2**64 - 1) and the value it wraps. Compares by the pair
(tag, value), and hashes by it when the value is hashable.)doc";

constexpr const char *kSimpleDoc = R"doc(Simple(value)
--

A CBOR simple value without a Python counterpart: 0 to 19 or 32 to 255
(20 to 23 are False, True, None and undefined). Compares by value.)doc";

constexpr const char *kUndefinedDoc =
    "The type of cbor.undefined, the CBOR undefined value (a singleton).";

py::object not_implemented() { return py::reinterpret_borrow<py::object>(Py_NotImplemented); }

// A tag number: an int from 0 to 2**64 - 1, kept as an exact int (an int
// subclass, bool among them, is read as the number it holds).
py::int_ tag_number(py::handle tag)
{
    if (!PyLong_Check(tag.ptr()))
        throw py::type_error(std::string("Tag() argument 'tag' must be int, not '") +
                             Py_TYPE(tag.ptr())->tp_name + "'");
    const unsigned long long number = PyLong_AsUnsignedLongLong(tag.ptr());
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
        PyErr_Clear();
        throw py::value_error("Tag() argument 'tag' must be between 0 and 2**64 - 1");
    }
    if (PyLong_CheckExact(tag.ptr())) return py::reinterpret_borrow<py::int_>(tag);
    PyObject *exact = PyLong_FromUnsignedLongLong(number);
    if (exact == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::int_>(exact);
}

// The number of a simple value: an int from 0 to 19 or 32 to 255.
int simple_value(py::handle value)
{
    if (!PyLong_Check(value.ptr()))
        throw py::type_error(std::string("Simple() argument 'value' must be int, not '") +
                             Py_TYPE(value.ptr())->tp_name + "'");
    int overflow = 0;
    const long number = PyLong_AsLongAndOverflow(value.ptr(), &overflow);
    if (overflow == 0 && number >= 0 && number <= 255 && (number < 20 || number >= 32))
        return static_cast<int>(number);
    // the number as a C long: str() of a huge int may itself fail, and a
    // subclass's __str__ may say anything
    throw py::value_error("Simple() argument 'value' must be 0 to 19 or 32 to 255, got " +
                          (overflow == 0
                               ? std::to_string(number)
                               : std::string(overflow < 0 ? "a smaller int" : "a larger int")));
}

PyTypeObject *tag_type() { return reinterpret_cast<PyTypeObject *>(py::type::of<Tag>().ptr()); }

// The tag inside an exact Tag (not a subclass, which may define its own
// comparison), or null.
const Tag *inner_tag(py::handle value)
{
    return Py_TYPE(value.ptr()) == tag_type() ? constructed_or_null<Tag>(value) : nullptr;
}

// A chain is fixed once its tags are built, but a tag made by __new__ and
// built later can be put inside itself. Walks along a chain take this guard
// one step with them: a second pointer going twice as fast meets the walk
// only on a loop, which is refused as Python refuses comparing a list that
// contains itself.
class LoopGuard {
public:
    explicit LoopGuard(const Tag *start) : ahead_(start) {}

    // The walk is now at t, one tag further.
    void step(const Tag *t)
    {
        for (int i = 0; i < 2 && ahead_ != nullptr; ++i) ahead_ = inner_tag(ahead_->value);
        if (ahead_ == t) {
            PyErr_SetString(PyExc_RecursionError,
                            "maximum recursion depth exceeded: a Tag that holds itself");
            throw py::error_already_set();
        }
    }

private:
    const Tag *ahead_;
};

// Hash of the pair (tag number, hash of the value); a chain of tags folds
// this from its innermost value outwards, so hashing one as long as the
// nesting allows takes no native recursion. A tag is equal only to tags with
// equal numbers all along its chain and an equal innermost value, so equal
// tags hash alike.
Py_hash_t fold_hash(Py_hash_t number, Py_hash_t value)
{
    constexpr Py_uhash_t kPrime1 = 11400714785074694791ULL, kPrime2 = 14029467366897019727ULL;
    Py_uhash_t acc = 2870177450012600261ULL;
    for (const Py_hash_t lane : {number, value}) {
        acc += static_cast<Py_uhash_t>(lane) * kPrime2;
        acc = (acc << 31 | acc >> 33) * kPrime1;
    }
    const auto h = static_cast<Py_hash_t>(acc);
    return h == -1 ? -2 : h;
}

Py_hash_t tag_hash(const Tag &outer)
{
    std::vector<Py_hash_t> numbers;
    const Tag *t = &outer;
    LoopGuard guard(t);
    for (;;) {
        numbers.push_back(py::hash(t->tag));
        const Tag *next = inner_tag(t->value);
        if (next == nullptr) break;
        t = next;
        guard.step(t);
    }
    Py_hash_t h = py::hash(t->value);
    for (auto n = numbers.rbegin(); n != numbers.rend(); ++n) h = fold_hash(*n, h);
    return h;
}

// Compared along both chains in a loop, then the innermost values as values.
bool tags_equal(const Tag *a, const Tag *b)
{
    LoopGuard guard_a(a), guard_b(b);
    for (;;) {
        if (!a->tag.equal(b->tag)) return false;
        const Tag *next_a = inner_tag(a->value), *next_b = inner_tag(b->value);
        if (next_a == nullptr || next_b == nullptr) return a->value.equal(b->value);
        a = next_a;
        b = next_b;
        guard_a.step(a);
        guard_b.step(b);
    }
}

// hash() and ==, != of a Tag, set on the type's slots once its methods are
// bound. A map key that nests tags in tuples is hashed and compared level by
// level through these slots; through the bound methods each level took
// several kilobytes of native stack, and a key within the nesting loads
// allows overflowed a thread's stack.
Py_hash_t tag_hash_slot(PyObject *self)
{
    try {
        return tag_hash(constructed<Tag>(self));
    } catch (...) {
        raise_caught();
        return -1;
    }
}

PyObject *tag_compare_slot(PyObject *self, PyObject *other, int op)
{
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, tag_type())) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    try {
        const bool equal = tags_equal(&constructed<Tag>(self), &constructed<Tag>(other));
        return PyBool_FromLong(equal == (op == Py_EQ));
    } catch (...) {
        return raise_caught();
    }
}

// Tags may hold containers that hold them, so the collector sees their parts;
// and, as every bound class here, they take the checked tp_new.
void make_collectable(PyHeapTypeObject *heap_type)
{
    set_checked_new(heap_type);
    PyTypeObject *const type = &heap_type->ht_type;
    type->tp_flags |= Py_TPFLAGS_HAVE_GC;
    type->tp_traverse = [](PyObject *self, visitproc visit, void *arg) -> int {
        Py_VISIT(Py_TYPE(self));
        if (const Tag *t = constructed_or_null<Tag>(self)) {
            Py_VISIT(t->tag.ptr());
            Py_VISIT(t->value.ptr());
        }
        return 0;
    };
    type->tp_clear = [](PyObject *self) -> int {
        if (Tag *t = constructed_or_null<Tag>(self)) t->value = py::none();
        return 0;
    };
}

// tp_init of Tag and Simple: their __init__, called with the keywords that
// name parameters moved to their positions. The binding library copies a
// call's keywords without checking the copy, which crashes once memory runs
// out; a call it would refuse (an unknown or repeated name, a missing
// argument) still goes to it as made, to be refused in its words.
template <const char *const *names, Py_ssize_t count>
int init_by_position(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *stack[1 + count] = {self};
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    Py_ssize_t filled = given <= count ? given : -1;
    for (Py_ssize_t i = 0; i < filled; ++i) stack[1 + i] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t at = 0;
    PyObject *name, *value;
    while (filled >= 0 && kwargs != nullptr && PyDict_Next(kwargs, &at, &name, &value)) {
        Py_ssize_t i = given;
        while (i < count &&
               !(PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, names[i]) == 0))
            ++i;
        if (i == count || stack[1 + i] != nullptr)
            filled = -1;
        else
            stack[1 + i] = value, ++filled;
    }
    for (Py_ssize_t i = 0; i < count; ++i) { // every parameter is required
        if (stack[1 + i] == nullptr) filled = -1;
    }
    PyObject *const init =
        PyObject_GetAttrString(reinterpret_cast<PyObject *>(Py_TYPE(self)), "__init__");
    if (init == nullptr) return -1;
    PyObject *done;
    if (filled >= 0) {
        done = PyObject_Vectorcall(init, stack, static_cast<size_t>(1 + filled), nullptr);
    } else {
        PyObject *const head = PyTuple_Pack(1, self);
        PyObject *const all = head != nullptr ? PySequence_Concat(head, args) : nullptr;
        done = all != nullptr ? PyObject_Call(init, all, kwargs) : nullptr;
        Py_XDECREF(head);
        Py_XDECREF(all);
    }
    Py_DECREF(init);
    Py_XDECREF(done);
    return done != nullptr ? 0 : -1;
}

constexpr const char *kTagParameters[] = {"tag", "value"};
constexpr const char *kSimpleParameters[] = {"value"};

void define_value_types(py::module_ &cbor)
{
    const auto tag_of = [](const py::object &self) -> const Tag & {
        return constructed<Tag>(self);
    };
    // What pickles a tag and what copy reads: the tag, its value, and the
    // attributes and slots a subclass gave it.
    const auto tag_state = [tag_of](const py::object &self) {
        const Tag &t = tag_of(self);
        return with_attributes<Tag>(self, tuple_of(t.tag, t.value));
    };
    py::class_<Tag> tag_class(cbor, "Tag", kTagDoc, py::custom_type_setup(make_collectable));
    tag_class
        .def(py::init([](const TagNumber &tag, py::object value) {
                 return Tag{tag_number(tag.object), std::move(value)};
             }),
             py::arg("tag"), py::arg("value"))
        .def_property_readonly("tag", [tag_of](const py::object &t) { return tag_of(t).tag; })
        .def_property_readonly("value", [tag_of](const py::object &t) { return tag_of(t).value; })
        .def("__eq__",
             [tag_of](const py::object &self, const py::object &other) -> py::object {
                 if (!py::isinstance<Tag>(other)) return not_implemented();
                 return py::bool_(tags_equal(&tag_of(self), &tag_of(other)));
             })
        .def("__hash__", [tag_of](const py::object &self) { return tag_hash(tag_of(self)); })
        .def("__repr__",
             [tag_of](const py::object &self) {
                 const Tag &t = tag_of(self);
                 return "Tag(" + py::repr(t.tag).cast<std::string>() + ", " +
                        py::repr(t.value).cast<std::string>() + ")";
             })
        .def("__reduce__", &reduce_with_getstate)
        // __setstate__, and the __getstate__ that copy uses.
        .def(py::pickle(tag_state, [](const py::tuple &state) {
            py::object attributes = attributes_in(state, 2);
            if (!attributes) throw py::value_error("Tag state must be (tag, value)");
            return std::make_pair(Tag{tag_number(state[0]), state[1]}, attributes);
        }));
    restoring_slots<Tag>(tag_class, 2);

    const auto simple_of = [](const py::object &self) { return constructed<Simple>(self).value; };
    const auto simple_state = [simple_of](const py::object &self) {
        return with_attributes<Simple>(self, tuple_of(py::int_(simple_of(self))));
    };
    py::class_<Simple> simple_class(cbor, "Simple", kSimpleDoc,
                                    py::custom_type_setup(&set_checked_new));
    simple_class
        .def(py::init([](const SimpleNumber &value) { return Simple{simple_value(value.object)}; }),
             py::arg("value"))
        .def_property_readonly("value", simple_of)
        .def("__eq__",
             [simple_of](const py::object &self, const py::object &other) -> py::object {
                 if (!py::isinstance<Simple>(other)) return not_implemented();
                 return py::bool_(simple_of(self) == simple_of(other));
             })
        .def("__hash__",
             [simple_of](const py::object &self) {
                 return py::hash(tuple_of(py::str("Simple"), py::int_(simple_of(self))));
             })
        .def("__repr__",
             [simple_of](const py::object &self) {
                 return "Simple(" + std::to_string(simple_of(self)) + ")";
             })
        .def("__reduce__", &reduce_with_getstate)
        .def(py::pickle(simple_state, [](const py::tuple &state) {
            py::object attributes = attributes_in(state, 1);
            if (!attributes) throw py::value_error("Simple state must be (value,)");
            return std::make_pair(Simple{simple_value(state[0])}, attributes);
        }));
    restoring_slots<Simple>(simple_class, 1);

    // The module's `undefined` is the only instance: calling the type gives it
    // back (as NoneType() gives None), it pickles by name so that it stays the
    // only one, and, like NoneType, the type takes no subclasses. __init__
    // then finds the instance built and leaves it be.
    py::class_<Undefined> undefined_type(cbor, "UndefinedType", kUndefinedDoc, py::is_final());
    undefined_type.def(py::init<>())
        .def("__repr__", [](const Undefined &) { return "undefined"; })
        .def("__bool__", [](const Undefined &) { return false; })
        .def("__reduce__", [](const Undefined &) { return "undefined"; });
    py::object undefined = new_instance(Undefined{});
    undefined_type.attr("__new__") =
        py::cpp_function([undefined](const py::args &args, const py::kwargs &kwargs) {
            if (args.size() > 1 || !kwargs.empty()) {
                throw py::type_error("UndefinedType() takes no arguments");
            }
            return undefined;
        });
    cbor.attr("undefined") = undefined;

    // Last: setting an attribute named after a slot would put the slot back.
    tag_type()->tp_init = &init_by_position<kTagParameters, 2>;
    tag_type()->tp_hash = &tag_hash_slot;
    tag_type()->tp_richcompare = &tag_compare_slot;
    reinterpret_cast<PyTypeObject *>(py::type::of<Simple>().ptr())->tp_init =
        &init_by_position<kSimpleParameters, 1>;
}

/* --------------------------------------------------------- Python builder */

// Short map keys decoded before, by their UTF-8 bytes, so that a key seen
// again (in this call or an earlier one) is neither rebuilt nor rehashed: a
// str caches its hash, which makes the dict insertion cheaper too. Owned by
// the module's decode context and used only with the GIL held; direct-mapped,
// so it holds at most kSlots strings, each at most kMaxKeyLength bytes long.
class KeyCache {
public:
    static constexpr size_t kMaxKeyLength = 32;

    KeyCache() = default;
    KeyCache(const KeyCache &) = delete;
    KeyCache &operator=(const KeyCache &) = delete;
    ~KeyCache()
    {
        for (Entry &e : slots_) Py_XDECREF(e.str);
    }

    // New reference to the cached str for p[0..n) (n <= kMaxKeyLength), or
    // null when absent.
    PyObject *find(const uint8_t *p, size_t n) const
    {
        const Entry &e = slots_[hash(p, n)];
        if (e.str == nullptr || e.length != n || !same_bytes(e.bytes, p, n)) return nullptr;
        Py_INCREF(e.str);
        return e.str;
    }

    // Keeps a reference to str for p[0..n) (n <= kMaxKeyLength), replacing
    // what shared its slot.
    void store(const uint8_t *p, size_t n, PyObject *str)
    {
        Entry &e = slots_[hash(p, n)];
        Py_INCREF(str);
        PyObject *old = e.str;
        e.str = str;
        e.length = static_cast<uint32_t>(n);
        std::memcpy(e.bytes, p, n);
        Py_XDECREF(old);
    }

private:
    static constexpr size_t kSlots = 1024;
    struct Entry {
        PyObject *str = nullptr;
        uint32_t length = 0;
        uint8_t bytes[kMaxKeyLength];
    };

    // memcmp for keys of at most kMaxKeyLength bytes, in a few word loads (a
    // library call, or a byte loop over the short keys that are the rule,
    // costs more than the comparison). The last word of a key from 4 bytes up
    // overlaps the ones before it.
    static bool same_bytes(const uint8_t *a, const uint8_t *b, size_t n)
    {
        if (n >= 8) {
            for (size_t i = 0; i + 8 < n; i += 8)
                if (load<uint64_t>(a + i) != load<uint64_t>(b + i)) return false;
            return load<uint64_t>(a + n - 8) == load<uint64_t>(b + n - 8);
        }
        if (n >= 4)
            return load<uint32_t>(a) == load<uint32_t>(b) &&
                   load<uint32_t>(a + n - 4) == load<uint32_t>(b + n - 4);
        // 0 to 3 bytes: the first, middle and last byte cover them all.
        return n == 0 || (a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]);
    }

    template <typename Word>
    static Word load(const uint8_t *p)
    {
        Word w;
        std::memcpy(&w, p, sizeof w);
        return w;
    }

    // The length and up to the first and last 8 bytes, mixed and folded to a
    // slot: a few loads instead of a loop. Keys that differ only in their
    // middle share a slot, which costs a miss, never a wrong key.
    static size_t hash(const uint8_t *p, size_t n)
    {
        uint64_t head = 0, tail = 0;
        if (n >= 8) {
            std::memcpy(&head, p, 8);
            std::memcpy(&tail, p + n - 8, 8);
        } else if (n >= 4) {
            uint32_t a, b;
            std::memcpy(&a, p, 4);
            std::memcpy(&b, p + n - 4, 4);
            head = a;
            tail = b;
        } else if (n > 0) {
            head = p[0] | static_cast<uint64_t>(p[n / 2]) << 8;
            tail = p[n - 1];
        }
        uint64_t h = head * 0x9E3779B97F4A7C15ull ^ tail * 0xC2B2AE3D27D4EB4Full ^ n;
        h ^= h >> 29;
        return static_cast<size_t>((h * 0x94D049BB133111EBull) >> 54) % kSlots; // top 10 bits
    }

    Entry slots_[kSlots];
};

// A str from valid UTF-8 of the given shape, built directly in its final
// (most compact) kind, as CPython requires for equal strings to compare equal.
template <typename Char>
void fill_code_points(const uint8_t *p, size_t n, Char *out)
{
    for (size_t i = 0; i < n;) {
        const uint8_t c = p[i];
        uint32_t cp;
        if (c < 0x80) {
            cp = c;
            i += 1;
        } else if (c < 0xE0) {
            cp = (uint32_t(c & 0x1F) << 6) | (p[i + 1] & 0x3F);
            i += 2;
        } else if (c < 0xF0) {
            cp = (uint32_t(c & 0x0F) << 12) | (uint32_t(p[i + 1] & 0x3F) << 6) | (p[i + 2] & 0x3F);
            i += 3;
        } else {
            cp = (uint32_t(c & 0x07) << 18) | (uint32_t(p[i + 1] & 0x3F) << 12) |
                 (uint32_t(p[i + 2] & 0x3F) << 6) | (p[i + 3] & 0x3F);
            i += 4;
        }
        *out++ = static_cast<Char>(cp);
    }
}

PyObject *str_from_utf8(const uint8_t *p, size_t n, const cbor_decode::Utf8Shape &shape)
{
    if (shape.ascii()) {
        PyObject *str = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
        if (str) std::memcpy(PyUnicode_DATA(str), p, n);
        return str;
    }
    const uint8_t lead = shape.max_lead;
    const Py_UCS4 max_char = lead < 0xC4 ? 0xFF : lead < 0xF0 ? 0xFFFF : 0x10FFFF;
    PyObject *str = PyUnicode_New(static_cast<Py_ssize_t>(shape.code_points), max_char);
    if (!str) return nullptr;
    switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
        fill_code_points(p, n, PyUnicode_1BYTE_DATA(str));
        break;
    case PyUnicode_2BYTE_KIND:
        fill_code_points(p, n, PyUnicode_2BYTE_DATA(str));
        break;
    default:
        fill_code_points(p, n, PyUnicode_4BYTE_DATA(str));
        break;
    }
    return str;
}

/* --------------------------------------------------------- decode context */

// Strong references to what the decoder builds besides plain values, and the
// key cache. Owned by the state module that is the `self` of loads, load and
// iter_items.
struct Context {
    PyObject *error = nullptr;     // CBORDecodeError
    PyObject *tag = nullptr;       // Tag
    PyObject *simple = nullptr;    // Simple
    PyObject *undefined = nullptr; // the undefined singleton
    PyTypeObject *iterator = nullptr;
    PyObject *gc_isenabled = nullptr; // gc.isenabled, before PyGC_IsEnabled (3.10)
    KeyCache keys;

    ~Context()
    {
        Py_XDECREF(error);
        Py_XDECREF(tag);
        Py_XDECREF(simple);
        Py_XDECREF(undefined);
        Py_XDECREF(reinterpret_cast<PyObject *>(iterator));
        Py_XDECREF(gc_isenabled);
    }
};

// The `self` of loads, load and iter_items (state_module.h).
using ContextModule = StateModule<Context>;
PyModuleDef kContextModule = ContextModule::definition("korvalent_core.cbor");

Context *context_of(PyObject *self) { return ContextModule::of(self); }

// Once a decode has built kQuietAfter containers and the cyclic collector
// is enabled, further lists stay untracked by the collector once filled and
// dicts are kept untracked as they fill; the result is handed out only after adopt()
// has tracked them again, as the interpreter would have them. Until then
// nothing outside the decoder refers to them, and the collections that
// allocation triggers while a large document is built need not traverse it
// again and again (on large documents that halves the time of a decode).
// The record of untracked containers holds a reference to each, so one
// dropped before the end (a list frozen into a key, a value replaced by a
// duplicate key) is freed only after it is tracked again.
class PythonBuilder {
public:
    using Value = PyObject *;

    explicit PythonBuilder(Context &ctx) : ctx_(ctx), keys_(ctx.keys) {}

    Value uint(uint64_t v)
    {
        if (v <= static_cast<uint64_t>(LONG_MAX)) return PyLong_FromLong(static_cast<long>(v));
        return PyLong_FromUnsignedLongLong(v);
    }

    Value negint(uint64_t arg)
    {
        if (arg <= static_cast<uint64_t>(LONG_MAX))
            return PyLong_FromLong(-1 - static_cast<long>(arg));
        return invert(PyLong_FromUnsignedLongLong(arg));
    }

    Value float64(double v) { return PyFloat_FromDouble(v); }

    Value simple(uint8_t v)
    {
        switch (v) {
        case 20:
            Py_RETURN_FALSE;
        case 21:
            Py_RETURN_TRUE;
        case 22:
            Py_RETURN_NONE;
        case 23:
            Py_INCREF(ctx_.undefined);
            return ctx_.undefined;
        default:
            return PyObject_CallFunction(ctx_.simple, "i", static_cast<int>(v));
        }
    }

    Value bytes(const uint8_t *p, size_t n)
    {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(p),
                                         static_cast<Py_ssize_t>(n));
    }

    // Only bytes that once passed validation are ever stored, so a hit needs
    // no validation of its own.
    Value known_key(const uint8_t *p, size_t n)
    {
        return n <= KeyCache::kMaxKeyLength ? keys_.find(p, n) : nullptr;
    }

    Value text(const uint8_t *p, size_t n, const cbor_decode::Utf8Shape &shape, bool key)
    {
        PyObject *str = str_from_utf8(p, n, shape);
        if (str && key && n <= KeyCache::kMaxKeyLength) keys_.store(p, n, str);
        return str;
    }

    // A list is out of the collector's sight until its last slot is filled:
    // building an element may start a collection, and a gc callback that
    // walks gc.get_objects() must never meet an empty slot.
    Value list(size_t n)
    {
        PyObject *l = PyList_New(static_cast<Py_ssize_t>(n));
        if (l == nullptr) return nullptr;
        quiet();
        PyObject_GC_UnTrack(l);
        return l;
    }
    void list_set(Value l, size_t i, Value item)
    {
        PyList_SET_ITEM(l, static_cast<Py_ssize_t>(i), item);
    }
    void list_filled(Value l)
    {
        if (!(quiet_ && record(l))) PyObject_GC_Track(l);
    }
    // Nothing is built between the making and the filling here, so the
    // list may be tracked all along.
    Value list_of(Value *items, size_t n)
    {
        PyObject *l = PyList_New(static_cast<Py_ssize_t>(n));
        if (l == nullptr) {
            for (size_t i = 0; i < n; ++i) Py_DECREF(items[i]);
            return nullptr;
        }
        for (size_t i = 0; i < n; ++i) PyList_SET_ITEM(l, static_cast<Py_ssize_t>(i), items[i]);
        if (quiet()) untrack(l);
        return l;
    }
    Value freeze(Value list)
    {
        PyObject *tuple = PyList_AsTuple(list);
        Py_DECREF(list);
        return tuple;
    }

    Value map(size_t n)
    {
        quiet();
        return _PyDict_NewPresized(static_cast<Py_ssize_t>(n));
    }
    [[gnu::always_inline]] bool map_set(Value m, Value k, Value v, uint64_t key_offset)
    {
        const int rc = set_item(m, k, v);
        // The dict tracks itself when it gains a collectable key or value.
        if (quiet_ && (PyType_IS_GC(Py_TYPE(k)) || PyType_IS_GC(Py_TYPE(v))) &&
            PyObject_GC_IsTracked(m))
            untrack(m);
        Py_DECREF(v);
        if (rc != 0 && PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(ctx_.error, "unhashable map key of type '%.100s' at offset %llu",
                         Py_TYPE(k)->tp_name, static_cast<unsigned long long>(key_offset));
        }
        Py_DECREF(k);
        return rc == 0;
    }

    Value tag(uint64_t number, Value content)
    {
        PyObject *out =
            PyObject_CallFunction(ctx_.tag, "KO", static_cast<unsigned long long>(number), content);
        Py_DECREF(content);
        return out;
    }

    // Tag 2: the big-endian magnitude; tag 3: -1 - magnitude.
    Value bignum(bool negative, Value content)
    {
        PyObject *n = _PyLong_FromByteArray(
            reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(content)),
            static_cast<size_t>(PyBytes_GET_SIZE(content)), 0, 0);
        Py_DECREF(content);
        return negative ? invert(n) : n;
    }

    void release(Value v) { Py_XDECREF(v); }

    // The finished value may now be handed out: track what was left
    // untracked and drop the record's references. Also run on failure, where
    // those references are the last ones left. A list is recorded once, when
    // it is filled, and nothing tracks it again before this; a dict tracks itself
    // when it gains a collectable entry, so it may be recorded more than once
    // and is asked first.
    void adopt()
    {
        for (size_t i = 0; i < untracked_.size(); ++i) {
            PyObject *const container = untracked_[i];
            if (PyList_CheckExact(container) || !PyObject_GC_IsTracked(container))
                PyObject_GC_Track(container);
            Py_DECREF(container);
        }
        untracked_.resize(0);
    }

    ~PythonBuilder() { adopt(); }

private:
    static constexpr size_t kQuietAfter = 256; // fewer cost the collector little

    // Counts a new container; true once containers are to be left untracked.
    bool quiet()
    {
        if (++made_ == kQuietAfter) quiet_ = collector_enabled();
        return quiet_;
    }

    // Without a collector to avoid, untracking would be work for nothing. From
    // 3.12 the collector runs only between bytecodes, never inside a decode.
    bool collector_enabled() const
    {
#if PY_VERSION_HEX >= 0x030C0000
        return false;
#elif PY_VERSION_HEX >= 0x030A0000
        return PyGC_IsEnabled() == 1;
#else
        PyObject *const on = PyObject_CallNoArgs(ctx_.gc_isenabled);
        if (!on) PyErr_Clear(); // leave everything tracked
        Py_XDECREF(on);
        return on == Py_True;
#endif
    }

    // Records an untracked container for adopt(); false without room to
    // record it.
    bool record(PyObject *container)
    {
        if (!untracked_.push(container)) return false;
        Py_INCREF(container);
        return true;
    }

    // Untracks a live container and records it for adopt(); without room to
    // record it, it stays tracked.
    void untrack(PyObject *container)
    {
        if (record(container)) PyObject_GC_UnTrack(container);
    }

    // PyDict_SetItem, skipping its hash lookup for a str whose hash is
    // cached, as a key from the key cache always has.
    static int set_item(PyObject *m, PyObject *k, PyObject *v)
    {
#if PY_VERSION_HEX < 0x030D0000 // private from 3.13
        if (PyUnicode_CheckExact(k)) {
            const Py_hash_t hash = reinterpret_cast<PyASCIIObject *>(k)->hash;
            if (hash != -1) return _PyDict_SetItem_KnownHash(m, k, v, hash);
        }
#endif
        return PyDict_SetItem(m, k, v);
    }

    static PyObject *invert(PyObject *n)
    {
        if (n == nullptr) return nullptr;
        PyObject *out = PyNumber_Invert(n);
        Py_DECREF(n);
        return out;
    }

    const Context &ctx_;
    KeyCache &keys_;
    cbor_decode::ScratchStack<PyObject *, 64> untracked_;
    size_t made_ = 0;    // containers built by this decode
    bool quiet_ = false; // containers are being left untracked
};

/* ---------------------------------------------------------------- helpers */

// The input as a held buffer: any C-contiguous bytes-like object.
class HeldBuffer {
public:
    ~HeldBuffer()
    {
        if (held_) PyBuffer_Release(&view_);
    }
    // The bytes of an exact bytes object are read directly (immutable, and
    // kept alive by the caller for the call); anything else is exported.
    // from_read: obj is what load's file gave, and errors say so.
    bool acquire_for_call(PyObject *obj, const char *fn, bool from_read = false)
    {
        if (!PyBytes_CheckExact(obj)) return acquire(obj, fn, from_read);
        data_ = reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(obj));
        size_ = static_cast<size_t>(PyBytes_GET_SIZE(obj));
        input_ = cbor_decode::Input::kSettled;
        return true;
    }
    bool acquire(PyObject *obj, const char *fn, bool from_read = false)
    {
        input_ = settled_input(obj);
        if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) != 0) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError,
                             "%s() argument 'data' must be a bytes-like object, not '%.100s'", fn,
                             Py_TYPE(obj)->tp_name);
            } else if (PyErr_ExceptionMatches(PyExc_BufferError) ||
                       PyErr_ExceptionMatches(PyExc_ValueError)) {
                // (NumPy refuses a strided array with ValueError)
                return acquire_described(obj, fn, from_read);
            }
            return false;
        }
        held_ = true;
        data_ = static_cast<const uint8_t *>(view_.buf);
        size_ = static_cast<size_t>(view_.len);
        return true;
    }
    // After an exporter refused a simple request (BufferError or ValueError
    // pending): the
    // export described by shape and strides, taken when its bytes are one
    // C-contiguous block (an empty strided view is one), refused by name when
    // they are not; the exporter's own error stays when it refuses this too.
    bool acquire_described(PyObject *obj, const char *fn, bool from_read)
    {
        py::error_already_set refusal; // takes the pending error
        if (PyObject_GetBuffer(obj, &view_, PyBUF_FULL_RO) != 0) {
            PyErr_Clear();
            refusal.restore();
            return false;
        }
        if (!PyBuffer_IsContiguous(&view_, 'C')) {
            PyBuffer_Release(&view_);
            PyErr_Format(PyExc_TypeError,
                         from_read ? "%s() argument 'fp' must be a binary file: its read() "
                                     "returned a non-contiguous %.100s"
                                   : "%s() argument 'data' must be a C-contiguous buffer, "
                                     "not a non-contiguous %.100s",
                         fn, Py_TYPE(obj)->tp_name);
            return false;
        }
        held_ = true;
        data_ = static_cast<const uint8_t *>(view_.buf);
        size_ = static_cast<size_t>(view_.len);
        return true;
    }
    const uint8_t *data() const { return data_; }
    size_t size() const { return size_; }
    cbor_decode::Input input() const { return input_; }
    // Only the bytes of a bytes object (or of a memoryview of one) cannot
    // change: a bytearray or a mapping can, from another thread or process.
    static cbor_decode::Input settled_input(PyObject *obj)
    {
        PyObject *base = PyMemoryView_Check(obj) ? PyMemoryView_GET_BASE(obj) : obj;
        return base != nullptr && PyBytes_Check(base) ? cbor_decode::Input::kSettled
                                                      : cbor_decode::Input::kMayChange;
    }
    // Moves the held view out (for an object that keeps it).
    Py_buffer release_to_owner()
    {
        held_ = false;
        return view_;
    }

private:
    Py_buffer view_; // valid while held_
    const uint8_t *data_ = nullptr;
    size_t size_ = 0;
    bool held_ = false;
    cbor_decode::Input input_ = cbor_decode::Input::kMayChange;
};

// The general case of parse_arguments (below).
bool parse_keywords(const char *fn, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                    PyObject **data, uint32_t *max_depth)
{
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes exactly one positional argument (%zd given)", fn,
                     nargs);
        return false;
    }
    *data = args[0];
    *max_depth = cbor_decode::kDefaultMaxDepth;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_CompareWithASCIIString(name, "max_depth") != 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn, name);
            return false;
        }
        PyObject *value = args[nargs + i];
        if (!PyLong_Check(value) || PyBool_Check(value)) {
            PyErr_Format(PyExc_TypeError, "%s() argument 'max_depth' must be int, not '%.100s'", fn,
                         Py_TYPE(value)->tp_name);
            return false;
        }
        int overflow = 0;
        const long long depth = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (depth == -1 && PyErr_Occurred()) return false;
        if (overflow || depth < 0 || depth > cbor_decode::kMaxDepthCeiling) {
            PyErr_Format(PyExc_ValueError, "%s() argument 'max_depth' must be between 0 and %u", fn,
                         cbor_decode::kMaxDepthCeiling);
            return false;
        }
        *max_depth = static_cast<uint32_t>(depth);
    }
    return true;
}

// Parses (data, /, *, max_depth=...) of fn. False with TypeError/ValueError set.
// The common call, one argument and no keywords, costs no call.
inline bool parse_arguments(const char *fn, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames, PyObject **data, uint32_t *max_depth)
{
    if (nargs == 1 && kwnames == nullptr) {
        *data = args[0];
        *max_depth = cbor_decode::kDefaultMaxDepth;
        return true;
    }
    return parse_keywords(fn, args, nargs, kwnames, data, max_depth);
}

// Sets CBORDecodeError for a decoder failure (a builder failure is already set).
void raise_failure(const Context &ctx, const Failure &f, uint32_t max_depth)
{
    if (f.fault == Fault::kBuilder) return;
    if (f.fault == Fault::kOutOfMemory) {
        PyErr_NoMemory();
        return;
    }
    PyErr_SetString(ctx.error, cbor_decode::describe(f, max_depth).c_str());
}

PyObject *decode_whole(Context &ctx, const HeldBuffer &buf, uint32_t max_depth)
{
    PythonBuilder builder(ctx);
    Decoder<PythonBuilder> decoder(builder, buf.data(), buf.size(), max_depth, 0, buf.input());
    PyObject *out = decoder.whole();
    if (out)
        builder.adopt();
    else
        raise_failure(ctx, decoder.failure(), max_depth);
    return out;
}

/* --------------------------------------------------------------- functions */

PyObject *loads(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    Context *ctx = context_of(self);
    PyObject *data;
    uint32_t max_depth;
    if (!ctx || !parse_arguments("loads", args, nargs, kwnames, &data, &max_depth)) return nullptr;
    HeldBuffer buf;
    if (!buf.acquire_for_call(data, "loads")) return nullptr;
    return decode_whole(*ctx, buf, max_depth);
}

// fp.read(), with a TypeError for an fp without read() and a
// BlockingIOError for a non-blocking file that has no bytes ready (None).
PyObject *read_all(PyObject *fp)
{
    PyObject *const read = PyObject_GetAttrString(fp, "read");
    if (read == nullptr || !PyCallable_Check(read)) {
        if (read == nullptr && !PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        Py_XDECREF(read);
        return PyErr_Format(PyExc_TypeError,
                            "load() argument 'fp' must be a binary file: '%.100s' object has no "
                            "read()",
                            Py_TYPE(fp)->tp_name);
    }
    PyObject *const data = PyObject_CallNoArgs(read);
    Py_DECREF(read);
    if (data != Py_None) return data;
    Py_DECREF(data);
    PyObject *const error = PyObject_CallFunction(
        PyExc_BlockingIOError, "is", EAGAIN, "load(): fp.read() returned None: no bytes ready");
    if (error != nullptr) {
        PyErr_SetObject(PyExc_BlockingIOError, error);
        Py_DECREF(error);
    }
    return nullptr;
}

PyObject *load(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    Context *ctx = context_of(self);
    PyObject *fp;
    uint32_t max_depth;
    if (!ctx || !parse_arguments("load", args, nargs, kwnames, &fp, &max_depth)) return nullptr;
    PyObject *data = read_all(fp);
    if (!data) return nullptr;
    if (!PyObject_CheckBuffer(data)) { // a text file, most likely
        PyErr_Format(PyExc_TypeError,
                     "load() argument 'fp' must be a binary file: its read() returned '%.100s', "
                     "not a bytes-like object",
                     Py_TYPE(data)->tp_name);
        Py_DECREF(data);
        return nullptr;
    }
    PyObject *out;
    { // the buffer is released before the object that exports it
        HeldBuffer buf;
        out =
            buf.acquire_for_call(data, "load", true) ? decode_whole(*ctx, buf, max_depth) : nullptr;
    }
    Py_DECREF(data);
    return out;
}

/* The iterator over the items of a CBOR sequence. It holds the input's
 * buffer until it is exhausted or collected, so the bytes cannot change
 * under it; after a failure it is exhausted. */
struct ItemIterator {
    PyObject_HEAD PyObject *context; // the state module (strong)
    Py_buffer view;
    bool holding;
    // Set while an item is decoded: a collection during that decode can run
    // Python code that calls next() on this iterator again, and a failing
    // nested call would release the buffer the outer one still reads.
    bool busy;
    size_t offset;
    uint32_t max_depth;
    cbor_decode::Input input;
};

// Marked finished before the release: an exporter written in Python (3.12)
// runs code as it is released, which may call next() on this iterator, and
// must find it exhausted rather than release the buffer a second time.
void iterator_finish(ItemIterator *it)
{
    if (!it->holding) return;
    it->holding = false;
    PyBuffer_Release(&it->view);
}

void iterator_dealloc(PyObject *self)
{
    ItemIterator *it = reinterpret_cast<ItemIterator *>(self);
    PyObject_GC_UnTrack(self);
    iterator_finish(it);
    Py_XDECREF(it->context);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// The exporter of the held buffer may hold the iterator (an attribute of a
// bytearray subclass, say): the collector sees it, and breaks such a cycle by
// releasing the buffer, which ends the iteration.
int iterator_traverse(PyObject *self, visitproc visit, void *arg)
{
    ItemIterator *it = reinterpret_cast<ItemIterator *>(self);
    Py_VISIT(Py_TYPE(self));
    if (it->holding) Py_VISIT(it->view.obj);
    return 0;
}

int iterator_clear(PyObject *self)
{
    ItemIterator *it = reinterpret_cast<ItemIterator *>(self);
    if (!it->busy) iterator_finish(it);
    return 0;
}

PyObject *iterator_next(PyObject *self)
{
    ItemIterator *it = reinterpret_cast<ItemIterator *>(self);
    if (it->busy) {
        PyErr_SetString(PyExc_ValueError, "iter_items() iterator already executing");
        return nullptr;
    }
    if (!it->holding) return nullptr;
    const size_t size = static_cast<size_t>(it->view.len);
    if (it->offset >= size) {
        iterator_finish(it);
        return nullptr;
    }
    Context &ctx = *context_of(it->context);
    PythonBuilder builder(ctx);
    Decoder<PythonBuilder> decoder(builder, static_cast<const uint8_t *>(it->view.buf), size,
                                   it->max_depth, it->offset, it->input);
    it->busy = true;
    PyObject *out = decoder.next();
    it->busy = false;
    if (!out) {
        raise_failure(ctx, decoder.failure(), it->max_depth);
        iterator_finish(it);
        return nullptr;
    }
    it->offset = decoder.offset();
    builder.adopt();
    return out;
}

PyType_Slot kIteratorSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(iterator_dealloc)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(iterator_next)},
    {Py_tp_traverse, reinterpret_cast<void *>(iterator_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(iterator_clear)},
    {Py_tp_doc, const_cast<char *>("Iterator over the items of a CBOR sequence (see iter_items).")},
    {0, nullptr},
};

PyType_Spec kIteratorSpec = {"korvalent_core.cbor.ItemIterator", sizeof(ItemIterator), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, kIteratorSlots};

PyObject *iter_items(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    Context *ctx = context_of(self);
    PyObject *data;
    uint32_t max_depth;
    if (!ctx || !parse_arguments("iter_items", args, nargs, kwnames, &data, &max_depth))
        return nullptr;
    HeldBuffer buf;
    if (!buf.acquire(data, "iter_items")) return nullptr;
    ItemIterator *it = PyObject_GC_New(ItemIterator, ctx->iterator);
    if (!it) return nullptr;
    Py_INCREF(self);
    it->context = self;
    it->view = buf.release_to_owner();
    it->holding = true;
    it->busy = false;
    it->offset = 0;
    it->max_depth = max_depth;
    it->input = buf.input();
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject *>(it);
}

/* -------------------------------------------------------------- docstrings */

constexpr const char *kLoadsDoc = R"doc(loads(data, /, *, max_depth=1000)
--

Decode the single CBOR data item in `data` to a Python value.

`data` is any C-contiguous bytes-like object (bytes, bytearray, memoryview,
mmap, the buffers diff and patch return); it is read in place. Integers
(including bignum tags 2 and 3) become int, floats of every width float, byte
strings bytes, text strings str, arrays list (tuple when used as a map key),
maps dict, false/true/null False/True/None, undefined `undefined`, other
simple values `Simple`, other tags `Tag`. Indefinite-length items are
accepted. Map keys that Python finds equal (such as 1, 1.0 and true) are
duplicates: the first key stays, with the last value.

`max_depth` bounds the nesting of arrays, maps and tags (0 allows scalars
only; at most 2000). Each level takes a few hundred bytes of the calling
thread's native stack, so threads given a small stack need a lower limit.

Raises CBORDecodeError (a ValueError) naming the problem and its byte offset
for malformed, truncated or invalid input, and for bytes after the item.)doc";

constexpr const char *kLoadDoc = R"doc(load(fp, /, *, max_depth=1000)
--

Read `fp` to its end with fp.read() and decode the single CBOR item it holds,
as loads does.)doc";

constexpr const char *kIterItemsDoc = R"doc(iter_items(data, /, *, max_depth=1000)
--

Iterate over the items of a CBOR sequence (items written back to back), each
decoded as loads would. The iterator holds `data`'s buffer until it is
exhausted. A malformed item raises CBORDecodeError and ends the iteration.)doc";

constexpr const char *kErrorDoc =
    "Raised by loads, load and iter_items for malformed, truncated or invalid CBOR; "
    "the message names the problem and its byte offset.";

PyMethodDef kMethods[] = {
    {"loads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(loads)),
     METH_FASTCALL | METH_KEYWORDS, kLoadsDoc},
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(load)),
     METH_FASTCALL | METH_KEYWORDS, kLoadDoc},
    {"iter_items", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(iter_items)),
     METH_FASTCALL | METH_KEYWORDS, kIterItemsDoc},
};

} // namespace

void init_cbor_decode(py::module_ &cbor)
{
    define_value_types(cbor);
    auto ctx = std::make_unique<Context>();
    ctx->error = PyErr_NewExceptionWithDoc("korvalent_core.cbor.CBORDecodeError", kErrorDoc,
                                           PyExc_ValueError, nullptr);
    if (!ctx->error) throw py::error_already_set();
    ctx->tag = py::object(cbor.attr("Tag")).release().ptr();
    ctx->simple = py::object(cbor.attr("Simple")).release().ptr();
    ctx->undefined = py::object(cbor.attr("undefined")).release().ptr();
    ctx->iterator = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&kIteratorSpec));
    if (!ctx->iterator) throw py::error_already_set();
    ctx->gc_isenabled = py::object(py::module_::import("gc").attr("isenabled")).release().ptr();
    cbor.attr("CBORDecodeError") = py::reinterpret_borrow<py::object>(ctx->error);

    py::object state = ContextModule::make(&kContextModule, std::move(ctx));
    for (PyMethodDef &def : kMethods) {
        PyObject *fn = PyCFunction_NewEx(&def, state.ptr(), cbor.attr("__name__").ptr());
        if (!fn) throw py::error_already_set();
        cbor.attr(def.ml_name) = py::reinterpret_steal<py::object>(fn);
    }
}

} // namespace korvalent
