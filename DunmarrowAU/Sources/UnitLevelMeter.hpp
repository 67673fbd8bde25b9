#pragma once
// Peak levels around the hosted unit: the largest magnitude the unit pulled as
// input and the largest it rendered as output since the last reset. The engine
// wraps the unit's render block with `meteredRenderBlock`; the headless mode
// prints the two peaks.

#include <atomic>
#include <memory>

#include "audiounit/RenderContract.hpp"

class UnitLevelMeter {
public:
    // Any thread.
    [[nodiscard]] float inputPeak() const noexcept { return inputPeak_.load(std::memory_order_relaxed); }
    [[nodiscard]] float outputPeak() const noexcept { return outputPeak_.load(std::memory_order_relaxed); }
    void reset() noexcept {
        inputPeak_.store(0.0f, std::memory_order_relaxed);
        outputPeak_.store(0.0f, std::memory_order_relaxed);
    }

    // Render thread: raise a peak to the largest magnitude in the buffers.
    void measureInput(const audiounit::AudioBufferList& list, audiounit::AUAudioFrameCount frames) noexcept {
        raise(inputPeak_, list, frames);
    }
    void measureOutput(const audiounit::AudioBufferList& list, audiounit::AUAudioFrameCount frames) noexcept {
        raise(outputPeak_, list, frames);
    }

private:
    static void raise(std::atomic<float>& peak, const audiounit::AudioBufferList& list,
                      audiounit::AUAudioFrameCount frames) noexcept;

    // Only the render thread raises them; relaxed is enough for a display value.
    std::atomic<float> inputPeak_{0.0f};
    std::atomic<float> outputPeak_{0.0f};
};

// A render block that calls `inner` and measures what it pulls and what it
// renders into `meter`. Made on the main thread; the block itself neither locks
// nor allocates.
[[nodiscard]] audiounit::AURenderBlock meteredRenderBlock(audiounit::AURenderBlock inner,
                                                          std::shared_ptr<UnitLevelMeter> meter);
