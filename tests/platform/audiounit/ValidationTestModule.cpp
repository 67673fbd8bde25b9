// A small effect for the validation tests: a gain with a polarity switch and
// two factory presets. One source, built once per kind; every kind but Good
// carries one deliberate fault for the validator to find.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <thread>
#include <vector>

#include "FakeUnitModule.hpp"

using namespace audiounit;

namespace {

constexpr AUParameterAddress kGainAddress = 0;
constexpr AUParameterAddress kPolarityAddress = 1;

class ValidationTestUnit final : public testsupport::FakeUnit {
public:
    using FakeUnit::FakeUnit;

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

protected:
    void build() override {
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
    }

    // Render thread: no lock, no allocation (except in the Allocates kind).
    OSStatus render(const testsupport::RenderCycle& cycle) noexcept override {
#if defined(VALIDATION_TEST_MODULE_Hang)
        for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
#elif defined(VALIDATION_TEST_MODULE_Crash)
        std::abort();
#endif
        if (const OSStatus status = pullInput(cycle); status != noErr) return status;
        for (const AURenderEvent* event = cycle.events; event != nullptr; event = event->head.next)
            if (event->head.eventType == AURenderEventParameter || event->head.eventType == AURenderEventParameterRamp)
                apply(event->parameter.parameterAddress, event->parameter.value);
#if defined(VALIDATION_TEST_MODULE_NoBypass)
        const bool bypass = false;
#else
        const bool bypass = shouldBypassEffect();
#endif
        const bool inverted = inverted_.load(std::memory_order_relaxed);
        writeInputTimes(cycle, bypass ? 1.0f : gain_.load(std::memory_order_relaxed) * (inverted ? -1.0f : 1.0f));
#if defined(VALIDATION_TEST_MODULE_NaN)
        static_cast<float*>(cycle.output->mBuffers[0].mData)[0] = std::numeric_limits<float>::quiet_NaN();
#elif defined(VALIDATION_TEST_MODULE_Allocates)
        void* volatile scratch = ::operator new(64 * sizeof(float));
        ::operator delete(scratch);
#endif
        return noErr;
    }

private:
    void apply(AUParameterAddress address, AUValue value) noexcept {
        if (address == kGainAddress) gain_.store(value, std::memory_order_relaxed);
        if (address == kPolarityAddress) inverted_.store(value >= 0.5f, std::memory_order_relaxed);
    }

    std::vector<AUAudioUnitPresetPtr> presets_;
    std::atomic<float> gain_{1.0f};
    std::atomic<bool> inverted_{false};
};

using ValidationTestPrincipal = testsupport::FakeUnitFactory<ValidationTestUnit>;

}  // namespace

DUNMARROW_AUDIO_UNIT_MODULE(ValidationTestPrincipal)
