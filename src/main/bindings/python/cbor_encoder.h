// The dumps encoder: the value variant a Python object is converted to, its
// conversion rules, and the depth-first writer that turns a value into one
// CBOR data item through a cbor_generator_s.
//
// The walk keeps its open containers on an explicit stack instead of the
// native call stack, so nesting depth costs heap memory only; each open
// container counts against the interpreter's recursion limit, which turns
// self-containing values into RecursionError.
#ifndef KORVALENT_BINDINGS_PYTHON_CBOR_ENCODER_H
#define KORVALENT_BINDINGS_PYTHON_CBOR_ENCODER_H

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "core/cbor.h"

namespace korvalent {

// Everything dumps accepts, in conversion order: the first alternative that
// accepts an object wins, so the order is part of the behaviour.
using PythonValue = std::variant<pybind11::bool_, pybind11::float_, pybind11::int_, pybind11::list,
                                 pybind11::tuple, pybind11::dict, pybind11::bytes, pybind11::str,
                                 pybind11::none, bool, unsigned long long, long long, std::string_view>;

// Text of every conversion failure, element or string alike.
inline constexpr const char *kCastFailure =
    "Unable to cast Python instance to C++ type (#define PYBIND11_DETAILED_ERROR_MESSAGES or "
    "compile in debug mode for details)";

// Text of the integer range error; the integer's rendering follows it.
inline constexpr const char *kIntegerRangeFailure =
    "dumps received an integer out of range for both int64_t and uint64_t";

}  // namespace korvalent

namespace pybind11 {
namespace detail {

// Conversion to korvalent::PythonValue: pybind11's two-pass variant
// conversion, with the second (implicit) pass narrowed so that no value is
// made up. Left to the generic rules, any object whose type has __bool__
// (complex, Decimal, Fraction, numpy floats) would be written as true or
// false, and a number with __int__ would be truncated to an integer. Here
// the native truth value takes only what the strict pass takes (True,
// False, numpy booleans), and the implicit pass only offers the native
// integers, and only to integer-like objects: those with __index__, or
// without a truth value of their own.
template <>
class type_caster<korvalent::PythonValue> : public variant_caster<korvalent::PythonValue> {
  public:
    bool load(handle src, bool convert) {
        if (load_alternative(src, false, strict_pass{})) return true;
        if (!convert || !is_integer_like(src)) return false;
        return load_alternative(src, true, implicit_pass{});
    }

  private:
    using strict_pass = type_list<bool_, float_, int_, list, tuple, dict, bytes, str, none, bool,
                                  unsigned long long, long long, std::string_view>;
    using implicit_pass = type_list<unsigned long long, long long>;

    static bool is_integer_like(handle src) {
        const PyNumberMethods *number = Py_TYPE(src.ptr())->tp_as_number;
        return number == nullptr || number->nb_index != nullptr || number->nb_bool == nullptr;
    }
};

}  // namespace detail
}  // namespace pybind11

namespace korvalent {

// Raises MemoryError in the caller once the exception reaches pybind11.
[[noreturn]] inline void throw_memory_error() {
    PyErr_NoMemory();
    throw pybind11::error_already_set();
}

// The container form: indefinite heads closed by a break, or definite heads
// carrying the count. Strings are definite in both forms.
template <bool Indefinite>
struct CborTraits {
    // Count handed to the head writer: the all-ones sentinel (-1) selects the
    // indefinite form.
    static int64_t length(Py_ssize_t size) { return Indefinite ? -1 : static_cast<int64_t>(size); }
    static int32_t end_seq(cbor_generator_s &gen) { return Indefinite ? cbor_write_break(&gen) : 0; }
    static int32_t encode_bytes(cbor_generator_s &gen, std::string_view bytes) {
        return cbor_write_byte_string(&gen, bytes.data(), bytes.size());
    }
    static int32_t encode_text(cbor_generator_s &gen, std::string_view text) {
        return cbor_write_text_string(&gen, text.data(), text.size());
    }
};

// Owns the generator of one dumps call. Every write is checked: the first
// one the generator cannot hold raises MemoryError, so a damaged output can
// never be returned.
template <bool Indefinite>
class CborEncoder {
    using Traits = CborTraits<Indefinite>;

