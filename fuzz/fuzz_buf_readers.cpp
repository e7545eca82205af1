// The LEB128 and length-prefixed readers. They trust the caller to provide
// the bytes, so each is called only where its encoding is complete within
// the input; then the decoded value must match a direct model, and every
// value must survive a write and a read back.
#include <cstring>
#include <vector>

#include "core/buf.h"
#include "fuzz_common.h"

namespace {

constexpr size_t kMaxLeb32 = 5;
constexpr size_t kMaxLeb64 = 10;

// Bytes a LEB128 read would touch: up to and including the first byte
// without the continuation bit, at most `max` bytes.
size_t leb_extent(const uint8_t *p, size_t n, size_t max)
{
    for (size_t i = 0; i < n && i < max; ++i)
        if (!(p[i] & 0x80)) return i + 1;
    return n >= max ? max : 0; // 0: the encoding runs past the input
}

// Decoded value and length, or length 0 where the reader must return null.
std::pair<uint64_t, size_t> model_leb(const uint8_t *p, size_t max, unsigned bits)
{
    uint64_t v = 0;
    for (size_t k = 0; k < max; ++k) {
        const uint64_t group = p[k] & 0x7F;
        if (7 * k < bits) v |= group << (7 * k);
        if (!(p[k] & 0x80)) {
            if (bits == 32) v &= 0xFFFFFFFFu;
            return {v, k + 1};
        }
    }
    return {0, 0};
}

void check_leb64(const uint8_t *p, size_t n)
{
    if (!leb_extent(p, n, kMaxLeb64)) return;
    uint64_t got = 0;
    const uint8_t *end = buf_read_uint64_enc(p, &got);
    const auto expected = model_leb(p, kMaxLeb64, 64);
    if (!expected.second) {
        fuzz::check(end == nullptr, "64-bit reader accepted an overlong form");
        return;
    }
    fuzz::check(end == p + expected.second, "64-bit reader cursor");
    fuzz::check(got == expected.first, "64-bit reader value");
}

void check_leb32(const uint8_t *p, size_t n)
{
    if (!leb_extent(p, n, kMaxLeb32)) return;
    uint32_t got = 0;
    const uint8_t *end = buf_read_uint32_enc(p, &got);
    const auto expected = model_leb(p, kMaxLeb32, 32);
    if (!expected.second) {
        fuzz::check(end == nullptr, "32-bit reader accepted an overlong form");
        return;
    }
    fuzz::check(end == p + expected.second, "32-bit reader cursor");
    fuzz::check(got == expected.first, "32-bit reader value");
}

void check_length_prefixed(const uint8_t *p, size_t n)
{
    const size_t prefix = leb_extent(p, n, kMaxLeb64);
    if (!prefix) return;
    const auto declared = model_leb(p, kMaxLeb64, 64);
    if (!declared.second || declared.first > n - declared.second) return;
    char *str = nullptr;
    uint64_t len = 0;
    const uint8_t *end = buf_read_string_length_enc(p, &str, &len);
    fuzz::check(end == p + declared.second + declared.first, "string reader cursor");
    fuzz::check(len == declared.first, "string reader length");
    fuzz::check(str != nullptr && std::memcmp(str, p + declared.second, len) == 0 && str[len] == 0,
                "string reader copy");
    std::free(str);
}

void check_write_read(uint64_t value, const uint8_t *text, size_t text_len)
{
    fuzz::BufPtr buf(buf_create());
    fuzz::check(buf != nullptr, "buf_create");
    buf_write_uint64_enc(buf.get(), value);
    buf_write_uint32_enc(buf.get(), static_cast<uint32_t>(value));
    buf_write_string_length_enc(buf.get(), reinterpret_cast<const char *>(text), text_len);
    fuzz::ExactBuf written(buf->data, buf->length);
    uint64_t v64 = 0;
    uint32_t v32 = 0;
    char *str = nullptr;
    uint64_t len = 0;
    const uint8_t *p = buf_read_uint64_enc(written.data(), &v64);
    fuzz::check(p && v64 == value, "64-bit value did not survive");
    p = buf_read_uint32_enc(p, &v32);
    fuzz::check(p && v32 == static_cast<uint32_t>(value), "32-bit value did not survive");
    p = buf_read_string_length_enc(p, &str, &len);
    fuzz::check(p == written.data() + written.size(), "string form length");
    fuzz::check(len == text_len && (len == 0 || std::memcmp(str, text, len) == 0),
                "string did not survive");
    std::free(str);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::ExactBuf input(data, size);
    const uint8_t *p = input.data();
    for (size_t i = 0; i < size; ++i) {
        check_leb64(p + i, size - i);
        check_leb32(p + i, size - i);
        check_length_prefixed(p + i, size - i);
    }
    uint64_t value = 0;
    if (size) std::memcpy(&value, data, size < 8 ? size : 8);
    check_write_read(value, size > 8 ? p + 8 : p, size > 8 ? size - 8 : 0);
    return 0;
}
