#pragma once
// One LV2 instance of the effect: it hosts the effect's own audio unit (made by
// the factory's steps, so the parameter tree, presets and callbacks are the
// real ones) and renders through the unit's render block. The pull-input
// callback hands the unit the LV2 input ports; the output list points at the
// output ports. Control ports reach the unit as parameter events at the frame
// where the block starts; the enabled port drives shouldBypassEffect; the level
// outputs carry the unit's inputLevel and outputLevel.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "DunmarrowAUExtensionAudioUnit.hpp"
#include "DunmarrowLV2Ports.hpp"
#include "audiounit/RenderContract.hpp"

namespace dunmarrow_lv2 {

class DunmarrowLV2Plugin {
public:
    // Host's instantiation thread. Null when the unit cannot be made or the
    // bus formats refuse the rate or channel count. maximumBlockLength is the
    // host's bufsz:maxBlockLength when given (0: not given).
    static std::unique_ptr<DunmarrowLV2Plugin> create(double sampleRate, std::uint32_t channelCount,
                                                      std::uint32_t maximumBlockLength);

    // Any non-render thread, or the render thread between run() calls, as LV2 allows.
    void connectPort(std::uint32_t port, void* data) noexcept;
    // Host's instantiation-class thread. Pushes the connected control ports'
    // values into the unit (so they apply from the first sample, as the
    // kernel's smoothing snaps to its targets on allocation) and allocates
    // render resources. False when allocation fails.
    bool activate();
    void deactivate();
    // Render thread (the host's audio thread): takes no lock, allocates
    // nothing, blocks on nothing. Any sample count works: blocks above the
    // unit's maximum are split.
    void run(std::uint32_t sampleCount) noexcept;

    [[nodiscard]] DunmarrowAUExtensionAudioUnit& audioUnit() const noexcept { return *unit_; }
    [[nodiscard]] std::uint32_t maximumFramesPerRender() const noexcept { return maximumFrames_; }
    [[nodiscard]] bool isActive() const noexcept { return active_; }

    DunmarrowLV2Plugin(std::shared_ptr<DunmarrowAUExtensionAudioUnit> unit, std::uint32_t channelCount,
                       std::uint32_t maximumFrames);

private:
    // Render thread. Schedules an event for every control port whose value
    // changed since the last block, and sets bypass.
    void forwardControls() noexcept;
    // Render thread. Fills the pull buffers with the input ports from inputOffset_.
    audiounit::OSStatus pullInput(audiounit::AUAudioFrameCount frameCount,
                                  audiounit::AudioBufferList* inputData) noexcept;

    std::shared_ptr<DunmarrowAUExtensionAudioUnit> unit_;
    AudioPortLayout layout_;
    std::uint32_t maximumFrames_;
    bool active_ = false;

    std::array<const float*, kDunmarrowParameterCount> controlPorts_{};
    std::array<audiounit::AUParameterAddress, kDunmarrowParameterCount> addresses_{};
    std::array<float, kDunmarrowParameterCount> minima_{}, maxima_{};
    // The last value sent to the unit per control port; NaN: none yet.
    std::array<float, kDunmarrowParameterCount> sent_{};
    const float* enabledPort_ = nullptr;
    float* inputLevelPort_ = nullptr;
    float* outputLevelPort_ = nullptr;
    std::array<const float*, 2> audioInputs_{};
    std::array<float*, 2> audioOutputs_{};

    // Built once, so that run() neither allocates nor copies a callback.
    audiounit::AURenderPullInputBlock pullInputBlock_;
    audiounit::AudioBufferListStorage outputList_;
    std::uint32_t inputOffset_ = 0;
    double sampleTime_ = 0;
};

}  // namespace dunmarrow_lv2
