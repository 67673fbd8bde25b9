#include "engine/AVAudioNode.hpp"

#include <algorithm>

#include "engine/AVAudioEngine.hpp"

namespace engine {

AVAudioFormatPtr AVAudioNode::inputFormatForBus(AVAudioNodeBus bus) const {
    if (engine_ == nullptr) return nullptr;
    auto point = engine_->inputConnectionPoint(*this, bus);
    return point ? point->format : nullptr;
}

AVAudioFormatPtr AVAudioNode::outputFormatForBus(AVAudioNodeBus bus) const {
    if (engine_ == nullptr) return nullptr;
    auto point = engine_->outputConnectionPoint(*this, bus);
    return point ? point->format : nullptr;
}

void AVAudioNode::fillSilence(AudioBufferList& output, AUAudioFrameCount frames) noexcept {
    for (audiounit::AudioBuffer& b : output.buffers()) {
        if (b.mData != nullptr) std::fill_n(static_cast<float*>(b.mData), frames, 0.0f);
    }
}

}  // namespace engine
