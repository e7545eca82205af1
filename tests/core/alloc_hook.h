// Allocation refusal for the core tests: a malloc replacement (in
// test_alloc_hook.cpp) that refuses requests on the calling thread on demand,
// so failure paths can be driven allocation by allocation. Unavailable under
// AddressSanitizer, which owns the allocator; tests then skip.
#ifndef KORVALENT_TESTS_ALLOC_HOOK_H
#define KORVALENT_TESTS_ALLOC_HOOK_H

#include <cstdint>

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#define KV_TEST_NO_ALLOC_HOOK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define KV_TEST_NO_ALLOC_HOOK 1
#endif
#endif

namespace kvtest {

// Counters of the calling thread since the last arm_allocations().
struct AllocStats {
    long refused;          // requests answered with null
    long live;             // blocks obtained minus blocks freed
    uint64_t last_refused; // size of the last refused request
};

bool alloc_hook_available();
// After `grant` more successful allocations, every request on this thread is
// refused until allow_allocations(); a negative grant never refuses.
void arm_allocations(long grant);
AllocStats allow_allocations();

} // namespace kvtest

#define SKIP_WITHOUT_ALLOC_HOOK()                                              \
    do {                                                                       \
        if (!kvtest::alloc_hook_available()) {                                 \
            GTEST_SKIP() << "allocation hook unavailable under the sanitizer"; \
        }                                                                      \
    } while (0)

#endif
