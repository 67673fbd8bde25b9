#pragma once
// The stereo 44.1 kHz base of the test-only units in bundles: a module fills build() and render() and names
// FakeUnitFactory<Unit> in its entry; its manifest is FakeUnitInfo.json.in.

#include <algorithm>
#include <memory>
#include <vector>

#include "audiounit/AUAudioUnit.hpp"
#include "audiounit/AUAudioUnitBusArray.hpp"
#include "audiounit/AUAudioUnitFactory.hpp"
#include "audiounit/AudioUnitModuleEntry.hpp"

namespace testsupport {

// The arguments of one call of the render block.
struct RenderCycle {
    audiounit::AudioUnitRenderActionFlags* flags;
    const audiounit::AudioTimeStamp* timestamp;
    audiounit::AUAudioFrameCount frames;
    audiounit::AudioBufferList* output;
    const audiounit::AURenderEvent* events;
    const audiounit::AURenderPullInputBlock* pull;
};

class FakeUnit : public audiounit::AUAudioUnit {
public:
    explicit FakeUnit(ConstructionKey key, bool takesInput = true) : AUAudioUnit(key), takesInput_(takesInput) {}

    audiounit::AUAudioUnitBusArrayPtr inputBusses() const override { return inputs_; }
    audiounit::AUAudioUnitBusArrayPtr outputBusses() const override { return outputs_; }

    bool allocateRenderResources(foundation::NSError* outError) override {
        const auto format = (*outputs_)[0]->format();
        const audiounit::AVAudioChannelCount channels = format ? format->channelCount() : 0;
        inputMemory_.assign(channels, std::vector<float>(maximumFramesToRender()));
        inputList_ = audiounit::AudioBufferListStorage(channels);
        return AUAudioUnit::allocateRenderResources(outError);
    }

    audiounit::AUInternalRenderBlock internalRenderBlock() final {
        return [this](audiounit::AudioUnitRenderActionFlags* flags, const audiounit::AudioTimeStamp* timestamp,
                      audiounit::AUAudioFrameCount frames, audiounit::NSInteger, audiounit::AudioBufferList* output,
                      const audiounit::AURenderEvent* events, const audiounit::AURenderPullInputBlock* pull) {
            return render(RenderCycle{flags, timestamp, frames, output, events, pull});
        };
    }

protected:
    // Once the busses exist, before the unit reaches its host: parameters, presets.
    virtual void build() {}

    // Render thread: must not lock, allocate or wait (unless that is the module's fault).
    virtual audiounit::OSStatus render(const RenderCycle& cycle) noexcept = 0;

    // Render thread: pulls the input into storage sized at allocation; output buffers without memory point at it.
    audiounit::OSStatus pullInput(const RenderCycle& cycle) noexcept {
        using namespace audiounit;
        if (cycle.frames > maximumFramesToRender()) return kAudioUnitErr_TooManyFramesToProcess;
        if (cycle.pull == nullptr || !*cycle.pull) return kAudioUnitErr_NoConnection;
        if (cycle.output == nullptr || cycle.timestamp == nullptr) return kAudioUnitErr_InvalidParameter;
        const auto in = inputList_->buffers();
        for (std::size_t c = 0; c < in.size(); ++c)
            in[c] = AudioBuffer{1, cycle.frames * static_cast<std::uint32_t>(sizeof(float)), inputMemory_[c].data()};
        if (const OSStatus status = (*cycle.pull)(cycle.flags, cycle.timestamp, cycle.frames, 0, inputList_.get());
            status != noErr)
            return status;
        const auto out = cycle.output->buffers();
        if (out.size() > in.size() || in.empty()) return kAudioUnitErr_InvalidParameter;
        for (std::size_t c = 0; c < out.size(); ++c)
            if (out[c].mData == nullptr) out[c] = in[c];
        return noErr;
    }

    // Render thread, after pullInput: every output channel is its input times `gain`.
    void writeInputTimes(const RenderCycle& cycle, float gain) noexcept {
        const auto in = inputList_->buffers(), out = cycle.output->buffers();
        for (std::size_t c = 0; c < out.size(); ++c) {
            const auto* source = static_cast<const float*>(in[c].mData);
            std::transform(source, source + cycle.frames, static_cast<float*>(out[c].mData),
                           [gain](float sample) { return sample * gain; });
        }
    }

    bool initWithComponentDescription(const audiounit::AudioComponentDescription& description,
                                      audiounit::AudioComponentInstantiationOptions options,
                                      foundation::NSError* outError) override {
        using namespace audiounit;
        if (!AUAudioUnit::initWithComponentDescription(description, options, outError)) return false;
        const auto format = AVAudioFormat::makeStandard(44100, 2);
        const auto busses = [&](bool present) {
            return present ? std::vector{AUAudioUnitBus::make(format)} : std::vector<AUAudioUnitBusPtr>{};
        };
        inputs_ = AUAudioUnitBusArray::make(shared_from_this(), AUAudioUnitBusTypeInput, busses(takesInput_));
        outputs_ = AUAudioUnitBusArray::make(shared_from_this(), AUAudioUnitBusTypeOutput, busses(true));
        build();
        return true;
    }

private:
    bool takesInput_;
    audiounit::AUAudioUnitBusArrayPtr inputs_;
    audiounit::AUAudioUnitBusArrayPtr outputs_;
    std::vector<std::vector<float>> inputMemory_;
    audiounit::AudioBufferListStorage inputList_;
};

// Named in DUNMARROW_AUDIO_UNIT_MODULE through an alias with the manifest's principal class name.
template <class Unit>
class FakeUnitFactory : public audiounit::AUAudioUnitFactory {
public:
    std::shared_ptr<audiounit::AUAudioUnit> createAudioUnit(const audiounit::AudioComponentDescription& description,
                                                            foundation::NSError* outError) override {
        using audiounit::AUAudioUnit, audiounit::kAudioComponentInstantiation_None;
        return AUAudioUnit::create<Unit>(description, kAudioComponentInstantiation_None, outError);
    }
};

}  // namespace testsupport
