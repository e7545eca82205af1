// The delta submodule: diff and patch over any C-contiguous bytes-like value.
//
// Contract: the docstrings registered below (and the korvalent_core-stubs
// package). No payload byte is copied on the way in or on the way out: every
// input is read in place through the buffer protocol, its export held until
// the call returns (a bytearray cannot be resized meanwhile), and the core's
// result buffer becomes the storage of the returned PythonOutBuf. Other
// threads run meanwhile: the core, which touches no Python object, runs
// without the interpreter lock unless the call is too short to matter.
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <pybind11/stl.h>

#include "bindings/python/bound_instance.h"
#include "bindings/python/buf_view.h"
#include "bindings/python/korvalent.h"
#include "bindings/python/pass_through.h"
#include "bindings/python/state_module.h"
#include "core/delta.h"

namespace py = pybind11;

namespace korvalent {

// An argument of diff or patch as the caller passed it (pass_through.h), so
// that the function itself refuses a wrong one in one line naming it.
struct BytesLike {
    py::handle object;
};

// The method keyword; checked by diff itself, which names the allowed values.
struct MethodName {
    py::handle object;
};

// The checksum and verify keywords: True or False.
struct FlagKeyword {
    py::handle object;
};

// patch's max_size keyword: an int (or an integer-like) or None.
struct SizeKeyword {
    py::handle object;
};

// A result of diff or patch, made by new_instance() (bound_instance.h);
// signatures name it as the class it is.
struct NewResult {
    py::object object;
};

} // namespace korvalent

namespace pybind11 {
namespace detail {

KV_PASS_THROUGH_CASTER(korvalent::BytesLike, "korvalent_core.delta.PythonInBuf");
KV_PASS_THROUGH_CASTER(korvalent::MethodName, "str");
KV_PASS_THROUGH_CASTER(korvalent::FlagKeyword, "bool");
KV_PASS_THROUGH_CASTER(korvalent::SizeKeyword, "Optional[int]");

// Returned only.
template <>
struct type_caster<korvalent::NewResult> {
    PYBIND11_TYPE_CASTER(korvalent::NewResult, const_name("korvalent_core.delta.PythonOutBuf"));
    bool load(handle, bool) { return false; }
    static handle cast(const korvalent::NewResult &result, return_value_policy, handle)
    {
        return result.object.inc_ref();
    }
};

} // namespace detail
} // namespace pybind11

namespace korvalent {

// Owning handle of a core result; the deleter is always buf_free.
using buf_owner = std::unique_ptr<buf_s, void (*)(buf_s *)>;

// ------------------------------------------------------------------ inputs

// Takes a read-only export of object's bytes into *out. A non-buffer or a
// non-contiguous buffer is a TypeError naming function(), the argument and the
// type received; an exporter's own refusal (a closed mmap) passes through.
void export_bytes(py::handle object, Py_buffer *out, const char *function, const char *argument)
{
    PyObject *source = object.ptr();
    const char *type_name = source == Py_None ? "None" : Py_TYPE(source)->tp_name;
    if (!PyObject_CheckBuffer(source)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a bytes-like object, not %.200s",
                     function, argument, type_name);
        throw py::error_already_set();
    }
    // A full request lets any exporter answer; contiguity is checked here so
    // the message can say what is wrong instead of the exporter's BufferError.
    if (PyObject_GetBuffer(source, out, PyBUF_FULL_RO) != 0) {
        throw py::error_already_set();
    }
    if (!PyBuffer_IsContiguous(out, 'C')) {
        PyBuffer_Release(out);
        PyErr_Format(
            PyExc_TypeError,
            "%s() argument '%s' must be a C-contiguous buffer, not a non-contiguous %.200s",
            function, argument, type_name);
        throw py::error_already_set();
    }
}

// A view of the bytes an export describes; nothing is copied.
buf_s view_of(const Py_buffer &exported)
{
    buf_s view{};
    buf_view_init(&view, static_cast<char *>(exported.buf),
                  static_cast<unsigned long>(exported.len));
    return view;
}

