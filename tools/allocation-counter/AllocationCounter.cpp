#include "AllocationCounter.hpp"

#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DUNMARROW_COUNT_MALLOC 0
#else
#define DUNMARROW_COUNT_MALLOC 1
#endif

namespace {
// initial-exec TLS: reading these never allocates, which matters inside malloc itself.
__attribute__((tls_model("initial-exec"))) thread_local bool armed = false;
__attribute__((tls_model("initial-exec"))) thread_local std::size_t allocations = 0;
__attribute__((tls_model("initial-exec"))) thread_local std::size_t frees = 0;

inline void noteAllocation() {
    if (armed) ++allocations;
}
inline void noteFree(const void* p) {
    if (armed && p != nullptr) ++frees;
}
}  // namespace

namespace rtcheck {

ScopedAllocationCounter::ScopedAllocationCounter() {
    allocations = 0;
    frees = 0;
    armed = true;
}

ScopedAllocationCounter::~ScopedAllocationCounter() {
    if (running_) armed = false;
}

AllocationCounts ScopedAllocationCounter::stop() {
    armed = false;
    running_ = false;
    return {allocations, frees};
}

AllocationCounts ScopedAllocationCounter::counts() const { return {allocations, frees}; }

bool countsMalloc() { return DUNMARROW_COUNT_MALLOC != 0; }

}  // namespace rtcheck

#if DUNMARROW_COUNT_MALLOC
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t size) {
    noteAllocation();
    return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size) {
    noteAllocation();
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size) {
    noteAllocation();
    return __libc_realloc(p, size);
}
void free(void* p) {
    noteFree(p);
    __libc_free(p);
}
}
#endif

// operator new and delete are counted in every build. Without the malloc hooks
// they still go through malloc; with them, one allocation would count twice, so
// they call the libc allocator directly.
namespace {
void* allocate(std::size_t size) {
    noteAllocation();
#if DUNMARROW_COUNT_MALLOC
    void* p = __libc_malloc(size == 0 ? 1 : size);
#else
    void* p = std::malloc(size == 0 ? 1 : size);
#endif
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* allocateAligned(std::size_t size, std::align_val_t alignment) {
    noteAllocation();
    const auto align = static_cast<std::size_t>(alignment);
    const std::size_t rounded = ((size == 0 ? 1 : size) + align - 1) / align * align;
    void* p = std::aligned_alloc(align, rounded);
    if (p == nullptr) throw std::bad_alloc();
    // aligned_alloc went through the (counted) malloc family when hooks are on.
#if DUNMARROW_COUNT_MALLOC
    if (armed) --allocations;
#endif
    return p;
}
void release(void* p) {
    noteFree(p);
#if DUNMARROW_COUNT_MALLOC
    __libc_free(p);
#else
    std::free(p);
#endif
}
void releaseAligned(void* p) {
#if DUNMARROW_COUNT_MALLOC
    std::free(p);  // counted by the free hook
#else
    noteFree(p);
    std::free(p);
#endif
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(std::size_t size, std::align_val_t a) { return allocateAligned(size, a); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocateAligned(size, a); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { releaseAligned(p); }
void operator delete[](void* p, std::align_val_t) noexcept { releaseAligned(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { releaseAligned(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { releaseAligned(p); }