  public:
    CborEncoder() : generator_(cbor_generator_create(), &cbor_generator_free) {
        if (!generator_) throw_memory_error();
    }

    void operator()(bool value) { check(value ? cbor_write_true(gen()) : cbor_write_false(gen())); }
    void operator()(double value) { check(cbor_write_float(gen(), value)); }
    void operator()(unsigned long long value) { check(cbor_write_uint(gen(), value)); }
    void operator()(long long value) {
        check(value < 0 ? cbor_write_negint(gen(), value)
                        : cbor_write_uint(gen(), static_cast<uint64_t>(value)));
    }
    void operator()(const std::string_view &text) { check(Traits::encode_text(*gen(), text)); }
    void encode_bytes(const std::string_view &bytes) { check(Traits::encode_bytes(*gen(), bytes)); }
    // The head of a definite byte or text string whose payload the caller
    // places after these bytes itself.
    void encode_bytes_head(std::size_t size) { check(_cbor_write_uint_helper(gen(), kMajorBytes, size)); }
    void encode_text_head(std::size_t size) { check(_cbor_write_uint_helper(gen(), kMajorText, size)); }
    void encode_null() { check(cbor_write_null(gen())); }
    void start_seq(Py_ssize_t size) {
        check(cbor_write_array(gen(), static_cast<uint64_t>(Traits::length(size))));
    }
    void end_seq() { check(Traits::end_seq(*gen())); }
    void start_map(Py_ssize_t pairs) {
        check(cbor_write_map(gen(), static_cast<uint64_t>(Traits::length(pairs))));
    }
    void end_map() { check(Traits::end_seq(*gen())); }

    const uint8_t *data() const { return generator_->data; }
    uint64_t len() const { return generator_->length; }

  private:
    static constexpr uint32_t kMajorBytes = 2;
    static constexpr uint32_t kMajorText = 3;

    cbor_generator_s *gen() const { return generator_.get(); }
    static void check(int32_t status) {
        if (status < 0) throw_memory_error();
    }

    std::unique_ptr<cbor_generator_s, void (*)(cbor_generator_s *)> generator_;
};

// The max_depth guard. Enabled, it counts the nesting level of the element
// being written (the top-level value is level 0 and is not counted) and
// refuses the first element below the limit, before converting it.
template <bool Enabled>
class RecursionGuard;

template <>
class RecursionGuard<true> {
  public:
    explicit RecursionGuard(unsigned long max_depth) : limit(max_depth) {}
    void enter_scope(const pybind11::handle &) {
        if (++depth > limit) throw std::runtime_error("Exceeded recursion limit:" + std::to_string(limit));
    }
    void exit_scope(const pybind11::handle &) { --depth; }

    uint64_t depth = 0;
    uint64_t limit;
};

template <>
class RecursionGuard<false> {
  public:
    void enter_scope(const pybind11::handle &) {}
    void exit_scope(const pybind11::handle &) {}
};

// Renders a value for an error message, keeping at most max_length bytes.
class PrinterVisitor {
  public:
    explicit PrinterVisitor(unsigned long max_length) : max_length(max_length) {}

    template <typename Value>
    std::string operator()(const Value &value) const {
        std::ostringstream out;
        try {
            out << extract(value);
        } catch (const std::exception &e) {
            out << "failed with " << e.what();
        } catch (...) {
            out << "failed with unknown exception";
        }
        return report(out.str());
    }

    template <typename Value>
    std::string extract(const Value &value) const {
        std::ostringstream inner;
        inner << static_cast<std::string>(pybind11::str(pybind11::handle(value)));
        return inner.str();
    }

