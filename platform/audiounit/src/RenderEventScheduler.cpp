#include "audiounit/RenderEventScheduler.hpp"

#include <algorithm>
#include <cstdint>

namespace audiounit {

static_assert((RenderEventScheduler::kCapacity & (RenderEventScheduler::kCapacity - 1)) == 0,
              "the queue indexes slots with a mask");

RenderEventScheduler::RenderEventScheduler()
    : slots_(std::make_unique<Slot[]>(kCapacity)), pending_(std::make_unique<AURenderEvent[]>(kCapacity)) {
    for (std::size_t i = 0; i < kCapacity; ++i) slots_[i].sequence.store(i, std::memory_order_relaxed);
}

// A bounded queue after Dmitry Vyukov's design: each slot's sequence number says
// whether it is free for the producer at that position or filled for the consumer.
bool RenderEventScheduler::enqueue(const AURenderEvent& event) noexcept {
    std::size_t position = enqueuePosition_.load(std::memory_order_relaxed);
    while (true) {
        Slot& slot = slots_[position & (kCapacity - 1)];
        const std::size_t sequence = slot.sequence.load(std::memory_order_acquire);
        const auto difference = static_cast<std::intptr_t>(sequence) - static_cast<std::intptr_t>(position);
        if (difference == 0) {
            if (enqueuePosition_.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
                slot.event = event;
                slot.event.head.next = nullptr;
                slot.sequence.store(position + 1, std::memory_order_release);
                return true;
            }
        } else if (difference < 0) {
            return false;  // full
        } else {
            position = enqueuePosition_.load(std::memory_order_relaxed);
        }
    }
}

bool RenderEventScheduler::dequeue(AURenderEvent& event) noexcept {
    const std::size_t position = dequeuePosition_.load(std::memory_order_relaxed);
    Slot& slot = slots_[position & (kCapacity - 1)];
    const std::size_t sequence = slot.sequence.load(std::memory_order_acquire);
    if (static_cast<std::intptr_t>(sequence) - static_cast<std::intptr_t>(position + 1) < 0) return false;
    event = slot.event;
    // One consumer: nobody else moves the dequeue position.
    dequeuePosition_.store(position + 1, std::memory_order_relaxed);
    slot.sequence.store(position + kCapacity, std::memory_order_release);
    return true;
}

void RenderEventScheduler::insertPending(const AURenderEvent& event) noexcept {
    const AUEventSampleTime time = event.head.eventSampleTime;
    // After the last event with an equal or earlier time: scheduling order among equals.
    std::size_t index = pendingCount_;
    while (index > 0 && pending_[index - 1].head.eventSampleTime > time) --index;
    std::copy_backward(pending_.get() + index, pending_.get() + pendingCount_, pending_.get() + pendingCount_ + 1);
    pending_[index] = event;
    ++pendingCount_;
}

const AURenderEvent* RenderEventScheduler::beginCycle(AUEventSampleTime cycleStart,
                                                      AUAudioFrameCount frameCount) noexcept {
    deliveredCount_ = 0;
    AURenderEvent event;
    while (pendingCount_ < kCapacity && dequeue(event)) {
        const auto offset = static_cast<std::uint64_t>(event.head.eventSampleTime) -
                            static_cast<std::uint64_t>(AUEventSampleTimeImmediate);
        if (offset < (std::uint64_t{1} << 32)) event.head.eventSampleTime = cycleStart + static_cast<AUEventSampleTime>(offset);
        insertPending(event);
    }
    if (frameCount == 0) return nullptr;

    const AUEventSampleTime cycleEnd = cycleStart + frameCount;
    std::size_t due = 0;
    while (due < pendingCount_ && pending_[due].head.eventSampleTime < cycleEnd) ++due;
    if (due == 0) return nullptr;
    for (std::size_t i = 0; i + 1 < due; ++i) pending_[i].head.next = &pending_[i + 1];
    pending_[due - 1].head.next = nullptr;
    deliveredCount_ = due;
    return &pending_[0];
}

void RenderEventScheduler::endCycle() noexcept {
    if (deliveredCount_ == 0) return;
    std::copy(pending_.get() + deliveredCount_, pending_.get() + pendingCount_, pending_.get());
    pendingCount_ -= deliveredCount_;
    deliveredCount_ = 0;
}

void RenderEventScheduler::reset() noexcept {
    AURenderEvent event;
    while (dequeue(event)) {
    }
    pendingCount_ = 0;
    deliveredCount_ = 0;
}

}  // namespace audiounit
