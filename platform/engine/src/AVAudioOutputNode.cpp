#include "engine/AVAudioOutputNode.hpp"

#include "engine/AVAudioEngine.hpp"

namespace engine {

AVAudioFormatPtr AVAudioOutputNode::outputFormatForBus(AVAudioNodeBus bus) const {
    if (bus != 0 || engine() == nullptr) return nullptr;
    return engine()->outputHardwareFormat();
}

bool AVAudioOutputNode::prepareForRender(const AVAudioNodeRenderSetup& setup, foundation::NSError*) {
    source_ = setup.inputs.empty() ? nullptr : setup.inputs.front().source;
    return true;
}

OSStatus AVAudioOutputNode::render(const AudioTimeStamp& timestamp, AUAudioFrameCount frames,
                                   AudioBufferList& output) noexcept {
    if (source_ == nullptr) {
        fillSilence(output, frames);
        return audiounit::noErr;
    }
    return renderNode(*source_, timestamp, frames, output);
}

}  // namespace engine
