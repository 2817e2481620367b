#include "tests/platform/audiounit/AllocationCounter.h"

#include "tests/support/SanitizerAllocationHook.h"

#ifndef VELUNTO_ASAN
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
}
#endif

namespace {
thread_local int countingDepth = 0;
thread_local std::size_t allocations = 0;

void noteAllocation() {
    if (countingDepth > 0) {
        ++allocations;
    }
}

#ifdef VELUNTO_ASAN
// AddressSanitizer owns malloc; it reports every allocation to a hook.
void allocationHook(const volatile void*, std::size_t) {
    noteAllocation();
}
void freeHook(const volatile void*) {}
[[maybe_unused]] const int installed = __sanitizer_install_malloc_and_free_hooks(allocationHook, freeHook);
}  // namespace
#else
}  // namespace

extern "C" {
void* malloc(std::size_t size) {
    noteAllocation();
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
    noteAllocation();
    return __libc_calloc(count, size);
}
void* realloc(void* pointer, std::size_t size) {
    noteAllocation();
    return __libc_realloc(pointer, size);
}
}
#endif

namespace velunto::test {

AllocationCounter::AllocationCounter() : start_(allocations) {
    ++countingDepth;
}
AllocationCounter::~AllocationCounter() {
    --countingDepth;
}
std::size_t AllocationCounter::count() const {
    return allocations - start_;
}

}  // namespace velunto::test
