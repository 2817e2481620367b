#pragma once

// Allocation counting in tests. Where AddressSanitizer owns malloc and operator new, a test cannot replace
// them; the sanitizer reports every allocation to a hook instead. VELUNTO_ASAN is defined in such builds.
#include <cstddef>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELUNTO_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(VELUNTO_ASAN)
#define VELUNTO_ASAN 1
#endif

#ifdef VELUNTO_ASAN
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, std::size_t),
                                                         void (*free_hook)(const volatile void*));
#endif