// A bytes-like object held for reuse across calls: the export stays taken for
// the holder's whole life, so the viewed bytes can neither move nor go away.
class PythonInBuf : public ZeroedStorage {
public:
    explicit PythonInBuf(const py::object &source)
    {
        export_bytes(source, &export_, "PythonInBuf", "b");
        view_ = view_of(export_);
    }

    ~PythonInBuf() { release(); }

    PythonInBuf(const PythonInBuf &) = delete;
    PythonInBuf &operator=(const PythonInBuf &) = delete;

    // The view, or null once the collector released the holder.
    const buf_s *view() const { return released_ ? nullptr : &view_; }

    // The collector's part: the export holds the viewed object, which may
    // hold this holder in turn; clearing breaks such a cycle.
    int traverse(visitproc visit, void *arg) const
    {
        Py_VISIT(export_.obj);
        return 0;
    }
    void release()
    {
        // Detach the view before the export that keeps its bytes alive goes.
        buf_view_invalidate(&view_);
        PyBuffer_Release(&export_);
        released_ = true;
    }

private:
    Py_buffer export_{};
    buf_s view_{};
    bool released_ = false;
};

int traverse_input_holder(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self)); // an instance holds its heap type
    const PythonInBuf *held = constructed_or_null<PythonInBuf>(self);
    return held ? held->traverse(visit, arg) : 0;
}

int clear_input_holder(PyObject *self)
{
    if (PythonInBuf *held = constructed_or_null<PythonInBuf>(self)) held->release();
    return 0;
}

// One input of a call, read in place until the call returns: the view a
// PythonInBuf already holds, or a new export of a bytes-like object that is
// released when this goes away.
class InputView {
public:
    InputView(const BytesLike &argument, const char *function, const char *name)
    {
        PyObject *object = argument.object.ptr();
        if (PyBytes_CheckExact(object)) {
            // The common case, without an export: a bytes object is immutable
            // and the call's arguments keep it alive.
            buf_view_init(&own_view_, PyBytes_AS_STRING(object),
                          static_cast<unsigned long>(PyBytes_GET_SIZE(object)));
            view_ = &own_view_;
            return;
        }
        if (py::isinstance<PythonInBuf>(argument.object)) {
            view_ = constructed<PythonInBuf>(argument.object).view();
            if (view_ == nullptr) {
                // Only an object that a finaliser revived after collection.
                PyErr_Format(PyExc_ValueError, "%s() argument '%s' is a released PythonInBuf",
                             function, name);
                throw py::error_already_set();
            }
            return;
        }
        export_bytes(argument.object, &export_, function, name);
        exported_ = true;
        own_view_ = view_of(export_);
        view_ = &own_view_;
    }

    ~InputView()
    {
        if (exported_) {
            buf_view_invalidate(&own_view_);
            PyBuffer_Release(&export_);
        }
    }

    InputView(const InputView &) = delete;
    InputView &operator=(const InputView &) = delete;

    const buf_s *get() const { return view_; }
    uint64_t size() const { return view_->length; }

private:
    Py_buffer export_{};
    buf_s own_view_{};
    bool exported_ = false;
    const buf_s *view_ = nullptr;
};

// ----------------------------------------------------------------- results

// Owns one result buffer of the core, never null while Python can see it;
// buf_free runs exactly once, in whichever object ends up with the result.
class PythonOutBuf : public ZeroedStorage {
public:
    explicit PythonOutBuf(buf_s *result) : result_(result, &buf_free) {}

    PythonOutBuf(PythonOutBuf &&other) noexcept = default;
    PythonOutBuf &operator=(PythonOutBuf &&other) noexcept = default;

    buf_s *get() const { return result_.get(); }
    uint64_t size() const { return result_ == nullptr ? 0 : result_->length; }

private:
    buf_owner result_;
};

// --------------------------------------------------------------- failures

