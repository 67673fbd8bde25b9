#pragma once
// One LV2 instance of the effect: it hosts the effect's own audio unit (made by
// the factory's steps, so the parameter tree, presets and callbacks are the
// real ones) and renders through the unit's render block. The pull-input
// callback hands the unit the LV2 input ports; the output list points at the
// output ports. Control ports reach the unit as parameter events at the frame
// where the block starts; the level outputs carry the unit's inputLevel and
// outputLevel (the peak over the host's block).
//
// The kernel smooths a change by the length of each render call, so while a
// change settles the block is rendered in short calls on a fixed grid of
// kSubBlockFrames: automation then sounds the same at every host block size.
// With settings that do not move, the block goes to the unit whole, as before.
// The enabled port crossfades between the processed and the dry signal; once
// bypassed, the unit's own bypass copies the input unchanged.

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
    // The length of the render calls while a change settles or a bypass fades.
    // A host block cut off inside a sub-block holds the smoothing up to one
    // sub-block behind where 64-frame host blocks would have it; at 16 frames
    // that stays near 1 % of the change (1.4 % at 44.1 kHz), and host blocks
    // of any multiple of 16 frames render exactly alike.
    static constexpr std::uint32_t kSubBlockFrames = 16;
    // How long a change counts as settling: twenty of the kernel's 25 ms time
    // constants, after which the smoothed value is at its target within float
    // resolution.
    static constexpr double kSettlingSeconds = 0.5;
    // The length of the crossfade between processed and dry signal.
    static constexpr double kBypassFadeSeconds = 0.015;

    // Host's instantiation thread. Null when the unit cannot be made or the
    // bus formats refuse the rate or channel count. maximumBlockLength is the
    // host's bufsz:maxBlockLength when given (0: not given).
    static std::unique_ptr<DunmarrowLV2Plugin> create(double sampleRate, std::uint32_t channelCount,
                                                      std::uint32_t maximumBlockLength);

    // Any non-render thread, or the render thread between run() calls, as LV2 allows.
    void connectPort(std::uint32_t port, void* data) noexcept;
    // Host's instantiation-class thread. Pushes the connected control ports'
    // values into the unit and allocates render resources. False when
    // allocation fails. The values in the ports at the first run() count as
    // the starting settings too: LV2 lets a host connect ports after activate.
    bool activate();
    void deactivate();
    // Render thread (the host's audio thread): takes no lock, allocates
    // nothing, blocks on nothing. Any sample count works: blocks above the
    // unit's maximum are split.
    void run(std::uint32_t sampleCount) noexcept;

    [[nodiscard]] DunmarrowAUExtensionAudioUnit& audioUnit() const noexcept { return *unit_; }
    [[nodiscard]] std::uint32_t maximumFramesPerRender() const noexcept { return maximumFrames_; }
    [[nodiscard]] bool isActive() const noexcept { return active_; }
    [[nodiscard]] const PortLayout& layout() const noexcept { return layout_; }

    DunmarrowLV2Plugin(std::shared_ptr<DunmarrowAUExtensionAudioUnit> unit, std::uint32_t channelCount,
                       std::uint32_t maximumFrames);

private:
    // Render thread. Schedules an event for every control port whose value
    // changed since the last block and follows the enabled port.
    void forwardControls() noexcept;
    // Render thread, first run() after activate(): the ports' values become the
    // kernel's targets and its smoothing snaps to them, as at activate().
    void takeStartingSettings() noexcept;
    // Render thread. The enabled port's wish; nothing while it holds NaN.
    [[nodiscard]] std::optional<bool> enabledPortValue() const noexcept;
    // Render thread. Renders frames [offset, offset + frames) of the ports in
    // one unit call, mixing with the dry input while a bypass fades. False
    // when the unit refuses.
    bool renderChunk(std::uint32_t offset, std::uint32_t frames, float& inputPeak, float& outputPeak) noexcept;
    // Render thread. Fills the pull buffers with the input ports from inputOffset_.
    audiounit::OSStatus pullInput(audiounit::AUAudioFrameCount frameCount,
                                  audiounit::AudioBufferList* inputData) noexcept;

    std::shared_ptr<DunmarrowAUExtensionAudioUnit> unit_;
    PortLayout layout_;
    std::uint32_t maximumFrames_;
    bool active_ = false;
    bool startingSettingsTaken_ = false;

    std::array<const float*, dunmarrow_dsp::kParameterCount> controlPorts_{};
    std::array<audiounit::AUParameterAddress, dunmarrow_dsp::kParameterCount> addresses_{};
    std::array<float, dunmarrow_dsp::kParameterCount> minima_{}, maxima_{};
    // The last value sent to the unit per control port; NaN: none yet.
    std::array<float, dunmarrow_dsp::kParameterCount> sent_{};
    const float* enabledPort_ = nullptr;
    float* inputLevelPort_ = nullptr;
    float* outputLevelPort_ = nullptr;
    std::array<const float*, 2> audioInputs_{};
    std::array<float*, 2> audioOutputs_{};

    // Frames of processed audio until the last change has settled.
    std::uint64_t settlingFramesLeft_ = 0;
    std::uint64_t settlingFrames_ = 0;
    // The processed signal's share of the output: 1 enabled, 0 bypassed; it
    // moves by fadeStep_ per frame towards where the enabled port points.
    bool enabled_ = true;
    float wet_ = 1.0f;
    float fadeStep_ = 1.0f;
    // The dry input of one chunk while a bypass fades (the output may be the
    // input's own memory).
    std::array<std::array<float, kSubBlockFrames>, 2> dry_{};

    // Built once, so that run() neither allocates nor copies a callback.
    audiounit::AURenderPullInputBlock pullInputBlock_;
    audiounit::AudioBufferListStorage outputList_;
    std::uint32_t inputOffset_ = 0;
    double sampleTime_ = 0;
};

}  // namespace dunmarrow_lv2