    // The first max_length bytes, backed off to the start of a UTF-8
    // character so that a cut never leaves half a character behind.
    std::string report(const std::string &text) const {
        if (text.size() <= max_length) return text;
        std::size_t cut = static_cast<std::size_t>(max_length);
        while (cut > 0 && is_utf8_continuation(text[cut])) --cut;
        return text.substr(0, cut);
    }

    uint64_t max_length;

  private:
    static bool is_utf8_continuation(char byte) {
        return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
    }
};

// Bounds the integer rendering in the range error.
constexpr unsigned long kRenderedIntegerBytes = 40;

struct PythonPrinterVisitor : PrinterVisitor {
    PythonPrinterVisitor() : PrinterVisitor(kRenderedIntegerBytes) {}
};

// Projection applied to dict keys and values before they are written.
struct Identity {
    const pybind11::handle &operator()(const pybind11::handle &h) const { return h; }
};

enum class ContainerKind : uint8_t { kList, kTuple, kDict };

// A container whose head is written and whose elements are not all written
// yet. It holds strong references: Python code run by an element (__index__,
// __bool__, __eq__, __str__) may drop the last other reference to the
// container, or to a dict value waiting for its key.
struct OpenContainer {
    pybind11::object container;
    pybind11::object pending_value;  // dict only: the value of the key being written
    Py_ssize_t next;                 // list/tuple index, or PyDict_Next position
    Py_ssize_t size;                 // items or pairs when the head was written
    ContainerKind kind;
};

// The open containers, innermost last. Each one counts against the
// interpreter's recursion limit as a nested call would: the walk may open as
// many as the limit leaves below the caller's own depth, and one more raises
// RecursionError. (Counted here rather than through Py_EnterRecursiveCall,
// which costs two calls into the interpreter per container.)
class ContainerStack {
  public:
    ContainerStack() : room_(recursion_room()) {}
    ContainerStack(const ContainerStack &) = delete;
    ContainerStack &operator=(const ContainerStack &) = delete;

    void push(pybind11::handle container, ContainerKind kind, Py_ssize_t size) {
        if (open_.size() >= room_) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while encoding a CBOR item");
            throw pybind11::error_already_set();
        }
        open_.push_back(OpenContainer{pybind11::reinterpret_borrow<pybind11::object>(container),
                                      pybind11::object(), 0, size, kind});
    }
    void pop() { open_.pop_back(); }
    OpenContainer &top() { return open_.back(); }
    bool empty() const { return open_.empty(); }
    // True when only the top-level container is open.
    bool at_top_level() const { return open_.size() == 1; }

  private:
    static std::size_t recursion_room() {
        const int limit = Py_GetRecursionLimit();
        const int depth = python_call_depth();
        return depth < limit ? static_cast<std::size_t>(limit - depth) : 0;
    }

    // The thread's current depth of Python calls; each interpreter version
    // keeps it under another name.
    static int python_call_depth() {
        const PyThreadState *state = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030C0000
        return state->py_recursion_limit - state->py_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030B0000
        return state->recursion_limit - state->recursion_remaining;
#else
        return state->recursion_depth;
#endif
    }

    std::size_t room_;
    std::vector<OpenContainer> open_;
};

// Whether the walk tries the builtin types by exact type before the variant
// conversion. Both give the same bytes and errors; the generic form exists
// so that this can be checked.
enum class Dispatch : uint8_t { kExactTypesFirst, kVariantOnly };

// The walk over containers, shared by every encoder and guard. Every
// operation takes the action that drives the walk as its first argument.
template <typename Encoder, typename Guard, typename Output>
class EncoderAction {
  public:
    explicit EncoderAction(const Guard &guard) : guard(guard) {}

    // Writes the head of a list or tuple and opens it; its items are written
    // by _run.
    template <typename Action>
    static void _write_seq(Action &action, pybind11::handle seq, ContainerKind kind, Py_ssize_t size) {
        action.encoder.start_seq(size);
        action.stack.push(seq, kind, size);
    }