// Every way a call fails once its arguments are accepted. raise_failure is
// the one place that turns them into Python exceptions, so a new refusal (a
// keyword's bad value, a new core status) is one enumerator and one case.
enum class Failure {
    kOldTooLarge,      // diff: an old value of 2^31 bytes or more
    kNewTooLarge,      // diff: a new value of 2^31 bytes or more
    kDeltaTooLarge,    // patch: a delta of 2^31 bytes or more
    kDiffTooLarge,     // diff: the delta would be 2^31 bytes or more
    kOutputTooLarge,   // patch: a rebuilt value too large to address
    kOutOfMemory,      // diff: the core had no memory for its work or the delta
    kPatchOutOfMemory, // patch: no memory for the rebuilt value
    kMalformedDelta,   // patch: the core rejected the delta
    kOldMismatch,      // patch: the old value is not the one the delta was made from
    kNewMismatch,      // patch: the rebuilt value is not the one the delta was made for
    kDeltaMismatch,    // patch: a byte of a checksummed delta changed
    kUnchecked,        // patch(verify=True): the delta carries no checksum
    kUnverifiable,     // patch(verify=True): changed, or carries no checksum
    kOverMaxSize,      // patch: the rebuilt value would exceed max_size
    kNegativeMaxSize,  // patch: max_size below 0
};

[[noreturn]] void raise_failure(Failure failure)
{
    switch (failure) {
    case Failure::kOldTooLarge:
        PyErr_SetString(PyExc_OverflowError, "diff: old_value of 2^31 bytes or more");
        break;
    case Failure::kNewTooLarge:
        PyErr_SetString(PyExc_OverflowError, "diff: new_value of 2^31 bytes or more");
        break;
    case Failure::kDeltaTooLarge:
        PyErr_SetString(PyExc_OverflowError, "patch: delta of 2^31 bytes or more");
        break;
    case Failure::kDiffTooLarge:
        PyErr_SetString(PyExc_OverflowError, "diff: delta of 2^31 bytes or more");
        break;
    case Failure::kOutputTooLarge:
        PyErr_SetString(PyExc_OverflowError, "patch: rebuilt value too large to address");
        break;
    case Failure::kOutOfMemory:
        PyErr_SetString(PyExc_MemoryError, "diff: out of memory");
        break;
    case Failure::kPatchOutOfMemory:
        PyErr_SetString(PyExc_MemoryError, "patch: out of memory");
        break;
    case Failure::kMalformedDelta:
        PyErr_SetString(PyExc_ValueError, "malformed delta");
        break;
    case Failure::kOldMismatch:
        PyErr_SetString(PyExc_ValueError, "old value does not match the delta");
        break;
    case Failure::kNewMismatch:
        PyErr_SetString(PyExc_ValueError, "rebuilt value does not match the delta");
        break;
    case Failure::kDeltaMismatch:
        PyErr_SetString(PyExc_ValueError, "delta does not match its checksum");
        break;
    case Failure::kUnchecked:
        PyErr_SetString(PyExc_ValueError, "delta carries no checksum to verify");
        break;
    case Failure::kUnverifiable:
        PyErr_SetString(PyExc_ValueError, "delta does not match its checksum, or carries none");
        break;
    case Failure::kOverMaxSize:
        PyErr_SetString(PyExc_ValueError, "patch: rebuilt value would exceed max_size");
        break;
    case Failure::kNegativeMaxSize:
        PyErr_SetString(PyExc_ValueError, "patch() argument 'max_size' must not be negative");
        break;
    }
    throw py::error_already_set();
}

// The failure a refusal of the delta core stands for. Statuses the binding
// rules out before calling (null views, oversized inputs) still map to
// something sound rather than to success.
Failure failure_of(kv_status status, bool patching)
{
    switch (status) {
    case KV_OUT_OF_MEMORY:
        return patching ? Failure::kPatchOutOfMemory : Failure::kOutOfMemory;
    case KV_OUT_OF_RANGE: // diff's values were checked before the call
        return patching ? Failure::kOutputTooLarge : Failure::kDiffTooLarge;
    case KV_LIMIT_REACHED:
        return Failure::kOverMaxSize;
    case KV_OLD_MISMATCH:
        return Failure::kOldMismatch;
    case KV_NEW_MISMATCH:
        return Failure::kNewMismatch;
    case KV_DELTA_MISMATCH:
        return Failure::kDeltaMismatch;
    case KV_UNCHECKED:
        return Failure::kUnchecked;
    case KV_UNVERIFIABLE:
        return Failure::kUnverifiable;
    default:
        return Failure::kMalformedDelta;
    }
}

