#include "tests/campaign/RealTimeViolations.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "platform/mach/RealTimeContext.h"

#include "tests/support/SanitizerAllocationHook.h"

namespace velunto {

namespace {

std::atomic<std::uint64_t> lockCount{0};
std::atomic<std::uint64_t> allocationCount{0};

void countLock() {
    if (RealTimeContext::isActive())
        lockCount.fetch_add(1, std::memory_order_relaxed);
}

#ifdef VELUNTO_ASAN
// AddressSanitizer owns the allocation functions; it reports every allocation, malloc included, to a hook.
void allocationHook(const volatile void*, std::size_t) {
    if (RealTimeContext::isActive())
        allocationCount.fetch_add(1, std::memory_order_relaxed);
}
void freeHook(const volatile void*) {}
[[maybe_unused]] const int installed = __sanitizer_install_malloc_and_free_hooks(allocationHook, freeHook);
#else
void* allocate(std::size_t size) {
    if (RealTimeContext::isActive())
        allocationCount.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

void* allocateAligned(std::size_t size, std::align_val_t alignment) {
    if (RealTimeContext::isActive())
        allocationCount.fetch_add(1, std::memory_order_relaxed);
    const auto align = static_cast<std::size_t>(alignment);
    void* p = nullptr;
    if (::posix_memalign(&p, align < sizeof(void*) ? sizeof(void*) : align, size == 0 ? 1 : size) != 0)
        throw std::bad_alloc();
    return p;
}
#endif

// The C library's function behind ours, looked up once (no function-local static: its guard could lock).
template <class F>
F next(std::atomic<F>& slot, const char* name) {
    F f = slot.load(std::memory_order_acquire);
    if (!f) {
        f = reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
        slot.store(f, std::memory_order_release);
    }
    return f;
}

std::atomic<int (*)(pthread_mutex_t*)> mutexLock{nullptr};
std::atomic<int (*)(pthread_mutex_t*)> mutexTryLock{nullptr};
std::atomic<int (*)(pthread_rwlock_t*)> readLock{nullptr};
std::atomic<int (*)(pthread_rwlock_t*)> writeLock{nullptr};
std::atomic<int (*)(pthread_spinlock_t*)> spinLock{nullptr};

}  // namespace

std::uint64_t RealTimeViolations::locks() {
    return lockCount.load(std::memory_order_relaxed);
}

std::uint64_t RealTimeViolations::allocations() {
    return allocationCount.load(std::memory_order_relaxed);
}

void RealTimeViolations::reset() {
    lockCount.store(0, std::memory_order_relaxed);
    allocationCount.store(0, std::memory_order_relaxed);
}

}  // namespace velunto

#ifndef VELUNTO_ASAN
// The replaceable allocation functions.
void* operator new(std::size_t size) {
    return velunto::allocate(size);
}
void* operator new[](std::size_t size) {
    return velunto::allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return velunto::allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return velunto::allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    return velunto::allocateAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return velunto::allocateAligned(size, alignment);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
#endif

// The lock calls, passed on to the C library's.
extern "C" {

int pthread_mutex_lock(pthread_mutex_t* mutex) {
    velunto::countLock();
    return velunto::next(velunto::mutexLock, "pthread_mutex_lock")(mutex);
}

int pthread_mutex_trylock(pthread_mutex_t* mutex) {
    velunto::countLock();
    return velunto::next(velunto::mutexTryLock, "pthread_mutex_trylock")(mutex);
}

int pthread_rwlock_rdlock(pthread_rwlock_t* lock) {
    velunto::countLock();
    return velunto::next(velunto::readLock, "pthread_rwlock_rdlock")(lock);
}

int pthread_rwlock_wrlock(pthread_rwlock_t* lock) {
    velunto::countLock();
    return velunto::next(velunto::writeLock, "pthread_rwlock_wrlock")(lock);
}

int pthread_spin_lock(pthread_spinlock_t* lock) {
    velunto::countLock();
    return velunto::next(velunto::spinLock, "pthread_spin_lock")(lock);
}
}
