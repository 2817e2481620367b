#pragma once

#include <cstddef>

namespace velunto::test {

// Counts the malloc, calloc and realloc calls (operator new included) that the calling thread makes
// while the counter lives. The test binary replaces those three functions with counting wrappers
// around glibc's own, so allocations inside C libraries such as libsoxr are seen too.
class AllocationCounter {
public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

    std::size_t count() const;

private:
    std::size_t start_;
};

}  // namespace velunto::test
