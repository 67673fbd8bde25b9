#pragma once
// A minimal host for the effect's tests: makes the unit as the factory does,
// owns input and output buffers, and drives the unit's render block.

#include <cmath>
#include <vector>

#include "DunmarrowAUExtensionAudioUnit.hpp"
#include "ParameterDefinitions.hpp"
#include "audiounit/AVAudioPCMBuffer.hpp"

namespace effecttest {

using namespace audiounit;
using namespace dunmarrow_dsp;  // parameter addresses and the table
using Unit = DunmarrowAUExtensionAudioUnit;

// Construction, then the tree from the shared declaration, as the factory does.
inline std::shared_ptr<Unit> makeEffect() {
    foundation::NSError error;
    auto unit = AUAudioUnit::create<Unit>(Unit::kComponentDescription, kAudioComponentInstantiation_None, &error);
    if (unit) unit->setupParameterTree(createParameterTree(parameterTreeSpec()));
    return unit;
}

struct EffectHost {
    static constexpr AUAudioFrameCount kCapacity = 8192;
    explicit EffectHost(AVAudioChannelCount channels = 2)
        : input(AVAudioPCMBuffer::make(AVAudioFormat::makeStandard(44100, channels), kCapacity)),
          output(AVAudioPCMBuffer::make(AVAudioFormat::makeStandard(44100, channels), kCapacity)) {}

    AVAudioPCMBufferPtr input;
    AVAudioPCMBufferPtr output;
    int pulls = 0;
    AURenderPullInputBlock pull = [this](AudioUnitRenderActionFlags*, const AudioTimeStamp*, AUAudioFrameCount frames,
                                         NSInteger, AudioBufferList* data) -> OSStatus {
        ++pulls;
        const auto buffers = data->buffers();
        for (std::uint32_t c = 0; c < buffers.size() && c < input->floatChannelData().size(); ++c) {
            auto* dst = static_cast<float*>(buffers[c].mData);
            const float* src = input->floatChannelData()[c] + offset;
            for (AUAudioFrameCount i = 0; i < frames; ++i) dst[i] = src[i];
        }
        return noErr;
    };
    // Where in the input buffer the next pull reads.
    AUAudioFrameCount offset = 0;

    // Fills every input channel with a sine of the given amplitude (channel c
    // at a slightly different frequency).
    void fillSine(float amplitude) {
        for (std::size_t c = 0; c < input->floatChannelData().size(); ++c) {
            float* data = input->floatChannelData()[c];
            for (AUAudioFrameCount i = 0; i < kCapacity; ++i)
                data[i] = amplitude * std::sin(0.05f * static_cast<float>(c + 1) * static_cast<float>(i));
        }
    }

    OSStatus render(Unit& unit, double sampleTime, AUAudioFrameCount frames) {
        output->setFrameLength(std::min(frames, kCapacity));
        AudioTimeStamp ts{};
        ts.mSampleTime = sampleTime;
        AudioUnitRenderActionFlags flags = 0;
        return unit.renderBlock()(&flags, &ts, frames, 0, output->mutableAudioBufferList(), &pull);
    }
    float out(std::size_t channel, std::size_t frame) const { return output->floatChannelData()[channel][frame]; }
};

// Sets both busses to a channel count.
inline bool setChannels(Unit& unit, AVAudioChannelCount inputChannels, AVAudioChannelCount outputChannels) {
    return (*unit.inputBusses())[0]->setFormat(AVAudioFormat::makeStandard(44100, inputChannels)) &&
           (*unit.outputBusses())[0]->setFormat(AVAudioFormat::makeStandard(44100, outputChannels));
}

}  // namespace effecttest
