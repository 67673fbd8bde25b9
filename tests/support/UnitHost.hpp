#pragma once
// A host rendering an audio unit through its render block at 44.1 kHz, its input pulled from `input`.

#include <algorithm>
#include <cmath>

#include "audiounit/AUAudioUnit.hpp"
#include "audiounit/AVAudioPCMBuffer.hpp"

namespace testsupport {

struct UnitHost {
    static constexpr audiounit::AUAudioFrameCount kCapacity = 8192;
    explicit UnitHost(audiounit::AVAudioChannelCount channels = 2)
        : input(audiounit::AVAudioPCMBuffer::make(audiounit::AVAudioFormat::makeStandard(44100, channels), kCapacity)),
          output(audiounit::AVAudioPCMBuffer::make(audiounit::AVAudioFormat::makeStandard(44100, channels), kCapacity)) {}

    audiounit::AVAudioPCMBufferPtr input;
    audiounit::AVAudioPCMBufferPtr output;
    int pulls = 0;
    // Render thread: copies the input's first frames, allocates nothing.
    audiounit::AURenderPullInputBlock pull = [this](audiounit::AudioUnitRenderActionFlags*,
                                                    const audiounit::AudioTimeStamp*, audiounit::AUAudioFrameCount frames,
                                                    audiounit::NSInteger, audiounit::AudioBufferList* data) {
        ++pulls;
        const auto buffers = data->buffers();
        for (std::size_t c = 0; c < buffers.size() && c < input->floatChannelData().size(); ++c)
            std::copy_n(input->floatChannelData()[c], frames, static_cast<float*>(buffers[c].mData));
        return audiounit::noErr;
    };

    // Channel c at a slightly different frequency.
    void fillSine(float amplitude) {
        for (std::size_t c = 0; c < input->floatChannelData().size(); ++c)
            for (audiounit::AUAudioFrameCount i = 0; i < kCapacity; ++i)
                input->floatChannelData()[c][i] = amplitude * std::sin(0.05f * float(c + 1) * float(i));
    }

    audiounit::OSStatus render(audiounit::AUAudioUnit& unit, double sampleTime, audiounit::AUAudioFrameCount frames) {
        output->setFrameLength(std::min(frames, kCapacity));
        audiounit::AudioTimeStamp time{.mSampleTime = sampleTime};
        audiounit::AudioUnitRenderActionFlags flags = 0;
        return unit.renderBlock()(&flags, &time, frames, 0, output->mutableAudioBufferList(), &pull);
    }
    float out(std::size_t channel, std::size_t frame) const { return output->floatChannelData()[channel][frame]; }
};

}  // namespace testsupport
