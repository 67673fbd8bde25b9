// A small effect for the validation tests: a gain with a polarity switch and
// two factory presets. One source, built once per kind; every kind but Good
// carries one deliberate fault for the validator to find.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <thread>
#include <vector>

#include "audiounit/AUAudioUnit.hpp"
#include "audiounit/AUAudioUnitBusArray.hpp"
#include "audiounit/AUAudioUnitFactory.hpp"
#include "audiounit/AudioUnitModuleEntry.hpp"

using namespace audiounit;

namespace {

constexpr AUParameterAddress kGainAddress = 0;
constexpr AUParameterAddress kPolarityAddress = 1;

class ValidationTestUnit final : public AUAudioUnit {
public:
    explicit ValidationTestUnit(ConstructionKey key) : AUAudioUnit(key) {}

    AUAudioUnitBusArrayPtr inputBusses() const override { return inputs_; }
    AUAudioUnitBusArrayPtr outputBusses() const override { return outputs_; }
    std::vector<NSInteger> channelCapabilities() const override { return {1, 1, 2, 2}; }
    std::vector<AUAudioUnitPresetPtr> factoryPresets() const override { return presets_; }

    void setCurrentPreset(AUAudioUnitPresetPtr preset) override {
        if (preset && preset->number() >= 0 && static_cast<std::size_t>(preset->number()) < presets_.size()) {
            const bool half = preset->number() == 1;
            parameterTree()->parameterWithAddress(kGainAddress)->setValue(half ? 0.5f : 1.0f);
            parameterTree()->parameterWithAddress(kPolarityAddress)->setValue(half ? 1.0f : 0.0f);
        }
        AUAudioUnit::setCurrentPreset(std::move(preset));
    }

    bool allocateRenderResources(foundation::NSError* outError) override {
        const auto format = (*outputs_)[0]->format();
        const AVAudioChannelCount channels = format ? format->channelCount() : 0;
        inputMemory_.assign(channels, std::vector<float>(maximumFramesToRender()));
        inputList_ = AudioBufferListStorage(channels);
        return AUAudioUnit::allocateRenderResources(outError);
    }

    // Render thread: no lock, no allocation (except in the Allocates kind).
    AUInternalRenderBlock internalRenderBlock() override {
        return [this](AudioUnitRenderActionFlags* flags, const AudioTimeStamp* timestamp, AUAudioFrameCount frames,
                      NSInteger, AudioBufferList* output, const AURenderEvent* events,
                      const AURenderPullInputBlock* pull) -> OSStatus {
            return render(flags, timestamp, frames, output, events, pull);
        };
    }

protected:
    bool initWithComponentDescription(const AudioComponentDescription& description,
                                      AudioComponentInstantiationOptions options,
                                      foundation::NSError* outError) override {
        if (!AUAudioUnit::initWithComponentDescription(description, options, outError)) return false;
        const auto format = AVAudioFormat::makeStandard(44100, 2);
        auto self = shared_from_this();
        inputs_ = AUAudioUnitBusArray::make(self, AUAudioUnitBusTypeInput, {AUAudioUnitBus::make(format)});
        outputs_ = AUAudioUnitBusArray::make(self, AUAudioUnitBusTypeOutput, {AUAudioUnitBus::make(format)});
        constexpr auto flags = kAudioUnitParameterFlag_IsReadable | kAudioUnitParameterFlag_IsWritable;
        auto gain = AUParameterTree::createParameter("gain", "Gain", kGainAddress, 0, 2,
                                                     kAudioUnitParameterUnit_LinearGain, std::nullopt, flags,
                                                     std::nullopt, std::nullopt);
        auto polarity = AUParameterTree::createParameter(
            "polarity", "Polarity", kPolarityAddress, 0, 1, kAudioUnitParameterUnit_Indexed, std::nullopt, flags,
            std::vector<std::string>{"Normal", "Inverted"}, std::nullopt);
        auto tree = AUParameterTree::createTree({AUParameterTree::createGroup("main", "Main", {gain, polarity})});
        tree->setImplementorValueObserver([this](AUParameter& parameter, AUValue value) {
            apply(parameter.address(), value);
        });
        setParameterTree(tree);
        gain->setValue(1.0f);
        presets_ = {AUAudioUnitPreset::make(0, "Unity"), AUAudioUnitPreset::make(1, "Half, inverted")};
        AUAudioUnit::setCurrentPreset(presets_[0]);
        return true;
    }

private:
    void apply(AUParameterAddress address, AUValue value) noexcept {
        if (address == kGainAddress) gain_.store(value, std::memory_order_relaxed);
        if (address == kPolarityAddress) inverted_.store(value >= 0.5f, std::memory_order_relaxed);
    }