// The delta engine works on signed 32-bit offsets and lengths, and its CBOR
// reader counts bytes in 32 bits, so no value or delta may reach 2^31 bytes.
constexpr uint64_t kMaxDeltaInput = INT32_MAX;

void require_in_range(const InputView &input, Failure failure)
{
    if (input.size() > kMaxDeltaInput) {
        raise_failure(failure);
    }
}

// Below these input sizes a call is over before handing the interpreter lock
// to another thread would pay: taking it back can wait a whole switch interval
// (5 ms) behind a busy thread. Two unrelated values of 512 bytes in all take
// the search about 0.3 ms; a delta of 2 KiB can rebuild at most about 1.4 MB.
constexpr uint64_t kDiffUnlockedFrom = 512;
constexpr uint64_t kPatchUnlockedFrom = 2048;

#if PY_VERSION_HEX >= 0x030D0000
// Whether the calling thread handles signals (the main thread of the main
// interpreter); exported by every supported interpreter, declared by the
// public headers up to 3.12.
extern "C" int _PyOS_IsMainThread(void);
#endif

// The interpreter lock given up for a core computation. The core's polls
// take it back for a moment to run the signal handlers (Ctrl-C raises
// KeyboardInterrupt in the main thread's); a handler that raises stops the
// computation, and its exception stays set for the caller to raise.
class Unlocked {
public:
    Unlocked() : saved_(PyEval_SaveThread()) {}
    ~Unlocked() { PyEval_RestoreThread(saved_); }
    Unlocked(const Unlocked &) = delete;
    Unlocked &operator=(const Unlocked &) = delete;

    static int32_t poll(void *context)
    {
        auto *self = static_cast<Unlocked *>(context);
        PyEval_RestoreThread(self->saved_);
        const int raised = PyErr_CheckSignals();
        self->saved_ = PyEval_SaveThread();
        return raised != 0 ? 1 : 0;
    }

private:
    PyThreadState *saved_;
};

// The poll of a computation that keeps the lock.
int32_t poll_locked(void *) { return PyErr_CheckSignals() != 0 ? 1 : 0; }

// Runs compute(poll, context), without the interpreter lock once the inputs
// reach unlocked_from bytes. compute must not touch Python objects; the
// InputViews keep every input exported (alive and unresizable) for the call.
// Signal handlers run only in the main thread: elsewhere nothing is polled,
// so a call in a worker thread never waits to take the lock back.
template <typename Compute>
buf_s *run_core(uint64_t input_bytes, uint64_t unlocked_from, Compute &&compute)
{
    const bool signals_here = _PyOS_IsMainThread() != 0;
    if (input_bytes < unlocked_from) {
        return compute(signals_here ? &poll_locked : nullptr, nullptr);
    }
    Unlocked unlocked;
    return compute(signals_here ? &Unlocked::poll : nullptr, &unlocked);
}

// The searches diff can run: the default engine, which keeps copies in the
// old value's order, or the block search, which copies from anywhere.
enum class DiffMethod { kMyers, kBlocks };

// The method keyword's value: TypeError for a non-string, ValueError naming
// the allowed values for any other string.
DiffMethod diff_method(py::handle method)
{
    PyObject *value = method.ptr();
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "diff() argument 'method' must be str, not %.200s",
                     value == Py_None ? "None" : Py_TYPE(value)->tp_name);
        throw py::error_already_set();
    }
    if (PyUnicode_CompareWithASCIIString(value, "myers") == 0) {
        return DiffMethod::kMyers;
    }
    if (PyUnicode_CompareWithASCIIString(value, "blocks") == 0) {
        return DiffMethod::kBlocks;
    }
    PyErr_Format(PyExc_ValueError, "diff() argument 'method' must be 'myers' or 'blocks', not %R",
                 value);
    throw py::error_already_set();
}

