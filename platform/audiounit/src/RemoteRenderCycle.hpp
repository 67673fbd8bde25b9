#pragma once
// The out-of-process proxy's render cycles. The render thread copies the
// cycle (pulled input, events, frame count, time stamp) into memory shared
// with the service, wakes the service and waits for its answer on a futex
// with a deadline. That bounded wait is the only blocking the render thread
// does: it takes no lock and allocates and frees nothing. A missing or late
// answer yields silence for the cycle and counts a missed cycle; while an
// answer is still outstanding no new cycle is handed over, and the cycle's
// events wait for the next one.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "audiounit/RenderContract.hpp"
#include "audiounit/remote/RemoteUnitChannel.hpp"
#include "foundation/NSError.hpp"

namespace audiounit::remote {

class ServiceConnection;

class RemoteRenderCycle {
public:
    // Cycles go to the service at the other end of `connection`, which
    // outlives this.
    explicit RemoteRenderCycle(ServiceConnection& connection) : connection_(connection) {}

    // Makes the shared memory for cycles of up to `maximumFrames` and
    // everything else the render thread uses, hands the memory to the service
    // and installs it. Not on the render thread, and never while rendering.
    bool allocate(AUAudioFrameCount maximumFrames, std::uint32_t inputChannels, std::uint32_t outputChannels,
                  double sampleRate, foundation::NSError* outError);
    // Tells the service and releases the memory. Not on the render thread,
    // and never while rendering.
    void deallocate();

    // One cycle, as an internal render block gets it; cycles above
    // `maximumFrames` (the unit's current maximum) are refused. Render
    // thread: no lock, no allocation; the one wait is for the service's
    // answer (a short spin, then a futex wait), bounded by the deadline.
    OSStatus render(AUAudioFrameCount maximumFrames, AudioUnitRenderActionFlags* actionFlags,
                    const AudioTimeStamp* timestamp, AUAudioFrameCount frameCount, NSInteger outputBusNumber,
                    AudioBufferList* outputData, const AURenderEvent* events,
                    const AURenderPullInputBlock* pullInputBlock) noexcept;

    // Connection thread: a cycle handed over longer ago than `hangTimeout`
    // and still unanswered in the shared memory means a hung service.
    [[nodiscard]] bool hung(std::chrono::nanoseconds hangTimeout);

    // How long the render thread waits for the service (see
    // AUAudioUnitProxy::setRenderDeadline). Set while not allocated.
    void setDeadline(std::chrono::nanoseconds deadline) noexcept { renderDeadline_ = deadline; }

    // Any thread.
    [[nodiscard]] std::uint64_t missedCycleCount() const noexcept {
        return missedCycles_.load(std::memory_order_relaxed);
    }
    [[nodiscard]] std::uint64_t droppedEventCount() const noexcept {
        return droppedEvents_.load(std::memory_order_relaxed);
    }

private:
    static void silence(AudioBufferList* outputData, AUAudioFrameCount frameCount) noexcept;
    void countMissedCycle() noexcept { missedCycles_.fetch_add(1, std::memory_order_relaxed); }

    ServiceConnection& connection_;

    // Made by allocate, read by the render thread, released by deallocate
    // (never while rendering). mutex_ guards it against the connection
    // thread's hang check, never against the render thread.
    std::mutex mutex_;
    SharedMemory memory_;
    CycleArea area_;
    std::uint32_t sequence_ = 0;
    std::int64_t deadlineNanoseconds_ = 0;
    std::chrono::nanoseconds renderDeadline_{0};
    std::vector<float> privateOutput_;  // for output buffers that come without memory
    AudioBufferListStorage pullList_;
    std::vector<AURenderEvent> carriedEvents_;  // events of cycles the service was too busy to take
    std::size_t carriedEventCount_ = 0;
    std::atomic<std::int64_t> pendingSince_{0};  // when the outstanding cycle was handed over; 0: none
    std::atomic<std::uint64_t> missedCycles_{0};
    std::atomic<std::uint64_t> droppedEvents_{0};
};

}  // namespace audiounit::remote
