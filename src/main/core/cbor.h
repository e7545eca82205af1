/* cbor: the CBOR (RFC 7049) generator and the table-driven pull parser.
 *
 * Generator: cbor_generator_s owns a heap array of `length` bytes. Each writer
 * appends exactly one item head (and, for strings, the payload) in shortest
 * form. Writers return a signed 32-bit status: -1 on failure, 0 on success
 * (1 for the float writers after a numeric write). A writer that fails leaves
 * the generator freeable. The indefinite-length sentinel (all ones) passed as
 * a string length or container count writes the indefinite-length start.
 *
 * Parser: cbor_parser_s reads a caller-owned byte range one item head at a
 * time through cbor_jump_table, a constant 256-entry table of handlers indexed
 * by the initial byte. */
#ifndef KORVALENT_CORE_CBOR_H
#define KORVALENT_CORE_CBOR_H

#include <stdint.h>
#include "core/export.h"

KV_EXTERN_C_BEGIN

/* Count/length that selects the indefinite-length form (2^64 - 1). */
#define CBOR_INDEFINITE_LENGTH UINT64_MAX

/* ---------------------------------------------------------------- generator */

typedef struct cbor_generator_s {
    uint8_t *data;   /* everything written so far; null while empty (owned) */
    uint64_t length; /* bytes written */
} cbor_generator_s;

/* New empty generator, or null if it cannot be allocated. */
KV_API cbor_generator_s *cbor_generator_create(void);
/* Frees the array and the record; null does nothing. */
KV_API void cbor_generator_free(cbor_generator_s *gen);
/* Appends the low 8 bits of byte. 0, or -1 for a null gen or failed growth. */
KV_API int32_t _cbor_generator_write_byte(cbor_generator_s *gen, unsigned int byte);
/* Appends count bytes, which may be ones the generator already holds. 0, or
 * -1 for a null gen or failed growth (nothing appended). */
KV_API int32_t _cbor_generator_write_bytes(cbor_generator_s *gen, const void *bytes,
                                           uint64_t count);
/* Shortest-form head of major type `major` (0..7) with argument value. 0 / -1. */
KV_API int32_t _cbor_write_uint_helper(cbor_generator_s *gen, uint32_t major, uint64_t value);
/* Head whose width the caller picks by initial_byte's additional information:
 * 24..27 append initial_byte and 1, 2, 4 or 8 argument bytes; any other AI
 * appends initial_byte | value: initial_byte itself for value 0, otherwise a
 * direct head, and fails (-1, nothing written) when a nonzero value or the
 * AI it combines to is above 23. 0 / -1. */
KV_API int32_t _cbor_write_uint_sized(cbor_generator_s *gen, uint8_t initial_byte, uint64_t value);

KV_API int32_t cbor_write_uint(cbor_generator_s *gen, uint64_t value);
/* value is the negative integer itself; writes major type 1 with -1 - value. */
KV_API int32_t cbor_write_negint(cbor_generator_s *gen, int64_t value);
/* Definite byte string (head then payload), or 0x5F for the sentinel length.
 * The payload may be bytes the generator already holds. Head and payload are
 * appended together or not at all: -1 (nothing written) for a null gen,
 * failed growth, or null bytes with a nonzero length. */
KV_API int32_t cbor_write_byte_string(cbor_generator_s *gen, const void *bytes, uint64_t length);
/* Definite text string (no validation), or 0x7F for the sentinel length.
 * Fails as cbor_write_byte_string does. */
KV_API int32_t cbor_write_text_string(cbor_generator_s *gen, const char *text, uint64_t length);
/* Array head, or 0x9F for the sentinel count. */
KV_API int32_t cbor_write_array(cbor_generator_s *gen, uint64_t count);
/* Map head (count = pairs), or 0xBF for the sentinel count. */
KV_API int32_t cbor_write_map(cbor_generator_s *gen, uint64_t count);
KV_API int32_t cbor_write_false(cbor_generator_s *gen);
KV_API int32_t cbor_write_true(cbor_generator_s *gen);
KV_API int32_t cbor_write_null(cbor_generator_s *gen);
KV_API int32_t cbor_write_undefined(cbor_generator_s *gen);
KV_API int32_t cbor_write_break(cbor_generator_s *gen);
/* FA + value rounded to single precision. 1 on success, -1 on failure. */
KV_API int32_t cbor_write_float32(cbor_generator_s *gen, double value);
/* FB + the value's 8 bytes. 1 on success, -1 on failure. */
KV_API int32_t cbor_write_float64(cbor_generator_s *gen, double value);
/* Shortest exact width: half (zero and normal halves only; a value that
 * needs a half subnormal goes to single), single or double. 1 after a numeric write, 0
 * for NaN and the infinities (written as halves), -1 on failure (nothing
 * appended). */
