#include "engine/AVAudioUnit.hpp"

#include "audiounit/AVAudioPCMBuffer.hpp"

namespace engine {
namespace {

bool sameFormat(const AVAudioFormatPtr& a, const AVAudioFormatPtr& b) {
    if (!a || !b) return !a && !b;
    return *a == *b;
}

}  // namespace

AVAudioUnit::AVAudioUnit(AVAudioUnitInterface unitInterface) : interface_(std::move(unitInterface)) {
    // Built once, here: calling it on the render thread copies nothing.
    pullInput_ = [this](audiounit::AudioUnitRenderActionFlags*, const AudioTimeStamp* timestamp,
                        AUAudioFrameCount frames, audiounit::NSInteger, AudioBufferList* inputData) -> OSStatus {
        if (inputSource_ == nullptr) return audiounit::kAudioUnitErr_NoConnection;
        if (timestamp == nullptr || inputData == nullptr || frames > maximumFrames_) {
            return audiounit::kAudioUnitErr_InvalidParameter;
        }
        const auto scratch = inputScratch_->floatChannelData();
        for (std::size_t c = 0; c < inputData->mNumberBuffers; ++c) {
            audiounit::AudioBuffer& b = inputData->buffers()[c];
            if (b.mData == nullptr) {
                if (c >= scratch.size()) return audiounit::kAudioUnitErr_InvalidParameter;
                b.mData = scratch[c];
                b.mDataByteSize = frames * 4u;
            }
        }
        return renderNode(*inputSource_, *timestamp, frames, *inputData);
    };
}

AVAudioUnit::~AVAudioUnit() { releaseRenderResources(); }

bool AVAudioUnit::prepareForRender(const AVAudioNodeRenderSetup& setup, foundation::NSError* outError) {
    const AVAudioNodeInput input = setup.inputs.empty() ? AVAudioNodeInput{} : setup.inputs.front();
    inputSource_ = input.source;
    const AVAudioFormatPtr inFormat = input.source != nullptr ? input.format : nullptr;
    // A unit whose output is not connected is not rendered; it keeps what it has.
    if (!setup.outputFormat) return true;
    if (allocated_ && sameFormat(inFormat, inputFormat_) && sameFormat(setup.outputFormat, outputFormat_) &&
        setup.maximumFramesToRender == maximumFrames_) {
        return true;
    }
    releaseRenderResources();
    if (!interface_.setBusFormats || !interface_.setMaximumFramesToRender || !interface_.allocateRenderResources ||
        !interface_.renderBlock) {
        if (outError != nullptr) {
            *outError = foundation::makeOSStatusError(audiounit::kAudioUnitErr_FailedInitialization,
                                                      "The audio unit node has no unit to drive.");
        }
        return false;
    }
    if (!interface_.setBusFormats(inFormat, setup.outputFormat, outError)) return false;
    interface_.setMaximumFramesToRender(setup.maximumFramesToRender);
    const auto scratchFormat = inFormat ? inFormat : setup.outputFormat;
    inputScratch_ = audiounit::AVAudioPCMBuffer::make(scratchFormat, setup.maximumFramesToRender);
    if (!inputScratch_) {
        if (outError != nullptr) {
            *outError = foundation::makeOSStatusError(audiounit::kAudioUnitErr_FormatNotSupported,
                                                      "No buffer for the unit's input format.");
        }
        return false;
    }
    if (!interface_.allocateRenderResources(outError)) return false;
    renderBlock_ = interface_.renderBlock();
    inputFormat_ = inFormat;
    outputFormat_ = setup.outputFormat;
    maximumFrames_ = setup.maximumFramesToRender;
    allocated_ = true;
    return true;
}

void AVAudioUnit::releaseRenderResources() {
    if (!allocated_) return;
    allocated_ = false;
    renderBlock_ = nullptr;
    if (interface_.deallocateRenderResources) interface_.deallocateRenderResources();
}

OSStatus AVAudioUnit::render(const AudioTimeStamp& timestamp, AUAudioFrameCount frames,
                             AudioBufferList& output) noexcept {
    if (!allocated_ || !renderBlock_) {
        fillSilence(output, frames);
        return audiounit::kAudioUnitErr_Uninitialized;
    }
    for (audiounit::AudioBuffer& b : output.buffers()) b.mDataByteSize = frames * 4u;
    audiounit::AudioUnitRenderActionFlags flags = 0;
    const OSStatus status =
        renderBlock_(&flags, &timestamp, frames, 0, &output, inputSource_ != nullptr ? &pullInput_ : nullptr);
    lastStatus_.store(status, std::memory_order_relaxed);
    if (status != audiounit::noErr) fillSilence(output, frames);
    return status;
}

}  // namespace engine
