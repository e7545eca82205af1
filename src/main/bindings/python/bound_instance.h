// bound_instance: guards for instances of classes bound with pybind11.
// Python code can make an instance with T.__new__(T) alone, whose C++ object
// is never constructed; the binding library still hands out storage for it
// when the instance is passed as a T. ZeroedStorage makes that storage zero
// (null pointers, empty sizes) instead of whatever the heap held, and
// constructed() is what every method calls to refuse such an instance with a
// TypeError.
// The binding library also uses a new instance without checking that its
// allocation succeeded, which crashes once memory runs out. The bound
// classes therefore take checked_new as their tp_new (set_checked_new, from
// a custom_type_setup), and C++ hands out new objects through new_instance().
#ifndef KORVALENT_BINDINGS_PYTHON_BOUND_INSTANCE_H
#define KORVALENT_BINDINGS_PYTHON_BOUND_INSTANCE_H

#include <pybind11/pybind11.h>

#include <cstdlib>
#include <new>
#include <string>
#include <typeinfo>
#include <utility>

namespace korvalent {

// Base of a bound class: its objects' storage comes zeroed.
struct ZeroedStorage {
    static void *operator new(std::size_t size)
    {
        void *storage = std::calloc(1, size);
        if (storage == nullptr) {
            throw std::bad_alloc();
        }
        return storage;
    }
    static void operator delete(void *storage) noexcept { std::free(storage); }
};

// The C++ object of self, an instance of the bound class T (or of a Python
// subclass), or null for an instance made by __new__ alone.
template <typename T>
T *constructed_or_null(pybind11::handle self)
{
    pybind11::detail::value_and_holder held =
        reinterpret_cast<pybind11::detail::instance *>(self.ptr())
            ->get_value_and_holder(pybind11::detail::get_type_info(typeid(T)));
    return held.holder_constructed() ? held.value_ptr<T>() : nullptr;
}

// As constructed_or_null, with a TypeError naming the class instead of null.
template <typename T>
T &constructed(pybind11::handle self)
{
    if (T *object = constructed_or_null<T>(self)) {
        return *object;
    }
    PyErr_Format(PyExc_TypeError, "%s object is not initialised (made by __new__ alone)",
                 pybind11::detail::get_type_info(typeid(T))->type->tp_name);
    throw pybind11::error_already_set();
}

// Raises the exception being handled as the binding library's dispatcher
// raises what a bound function throws: a Python error as it is,
// MemoryError for a failed allocation, RuntimeError for any other. Returns
// null, for the caller to return. Call only inside a catch block.
inline PyObject *raise_caught()
{
    try {
        throw;
    } catch (pybind11::error_already_set &e) {
        e.restore();
    } catch (const pybind11::builtin_exception &e) {
        e.set_error();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// tp_new of the bound classes: the binding library's own, except that a
// failed allocation is a MemoryError. Instances of these classes have the
// simple layout, whose value and holder live inside the object itself.
// The first instance of a Python subclass makes the library list the
// subclass's bound bases, which only allocates; when that fails part way,
// the half-made list is dropped, or every later instance would be refused.
extern "C" inline PyObject *checked_new(PyTypeObject *type, PyObject *, PyObject *)
{
    try {
        pybind11::detail::all_type_info(type);
    } catch (...) {
        pybind11::detail::get_internals().registered_types_py.erase(type);
        PyErr_Clear(); // the library's own wording of the failure, if any
        return PyErr_NoMemory();
    }
    PyObject *self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    try {
        reinterpret_cast<pybind11::detail::instance *>(self)->allocate_layout();
    } catch (...) {
        type->tp_free(self); // nothing in it to release yet
        Py_DECREF(type);     // held by the allocation
        return raise_caught();
    }
    return self;
}

// For py::custom_type_setup, before the type is made ready, so that the type
// gets its own __new__ as well.
inline void set_checked_new(PyHeapTypeObject *heap_type)
{
    heap_type->ht_type.tp_new = &checked_new;
}

// A new Python object of the bound class T that owns value, as the binding
// library's own conversion of a returned T makes it; throws
// error_already_set (MemoryError) where that conversion would crash.
template <typename T>
pybind11::object new_instance(T value)
{
    const pybind11::detail::type_info *info = pybind11::detail::get_type_info(typeid(T));
    auto self =
        pybind11::reinterpret_steal<pybind11::object>(checked_new(info->type, nullptr, nullptr));
    if (!self) {
        throw pybind11::error_already_set();
    }
    auto *inst = reinterpret_cast<pybind11::detail::instance *>(self.ptr());
    inst->get_value_and_holder().value_ptr() = new T(std::move(value));
    inst->owned = true;
    info->init_instance(inst, nullptr);
    return self;
}

// A tuple of the given objects. The binding library's make_tuple reports
// a failed allocation as a RuntimeError; this raises MemoryError.
template <typename... Objects>
pybind11::tuple tuple_of(const Objects &...items)
{
    PyObject *const tuple =
        PyTuple_Pack(static_cast<Py_ssize_t>(sizeof...(items)), pybind11::handle(items).ptr()...);
    if (tuple == nullptr) {
        throw pybind11::error_already_set();
    }
    return pybind11::reinterpret_steal<pybind11::tuple>(tuple);
}

// A new reference to self's instance dict, or null when self has none (the
// bound class itself, or a subclass whose __slots__ leave it out).
inline pybind11::object instance_dict(const pybind11::object &self)
{
    PyObject *const attributes = PyObject_GetAttrString(self.ptr(), "__dict__");
    if (attributes == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw pybind11::error_already_set();
        }
        PyErr_Clear();
    }
    return pybind11::reinterpret_steal<pybind11::object>(attributes);
}

// Whether self is of the bound class Bound itself, not of a Python subclass.
template <typename Bound>
bool of_bound_class(const pybind11::object &self)
{
    return Py_TYPE(self.ptr()) == pybind11::detail::get_type_info(typeid(Bound))->type;
}

// The values of the slots that the Python subclasses of Bound between it and
// self's type declare and self has set, by name (the names that the default
// reduction of plain objects pickles); an empty dict for a Bound itself.
template <typename Bound>
pybind11::dict slot_values(const pybind11::object &self)
{
    pybind11::dict values;
    if (of_bound_class<Bound>(self)) {
        return values;
    }
    const pybind11::object names =
        pybind11::module_::import("copyreg").attr("_slotnames")(pybind11::type::of(self));
    for (const pybind11::handle name : names) {
        PyObject *const value = PyObject_GetAttr(self.ptr(), name.ptr());
        if (value == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                throw pybind11::error_already_set();
            }
            PyErr_Clear(); // a slot never set stays unset in the copy
            continue;
        }
        values[name] = pybind11::reinterpret_steal<pybind11::object>(value);
    }
    return values;
}

// The state that pickles self: held, what the bound class Bound holds,
// followed by what a Python subclass gave the instance, so that copies keep
// it: a copy of its attributes when it has any, and then the values of its
// set slots when it has any (with the attributes, maybe none, before them).
// The attributes are copied, so that the state stays what it was when taken
// (attributes_in copies them again for the instance it restores).
template <typename Bound>
pybind11::tuple with_attributes(const pybind11::object &self, const pybind11::tuple &held)
{
    const pybind11::object attributes = instance_dict(self);
    const bool has_attributes =
        attributes && PyDict_Check(attributes.ptr()) && PyDict_GET_SIZE(attributes.ptr()) > 0;
    const pybind11::dict slots = slot_values<Bound>(self);
    if (!has_attributes && slots.empty()) {
        return held;
    }
    const auto copied = pybind11::reinterpret_steal<pybind11::object>(
        has_attributes ? PyDict_Copy(attributes.ptr()) : PyDict_New());
    if (!copied) {
        throw pybind11::error_already_set();
    }
    const pybind11::tuple extra = slots.empty() ? tuple_of(copied) : tuple_of(copied, slots);
    const auto state =
        pybind11::reinterpret_steal<pybind11::tuple>(PySequence_Concat(held.ptr(), extra.ptr()));
    if (!state) {
        throw pybind11::error_already_set();
    }
    return state;
}

// A copy of the attributes a state made by with_attributes carries after the
// `held` items the bound class reads (an empty dict when there are none), to
// become the instance's own dict: the caller's stays the caller's. Null when
// the state has any other length or the extra item is not a dict. Slot
// values are taken off the state before (restoring_slots).
inline pybind11::object attributes_in(const pybind11::tuple &state, size_t held)
{
    if (state.size() == held) {
        return pybind11::dict();
    }
    if (state.size() != held + 1 || !PyDict_Check(state[held].ptr())) {
        return pybind11::object();
    }
    auto copied = pybind11::reinterpret_steal<pybind11::object>(PyDict_Copy(state[held].ptr()));
    if (!copied) {
        throw pybind11::error_already_set();
    }
    return copied;
}

// The slot values that end a state made by with_attributes for an
// instance of a Python subclass of Bound (held items, attributes, slots), as
// a list of (name, value) pairs; null for any other call or state, which the
// bound class's own __setstate__ then takes as it is. Throws TypeError for a
// slot name that is not a str, before anything is built.
template <typename Bound>
pybind11::object slots_in(const pybind11::object &self, const pybind11::args &args,
                          const pybind11::kwargs &kwargs, size_t held)
{
    if (args.size() != 1 || !kwargs.empty() || of_bound_class<Bound>(self)) {
        return pybind11::object();
    }
    PyObject *const state = args[0].ptr();
    if (!PyTuple_Check(state) || static_cast<size_t>(PyTuple_GET_SIZE(state)) != held + 2 ||
        !PyDict_Check(PyTuple_GET_ITEM(state, held + 1))) {
        return pybind11::object();
    }
    // A snapshot: setting a slot runs the subclass's code, which may change
    // the dict.
    const auto items = pybind11::reinterpret_steal<pybind11::list>(
        PyDict_Items(PyTuple_GET_ITEM(state, held + 1)));
    if (!items) {
        throw pybind11::error_already_set();
    }
    for (const pybind11::handle item : items) {
        if (!PyUnicode_Check(PyTuple_GET_ITEM(item.ptr(), 0))) {
            throw pybind11::type_error("slot names in the state must be str");
        }
    }
    return std::move(items);
}

// Wraps cls's __setstate__ (the binding library's, which builds the C++ object
// and restores the attributes but cannot reach the instance) so that the state
// of a subclass instance with slot values (with_attributes) sets them once the
// object is built. Every other call goes to it as it was made, and the wrapper
// keeps its docstring, so signature and errors stay its own. (The binding
// library treats any function of this name as a constructor; the wrapper
// keeps the name.)
template <typename Bound, typename Class>
void restoring_slots(Class &cls, size_t held)
{
    const pybind11::object build = cls.attr("__setstate__");
    const std::string doc = pybind11::str(build.attr("__doc__"));
    pybind11::options only_the_given_docstring;
    only_the_given_docstring.disable_function_signatures();
    cls.attr("__setstate__") = pybind11::cpp_function(
        [build, held](const pybind11::object &self, const pybind11::args &args,
                      const pybind11::kwargs &kwargs) {
            const pybind11::object slots = slots_in<Bound>(self, args, kwargs, held);
            if (!slots) {
                build(self, *args, **kwargs);
                return;
            }
            build(self, args[0][pybind11::slice(0, static_cast<Py_ssize_t>(held + 1), 1)]);
            for (const pybind11::handle item : slots) {
                PyObject *const pair = item.ptr();
                if (PyObject_SetAttr(self.ptr(), PyTuple_GET_ITEM(pair, 0),
                                     PyTuple_GET_ITEM(pair, 1)) != 0) {
                    throw pybind11::error_already_set();
                }
            }
        },
        pybind11::is_method(cls), pybind11::name("__setstate__"), pybind11::doc(doc.c_str()));
}

// A reduction that pickles self at every protocol as the class's own
// allocation (copyreg.__newobj__) followed by __setstate__ with state, which
// checks it again; a subclass's __init__ is not called, whatever arguments it
// takes. At protocols 0 and 1 the default reduction would allocate a plain
// object, which the binding library cannot initialise.
inline pybind11::tuple reduce_to_state(const pybind11::object &self, const pybind11::object &state)
{
    pybind11::object newobj = pybind11::module_::import("copyreg").attr("__newobj__");
    return tuple_of(newobj, tuple_of(pybind11::type::of(self)), state);
}

// reduce_to_state with the state that self.__getstate__() gives, so that a
// subclass's own __getstate__ decides what its copies carry, as it does for
// plain Python classes.
inline pybind11::tuple reduce_with_getstate(const pybind11::object &self)
{
    return reduce_to_state(self, self.attr("__getstate__")());
}

} // namespace korvalent

#endif
