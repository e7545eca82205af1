// The delta submodule: diff and patch over byte strings.
//
// No payload byte is copied on the way in or on the way out. An input bytes
// object is read in place through a buf_s view while a strong reference keeps
// it alive; the core's result buffer becomes the storage of the returned
// PythonOutBuf and is exported through the buffer protocol, so a copy happens
// only when the caller asks for one (bytes(result)).
#include <cstdint>
#include <new>
#include <stdexcept>
#include <utility>

#include "api/buf_view.h"
#include "api/holders.h"
#include "bindings/python/korvalent.h"
#include "core/delta.h"

namespace py = pybind11;

namespace korvalent {

// A strong reference to a bytes object and a view of its own storage. The
// view stays valid for the proxy's whole life: bytes objects are immutable
// and the reference keeps this one alive.
class InProxy {
  public:
    using source_type = py::bytes;

    explicit InProxy(const py::bytes &source) : source_(source), view_(to_buf(source_)) {}

    ~InProxy() {
        // Detach the view before the reference that keeps its bytes alive goes.
        buf_view_invalidate(&view_);
    }

    InProxy(const InProxy &) = delete;
    InProxy &operator=(const InProxy &) = delete;

    // A view of source's bytes; throws (RuntimeError in Python) when source
    // is not a bytes object after all.
    static buf_s to_buf(const py::bytes &source) {
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(source.ptr(), &data, &size) != 0) {
            PyErr_Clear();
            throw std::runtime_error("PythonInBuf needs a bytes object");
        }
        buf_s view{};
        buf_view_init(&view, data, static_cast<unsigned long>(size));
        return view;
    }

    const buf_s *get() const { return &view_; }

  private:
    py::bytes source_;
    buf_s view_;
};

// Owns one result buffer of the core; moving it leaves the source empty, so
// buf_free runs exactly once, in whichever holder ends up with the result.
class OutProxy {
  public:
    using bytes_type = py::bytes;

    explicit OutProxy(buf_owner result) : result_(std::move(result)) {}

    OutProxy(OutProxy &&other) noexcept = default;
    OutProxy &operator=(OutProxy &&other) noexcept = default;

    buf_s *get() const { return result_.get(); }

  private:
    buf_owner result_;
};

// The delta engine works on signed 32-bit offsets and lengths, and its CBOR
// reader counts bytes in 32 bits, so no value or delta may reach 2^31 bytes.
constexpr uint64_t kMaxDeltaInput = INT32_MAX;

// Whether a value or delta of this many bytes is within the engine's range.
inline bool fits_delta_range(uint64_t length) {
    return length <= kMaxDeltaInput;
}

template <typename M>
struct Delta {
    using in_buffer = typename M::in_buffer;
    using out_buffer = typename M::out_buffer;

    // The delta from old_value to new_value. Throws std::overflow_error for
    // an input of 2^31 bytes or more, std::bad_alloc when the core fails.
    static out_buffer diff(const in_buffer &old_value, const in_buffer &new_value) {
        require_in_range(old_value, "diff: value of 2^31 bytes or more");
        require_in_range(new_value, "diff: value of 2^31 bytes or more");
        // With both sizes in range the core fails only for lack of memory.
        buf_s *result = diff_generate_binary(old_value, new_value);
        if (result == nullptr) {
            throw std::bad_alloc();
        }
        return out_buffer(result);
    }

    // The value rebuilt from old_value and the delta diff. Throws
    // std::overflow_error for a delta of 2^31 bytes or more and
    // std::invalid_argument for a delta the core rejects.
    static out_buffer patch(const in_buffer &old_value, const in_buffer &diff) {
        // The core would read nothing of a delta this long and hand back an
        // empty value as if it had succeeded; refuse it here instead.
        require_in_range(diff, "patch: delta of 2^31 bytes or more");
        buf_s *result = diff_apply_binary(old_value, diff);
        if (result == nullptr) {
            throw std::invalid_argument("malformed delta");
        }
        return out_buffer(result);
    }

  private:
    static void require_in_range(const in_buffer &value, const char *message) {
        const buf_s *view = value;
        if (!fits_delta_range(view->length)) {
            throw std::overflow_error(message);
        }
    }
};

using PythonMarshaller = Marshaller<InProxy, OutProxy>;
using PythonInBuf = PythonMarshaller::in_buffer;
using PythonOutBuf = PythonMarshaller::out_buffer;
using PythonDelta = Delta<PythonMarshaller>;

// Results are exported as one dimension of signed chars.
constexpr const char *kByteFormat = "b";
constexpr py::ssize_t kByteSize = 1;

// The buffer that a PythonOutBuf exports: the result's own bytes, writable.
py::buffer_info describe_result(PythonOutBuf &result) {
    buf_s *buf = result.get();
    const auto length = static_cast<py::ssize_t>(buf == nullptr ? 0 : buf->length);
    // An exporter must give a valid address even for zero bytes, and an
    // empty result may not have allocated a block yet: the record's own
    // address lives exactly as long as the result and is never read.
    void *address = (buf != nullptr && buf->data != nullptr) ? static_cast<void *>(buf->data)
                                                             : static_cast<void *>(&result);
    return py::buffer_info(address, kByteSize, kByteFormat, 1, {length}, {kByteSize},
                           /*readonly=*/false);
}

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

void init_delta(py::module_ &m) {
    py::module_ delta = m.def_submodule("delta");
    delta.attr("__doc__") = kDeltaDoc;

    py::class_<PythonOutBuf>(delta, "PythonOutBuf", py::buffer_protocol())
        .def_buffer(&describe_result);
    py::class_<PythonInBuf>(delta, "PythonInBuf").def(py::init<const py::bytes &>());
    py::implicitly_convertible<py::bytes, PythonInBuf>();

    delta.def("diff", &PythonDelta::diff, py::arg("old_value"), py::arg("new_value"), kDiffDoc);
    delta.def("patch", &PythonDelta::patch, py::arg("old_value"), py::arg("diff"), kPatchDoc);
    delta.attr("__version__") = kVersion;
}

}  // namespace korvalent
