#pragma once
// Input pulled and output written cycle by cycle, as a host's file loop drives a render callback.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "audiounit/RenderContract.hpp"

namespace testsupport {

using Channels = std::vector<std::vector<float>>;

struct CycleBuffers {
    explicit CycleBuffers(const Channels& in)
        : input(in), output(in.size(), std::vector<float>(in[0].size())), outputList(std::uint32_t(in.size())) {}

    // The output list pointed at the next `frames` frames, and the cycle's time stamp.
    audiounit::AudioBufferList* nextOutput(std::uint32_t frames, audiounit::AudioTimeStamp& time) {
        for (std::uint32_t c = 0; c < input.size(); ++c)
            outputList->buffers()[c] = audiounit::AudioBuffer{1, frames * 4, output[c].data() + position};
        time = audiounit::AudioTimeStamp{.mSampleTime = double(position)};
        return outputList.get();
    }

    const Channels& input;
    Channels output;
    audiounit::AudioBufferListStorage outputList;
    std::uint32_t position = 0;
    // Render thread: copies the cycle's frames, allocates nothing.
    audiounit::AURenderPullInputBlock pull = [this](auto, auto, std::uint32_t frames, auto,
                                                    audiounit::AudioBufferList* list) {
        for (std::uint32_t c = 0; c < list->mNumberBuffers; ++c)
            std::copy_n(input[c].data() + position, frames, static_cast<float*>(list->buffers()[c].mData));
        return audiounit::noErr;
    };
};

}  // namespace testsupport
