/* buf: the core's growable byte buffer and its encodings.
 *
 * A buf_s owns a heap block `data` of which `length` bytes are in use.
 * Appenders grow the block to twice the needed size when it is too small, so
 * runs of small appends reallocate only logarithmically often.  A buf_s may
 * also be an unowned read-only view over someone else's memory; such a view
 * is only read and never passed to buf_free.
 *
 * Readers work on a raw byte cursor, do no bounds checking (the caller
 * guarantees the bytes are there) and return the advanced cursor, or null for
 * malformed input. */
#ifndef KORVALENT_CORE_BUF_H
#define KORVALENT_CORE_BUF_H

#include <stdint.h>
#include <stddef.h>
#include "core/export.h"

KV_EXTERN_C_BEGIN

typedef struct buf_s {
    uint8_t *data;     /* storage block, null until the first append */
    uint64_t length;   /* bytes in use */
    uint64_t capacity; /* block size as last set by growth */
} buf_s;

/* Lifecycle and whole-buffer operations. */

/* New zeroed buffer, or null if it cannot be allocated. Free with buf_free. */
KV_API buf_s *buf_create(void);
/* Frees the block (if any) and the record; null does nothing. */
KV_API void buf_free(buf_s *buf);
/* New buffer holding exactly a copy of buf's bytes; null for a null source or
 * when the record or the copy cannot be allocated (nothing is leaked). */
KV_API buf_s *buf_dup(const buf_s *buf);
/* New zero-terminated heap string of the bytes (caller frees); a null buffer
 * gives an empty string. Null only when allocation fails. */
KV_API char *buf_as_string(const buf_s *buf);
/* New heap string of 2 x length lowercase hex digits (caller frees); null only
 * when allocation fails. */
KV_API char *buf_as_hex(const buf_s *buf);
/* Pointer to data + offset, valid until the buffer next grows, is trimmed or
 * freed. Null for a null buffer or data, an offset outside 0..length, or a
 * positive length reaching past the end (a length of 0 or less is unchecked). */
KV_API uint8_t *buf_substr(const buf_s *buf, int32_t offset, int32_t length);
/* 0 if both null; -1 if one is null or the lengths differ; otherwise the
 * unsigned byte-wise comparison (negative, zero or positive). */
KV_API int32_t buf_cmp(const buf_s *a, const buf_s *b);
/* Drops the first n bytes (0 <= n <= length) into a new block of exactly the
 * remaining size. If that block cannot be allocated the buffer is unchanged. */
KV_API void buf_discard_front(buf_s *buf, int32_t n);
/* Prints the bytes to standard output in rows of 16 (see buf.cpp). */
KV_API void hexdump_buf(const buf_s *buf);

/* Appenders. None returns a status: when the block cannot be grown the buffer
 * is left exactly as it was, so callers that must not lose bytes compare the
 * length they expect. */

KV_API void buf_write_byte(buf_s *buf, int byte);
/* As buf_write_byte; a null buffer does nothing. */
KV_API void buf_write_bool(buf_s *buf, int value);
KV_API void buf_write_bytes(buf_s *buf, const void *bytes, uint64_t count);
KV_API void buf_write_buf(buf_s *buf, const buf_s *src);
/* The string's bytes without terminator or length prefix. */
KV_API void buf_write_string(buf_s *buf, const char *str);
/* The float's 4 bytes in host byte order. */
KV_API void buf_write_float(buf_s *buf, float value);
/* Unsigned LEB128: 1 to 5 bytes. */
KV_API void buf_write_uint32_enc(buf_s *buf, uint32_t value);
/* Unsigned LEB128: 1 to 10 bytes. */
KV_API void buf_write_uint64_enc(buf_s *buf, uint64_t value);
/* LEB128 length (all 64 bits), then the bytes; length 0 (or a null pointer)
 * is the single byte 00. Prefix and bytes are appended together or not at all. */
KV_API void buf_write_string_length_enc(buf_s *buf, const char *str, uint64_t length);
/* As buf_write_string_length_enc with strlen(str); null gives 00. */
KV_API void buf_write_string_enc(buf_s *buf, const char *str);
/* Appends the formatted text (no terminator). Returns the count appended, -1
 * when the scratch block or the buffer cannot be allocated or grown, or the
 * formatter's own negative result; nothing is appended on failure. */
KV_API int32_t buf_sprintf(buf_s *buf, const char *format, ...)
#if defined(__GNUC__) || defined(__clang__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/* Longest unsigned LEB128 form of a 64-bit value: ceil(64 / 7) bytes. */
#define BUF_UINT64_ENC_MAX 10

/* Encodes value as unsigned LEB128 into out, which has room for
 * BUF_UINT64_ENC_MAX bytes, and returns the byte count (1 to 10). This is the
 * exact form buf_write_uint64_enc and the length prefix of
 * buf_write_string_length_enc append; nothing is allocated. */
KV_API size_t buf_encode_uint64_enc(uint64_t value, uint8_t *out);

/* Readers: each returns the cursor past what it consumed. */

/* One byte; out may be null. */
KV_API const uint8_t *buf_read_byte(const uint8_t *cursor, uint8_t *out);
/* 00 -> 0, 01 -> 1; any other byte or a null cursor returns null and leaves
 * *out untouched. */
KV_API const uint8_t *buf_read_bool(const uint8_t *cursor, uint8_t *out);
/* 4 bytes, most significant first. */
KV_API const uint8_t *buf_read_uint32(const uint8_t *cursor, uint32_t *out);
/* 8 bytes, most significant first. */
KV_API const uint8_t *buf_read_uint64(const uint8_t *cursor, uint64_t *out);
/* LEB128, at most 5 bytes (of the fifth only the low 4 bits count); null when
 * the fifth byte still has 0x80 set. out may be null. */
KV_API const uint8_t *buf_read_uint32_enc(const uint8_t *cursor, uint32_t *out);
/* LEB128, at most 10 bytes (of the tenth only bit 0 counts); null when the
 * tenth byte still has 0x80 set. out may be null. */
KV_API const uint8_t *buf_read_uint64_enc(const uint8_t *cursor, uint64_t *out);
/* The LEB128 form of buf_read_uint32_enc, its 32 bits stored into *out's bit
 * pattern. out may be null. */
KV_API const uint8_t *buf_read_float(const uint8_t *cursor, float *out);
/* LEB128 length L, then L bytes. If out is given it receives a new heap block
 * of L + 1 bytes (the bytes and a terminating zero; caller frees); length may
 * be null. Returns null, allocating nothing and leaving the outputs
 * untouched, for a malformed prefix, a length that would carry the cursor past
 * the end of the address space, or when the copy cannot be allocated. */
KV_API const uint8_t *buf_read_string_length_enc(const uint8_t *cursor, char **out,
                                                 uint64_t *length);

KV_EXTERN_C_END

#endif
