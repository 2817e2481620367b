#include "tests/platform/audiounit/AllocationCounter.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
}

namespace {
thread_local int countingDepth = 0;
thread_local std::size_t allocations = 0;

void noteAllocation() {
    if (countingDepth > 0) {
        ++allocations;
    }
}
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