// The value of a True/False keyword (numpy's booleans are booleans too);
// anything else is a TypeError naming it.
bool flag_keyword(const FlagKeyword &flag, const char *function, const char *argument)
{
    PyObject *const value = flag.object.ptr();
    const char *const type_name = Py_TYPE(value)->tp_name;
    if (std::strcmp(type_name, "numpy.bool_") == 0 || std::strcmp(type_name, "numpy.bool") == 0) {
        const int truth = PyObject_IsTrue(value);
        if (truth < 0) {
            throw py::error_already_set();
        }
        return truth == 1;
    }
    if (value != Py_True && value != Py_False) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be True or False, not %.200s",
                     function, argument, Py_TYPE(value)->tp_name);
        throw py::error_already_set();
    }
    return value == Py_True;
}

NewResult diff(const BytesLike &old_value, const BytesLike &new_value, const MethodName &method,
               const FlagKeyword &checksum_flag)
{
    const DiffMethod search = diff_method(method.object);
    const bool checksum = flag_keyword(checksum_flag, "diff", "checksum");
    const InputView old_in(old_value, "diff", "old_value");
    const InputView new_in(new_value, "diff", "new_value");
    require_in_range(old_in, Failure::kOldTooLarge);
    require_in_range(new_in, Failure::kNewTooLarge);
    const uint32_t flags = (checksum ? DIFF_GENERATE_CHECKSUM : 0u) |
                           (search == DiffMethod::kBlocks ? DIFF_GENERATE_BLOCKS : 0u);
    kv_status status = KV_OK;
    buf_s *result = run_core(
        old_in.size() + new_in.size(), kDiffUnlockedFrom, [&](kv_poll_fn poll, void *context) {
            return diff_generate_binary_polled(nullptr, old_in.get(), new_in.get(),
                                               DIFF_DEFAULT_SLOT_LIMIT, DIFF_DEFAULT_WORK_LIMIT,
                                               flags, poll, context, &status);
        });
    if (result == nullptr) {
        if (status == KV_CANCELLED && PyErr_Occurred() != nullptr) {
            throw py::error_already_set(); // raised by a signal handler
        }
        raise_failure(failure_of(status, false));
    }
    return NewResult{new_instance(PythonOutBuf(result))};
}

