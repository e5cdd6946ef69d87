// Whether this build runs under AddressSanitizer, and marking memory it must
// treat as out of bounds (guard bytes) so that any access to it is reported
// at once, reads included. Without AddressSanitizer these do nothing.
#pragma once

#include <stddef.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLEX_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QUILLEX_UNDER_ASAN 1
#endif

#ifdef QUILLEX_UNDER_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace sim::asan {

inline void Poison(const void* address, size_t bytes) {
#ifdef QUILLEX_UNDER_ASAN
    ASAN_POISON_MEMORY_REGION(address, bytes);
#else
    (void)address;
    (void)bytes;
#endif
}

inline void Unpoison(const void* address, size_t bytes) {
#ifdef QUILLEX_UNDER_ASAN
    ASAN_UNPOISON_MEMORY_REGION(address, bytes);
#else
    (void)address;
    (void)bytes;
#endif
}

} // namespace sim::asan
