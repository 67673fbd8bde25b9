#pragma once
// The effect's audio unit. It owns the DSP kernel, the input bus with its pull
// buffer, the render helper, the output bus, both bus arrays and the factory
// presets; it connects the platform parameter tree to the kernel and publishes
// the kernel's meter levels.
//
// Made with AUAudioUnit::create<DunmarrowAUExtensionAudioUnit>(description,
// options, &error); the factory then builds the parameter tree
// (createParameterTree(parameterTreeSpec())) and hands it to setupParameterTree.
//
// Threads: construction, tree set-up, allocation and deallocation run on the
// host's (or factory's) thread, never while rendering. Parameter values,
// bypass and presets may change on any thread except the render thread;
// inputLevel and outputLevel may be read on any thread. Preset selection and
// the current preset are the base class's.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AUProcessHelper.hpp"
#include "BufferedInputBus.hpp"
#include "DunmarrowAUExtensionDSPKernel.hpp"
#include "ParameterDefinitions.hpp"
#include "audiounit/AUAudioUnit.hpp"

class DunmarrowAUExtensionAudioUnit : public audiounit::AUAudioUnit {
public:
    struct FactoryPresetDefinition {
        audiounit::AUAudioUnitPresetPtr preset;
        std::map<audiounit::AUParameterAddress, float> values;
    };

    // The component the effect registers as: "aufx" / "dmds" / "QVRN".
    static constexpr audiounit::AudioComponentDescription kComponentDescription{
        audiounit::fourCharCode("aufx"), audiounit::fourCharCode("dmds"), audiounit::fourCharCode("QVRN"), 0, 0};

    explicit DunmarrowAUExtensionAudioUnit(ConstructionKey key);
    ~DunmarrowAUExtensionAudioUnit() override;

    // MARK: Presets
    // "Blackwall", "Glass Teeth" and "Funeral Bloom", numbered 0 to 2: the
    // stored objects. Selecting one (the base's setCurrentPreset) applies its
    // values through applyFactoryPreset.
    [[nodiscard]] std::vector<audiounit::AUAudioUnitPresetPtr> factoryPresets() const override;

    // MARK: Busses and rendering
    [[nodiscard]] audiounit::AUAudioUnitBusArrayPtr inputBusses() const override;
    [[nodiscard]] audiounit::AUAudioUnitBusArrayPtr outputBusses() const override;
    // [2, 2]: stereo in, stereo out is the only pairing declared.
    [[nodiscard]] std::vector<audiounit::NSInteger> channelCapabilities() const override;
    [[nodiscard]] audiounit::AUAudioFrameCount maximumFramesToRender() const override;
    void setMaximumFramesToRender(audiounit::AUAudioFrameCount frames) override;
    [[nodiscard]] bool shouldBypassEffect() const override;
    void setShouldBypassEffect(bool bypass) override;
    [[nodiscard]] audiounit::AUInternalRenderBlock internalRenderBlock() override;
    // Fails with kAudioUnitErr_FailedInitialization (-10875) when the input
    // and output busses differ in channel count; then nothing else changes.
    bool allocateRenderResources(foundation::NSError* outError = nullptr) override;
    void deallocateRenderResources() override;

    // MARK: The effect's own
    // Peak levels of the last kernel call; 0 while render resources are not allocated.
    [[nodiscard]] virtual float inputLevel() const;
    [[nodiscard]] virtual float outputLevel() const;
    // Installs the tree, makes "Blackwall" current (without applying it),
    // pushes every parameter's value into the kernel and installs the tree's
    // callbacks.
    virtual void setupParameterTree(audiounit::AUParameterTreePtr tree);

    // The value text of a parameter, as the parameter table's valueText says:
    // "-" without a value, "On"/"Off", two decimals or none; the decimal
    // separator follows the locale the environment sets (LC_ALL, LC_NUMERIC,
    // LANG). An address outside the table reads as a whole number.
    [[nodiscard]] static std::string formatParameterValue(const audiounit::AUParameter& parameter,
                                                          std::optional<audiounit::AUValue> value);

    // Sets each parameter in the tree that has an entry, through the tree and
    // then directly in the kernel.
    void applyPresetValues(const std::map<audiounit::AUParameterAddress, float>& values);

    // The kernel, for the LV2 wrapper's starting settings and for inspection
    // by tests and tools.
    [[nodiscard]] DunmarrowAUExtensionDSPKernel& dspKernel() noexcept { return kernel_; }
    [[nodiscard]] const DunmarrowAUExtensionDSPKernel& dspKernel() const noexcept { return kernel_; }

protected:
    bool initWithComponentDescription(const audiounit::AudioComponentDescription& description,
                                      audiounit::AudioComponentInstantiationOptions options,
                                      foundation::NSError* outError) override;
    // Sets the preset's values through the tree and in the kernel.
    void applyFactoryPreset(const audiounit::AUAudioUnitPreset& preset) override;

private:
    void installParameterCallbacks();

    const std::vector<FactoryPresetDefinition> factoryPresetDefinitions_;
    DunmarrowAUExtensionDSPKernel kernel_;
    std::optional<AUProcessHelper> processHelper_;
    BufferedInputBus inputBus_;
    audiounit::AUAudioUnitBusPtr outputBus_;
    audiounit::AUAudioUnitBusArrayPtr inputBusses_;
    audiounit::AUAudioUnitBusArrayPtr outputBusses_;
};

// The factory's steps in one place: creates the unit with the description (no
// instantiation options), builds the parameter tree from parameterTreeSpec()
// and installs it with setupParameterTree. Null, with the error filled in,
// when the unit cannot be created. Not for the render thread.
std::shared_ptr<DunmarrowAUExtensionAudioUnit> makeDunmarrowAudioUnit(
    const audiounit::AudioComponentDescription& description = DunmarrowAUExtensionAudioUnit::kComponentDescription,
    foundation::NSError* outError = nullptr);