// The cap a max_size argument sets: none for None; values beyond 64 bits cap
// nothing a core could build. An int or an integer-like (__index__).
uint64_t output_cap(const SizeKeyword &max_size)
{
    if (max_size.object.is_none()) {
        return UINT64_MAX;
    }
    if (!PyIndex_Check(max_size.object.ptr())) {
        PyErr_Format(PyExc_TypeError, "patch() argument 'max_size' must be int or None, not %.200s",
                     Py_TYPE(max_size.object.ptr())->tp_name);
        throw py::error_already_set();
    }
    const py::object number =
        py::reinterpret_steal<py::object>(PyNumber_Index(max_size.object.ptr()));
    if (!number) {
        throw py::error_already_set();
    }
    const int sign = PyObject_RichCompareBool(number.ptr(), py::int_(0).ptr(), Py_LT);
    if (sign < 0) {
        throw py::error_already_set();
    }
    if (sign == 1) {
        raise_failure(Failure::kNegativeMaxSize);
    }
    const unsigned long long cap = PyLong_AsUnsignedLongLong(number.ptr());
    if (cap == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(cap);
}

NewResult patch(const BytesLike &old_value, const BytesLike &diff, const FlagKeyword &verify_flag,
                const SizeKeyword &max_size)
{
    const bool verify = flag_keyword(verify_flag, "patch", "verify");
    const InputView old_in(old_value, "patch", "old_value");
    const InputView delta_in(diff, "patch", "diff");
    const uint64_t cap = output_cap(max_size);
    // The core would read nothing of a delta this long and hand back an empty
    // value as if it had succeeded; refuse it here instead. The old value may
    // be larger: copies address it with 64 bits.
    require_in_range(delta_in, Failure::kDeltaTooLarge);
    const uint32_t flags = verify ? DIFF_APPLY_VERIFY : 0;
    kv_status status = KV_OK;
    buf_s *result =
        run_core(old_in.size() + delta_in.size(), kPatchUnlockedFrom, [&](kv_poll_fn, void *) {
            return diff_apply_binary_ex(old_in.get(), delta_in.get(), flags, cap, &status);
        });
    if (result == nullptr) {
        raise_failure(failure_of(status, true));
    }
    return NewResult{new_instance(PythonOutBuf(result))};
}

// --------------------------------------------------------- result methods

// Results are exported as one dimension of signed chars.
constexpr const char *kByteFormat = "b";
constexpr py::ssize_t kByteSize = 1;

// The buffer that a PythonOutBuf exports: the result's own bytes, writable.
py::buffer_info describe_result(PythonOutBuf &result)
{
    // A buffer request cannot be refused from here: an instance made by
    // __new__ alone has zeroed storage (ZeroedStorage) and exports no bytes.
    buf_s *buf = result.get();
    const auto length = static_cast<py::ssize_t>(result.size());
    // An exporter must give a valid address even for zero bytes, and an
    // empty result may not have allocated a block yet: the record's own
    // address lives exactly as long as the result and is never read.
    void *address = (buf != nullptr && buf->data != nullptr) ? static_cast<void *>(buf->data)
                                                             : static_cast<void *>(&result);
    return py::buffer_info(address, kByteSize, kByteFormat, 1, {length}, {kByteSize},
                           /*readonly=*/false);
}

// A new result holding a copy of bytes; MemoryError when it cannot be made.
PythonOutBuf copy_of(const buf_s &bytes)
{
    buf_s *copy = buf_dup(&bytes);
    if (copy == nullptr) {
        PyErr_NoMemory();
        throw py::error_already_set();
    }
    return PythonOutBuf(copy);
}

NewResult copy_result(const py::object &self)
{
    return NewResult{new_instance(copy_of(*constructed<PythonOutBuf>(self).get()))};
}

// Equal when other exports the same bytes; NotImplemented (so Python tries
// the other side, then identity) for anything without a contiguous buffer.
py::object result_equals(const py::object &self, const py::handle &other)
{
    const PythonOutBuf &result = constructed<PythonOutBuf>(self);
    Py_buffer theirs{};
    if (!PyObject_CheckBuffer(other.ptr()) ||
        PyObject_GetBuffer(other.ptr(), &theirs, PyBUF_FULL_RO) != 0) {
        PyErr_Clear();
        return py::reinterpret_borrow<py::object>(Py_NotImplemented);
    }
    bool equal = false;
    bool comparable = PyBuffer_IsContiguous(&theirs, 'C') != 0;
    if (comparable) {
        const uint64_t length = result.size();
        equal = static_cast<uint64_t>(theirs.len) == length &&
                (length == 0 || std::memcmp(result.get()->data, theirs.buf, length) == 0);
    }
    PyBuffer_Release(&theirs);
    if (!comparable) {
        return py::reinterpret_borrow<py::object>(Py_NotImplemented);
    }
    return py::bool_(equal);
}

py::object result_differs(const py::object &self, const py::handle &other)
{
    py::object equal = result_equals(self, other);
    if (equal.ptr() == Py_NotImplemented) {
        return equal;
    }
    return py::bool_(!equal.cast<bool>());
}

std::string result_repr(const py::object &self)
{
    const uint64_t length = constructed<PythonOutBuf>(self).size();
    return "<PythonOutBuf " + std::to_string(length) + (length == 1 ? " byte>" : " bytes>");
}

// Pickled state: the bytes themselves, so a result crosses process
// boundaries (multiprocessing, concurrent.futures) as a plain byte string.
py::bytes result_state(const py::object &self)
{
    const buf_s *buf = constructed<PythonOutBuf>(self).get();
    PyObject *const state = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(buf->data),
                                                      static_cast<Py_ssize_t>(buf->length));
    if (state == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(state);
}

PythonOutBuf result_from_state(const py::bytes &state)
{
    Py_buffer exported{};
    export_bytes(state, &exported, "__setstate__", "state");
    const buf_s view = view_of(exported);
    // Release the export even when the copy fails.
    struct Release {
        Py_buffer *exported;
        ~Release() { PyBuffer_Release(exported); }
    } release{&exported};
    return copy_of(view);
}

// Pickles by value (the result's bytes) at every protocol.
py::tuple result_reduce(const py::object &self)
{
    return reduce_to_state(self, result_state(self));
}

py::object refuse_pickling(py::handle self)
{
    PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", Py_TYPE(self.ptr())->tp_name);
    throw py::error_already_set();
}

// ------------------------------------------------------- pickled by name

// The binding library's function objects carry their record as `self`, so
// pickle cannot name them and a process pool cannot be handed them. diff and
// patch are published as plain functions of the same names and docstrings
// whose `self` is a module (what lets a builtin pickle by name).
//
// A call in the declared form (the two values by position or name, then the
// keywords, each at most once) is made here directly. The binding library's
// dispatcher copies the keywords without checking the copy, which crashes
// once memory runs out, and costs a microsecond a call besides. Any other
// call is passed on, unchanged, to the bound function, which reports what is
// wrong with it in the binding library's words.
struct Forwards {
    static constexpr size_t kCount = 2;
    static constexpr size_t kParameters = 4; // two values, two keywords
    PyObject *bound[kCount] = {};
    PyObject *defaults[kCount][2] = {}; // of the keywords
    std::string docs[kCount];
    PyMethodDef defs[kCount] = {};

    ~Forwards()
    {
        for (PyObject *function : bound) Py_XDECREF(function);
        for (auto &pair : defaults) {
            for (PyObject *value : pair) Py_XDECREF(value);
        }
    }
};

using ForwardsModule = StateModule<Forwards>;
PyModuleDef kForwardsModule = ForwardsModule::definition("korvalent_core.delta");

Forwards *forwards_of(PyObject *module) { return ForwardsModule::of(module); }

using Parameters = const char *const[Forwards::kParameters];
constexpr Parameters kDiffParameters = {"old_value", "new_value", "method", "checksum"};
constexpr Parameters kPatchParameters = {"old_value", "diff", "verify", "max_size"};

// Places a call's arguments into slots by parameter; false for a call not in
// the declared form (a keyword given by position, an unknown or repeated
// name, a value missing).
bool gather(const Parameters &names, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
            PyObject *(&slots)[Forwards::kParameters])
{
    if (nargs > 2) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject *const name = PyTuple_GET_ITEM(kwnames, k);
        size_t slot = 0;
        while (slot < Forwards::kParameters &&
               !(PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, names[slot]) == 0))
            ++slot;
        if (slot == Forwards::kParameters || slots[slot] != nullptr) return false;
        slots[slot] = args[nargs + k];
    }
    return slots[0] != nullptr && slots[1] != nullptr;
}

