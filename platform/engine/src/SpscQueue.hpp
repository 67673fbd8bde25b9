#pragma once
// A fixed-capacity single-producer single-consumer queue of trivially copyable
// values. Push and pop never allocate, lock or block; the storage is sized at
// construction.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

namespace engine::detail {

template <typename T>
class SpscQueue {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    explicit SpscQueue(std::size_t capacity) : capacity_(capacity), slots_(std::make_unique<T[]>(capacity)) {}

    // Producer thread.
    bool push(const T& value) noexcept {
        const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) >= capacity_) return false;
        slots_[tail % capacity_] = value;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }
    // Consumer thread.
    bool peek(T& value) const noexcept {
        const std::uint64_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) return false;
        value = slots_[head % capacity_];
        return true;
    }
    bool pop(T& value) noexcept {
        if (!peek(value)) return false;
        head_.store(head_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        return true;
    }
    // Only while neither side runs (the caller has excluded both).
    void clear() noexcept { head_.store(tail_.load(std::memory_order_relaxed), std::memory_order_relaxed); }

private:
    std::size_t capacity_;
    std::unique_ptr<T[]> slots_;
    std::atomic<std::uint64_t> head_{0};
    std::atomic<std::uint64_t> tail_{0};
};

}  // namespace engine::detail
