#pragma once
// The validator's host for render checks: noise input, its own output
// buffers and the pull-input callback, all made before rendering starts. It
// drives the unit's render block cycle by cycle and checks every output
// sample, recording the first fault without allocating.

#include <cstdint>
#include <functional>
#include <vector>

#include "AllocationCounter.hpp"
#include "audiounit/AUAudioUnit.hpp"

namespace validator {

// What went wrong in a render run, recorded on the render thread and
// described by the validator afterwards.
struct RenderFault {
    enum class Kind { None, Status, NaN, Infinity, Subnormal, Changed, NoBuffer } kind = Kind::None;
    audiounit::OSStatus status = audiounit::noErr;
    audiounit::AUAudioFrameCount cycleSize = 0;
    bool inPlace = false;
    std::uint64_t frame = 0;
    std::uint32_t channel = 0;
    float value = 0;
    float expected = 0;
};

class RenderRig {
public:
    // Noise for `totalFrames` (and one maximum cycle more) from `seed`, on
    // max(inputChannels, 1) channels; outputs for `outputChannels`.
    RenderRig(audiounit::AUAudioUnit& unit, audiounit::AUAudioChannelCount inputChannels,
              audiounit::AUAudioChannelCount outputChannels, audiounit::AUAudioFrameCount maximumFrames,
              std::uint64_t totalFrames, std::uint32_t seed);
    RenderRig(const RenderRig&) = delete;
    RenderRig& operator=(const RenderRig&) = delete;

    // Render thread. Renders `totalFrames` in cycles of `cycleSize`, checking
    // every output sample (for the input itself when `expectInputUnchanged`);
    // false with the fault filled in at the first problem. `beforeCycle` (may
    // be empty) runs before each cycle with its start time.
    bool render(audiounit::AUAudioFrameCount cycleSize, bool inPlace, std::uint64_t totalFrames,
                bool expectInputUnchanged, const std::function<void(audiounit::AUEventSampleTime)>& beforeCycle,
                RenderFault& fault) noexcept;

    // Render thread. One cycle of `frames`: out of place into the rig's own
    // buffers, or in place, where null data pointers ask the unit to render
    // over its pulled input in memory of its own.
    audiounit::OSStatus renderCycle(audiounit::AUAudioFrameCount frames) noexcept;

    [[nodiscard]] std::uint64_t renderedFrames() const noexcept { return sampleTime_; }

private:
    audiounit::OSStatus pullInput(audiounit::AUAudioFrameCount frames, audiounit::AudioBufferList* inputData) noexcept;
    bool checkOutput(audiounit::AUAudioFrameCount frames, bool expectInputUnchanged, RenderFault& fault) const noexcept;

    audiounit::AUAudioUnit& unit_;
    audiounit::AUAudioFrameCount maximumFrames_;
    audiounit::AUAudioChannelCount inputChannels_ = 0;
    std::vector<std::vector<float>> noise_;
    std::vector<std::vector<float>> output_;
    std::vector<std::vector<float>> pullMemory_;
    audiounit::AudioBufferListStorage outputList_;
    audiounit::AURenderPullInputBlock pull_;
    bool inPlace_ = false;
    std::uint64_t sampleTime_ = 0;
    std::size_t position_ = 0;
};

// Runs `work` on a thread of its own, marked as a render thread, with
// allocation counting armed, the way a host's render thread would run it.
// Returns what was allocated and freed meanwhile.
rtcheck::AllocationCounts onRenderThread(const std::function<void()>& work);

}  // namespace validator