    // Writes the head of a dict and opens it; its pairs are written by _run.
    template <typename Action>
    static void _write_map(Action &action, pybind11::handle map) {
        const Py_ssize_t pairs = PyDict_GET_SIZE(map.ptr());
        action.encoder.start_map(pairs);
        action.stack.push(map, ContainerKind::kDict, pairs);
    }

    // Writes one element of a container. Returns true when it is written
    // completely, false when it is a container that was opened instead.
    template <typename Action>
    static bool _visit(Action &action, const pybind11::handle &element) {
        action.guard.enter_scope(element);
        bool written;
        if (action.dispatch == Dispatch::kExactTypesFirst) {
            const Exact outcome = _visit_exact(action, element.ptr());
            if (outcome == Exact::kOpened) return false;
            written = outcome == Exact::kWritten || Action::visit(action, element);
        } else {
            written = Action::visit(action, element);
        }
        if (written) action.guard.exit_scope(element);
        return written;
    }

    // Writes the elements of the open containers until none is left.
    template <typename Action>
    static void _run(Action &action) {
        while (!action.stack.empty()) {
            OpenContainer &top = action.stack.top();
            if (top.kind == ContainerKind::kDict) {
                _step_map(action, top);
            } else {
                _step_seq(action, top);
            }
        }
    }

    Encoder encoder;
    Guard guard;
    ContainerStack stack;

  protected:
    enum class Exact : uint8_t { kWritten, kOpened, kOther };

    // The builtin types by exact type: no Python code runs while a borrowed
    // element is read here. Anything else, subclasses included, goes through
    // the variant conversion.
    template <typename Action>
    static Exact _visit_exact(Action &action, PyObject *element) {
        PyTypeObject *const type = Py_TYPE(element);
        if (type == &PyUnicode_Type) {
            Action::write_exact_text(action, element);
        } else if (type == &PyLong_Type) {
            Action::write_exact_int(action, element);
        } else if (type == &PyFloat_Type) {
            action.encoder(PyFloat_AS_DOUBLE(element));
        } else if (type == &PyDict_Type) {
            _write_map(action, element);
            return Exact::kOpened;
        } else if (type == &PyList_Type) {
            _write_seq(action, element, ContainerKind::kList, PyList_GET_SIZE(element));
            return Exact::kOpened;
        } else if (type == &PyBool_Type) {
            action.encoder(element == Py_True);
        } else if (element == Py_None) {
            action.encoder.encode_null();
        } else if (type == &PyTuple_Type) {
            _write_seq(action, element, ContainerKind::kTuple, PyTuple_GET_SIZE(element));
            return Exact::kOpened;
        } else if (type == &PyBytes_Type) {
            Action::write_exact_bytes(action, element);
        } else if (type == &PyByteArray_Type) {
            action.encoder.encode_bytes(std::string_view(PyByteArray_AS_STRING(element),
                                                         static_cast<std::size_t>(PyByteArray_GET_SIZE(element))));
        } else {
            return Exact::kOther;
        }
        return Exact::kWritten;
    }

  private:
    // Closes the innermost container. The top-level container was never
    // entered through the guard, so only nested ones leave it.
    template <typename Action>
    static void _close(Action &action, bool is_map) {
        if (is_map) {
            action.encoder.end_map();
        } else {
            action.encoder.end_seq();
        }
        const bool nested = !action.stack.at_top_level();
        const pybind11::object container = std::move(action.stack.top().container);
        action.stack.pop();
        if (nested) action.guard.exit_scope(container);
    }

