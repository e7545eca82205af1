/* buf: growable byte buffer, its appenders and its cursor readers.
 *
 * Every appender funnels through append_parts(), which makes room for the
 * whole write first and copies only once the room is there, so a failed
 * growth leaves the buffer byte for byte as it was. */
#include "core/buf.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/owner.h"

namespace {

/* Unsigned LEB128: seven payload bits per byte, high bit set on every byte but
 * the last. */
constexpr uint8_t kLebPayloadMask = 0x7F;
constexpr uint8_t kLebContinue = 0x80;
constexpr unsigned kLebBitsPerByte = 7;
constexpr unsigned kUint32EncMax = 5;
constexpr unsigned kUint64EncMax = BUF_UINT64_ENC_MAX;

/* buf_sprintf's first scratch block is the format's length plus this much. */
constexpr size_t kSprintfSlack = 100;

/* hexdump_buf: 16 bytes a row, a ". " between the two halves. */
constexpr uint64_t kHexdumpRowBytes = 16;
constexpr uint64_t kHexdumpGroupBytes = 8;

constexpr char kHexDigits[] = "0123456789abcdef";

template <typename T>
using MallocPtr = kv_owner<T, std::free>;

/* One piece of an append: count bytes from bytes. */
struct Part {
    const void *bytes;
    uint64_t count;
};

/* Grows buf so that n more bytes fit. The block becomes twice the needed size,
 * which keeps a run of small appends at logarithmically many reallocations.
 * Returns false, with buf untouched, when the size would overflow or the
 * block cannot be resized. */
bool reserve(buf_s *buf, uint64_t n)
{
    if (n > UINT64_MAX - buf->length) {
        return false;
    }
    const uint64_t needed = buf->length + n;
    if (needed <= buf->capacity) {
        return true;
    }
    /* Both 2 x needed and the realloc size argument must be representable. */
    if (needed > SIZE_MAX / 2 || needed > UINT64_MAX / 2) {
        return false;
    }
    const uint64_t grown = 2 * needed;
    void *block = std::realloc(buf->data, static_cast<size_t>(grown));
    if (block == nullptr) {
        return false;
    }
    buf->data = static_cast<uint8_t *>(block);
    buf->capacity = grown;
    return true;
}

/* Where a source lies inside buf's own block (buf_write_buf(b, b), or bytes
 * taken from b->data), growth may move it; such a source is remembered as an
 * offset and found again after the realloc. */
bool inside_block(const buf_s *buf, const void *bytes, uint64_t *offset)
{
    if (buf->data == nullptr || buf->length == 0) {
        return false;
    }
    const uintptr_t start = reinterpret_cast<uintptr_t>(buf->data);
    const uintptr_t at = reinterpret_cast<uintptr_t>(bytes);
    if (at < start || at - start >= buf->length) {
        return false;
    }
    *offset = at - start;
    return true;
}

/* Appends the parts one after the other in a single growth step: either all of
 * them land or the buffer is left exactly as it was. */
template <size_t N>
void append_parts(buf_s *buf, const Part (&parts)[N])
{
    if (buf == nullptr) {
        return;
    }
    uint64_t total = 0;
    bool aliased[N] = {};
    uint64_t offsets[N] = {};
    for (size_t i = 0; i < N; ++i) {
        if (parts[i].count == 0) {
            continue;
        }
        if (parts[i].bytes == nullptr || parts[i].count > UINT64_MAX - total) {
            return;
        }
        aliased[i] = inside_block(buf, parts[i].bytes, &offsets[i]);
        /* A source inside the block must lie within the bytes in use. */
        if (aliased[i] && parts[i].count > buf->length - offsets[i]) {
            return;
        }
        total += parts[i].count;
    }
    if (total == 0 || !reserve(buf, total)) {
        return;
    }
    uint64_t at = buf->length;
    for (size_t i = 0; i < N; ++i) {
        if (parts[i].count == 0) {
            continue;
        }
        const void *from = aliased[i] ? buf->data + offsets[i] : parts[i].bytes;
        std::memcpy(buf->data + at, from, static_cast<size_t>(parts[i].count));
        at += parts[i].count;
    }
    buf->length = at;
}

void append(buf_s *buf, const void *bytes, uint64_t count)
{
    const Part parts[] = {{bytes, count}};
    append_parts(buf, parts);
}

template <typename T>
size_t encode_leb128(T value, uint8_t *out)
{
    size_t n = 0;
    while (value > kLebPayloadMask) {
        out[n++] = static_cast<uint8_t>((value & kLebPayloadMask) | kLebContinue);
        value >>= kLebBitsPerByte;
    }
    out[n++] = static_cast<uint8_t>(value);
    return n;
}

/* Reads at most MaxBytes bytes. Shifting in T drops whatever of the last byte
 * does not fit (the high 3 bits of a 32-bit reader's fifth byte, the high 6 of
 * a 64-bit reader's tenth). Null when the last allowed byte still continues. */
template <typename T, unsigned MaxBytes>
const uint8_t *decode_leb128(const uint8_t *cursor, T *out)
{
    if (cursor == nullptr) {
        return nullptr;
    }
    T value = 0;
    for (unsigned k = 0; k < MaxBytes; ++k) {
        const uint8_t byte = cursor[k];
        value |= static_cast<T>(byte & kLebPayloadMask) << (kLebBitsPerByte * k);
        if ((byte & kLebContinue) == 0) {
            if (out != nullptr) {
                *out = value;
            }
            return cursor + k + 1;
        }
    }
    return nullptr;
}

template <typename T>
const uint8_t *read_big_endian(const uint8_t *cursor, T *out)
{
    if (cursor == nullptr) {
        return nullptr;
    }
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
        value = static_cast<T>((value << 8) | cursor[i]);
    }
    if (out != nullptr) {
        *out = value;
    }
    return cursor + sizeof(T);
}

