// The modules of the registry, instantiation and validation tests: a gain with
// a polarity switch and two factory presets. One source, built once per kind;
// every kind but Good carries one deliberate fault in its entry, its factory or
// its render.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <thread>
#include <vector>

#include "FakeUnitModule.hpp"
#include "TestPrincipal.hpp"

using namespace audiounit;

namespace {

class TestUnit final : public testsupport::FakeUnit {
public:
    using FakeUnit::FakeUnit;

    std::vector<NSInteger> channelCapabilities() const override { return {1, 1, 2, 2}; }
    std::vector<AUAudioUnitPresetPtr> factoryPresets() const override { return presets_; }

protected:
    void build() override {
        constexpr auto flags = kAudioUnitParameterFlag_IsReadable | kAudioUnitParameterFlag_IsWritable;
        auto gain = AUParameterTree::createParameter("gain", "Gain", 0, 0, 2, kAudioUnitParameterUnit_LinearGain,
                                                     std::nullopt, flags, std::nullopt, std::nullopt);
        auto polarity = AUParameterTree::createParameter(
            "polarity", "Polarity", 1, 0, 1, kAudioUnitParameterUnit_Indexed, std::nullopt, flags,
            std::vector<std::string>{"Normal", "Inverted"}, std::nullopt);
        auto tree = AUParameterTree::createTree({AUParameterTree::createGroup("main", "Main", {gain, polarity})});
        tree->setImplementorValueObserver([this](AUParameter& parameter, AUValue value) {
            if (parameter.address() == 0) gain_.store(value, std::memory_order_relaxed);
        });
        setParameterTree(tree);
        gain->setValue(1.0f);
        presets_ = {AUAudioUnitPreset::make(0, "Unity"), AUAudioUnitPreset::make(1, "Half, inverted")};
    }

    // Render thread: no lock, no allocation (except in the Faulty kind).
    OSStatus render(const testsupport::RenderCycle& cycle) noexcept override {
#if defined(TEST_MODULE_Hang)
        for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
#elif defined(TEST_MODULE_Crash)
        std::abort();
#endif
        if (const OSStatus status = pullInput(cycle); status != noErr) return status;
        const bool bypass = shouldBypassEffect();
#if defined(TEST_MODULE_Faulty)
        // A fault for each check that looks for one: bypass ignored, NaN out, an allocation.
        writeInputTimes(cycle, -gain_.load(std::memory_order_relaxed));
        if (!bypass) static_cast<float*>(cycle.output->mBuffers[0].mData)[0] = std::numeric_limits<float>::quiet_NaN();
        void* volatile scratch = ::operator new(64 * sizeof(float));
        ::operator delete(scratch);
#else
        writeInputTimes(cycle, bypass ? 1.0f : gain_.load(std::memory_order_relaxed));
#endif
        return noErr;
    }

private:
    std::vector<AUAudioUnitPresetPtr> presets_;
    std::atomic<float> gain_{1.0f};
};

class TestModulePrincipal final : public TestPrincipal {
public:
    std::shared_ptr<AUAudioUnit> createAudioUnit(const AudioComponentDescription& description,
                                                 foundation::NSError* outError) override {
        factoryCalledOn = std::this_thread::get_id();
        ++factoryCalls;
        factoryDescription = description;
#if defined(TEST_MODULE_FactoryError)
        if (outError) *outError = foundation::NSError{"TestModuleDomain", 42, "The test factory refuses"};
        return nullptr;
#elif defined(TEST_MODULE_Throws)
        (void)outError;
        throw std::runtime_error("test factory exploded");
#else
        audioUnit = AUAudioUnit::create<TestUnit>(description, kAudioComponentInstantiation_None, outError);
        return audioUnit;
#endif
    }
};

}  // namespace

#if defined(TEST_MODULE_WrongABI)
// An entry from a future version of the module ABI.
DUNMARROW_AUDIO_UNIT_MODULE_EXPORT const AudioUnitModuleDescriptor* DunmarrowAudioUnitModuleEntry(
    std::uint32_t) noexcept {
    static const AudioUnitModuleDescriptor descriptor{99, "TestModulePrincipal", nullptr};
    return &descriptor;
}
#elif defined(TEST_MODULE_Refuses)
// An entry that serves no host of this version.
DUNMARROW_AUDIO_UNIT_MODULE_EXPORT const AudioUnitModuleDescriptor* DunmarrowAudioUnitModuleEntry(
    std::uint32_t) noexcept {
    return nullptr;
}
#elif !defined(TEST_MODULE_NoEntry)  // that kind has no entry at all
DUNMARROW_AUDIO_UNIT_MODULE(TestModulePrincipal)
#endif
