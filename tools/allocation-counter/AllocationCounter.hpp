#pragma once
// Counts heap allocations and frees made by one thread, so that tests and the
// validator can prove that a real-time path allocates nothing. Linking this
// library replaces the program's global allocation functions. Every operator new and delete is
// counted; malloc, calloc, realloc and free are counted too except under
// AddressSanitizer or ThreadSanitizer, which own those symbols themselves.

#include <cstddef>

namespace rtcheck {

struct AllocationCounts {
    std::size_t allocations = 0;
    std::size_t frees = 0;
    [[nodiscard]] std::size_t total() const { return allocations + frees; }
};

// Counts the calling thread's allocations between construction and stop() (or
// destruction). Scopes do not nest.
class ScopedAllocationCounter {
public:
    ScopedAllocationCounter();
    ~ScopedAllocationCounter();
    ScopedAllocationCounter(const ScopedAllocationCounter&) = delete;
    ScopedAllocationCounter& operator=(const ScopedAllocationCounter&) = delete;

    // Stops counting and returns what was counted.
    AllocationCounts stop();
    [[nodiscard]] AllocationCounts counts() const;

private:
    bool running_ = true;
};

// True when malloc and free are counted as well as operator new and delete.
bool countsMalloc();

}  // namespace rtcheck
