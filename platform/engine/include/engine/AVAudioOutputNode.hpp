#pragma once
// The engine's output: the node whose input is rendered to the hardware (JACK),
// to a silent clock, or into the caller's buffers in offline mode. Its output
// side is the hardware: outputFormatForBus(0) is the hardware format.

#include <memory>

#include "engine/AVAudioNode.hpp"

namespace engine {

class AVAudioOutputNode final : public AVAudioNode {
public:
    AVAudioOutputNode() = default;
    [[nodiscard]] AVAudioNodeBus numberOfInputs() const noexcept override { return 1; }
    [[nodiscard]] AVAudioNodeBus numberOfOutputs() const noexcept override { return 0; }
    // Bus 0: the hardware format of the engine's output (null when detached).
    [[nodiscard]] AVAudioFormatPtr outputFormatForBus(AVAudioNodeBus bus) const override;

protected:
    bool prepareForRender(const AVAudioNodeRenderSetup& setup, foundation::NSError* outError) override;
    OSStatus render(const AudioTimeStamp& timestamp, AUAudioFrameCount frames,
                    AudioBufferList& output) noexcept override;

private:
    AVAudioNode* source_ = nullptr;
};

using AVAudioOutputNodePtr = std::shared_ptr<AVAudioOutputNode>;

}  // namespace engine
