#pragma once
// Input channels handed to a render callback cycle by cycle through a
// pull-input callback, and output channels of the host's own: what tests that
// drive a render callback the way a host's file loop does share.

#include <cstdint>
#include <cstring>
#include <vector>

#include "audiounit/RenderContract.hpp"

namespace testsupport {

using Channels = std::vector<std::vector<float>>;

struct CycleBuffers {
    const Channels& input;
    Channels output;
    audiounit::AudioBufferListStorage outputList;
    std::uint32_t position = 0;
    audiounit::AURenderPullInputBlock pull;

    explicit CycleBuffers(const Channels& in)
        : input(in), output(in.size(), std::vector<float>(in[0].size())), outputList(static_cast<std::uint32_t>(in.size())) {
        // The render thread: copies the cycle's frames, allocates nothing.
        pull = [this](audiounit::AudioUnitRenderActionFlags*, const audiounit::AudioTimeStamp*,
                      audiounit::AUAudioFrameCount frames, audiounit::NSInteger,
                      audiounit::AudioBufferList* list) -> audiounit::OSStatus {
            for (std::uint32_t c = 0; c < list->mNumberBuffers; ++c)
                std::memcpy(list->buffers()[c].mData, input[c].data() + position, frames * sizeof(float));
            return audiounit::noErr;
        };
    }

    // The output list pointed at the next `frames` frames, and the cycle's time stamp.
    audiounit::AudioBufferList* nextOutput(std::uint32_t frames, audiounit::AudioTimeStamp& time) {
        for (std::uint32_t c = 0; c < input.size(); ++c)
            outputList->buffers()[c] = audiounit::AudioBuffer{1, frames * 4, output[c].data() + position};
        time = audiounit::AudioTimeStamp{};
        time.mSampleTime = position;
        time.mFlags = audiounit::kAudioTimeStampSampleTimeValid;
        return outputList.get();
    }
};

}  // namespace testsupport
