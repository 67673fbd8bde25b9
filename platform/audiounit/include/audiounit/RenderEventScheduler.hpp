#pragma once
// Render events scheduled from outside a render cycle (parameter changes, MIDI)
// and handed to the unit's render callback as a time-ordered list.
//
// Producers (enqueue) may run on any thread, the render thread included: the
// queue is a bounded, lock-free multi-producer queue whose slots are allocated
// up front. The consumer side (beginCycle, endCycle) runs on the render thread
// only, one cycle at a time, and neither locks nor allocates.

#include <atomic>
#include <cstddef>
#include <memory>

#include "audiounit/RenderContract.hpp"

namespace audiounit {

class RenderEventScheduler {
public:
    // Events that may wait at once, in the queue and again among the pending ones.
    static constexpr std::size_t kCapacity = 512;

    RenderEventScheduler();
    RenderEventScheduler(const RenderEventScheduler&) = delete;
    RenderEventScheduler& operator=(const RenderEventScheduler&) = delete;

    // Any thread. Copies the event (its next pointer is ignored); false when
    // the queue is full and the event was dropped.
    bool enqueue(const AURenderEvent& event) noexcept;

    // Render thread. Takes what was queued into the pending events, placing an
    // event dated AUEventSampleTimeImmediate (+ n) at cycleStart (+ n), and
    // returns the pending events due before cycleStart + frameCount, linked in
    // time order (equal times in scheduling order), or null. Events due later
    // wait for their cycle. A cycle of 0 frames delivers nothing.
    const AURenderEvent* beginCycle(AUEventSampleTime cycleStart, AUAudioFrameCount frameCount) noexcept;
    // Render thread. Forgets the events the last beginCycle delivered.
    void endCycle() noexcept;

    // Render thread (or while nobody renders): events waiting for a later cycle.
    [[nodiscard]] std::size_t pendingCount() const noexcept { return pendingCount_; }
    // Drops everything queued and pending. Only while nobody renders or enqueues.
    void reset() noexcept;

private:
    struct Slot {
        std::atomic<std::size_t> sequence{0};
        AURenderEvent event{};
    };
    bool dequeue(AURenderEvent& event) noexcept;
    void insertPending(const AURenderEvent& event) noexcept;

    std::unique_ptr<Slot[]> slots_;
    alignas(64) std::atomic<std::size_t> enqueuePosition_{0};
    alignas(64) std::atomic<std::size_t> dequeuePosition_{0};

    // Sorted by sample time; touched by the render thread only.
    std::unique_ptr<AURenderEvent[]> pending_;
    std::size_t pendingCount_ = 0;
    std::size_t deliveredCount_ = 0;
};

}  // namespace audiounit