    OSStatus render(AudioUnitRenderActionFlags* flags, const AudioTimeStamp* timestamp, AUAudioFrameCount frames,
                    AudioBufferList* output, const AURenderEvent* events, const AURenderPullInputBlock* pull) noexcept {
#if defined(VALIDATION_TEST_MODULE_Hang)
        for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
#elif defined(VALIDATION_TEST_MODULE_Crash)
        std::abort();
#endif
        if (frames > maximumFramesToRender()) return kAudioUnitErr_TooManyFramesToProcess;
        if (pull == nullptr || !*pull) return kAudioUnitErr_NoConnection;
        if (output == nullptr || timestamp == nullptr) return kAudioUnitErr_InvalidParameter;
        const auto input = inputList_->buffers();
        for (std::size_t c = 0; c < input.size(); ++c)
            input[c] = AudioBuffer{1, frames * static_cast<std::uint32_t>(sizeof(float)), inputMemory_[c].data()};
        if (const OSStatus status = (*pull)(flags, timestamp, frames, 0, inputList_.get()); status != noErr)
            return status;
        const auto out = output->buffers();
        if (out.size() > input.size() || input.empty()) return kAudioUnitErr_InvalidParameter;
        for (std::size_t c = 0; c < out.size(); ++c)
            if (out[c].mData == nullptr) out[c] = input[c];  // the host asks us to render in place

        for (const AURenderEvent* event = events; event != nullptr; event = event->head.next)
            if (event->head.eventType == AURenderEventParameter || event->head.eventType == AURenderEventParameterRamp)
                apply(event->parameter.parameterAddress, event->parameter.value);

#if defined(VALIDATION_TEST_MODULE_NoBypass)
        const bool bypass = false;
#else
        const bool bypass = shouldBypassEffect();
#endif
        const float gain = gain_.load(std::memory_order_relaxed) * (inverted_.load(std::memory_order_relaxed) ? -1.0f : 1.0f);
        for (std::size_t c = 0; c < out.size(); ++c) {
            const auto* source = static_cast<const float*>(input[c].mData);
            auto* target = static_cast<float*>(out[c].mData);
            for (AUAudioFrameCount i = 0; i < frames; ++i) target[i] = bypass ? source[i] : source[i] * gain;
        }
#if defined(VALIDATION_TEST_MODULE_NaN)
        static_cast<float*>(out[0].mData)[0] = std::numeric_limits<float>::quiet_NaN();
#elif defined(VALIDATION_TEST_MODULE_Allocates)
        // A scratch buffer made and dropped every cycle: what the validator must catch.
        void* volatile scratch = ::operator new(64 * sizeof(float));
        ::operator delete(scratch);
#endif
        return noErr;
    }

    AUAudioUnitBusArrayPtr inputs_;
    AUAudioUnitBusArrayPtr outputs_;
    std::vector<AUAudioUnitPresetPtr> presets_;
    std::vector<std::vector<float>> inputMemory_;
    AudioBufferListStorage inputList_;
    std::atomic<float> gain_{1.0f};
    std::atomic<bool> inverted_{false};
};

class ValidationTestPrincipal final : public AUAudioUnitFactory {
public:
    std::shared_ptr<AUAudioUnit> createAudioUnit(const AudioComponentDescription& description,
                                                 foundation::NSError* outError) override {
        return AUAudioUnit::create<ValidationTestUnit>(description, kAudioComponentInstantiation_None, outError);
    }
};

}  // namespace

DUNMARROW_AUDIO_UNIT_MODULE(ValidationTestPrincipal)
