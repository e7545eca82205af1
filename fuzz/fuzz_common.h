// Helpers shared by the fuzz targets: exact-size heap copies, so that
// AddressSanitizer catches any read one byte past an input, and an input
// splitter that hands out pieces of the fuzzer's byte string.
#ifndef KORVALENT_FUZZ_COMMON_H
#define KORVALENT_FUZZ_COMMON_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/buf.h"
#include "core/owner.h"

namespace fuzz {

// Stops the run with a message; the fuzzer and the replay driver both treat
// an abort as a finding.
[[noreturn]] inline void fail(const char *what)
{
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline void check(bool ok, const char *what)
{
    if (!ok) fail(what);
}

// A heap block of exactly n bytes holding a copy of the input, viewed as a
// buf_s. An empty input gets a null data pointer, as an empty value has.
class ExactBuf {
public:
    ExactBuf(const uint8_t *bytes, size_t n)
        : block_(n ? static_cast<uint8_t *>(std::malloc(n)) : nullptr)
    {
        if (n && !block_) fail("out of memory");
        if (n) std::memcpy(block_, bytes, n);
        view_.data = block_;
        view_.length = n;
        view_.capacity = n;
    }
    ~ExactBuf() { std::free(block_); }
    ExactBuf(const ExactBuf &) = delete;
    ExactBuf &operator=(const ExactBuf &) = delete;

    const buf_s *get() const { return &view_; }
    const uint8_t *data() const { return block_; }
    size_t size() const { return static_cast<size_t>(view_.length); }

private:
    uint8_t *block_;
    buf_s view_{};
};

// Reads the fuzzer's input front to back.
class Splitter {
public:
    Splitter(const uint8_t *data, size_t size) : p_(data), left_(size) {}

    uint8_t byte()
    {
        if (!left_) return 0;
        --left_;
        return *p_++;
    }
    uint16_t u16()
    {
        const uint16_t low = byte(); // two statements: operand order is unspecified
        return static_cast<uint16_t>(low | (byte() << 8));
    }
    // Up to n bytes (fewer when the input runs out).
    std::pair<const uint8_t *, size_t> take(size_t n)
    {
        if (n > left_) n = left_;
        auto piece = std::make_pair(p_, n);
        p_ += n;
        left_ -= n;
        return piece;
    }
    std::pair<const uint8_t *, size_t> rest() { return take(left_); }

private:
    const uint8_t *p_;
    size_t left_;
};

using BufPtr = kv_owner<buf_s, buf_free>;

inline bool same_bytes(const buf_s *a, const uint8_t *b, size_t n)
{
    return a->length == n && (n == 0 || std::memcmp(a->data, b, n) == 0);
}

} // namespace fuzz

#endif
