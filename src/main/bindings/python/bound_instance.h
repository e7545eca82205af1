// bound_instance: guards for instances of classes bound with pybind11.
// Python code can make an instance with T.__new__(T) alone, whose C++ object
// is never constructed; the binding library still hands out storage for it
// when the instance is passed as a T. ZeroedStorage makes that storage zero
// (null pointers, empty sizes) instead of whatever the heap held, and
// constructed() is what every method calls to refuse such an instance with a
// TypeError.
#ifndef KORVALENT_BINDINGS_PYTHON_BOUND_INSTANCE_H
#define KORVALENT_BINDINGS_PYTHON_BOUND_INSTANCE_H

#include <pybind11/pybind11.h>

#include <cstdlib>
#include <new>
#include <typeinfo>

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

} // namespace korvalent

#endif