KV_API int32_t cbor_write_float(cbor_generator_s *gen, double value);

/* ------------------------------------------------------------------- parser */

typedef struct cbor_parser_s {
    const uint8_t *start;  /* first input byte (borrowed) */
    uint64_t length;       /* input bytes */
    const uint8_t *cursor; /* next byte to read */
    int32_t in_indefinite; /* set by indefinite starts, cleared by a break */
} cbor_parser_s;

typedef struct cbor_val_s {
    uint8_t initial_byte;
    uint32_t major_type; /* initial_byte >> 5 */
    union {
        uint64_t u64; /* major type 0: the argument */
        int64_t i64;  /* major type 1: -1 - argument */
        uint8_t *ptr; /* major types 2, 3: payload copy (owned; text has a
                          terminating zero); null for indefinite starts */
        double f64;   /* 0xF9, 0xFA, 0xFB: the decoded number */
    } value;
    uint64_t length; /* string length, array count, map pairs; all ones for an
                        indefinite start; otherwise 0 */
} cbor_val_s;

typedef int32_t (*cbor_handler_fn)(cbor_parser_s *parser, cbor_val_s *val);

/* Handlers indexed by the initial byte. Constant. */
KV_API extern const cbor_handler_fn cbor_jump_table[256];

/* New parser over [start, start + length), or null when it cannot be
 * allocated or length is 2^31 or more (the bytes-left count is 32-bit). */
KV_API cbor_parser_s *cbor_parser_create(const uint8_t *start, uint64_t length);
/* Frees the record only; null does nothing. */
KV_API void cbor_parser_free(cbor_parser_s *parser);
/* Bytes left, as a signed 32-bit count. */
KV_API int32_t cbor_parser_available_bytes(const cbor_parser_s *parser);
/* The next item as a new record (free with cbor_val_free), or null at the end
 * of input, for an undecodable item, or when allocation fails. */
KV_API cbor_val_s *cbor_next_val(cbor_parser_s *parser);
/* New zeroed record, or null. */
KV_API cbor_val_s *cbor_val_create(void);
/* Frees the payload copy (major types 2, 3) and the record; null does nothing. */
KV_API void cbor_val_free(cbor_val_s *val);

/* Allocation-free reading for hot paths. */

/* Initialises a caller-owned parser as cbor_parser_create would. 0, or -1 when
 * length is 2^31 or more. */
KV_API int32_t _cbor_parser_init(cbor_parser_s *parser, const uint8_t *start, uint64_t length);
/* Decodes the next item into *val exactly as cbor_next_val would (same
 * cursor movement, same fields, same messages), except that a definite
 * string's value.ptr points into the input instead of a copy: the caller
 * must not cbor_val_free it. Returns 1 for an item, 0 at the end of input,
 * -1 for an undecodable item. */
KV_API int32_t _cbor_next_view(cbor_parser_s *parser, cbor_val_s *val);

/* Handlers (reachable through cbor_jump_table). Each reads its item from the
 * cursor (initial byte included), fills val, advances the cursor and returns
 * 0, or -1 on truncated input. */
KV_API int32_t cbor_parse_uint_small(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_uint8(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_uint16(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_uint32(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_uint64(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_negint_small(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_negint8(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_negint16(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_negint32(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_negint64(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_byte_string_small(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_byte_string_uint8(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_byte_string_uint16(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_byte_string_uint32(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_byte_string_uint64(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_byte_string_indefinite(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_text_string_small(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_text_string_uint8(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_text_string_uint16(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_text_string_uint32(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_text_string_uint64(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_text_string_indefinite(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_array_small(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_array_uint8(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_array_uint16(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_array_uint32(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_array_uint64(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_array_indefinite(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_map_small(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_map_uint8(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_map_uint16(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_map_uint32(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_map_uint64(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_map_indefinite(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_semantic_tag(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_false(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_true(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_null(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_undefined(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_float16(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_float32(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_float64(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_break(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_reserved(cbor_parser_s *parser, cbor_val_s *val);
KV_API int32_t cbor_parse_unimplemented(cbor_parser_s *parser, cbor_val_s *val);

KV_EXTERN_C_END

#endif