PyObject *call_declared(size_t index, PyObject *const (&slots)[Forwards::kParameters])
{
    try {
        NewResult result = index == 0 ? diff(BytesLike{slots[0]}, BytesLike{slots[1]},
                                             MethodName{slots[2]}, FlagKeyword{slots[3]})
                                      : patch(BytesLike{slots[0]}, BytesLike{slots[1]},
                                              FlagKeyword{slots[2]}, SizeKeyword{slots[3]});
        return result.object.release().ptr();
    } catch (...) {
        return raise_caught();
    }
}

template <size_t index>
PyObject *forward(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    Forwards *const forwards = forwards_of(self);
    PyObject *slots[Forwards::kParameters] = {};
    if (!gather(index == 0 ? kDiffParameters : kPatchParameters, args, nargs, kwnames, slots)) {
        return PyObject_Vectorcall(forwards->bound[index], args, static_cast<size_t>(nargs),
                                   kwnames);
    }
    for (size_t k = 0; k < 2; ++k) {
        if (slots[2 + k] == nullptr) slots[2 + k] = forwards->defaults[index][k];
    }
    return call_declared(index, slots);
}

// Replaces the named bound functions of `delta` by their forwards; defaults
// holds the keywords' default values, in declared order, for each.
void publish_forwards(py::module_ &delta, const char *const (&names)[Forwards::kCount],
                      const py::object (&defaults)[Forwards::kCount][2])
{
    auto owned = std::make_unique<Forwards>();
    const PyCFunction entries[Forwards::kCount] = {
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&forward<0>)),
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&forward<1>))};
    for (size_t i = 0; i < Forwards::kCount; ++i) {
        py::object bound = delta.attr(names[i]);
        owned->docs[i] = py::str(bound.attr("__doc__"));
        owned->defs[i] = {names[i], entries[i], METH_FASTCALL | METH_KEYWORDS,
                          owned->docs[i].c_str()};
        owned->bound[i] = bound.release().ptr();
        for (size_t k = 0; k < 2; ++k) owned->defaults[i][k] = defaults[i][k].inc_ref().ptr();
    }
    Forwards *forwards = owned.get();
    py::object state = ForwardsModule::make(&kForwardsModule, std::move(owned));
    for (size_t i = 0; i < Forwards::kCount; ++i) {
        PyObject *function =
            PyCFunction_NewEx(&forwards->defs[i], state.ptr(), delta.attr("__name__").ptr());
        if (!function) throw py::error_already_set();
        delta.attr(names[i]) = py::reinterpret_steal<py::object>(function);
    }
}

