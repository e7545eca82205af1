// Allocation failure injection for the core tests.
//
// The core has no hook of its own, so this binary replaces malloc and friends
// with forwarders to glibc's allocator that can be told to refuse requests on
// the calling thread. AddressSanitizer owns the allocator in sanitized
// builds; there the replacement is left out and the fault tests skip.
#include "alloc_hook.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace kvtest {

#if !defined(KV_TEST_NO_ALLOC_HOOK)
namespace {
// Allocations still granted before refusals start; negative: never refuse.
thread_local long t_grant = -1;
thread_local AllocStats t_stats;

bool refuse(size_t size)
{
    if (t_grant < 0) {
        return false;
    }
    if (t_grant > 0) {
        --t_grant;
        return false;
    }
    ++t_stats.refused;
    t_stats.last_refused = size;
    return true;
}
} // namespace

bool alloc_hook_available() { return true; }
#else
bool alloc_hook_available() { return false; }
#endif

void arm_allocations(long grant)
{
#if !defined(KV_TEST_NO_ALLOC_HOOK)
    t_stats = AllocStats{};
    t_grant = grant;
#else
    (void)grant;
#endif
}

AllocStats allow_allocations()
{
#if !defined(KV_TEST_NO_ALLOC_HOOK)
    t_grant = -1;
    return t_stats;
#else
    return AllocStats{};
#endif
}

} // namespace kvtest

#if !defined(KV_TEST_NO_ALLOC_HOOK)
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void __libc_free(void *block);
void *__libc_memalign(size_t alignment, size_t size);

void *malloc(size_t size) noexcept
{
    if (kvtest::refuse(size)) {
        return nullptr;
    }
    void *block = __libc_malloc(size);
    kvtest::t_stats.live += block != nullptr;
    return block;
}

void *calloc(size_t count, size_t size) noexcept
{
    if (kvtest::refuse(count * size)) {
        return nullptr;
    }
    void *block = __libc_calloc(count, size);
    kvtest::t_stats.live += block != nullptr;
    return block;
}

void *realloc(void *block, size_t size) noexcept
{
    if (kvtest::refuse(size)) {
        return nullptr;
    }
    void *grown = __libc_realloc(block, size);
    kvtest::t_stats.live += block == nullptr && grown != nullptr;
    return grown;
}

int posix_memalign(void **out, size_t alignment, size_t size) noexcept
{
    if (kvtest::refuse(size)) {
        return ENOMEM;
    }
    void *block = __libc_memalign(alignment, size);
    if (block == nullptr) {
        return ENOMEM;
    }
    kvtest::t_stats.live += 1;
    *out = block;
    return 0;
}

void free(void *block) noexcept
{
    kvtest::t_stats.live -= block != nullptr;
    __libc_free(block);
}
}
#endif
