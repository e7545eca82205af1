// Generic holders that carry byte strings between a host language and the
// core without copying them.
//
// The holders know nothing of any interpreter: everything host-specific lives
// in a proxy type supplied as a template argument.
//
//   InBuffer<InProxy>         borrows the host object's bytes as a read-only
//                             buf_s view for as long as the holder lives.
//                             InProxy provides: source_type, a constructor
//                             from const source_type&, and
//                             const buf_s *get() const.
//   OutBuffer<OutProxy, B>    owns a buf_s returned by the core and frees it
//                             with buf_free exactly once. OutProxy provides:
//                             a constructor from owner_type and
//                             buf_s *get() const; B is the host's byte-string
//                             type that a copy of the result would take.
//   Marshaller<In, Out>       names one input and one output proxy so that
//                             code written against it picks both at once.
#ifndef KORVALENT_API_HOLDERS_H
#define KORVALENT_API_HOLDERS_H

#include <memory>
#include <utility>

#include "core/buf.h"

// Owning handle of a core result; the deleter is always buf_free.
using buf_owner = std::unique_ptr<buf_s, void (*)(buf_s *)>;

template <typename Proxy>
class InBuffer {
  public:
    using proxy_type = Proxy;
    using source_type = typename Proxy::source_type;

    // Takes a reference to source and views its bytes in place.
    explicit InBuffer(const source_type &source) : proxy_(source) {}

    InBuffer(const InBuffer &) = delete;
    InBuffer &operator=(const InBuffer &) = delete;

    // The view handed to the core; valid while this holder lives.
    operator const buf_s *() const { return proxy_.get(); }

  private:
    Proxy proxy_;
};

template <typename Proxy, typename Bytes>
class OutBuffer {
  public:
    using proxy_type = Proxy;
    using bytes_type = Bytes;

    // Takes ownership of result; buf_free releases it when the holder that
    // ends up with it is destroyed.
    explicit OutBuffer(buf_s *result) : proxy_(buf_owner(result, &buf_free)) {}

    OutBuffer(OutBuffer &&other) noexcept = default;
    OutBuffer &operator=(OutBuffer &&other) noexcept = default;
    OutBuffer(const OutBuffer &) = delete;
    OutBuffer &operator=(const OutBuffer &) = delete;

    // The owned result, or null once it has been moved out.
    buf_s *get() const { return proxy_.get(); }

  private:
    Proxy proxy_;
};

template <typename In, typename Out>
struct Marshaller {
    using in_proxy = In;
    using out_proxy = Out;
    using in_buffer = InBuffer<In>;
    using out_buffer = OutBuffer<Out, typename Out::bytes_type>;
};

#endif