/* A new heap block holding count bytes from bytes and a terminating zero;
 * null when the size overflows or the block cannot be allocated. */
char *copy_terminated(const uint8_t *bytes, uint64_t count)
{
    if (count >= SIZE_MAX) {
        return nullptr;
    }
    char *text = static_cast<char *>(std::malloc(static_cast<size_t>(count) + 1));
    if (text == nullptr) {
        return nullptr;
    }
    if (count > 0) {
        std::memcpy(text, bytes, static_cast<size_t>(count));
    }
    text[count] = '\0';
    return text;
}

} // namespace

KV_EXTERN_C_BEGIN

buf_s *buf_create(void) { return static_cast<buf_s *>(std::calloc(1, sizeof(buf_s))); }

void buf_free(buf_s *buf)
{
    if (buf == nullptr) {
        return;
    }
    std::free(buf->data);
    std::free(buf);
}

buf_s *buf_dup(const buf_s *buf)
{
    if (buf == nullptr || (buf->data == nullptr && buf->length > 0) || buf->length > SIZE_MAX) {
        return nullptr;
    }
    MallocPtr<buf_s> copy(buf_create());
    if (!copy) {
        return nullptr;
    }
    if (buf->length > 0) {
        copy->data = static_cast<uint8_t *>(std::malloc(static_cast<size_t>(buf->length)));
        if (copy->data == nullptr) {
            return nullptr;
        }
        std::memcpy(copy->data, buf->data, static_cast<size_t>(buf->length));
        copy->length = buf->length;
        copy->capacity = buf->length;
    }
    return copy.release();
}

char *buf_as_string(const buf_s *buf)
{
    if (buf == nullptr || buf->length == 0) {
        return copy_terminated(nullptr, 0);
    }
    return copy_terminated(buf->data, buf->length);
}

char *buf_as_hex(const buf_s *buf)
{
    const uint64_t length = buf == nullptr ? 0 : buf->length;
    if (length > (SIZE_MAX - 1) / 2) {
        return nullptr;
    }
    char *hex = static_cast<char *>(std::malloc(static_cast<size_t>(2 * length + 1)));
    if (hex == nullptr) {
        return nullptr;
    }
    for (uint64_t i = 0; i < length; ++i) {
        hex[2 * i] = kHexDigits[buf->data[i] >> 4];
        hex[2 * i + 1] = kHexDigits[buf->data[i] & 0x0F];
    }
    hex[2 * length] = '\0';
    return hex;
}