    // Writes items of the innermost list or tuple until it is exhausted or an
    // item opens a container.
    template <typename Action>
    static void _step_seq(Action &action, OpenContainer &top) {
        PyObject *const seq = top.container.ptr();
        const bool is_list = top.kind == ContainerKind::kList;
        for (;;) {
            // Tuples cannot change; a list can, through Python code run by
            // any element written so far.
            if (is_list && PyList_GET_SIZE(seq) != top.size) {
                throw std::runtime_error("list changed size during dumps");
            }
            if (top.next == top.size) {
                _close(action, false);
                return;
            }
            PyObject *const item = is_list ? PyList_GET_ITEM(seq, top.next) : PyTuple_GET_ITEM(seq, top.next);
            ++top.next;
            if (!_visit(action, item)) return;  // `top` may have moved
        }
    }

    // Writes keys and values of the innermost dict until it is exhausted or
    // an element opens a container.
    template <typename Action>
    static void _step_map(Action &action, OpenContainer &top) {
        PyObject *const map = top.container.ptr();
        for (;;) {
            if (top.pending_value) {
                const pybind11::object value = std::move(top.pending_value);
                if (!_visit(action, Identity{}(value))) return;
            }
            if (PyDict_GET_SIZE(map) != top.size) throw std::runtime_error("dict changed size during dumps");
            PyObject *key;
            PyObject *value;
            if (!PyDict_Next(map, &top.next, &key, &value)) {
                _close(action, true);
                return;
            }
            if (action.dispatch == Dispatch::kExactTypesFirst && Py_TYPE(key) == &PyUnicode_Type) {
                // Writing an exact str runs no Python code, so the value
                // stays alive without a reference of our own.
                _visit(action, Identity{}(key));
                if (!_visit(action, Identity{}(value))) return;
                continue;
            }
            // Otherwise the value is held before the key is written:
            // converting the key, or writing a container key, may run
            // Python code that drops it from the dict.
            top.pending_value = pybind11::reinterpret_borrow<pybind11::object>(value);
            if (!_visit(action, Identity{}(key))) return;
        }
    }
};

// Payloads of exact bytes and str objects at least this long are not copied
// into the generator: it gets their head only, and the payload is copied
// once, straight from the object into the result. Both types are immutable
// and the object is held until then, so the bytes are the same as if they
// had been written in place. Shorter payloads are cheaper to copy twice.
constexpr Py_ssize_t kSplicedPayloadBytes = 4096;

// A payload that belongs right after the first `offset` generator bytes.
struct SplicedPayload {
    uint64_t offset;
    std::string_view bytes;
    pybind11::object owner;
};

// The visitor over PythonValue: one operator per alternative. Each returns
// true when the value is written completely, false when it opened a
// container whose elements the walk writes next.
template <typename Encoder, typename Guard>
class PythonEncoderAction : public EncoderAction<Encoder, Guard, pybind11::bytes> {
    using Base = EncoderAction<Encoder, Guard, pybind11::bytes>;

  public:
    explicit PythonEncoderAction(const Guard &guard, Dispatch dispatch = Dispatch::kExactTypesFirst)
        : Base(guard), dispatch(dispatch) {}

