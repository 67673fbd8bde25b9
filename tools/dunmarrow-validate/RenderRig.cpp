#include "RenderRig.hpp"

#include <algorithm>
#include <cmath>
#include <random>
#include <thread>

#include "foundation/ThreadContract.hpp"

namespace validator {

using namespace audiounit;

RenderRig::RenderRig(AUAudioUnit& unit, AUAudioChannelCount inputChannels, AUAudioChannelCount outputChannels,
                     AUAudioFrameCount maximumFrames, std::uint64_t totalFrames, std::uint32_t seed)
    : unit_(unit),
      maximumFrames_(maximumFrames),
      noise_(std::max<AUAudioChannelCount>(inputChannels, 1)),
      output_(outputChannels),
      outputList_(outputChannels) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> sample(-0.5f, 0.5f);
    for (auto& channel : noise_) {
        channel.resize(totalFrames + maximumFrames);
        for (auto& value : channel) value = sample(generator);
    }
    for (auto& channel : output_) channel.assign(maximumFrames, 0.0f);
    pullMemory_.assign(noise_.size(), std::vector<float>(maximumFrames, 0.0f));
    inputChannels_ = inputChannels;
    pull_ = [this](AudioUnitRenderActionFlags*, const AudioTimeStamp*, AUAudioFrameCount frames, NSInteger,
                   AudioBufferList* inputData) -> OSStatus { return pullInput(frames, inputData); };
}

bool RenderRig::render(AUAudioFrameCount cycleSize, bool inPlace, std::uint64_t totalFrames, bool expectInputUnchanged,
                       const std::function<void(AUEventSampleTime)>& beforeCycle, RenderFault& fault) noexcept {
    inPlace_ = inPlace;
    for (std::uint64_t done = 0; done < totalFrames;) {
        const auto frames = static_cast<AUAudioFrameCount>(std::min<std::uint64_t>(cycleSize, totalFrames - done));
        if (beforeCycle) beforeCycle(static_cast<AUEventSampleTime>(sampleTime_));
        const OSStatus status = renderCycle(frames);
        fault.cycleSize = cycleSize;
        fault.inPlace = inPlace;
        if (status != noErr) {
            fault.kind = RenderFault::Kind::Status;
            fault.status = status;
            return false;
        }
        if (!checkOutput(frames, expectInputUnchanged, fault)) return false;
        done += frames;
        sampleTime_ += frames;
        position_ += frames;
        if (position_ + maximumFrames_ > noise_[0].size()) position_ = 0;
    }
    return true;
}

OSStatus RenderRig::renderCycle(AUAudioFrameCount frames) noexcept {
    const auto buffers = outputList_->buffers();
    for (std::size_t c = 0; c < buffers.size(); ++c)
        buffers[c] = AudioBuffer{1, frames * static_cast<std::uint32_t>(sizeof(float)),
                                 inPlace_ ? nullptr : output_[c].data()};
    AudioUnitRenderActionFlags flags = 0;
    AudioTimeStamp timestamp{};
    timestamp.mSampleTime = static_cast<double>(sampleTime_);
    return unit_.renderBlock()(&flags, &timestamp, frames, 0, outputList_.get(), &pull_);
}

OSStatus RenderRig::pullInput(AUAudioFrameCount frames, AudioBufferList* inputData) noexcept {
    if (inputData == nullptr || frames > maximumFrames_) return kAudioUnitErr_InvalidParameter;
    const auto buffers = inputData->buffers();
    for (std::size_t c = 0; c < buffers.size(); ++c) {
        const auto& source = noise_[std::min(c, noise_.size() - 1)];
        // A list without memory of its own gets the rig's.
        if (buffers[c].mData == nullptr) buffers[c].mData = pullMemory_[std::min(c, pullMemory_.size() - 1)].data();
        std::copy_n(source.data() + position_, frames, static_cast<float*>(buffers[c].mData));
        buffers[c].mDataByteSize = frames * static_cast<std::uint32_t>(sizeof(float));
    }
    return noErr;
}

bool RenderRig::checkOutput(AUAudioFrameCount frames, bool expectInputUnchanged, RenderFault& fault) const noexcept {
    const auto buffers = outputList_->buffers();
    for (std::uint32_t c = 0; c < buffers.size(); ++c) {
        const auto* samples = static_cast<const float*>(buffers[c].mData);
        if (samples == nullptr) {
            fault.kind = RenderFault::Kind::NoBuffer;
            return false;
        }
        const auto& input = noise_[std::min<std::size_t>(c, noise_.size() - 1)];
        for (AUAudioFrameCount i = 0; i < frames; ++i) {
            const float value = samples[i];
            auto kind = RenderFault::Kind::None;
            switch (std::fpclassify(value)) {
                case FP_NAN: kind = RenderFault::Kind::NaN; break;
                case FP_INFINITE: kind = RenderFault::Kind::Infinity; break;
                case FP_SUBNORMAL: kind = RenderFault::Kind::Subnormal; break;
                default: break;
            }
            if (kind == RenderFault::Kind::None && expectInputUnchanged && c < inputChannels_ &&
                value != input[position_ + i])
                kind = RenderFault::Kind::Changed;
            if (kind != RenderFault::Kind::None) {
                fault.kind = kind;
                fault.frame = sampleTime_ + i;
                fault.channel = c;
                fault.value = value;
                fault.expected = input[position_ + i];
                return false;
            }
        }
    }
    return true;
}

rtcheck::AllocationCounts onRenderThread(const std::function<void()>& work) {
    rtcheck::AllocationCounts counts;
    std::thread renderThread([&] {
        const foundation::RenderThreadScope rendering;
        rtcheck::ScopedAllocationCounter counter;
        work();
        counts = counter.stop();
    });
    renderThread.join();
    return counts;
}

}  // namespace validator
