#pragma once
// The main mixer: sums every connected input into its output format.
//
// Each input is converted on its own to the output's sample rate (libsoxr, high
// quality, one resampler per input created and primed on the main thread) and
// then mapped to the output's channels: an input with fewer channels than the
// output wraps round (mono feeds both sides of a stereo output, stereo feeds
// 1-2-1-2 on four channels); an input with more channels keeps its first ones
// and drops the rest. The sum is scaled by outputVolume.

#include <atomic>
#include <memory>
#include <vector>

#include "engine/AVAudioNode.hpp"

namespace engine {

class AVAudioMixerNode final : public AVAudioNode {
public:
    static constexpr AVAudioNodeBus kMaximumInputs = 64;

    AVAudioMixerNode();
    ~AVAudioMixerNode() override;

    [[nodiscard]] AVAudioNodeBus numberOfInputs() const noexcept override { return kMaximumInputs; }
    // The lowest input bus with no connection (kMaximumInputs when all are taken). Main thread.
    [[nodiscard]] AVAudioNodeBus nextAvailableInputBus() const;

    [[nodiscard]] float outputVolume() const noexcept { return volume_.load(std::memory_order_relaxed); }
    void setOutputVolume(float volume) noexcept { volume_.store(volume, std::memory_order_relaxed); }

    // Frames of delay the sample-rate conversion of an input bus adds (0 at equal rates).
    [[nodiscard]] double conversionLatencyFrames(AVAudioNodeBus bus) const;

protected:
    bool prepareForRender(const AVAudioNodeRenderSetup& setup, foundation::NSError* outError) override;
    void releaseRenderResources() override;
    OSStatus render(const AudioTimeStamp& timestamp, AUAudioFrameCount frames,
                    AudioBufferList& output) noexcept override;

private:
    struct InputStage;

    std::vector<std::unique_ptr<InputStage>> stages_;
    std::atomic<float> volume_{1.0f};
};

using AVAudioMixerNodePtr = std::shared_ptr<AVAudioMixerNode>;

}  // namespace engine