uint8_t *buf_substr(const buf_s *buf, int32_t offset, int32_t length)
{
    if (buf == nullptr || buf->data == nullptr) {
        return nullptr;
    }
    /* An offset outside the bytes in use would give a pointer outside the
     * block; the bounds are checked in 64 bits so offset + length cannot wrap. */
    if (offset < 0 || static_cast<uint64_t>(offset) > buf->length) {
        return nullptr;
    }
    if (length > 0 && static_cast<uint64_t>(length) > buf->length - static_cast<uint64_t>(offset)) {
        return nullptr;
    }
    return buf->data + offset;
}

int32_t buf_cmp(const buf_s *a, const buf_s *b)
{
    if (a == nullptr && b == nullptr) {
        return 0;
    }
    /* Unequal shapes all report -1, whichever side is longer: callers use the
     * result to test equality, and only equal lengths are ordered. */
    if (a == nullptr || b == nullptr || a->length != b->length) {
        return -1;
    }
    if (a->length == 0 || a->data == b->data) {
        return 0;
    }
    const int r = std::memcmp(a->data, b->data, static_cast<size_t>(a->length));
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

void buf_discard_front(buf_s *buf, int32_t n)
{
    if (buf == nullptr || n < 0 || static_cast<uint64_t>(n) > buf->length) {
        return;
    }
    const uint64_t remaining = buf->length - static_cast<uint64_t>(n);
    uint8_t *block = nullptr;
    if (remaining > 0) {
        block = static_cast<uint8_t *>(std::malloc(static_cast<size_t>(remaining)));
        if (block == nullptr) {
            return;
        }
        std::memcpy(block, buf->data + n, static_cast<size_t>(remaining));
    }
    std::free(buf->data);
    buf->data = block;
    buf->length = remaining;
    buf->capacity = remaining;
}

/* Row layout, for 20 bytes 00..13:
 *   | 00 01 02 03 04 05 06 07 . 08 09 0a 0b 0c 0d 0e 0f |
 *   | 10 11 12 13
 * Every byte is followed by a space; a row is closed by "|" only when another
 * row follows it. */
void hexdump_buf(const buf_s *buf)
{
    if (buf == nullptr) {
        return;
    }
    for (uint64_t i = 0; i < buf->length; ++i) {
        if (i % kHexdumpRowBytes == 0) {
            std::fputs(i == 0 ? "| " : "|\n| ", stdout);
        } else if (i % kHexdumpGroupBytes == 0) {
            std::fputs(". ", stdout);
        }
        std::printf("%02x ", buf->data[i]);
    }
    std::putchar('\n');
}

void buf_write_byte(buf_s *buf, int byte)
{
    const uint8_t b = static_cast<uint8_t>(byte);
    append(buf, &b, 1);
}

void buf_write_bool(buf_s *buf, int value) { buf_write_byte(buf, value); }

void buf_write_bytes(buf_s *buf, const void *bytes, uint64_t count) { append(buf, bytes, count); }

void buf_write_buf(buf_s *buf, const buf_s *src)
{
    if (src == nullptr) {
        return;
    }
    append(buf, src->data, src->length);
}

void buf_write_string(buf_s *buf, const char *str)
{
    if (str == nullptr) {
        return;
    }
    append(buf, str, std::strlen(str));
}

void buf_write_float(buf_s *buf, float value)
{
    uint8_t bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    append(buf, bytes, sizeof bytes);
}

size_t buf_encode_uint64_enc(uint64_t value, uint8_t *out) { return encode_leb128(value, out); }

void buf_write_uint32_enc(buf_s *buf, uint32_t value)
{
    uint8_t scratch[kUint32EncMax];
    append(buf, scratch, encode_leb128(value, scratch));
}

void buf_write_uint64_enc(buf_s *buf, uint64_t value)
{
    uint8_t scratch[kUint64EncMax];
    append(buf, scratch, encode_leb128(value, scratch));
}

void buf_write_string_length_enc(buf_s *buf, const char *str, uint64_t length)
{
    if (str == nullptr || length == 0) {
        buf_write_byte(buf, 0);
        return;
    }
    /* The whole 64-bit length goes into the prefix (the reader takes 64 bits),
     * so a string of 2^32 bytes or more is not announced by its low 32 bits. */
    uint8_t prefix[kUint64EncMax];
    const Part parts[] = {{prefix, encode_leb128(length, prefix)}, {str, length}};
    append_parts(buf, parts);
}

void buf_write_string_enc(buf_s *buf, const char *str)
{
    buf_write_string_length_enc(buf, str, str == nullptr ? 0 : std::strlen(str));
}

int32_t buf_sprintf(buf_s *buf, const char *format, ...)
{
    if (buf == nullptr || format == nullptr) {
        return -1;
    }
    const size_t format_length = std::strlen(format);
    if (format_length > SIZE_MAX - kSprintfSlack) {
        return -1;
    }
    size_t size = format_length + kSprintfSlack;
    MallocPtr<char> scratch(static_cast<char *>(std::malloc(size)));
    if (!scratch) {
        return -1;
    }
    va_list args;
    va_start(args, format);
    int32_t result = -1;
    for (;;) {
        /* Each attempt formats from the first argument again. */
        va_list attempt;
        va_copy(attempt, args);
        const int r = std::vsnprintf(scratch.get(), size, format, attempt);
        va_end(attempt);
        if (r < 0) {
            result = r;
            break;
        }
        if (static_cast<size_t>(r) < size) {
            const uint64_t before = buf->length;
            append(buf, scratch.get(), static_cast<uint64_t>(r));
            result = buf->length - before == static_cast<uint64_t>(r) ? r : -1;
            break;
        }
        if (size > SIZE_MAX / 2) {
            break;
        }
        size *= 2;
        char *grown = static_cast<char *>(std::realloc(scratch.get(), size));
        if (grown == nullptr) {
            break;
        }
        scratch.release();
        scratch.reset(grown);
    }
    va_end(args);
    return result;
}

const uint8_t *buf_read_byte(const uint8_t *cursor, uint8_t *out)
{
    if (cursor == nullptr) {
        return nullptr;
    }
    if (out != nullptr) {
        *out = cursor[0];
    }
    return cursor + 1;
}

const uint8_t *buf_read_bool(const uint8_t *cursor, uint8_t *out)
{
    if (cursor == nullptr || cursor[0] > 1) {
        return nullptr;
    }
    if (out != nullptr) {
        *out = cursor[0];
    }
    return cursor + 1;
}

const uint8_t *buf_read_uint32(const uint8_t *cursor, uint32_t *out)
{
    return read_big_endian(cursor, out);
}

const uint8_t *buf_read_uint64(const uint8_t *cursor, uint64_t *out)
{
    return read_big_endian(cursor, out);
}

const uint8_t *buf_read_uint32_enc(const uint8_t *cursor, uint32_t *out)
{
    return decode_leb128<uint32_t, kUint32EncMax>(cursor, out);
}

const uint8_t *buf_read_uint64_enc(const uint8_t *cursor, uint64_t *out)
{
    return decode_leb128<uint64_t, kUint64EncMax>(cursor, out);
}

const uint8_t *buf_read_float(const uint8_t *cursor, float *out)
{
    uint32_t bits = 0;
    const uint8_t *next = buf_read_uint32_enc(cursor, &bits);
    if (next != nullptr && out != nullptr) {
        std::memcpy(out, &bits, sizeof bits);
    }
    return next;
}

const uint8_t *buf_read_string_length_enc(const uint8_t *cursor, char **out, uint64_t *length)
{
    uint64_t count = 0;
    const uint8_t *bytes = buf_read_uint64_enc(cursor, &count);
    if (bytes == nullptr) {
        return nullptr;
    }
    /* A declared length that no block in the address space could hold is
     * malformed; stepping the cursor over it would wrap the pointer. */
    if (count > UINTPTR_MAX - reinterpret_cast<uintptr_t>(bytes) ||
        count > static_cast<uint64_t>(PTRDIFF_MAX)) {
        return nullptr;
    }
    if (out != nullptr) {
        char *text = copy_terminated(bytes, count);
        if (text == nullptr) {
            return nullptr;
        }
        *out = text;
    }
    if (length != nullptr) {
        *length = count;
    }
    return bytes + count;
}

KV_EXTERN_C_END
