/* Visibility and linkage for the core's exported functions.
 *
 * The core is compiled with hidden visibility; every function and table that
 * belongs to the public native interface is marked KV_API so that it is
 * exported from the extension module under its plain, unmangled name. */
#ifndef KORVALENT_CORE_EXPORT_H
#define KORVALENT_CORE_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define KV_API __attribute__((visibility("default")))
#else
#define KV_API
#endif

#ifdef __cplusplus
#define KV_EXTERN_C_BEGIN extern "C" {
#define KV_EXTERN_C_END }
#else
#define KV_EXTERN_C_BEGIN
#define KV_EXTERN_C_END
#endif

#endif