// ------------------------------------------------------------ registration

constexpr const char *kDeltaDoc = R"pbdoc(
        Korvalent Delta
        -----------------------

        .. currentmodule:: korvalent_delta

        .. autosummary::
           :toctree: _generate

           diff
    )pbdoc";

constexpr const char *kDiffDoc = R"pbdoc(
    Diff between 'old_value' and 'new_value'
    )pbdoc";

constexpr const char *kPatchDoc = R"pbdoc(
    Apply 'diff' to 'old_value'
    )pbdoc";

void init_delta(py::module_ &m)
{
    py::module_ delta = m.def_submodule("delta");
    delta.attr("__doc__") = kDeltaDoc;

    py::class_<PythonOutBuf>(delta, "PythonOutBuf", py::buffer_protocol(),
                             py::custom_type_setup(&set_checked_new))
        .def_buffer(&describe_result)
        .def("__len__",
             [](const py::object &self) {
                 return static_cast<size_t>(constructed<PythonOutBuf>(self).size());
             })
        .def("__eq__", &result_equals, py::is_operator())
        .def("__ne__", &result_differs, py::is_operator())
        .def("__repr__", &result_repr)
        .def("__copy__", &copy_result)
        .def(
            "__deepcopy__",
            [](const py::object &self, const py::object &) { return copy_result(self); },
            py::arg("memo"))
        .def("__reduce__", &result_reduce)
        .def(
            "__reduce_ex__", [](const py::object &self, int) { return result_reduce(self); },
            py::arg("protocol"))
        .def(py::pickle(&result_state, &result_from_state));
    // A view of another object's memory has no pickled form (as memoryview).
    // Said for every protocol: the old protocols would otherwise rebuild the
    // binding library's base class, which cannot be made on its own.
    py::class_<PythonInBuf>(delta, "PythonInBuf", py::custom_type_setup([](PyHeapTypeObject *heap) {
                                set_checked_new(heap);
                                PyTypeObject *type = &heap->ht_type;
                                type->tp_flags |= Py_TPFLAGS_HAVE_GC;
                                type->tp_traverse = &traverse_input_holder;
                                type->tp_clear = &clear_input_holder;
                            }))
        .def(py::init<const py::object &>())
        .def("__reduce__", &refuse_pickling)
        .def(
            "__reduce_ex__", [](py::handle self, py::handle) { return refuse_pickling(self); },
            py::arg("protocol"));

    const py::str default_method("myers");
    delta.def("diff", &diff, py::arg("old_value"), py::arg("new_value"), py::kw_only(),
              py::arg("method") = MethodName{default_method}, py::arg("checksum") = false,
              kDiffDoc);
    delta.def("patch", &patch, py::arg("old_value"), py::arg("diff"), py::kw_only(),
              py::arg("verify") = false, py::arg("max_size") = py::none(), kPatchDoc);
    const py::object defaults[Forwards::kCount][2] = {{default_method, py::bool_(false)},
                                                      {py::bool_(false), py::none()}};
    publish_forwards(delta, {"diff", "patch"}, defaults);
    delta.attr("__version__") = kVersion;
}

} // namespace korvalent