    bool operator()(const pybind11::bool_ &value) {
        this->encoder(value.ptr() == Py_True);
        return true;
    }
    bool operator()(const pybind11::float_ &value) {
        this->encoder(PyFloat_AsDouble(value.ptr()));
        return true;
    }
    bool operator()(const pybind11::int_ &value) {
        write_int(*this, value);
        return true;
    }
    bool operator()(const pybind11::list &value) {
        Base::_write_seq(*this, value, ContainerKind::kList, PyList_GET_SIZE(value.ptr()));
        return false;
    }
    bool operator()(const pybind11::tuple &value) {
        Base::_write_seq(*this, value, ContainerKind::kTuple, PyTuple_GET_SIZE(value.ptr()));
        return false;
    }
    bool operator()(const pybind11::dict &value) {
        Base::_write_map(*this, value);
        return false;
    }
    bool operator()(const pybind11::bytes &value) {
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(value.ptr(), &data, &size) != 0) throw pybind11::error_already_set();
        this->encoder.encode_bytes(std::string_view(data, static_cast<std::size_t>(size)));
        return true;
    }
    bool operator()(const pybind11::str &value) {
        write_text(*this, value.ptr());
        return true;
    }
    bool operator()(const pybind11::none &) {
        this->encoder.encode_null();
        return true;
    }
    bool operator()(bool value) {
        this->encoder(value);
        return true;
    }
    bool operator()(unsigned long long value) {
        this->encoder(value);
        return true;
    }
    bool operator()(long long value) {
        this->encoder(value);
        return true;
    }
    // Only a bytearray converts to a borrowed byte view (str and bytes are
    // taken by earlier alternatives): binary data, written as a byte string.
    bool operator()(std::string_view bytes) {
        this->encoder.encode_bytes(bytes);
        return true;
    }

    // Writes a converted value.
    static bool visit(PythonEncoderAction &action, const PythonValue &value) { return std::visit(action, value); }

    // Writes the top-level value, which the guard does not count. It takes
    // the exact-type shortcuts too, so that a large top-level bytes or str
    // payload is copied once.
    static void visit_top(PythonEncoderAction &action, const PythonValue &value) {
        if (action.dispatch == Dispatch::kExactTypesFirst) {
            const pybind11::handle object = std::visit(
                [](const auto &alternative) -> pybind11::handle {
                    if constexpr (std::is_base_of_v<pybind11::handle, std::decay_t<decltype(alternative)>>) {
                        return alternative;
                    } else {
                        return pybind11::handle();
                    }
                },
                value);
            if (object && Base::_visit_exact(action, object.ptr()) != Base::Exact::kOther) return;
        }
        visit(action, value);
    }

    // Converts an element and writes it; an element that converts to nothing
    // raises the cast error.
    static bool visit(PythonEncoderAction &action, const pybind11::handle &element) {
        // Conversion may run Python code that drops the container's reference.
        const pybind11::object held = pybind11::reinterpret_borrow<pybind11::object>(element);
        pybind11::detail::make_caster<PythonValue> caster;
        if (!caster.load(held, true)) throw pybind11::cast_error(kCastFailure);
        return visit(action, pybind11::detail::cast_op<const PythonValue &>(caster));
    }

    static void write_text(PythonEncoderAction &action, PyObject *text) { action.encoder(utf8_of(text)); }

    static void write_exact_text(PythonEncoderAction &action, PyObject *text) {
        const std::string_view utf8 = exact_utf8_of(text);
        if (utf8.size() < static_cast<std::size_t>(kSplicedPayloadBytes)) {
            action.encoder(utf8);
            return;
        }
        action.encoder.encode_text_head(utf8.size());
        action.splice(text, utf8);
    }

    static void write_exact_bytes(PythonEncoderAction &action, PyObject *bytes) {
        const std::string_view payload(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
        if (PyBytes_GET_SIZE(bytes) < kSplicedPayloadBytes) {
            action.encoder.encode_bytes(payload);
            return;
        }
        action.encoder.encode_bytes_head(payload.size());
        action.splice(bytes, payload);
    }

    // The UTF-8 form of a str; a str without one (lone surrogates) does not
    // convert.
    static std::string_view utf8_of(PyObject *text) {
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(text, &size);
        if (utf8 == nullptr) {
            PyErr_Clear();
            throw pybind11::cast_error(kCastFailure);
        }
        return std::string_view(utf8, static_cast<std::size_t>(size));
    }

    // The same for an exact str, reading compact ASCII text in place: its
    // characters are its UTF-8 bytes.
    static std::string_view exact_utf8_of(PyObject *text) {
        if (!PyUnicode_IS_COMPACT_ASCII(text)) return utf8_of(text);
        return std::string_view(static_cast<const char *>(PyUnicode_DATA(text)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
    }

    // An exact int: its value decides everything, so the direct conversions
    // give what the checked attempts of write_int would.
    static void write_exact_int(PythonEncoderAction &action, PyObject *value) {
        int overflow = 0;
        const long long signed_value = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow == 0) {
            action.encoder(signed_value);
            return;
        }
        if (overflow > 0) {
            const unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(value);
            if (!(unsigned_value == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
                action.encoder(unsigned_value);
                return;
            }
            PyErr_Clear();
        }
        throw_out_of_range(action, pybind11::reinterpret_borrow<pybind11::int_>(value));
    }

    // Any int: unsigned, then signed conversion, each kept only when the
    // rebuilt int compares equal to the given one (which only an int
    // subclass can deny).
    static void write_int(PythonEncoderAction &action, const pybind11::int_ &value) {
        unsigned long long unsigned_value = 0;
        if (converts_exactly(value, unsigned_value, &PyLong_FromUnsignedLong)) {
            action.encoder(unsigned_value);
            return;
        }
        long long signed_value = 0;
        if (converts_exactly(value, signed_value, &PyLong_FromLong)) {
            action.encoder(signed_value);
            return;
        }
        throw_out_of_range(action, value);
    }

    // The generator's bytes with the spliced payloads in their places, copied
    // once into a new bytes object.
    pybind11::bytes as_bytes() const {
        const char *const written = reinterpret_cast<const char *>(this->encoder.data());
        const uint64_t length = this->encoder.len();
        if (spliced_.empty()) return pybind11::bytes(written, static_cast<std::size_t>(length));
        uint64_t total = length;
        for (const SplicedPayload &payload : spliced_) {
            if (payload.bytes.size() > kMaxBytesSize - total) pybind11::pybind11_fail("Could not allocate bytes object!");
            total += payload.bytes.size();
        }
        PyObject *const result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total));
        if (result == nullptr) pybind11::pybind11_fail("Could not allocate bytes object!");
        char *out = PyBytes_AS_STRING(result);
        uint64_t copied = 0;
        for (const SplicedPayload &payload : spliced_) {
            out = copy_out(out, written + copied, payload.offset - copied);
            out = copy_out(out, payload.bytes.data(), payload.bytes.size());
            copied = payload.offset;
        }
        copy_out(out, written + copied, length - copied);
        return pybind11::reinterpret_steal<pybind11::bytes>(result);
    }

    Dispatch dispatch;
    PythonPrinterVisitor printer;

  private:
    static constexpr uint64_t kMaxBytesSize = PY_SSIZE_T_MAX;

    void splice(PyObject *owner, std::string_view payload) {
        spliced_.push_back(SplicedPayload{this->encoder.len(), payload,
                                          pybind11::reinterpret_borrow<pybind11::object>(owner)});
    }

    static char *copy_out(char *out, const char *from, uint64_t count) {
        if (count != 0) std::memcpy(out, from, static_cast<std::size_t>(count));
        return out + count;
    }

    std::vector<SplicedPayload> spliced_;

    // Every failure of an attempt (conversion, allocation, a raising __eq__)
    // is swallowed with its Python error: the caller moves on.
    template <typename Native, typename Rebuilt>
    static bool converts_exactly(const pybind11::int_ &value, Native &out, PyObject *(*rebuild)(Rebuilt)) {
        try {
            const Native native = value.cast<Native>();
            const pybind11::object rebuilt = pybind11::reinterpret_steal<pybind11::object>(rebuild(static_cast<Rebuilt>(native)));
            if (!rebuilt) throw pybind11::error_already_set();
            const int equal = PyObject_RichCompareBool(rebuilt.ptr(), value.ptr(), Py_EQ);
            if (equal < 0) throw pybind11::error_already_set();
            out = native;
            return equal == 1;
        } catch (const std::exception &) {
            PyErr_Clear();
            return false;
        }
    }

    [[noreturn]] static void throw_out_of_range(PythonEncoderAction &action, const pybind11::int_ &value) {
        throw std::runtime_error(std::string(kIntegerRangeFailure) + action.printer(value));
    }
};

}  // namespace korvalent

#endif
