#pragma once

// Under AddressSanitizer and ThreadSanitizer the runtime's own allocation operators come first in
// the process and take over from the library's.

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PELLIX_SANITIZER_OPERATORS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PELLIX_SANITIZER_OPERATORS 1
#endif
#endif

#ifdef PELLIX_SANITIZER_OPERATORS
constexpr bool kSanitizerOperators = true;
#else
constexpr bool kSanitizerOperators = false;
#endif

#define SKIP_UNDER_SANITIZER_OPERATORS()                                                                     \
    if (kSanitizerOperators) {                                                                               \
        GTEST_SKIP() << "the sanitizer runtime's allocation operators serve this process";                   \
    }
