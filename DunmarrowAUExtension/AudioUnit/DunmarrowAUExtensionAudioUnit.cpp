#include "DunmarrowAUExtensionAudioUnit.hpp"

#include <array>
#include <clocale>
#include <cstdio>
#include <locale.h>
#include <string_view>

using namespace audiounit;
using namespace dunmarrow_dsp;
using foundation::NSError;

namespace {

// The factory presets' values. Each sets every parameter once, within its
// range, and "Blackwall" equals the parameter table's defaults; checked below
// when this file compiles.
struct PresetValue {
    ParameterAddress address;
    float value;
};
struct FactoryPresetData {
    NSInteger number;
    std::string_view name;
    std::array<PresetValue, kParameterCount> values;
};
constexpr std::array<FactoryPresetData, 3> kFactoryPresets{{
    {0, "Blackwall",
     {{{kDriveAddress, 65.0f}, {kTightAddress, 100.0f}, {kBiteAddress, 100.0f}, {kCabAddress, 100.0f},
       {kGainAddress, 0.8f}, {kBodyAddress, 55.0f}, {kCrushAddress, 45.0f}, {kDensityAddress, 50.0f},
       {kGrindAddress, 35.0f}, {kTouchAddress, 50.0f}, {kDecimationAddress, 0.0f}, {kDoubleTrackAddress, 0.0f},
       {kStereoSpreadAddress, 0.0f}, {kLiveSafeAddress, 0.0f}}}},
    {1, "Glass Teeth",
     {{{kDriveAddress, 51.93f}, {kTightAddress, 0.0f}, {kBiteAddress, 38.72f}, {kCabAddress, 0.0f},
       {kGainAddress, 0.72f}, {kBodyAddress, 0.0f}, {kCrushAddress, 100.0f}, {kDensityAddress, 0.0f},
       {kGrindAddress, 97.41f}, {kTouchAddress, 0.0f}, {kDecimationAddress, 0.0f}, {kDoubleTrackAddress, 0.0f},
       {kStereoSpreadAddress, 0.0f}, {kLiveSafeAddress, 0.0f}}}},
    {2, "Funeral Bloom",
     {{{kDriveAddress, 78.0f}, {kTightAddress, 70.0f}, {kBiteAddress, 75.0f}, {kCabAddress, 80.0f},
       {kGainAddress, 0.65f}, {kBodyAddress, 75.0f}, {kCrushAddress, 75.0f}, {kDensityAddress, 85.0f},
       {kGrindAddress, 40.0f}, {kTouchAddress, 80.0f}, {kDecimationAddress, 0.0f}, {kDoubleTrackAddress, 0.0f},
       {kStereoSpreadAddress, 0.0f}, {kLiveSafeAddress, 0.0f}}}},
}};

constexpr bool factoryPresetsAreSound() {
    for (std::size_t index = 0; index < kFactoryPresets.size(); ++index) {
        const auto& preset = kFactoryPresets[index];
        if (preset.number != static_cast<NSInteger>(index)) return false;
        for (const auto& parameter : kParameters) {
            std::size_t settings = 0;
            for (const auto& [address, value] : preset.values) {
                if (address != parameter.address) continue;
                ++settings;
                if (value < parameter.minValue || value > parameter.maxValue) return false;
                if (index == 0 && value != parameter.defaultValue) return false;
            }
            if (settings != 1) return false;
        }
    }
    return true;
}
static_assert(factoryPresetsAreSound());

std::vector<DunmarrowAUExtensionAudioUnit::FactoryPresetDefinition> makeFactoryPresetDefinitions() {
    std::vector<DunmarrowAUExtensionAudioUnit::FactoryPresetDefinition> definitions;
    for (const auto& preset : kFactoryPresets) {
        std::map<AUParameterAddress, float> values;
        for (const auto& [address, value] : preset.values) values.emplace(address, value);
        definitions.push_back({AUAudioUnitPreset::make(preset.number, std::string(preset.name)), std::move(values)});
    }
    return definitions;
}

// printf-style formatting of one number in the numeric locale the environment
// names (LC_ALL, LC_NUMERIC, LANG), so that the decimal separator is the
// user's. Falls back to the thread's current locale when that one is not
// installed. Not for the render thread: it may load locale data.
std::string formatInUserLocale(double value, bool twoDecimals) {
    locale_t userLocale = newlocale(LC_NUMERIC_MASK, "", nullptr);
    locale_t previous = userLocale != nullptr ? uselocale(userLocale) : nullptr;
    char text[64];
    if (twoDecimals) {
        std::snprintf(text, sizeof text, "%.2f", value);
    } else {
        std::snprintf(text, sizeof text, "%.f", value);
    }
    if (userLocale != nullptr) {
        uselocale(previous);
        freelocale(userLocale);
    }
    return text;
}

}  // namespace

DunmarrowAUExtensionAudioUnit::DunmarrowAUExtensionAudioUnit(ConstructionKey key)
    : AUAudioUnit(key), factoryPresetDefinitions_(makeFactoryPresetDefinitions()) {}

DunmarrowAUExtensionAudioUnit::~DunmarrowAUExtensionAudioUnit() = default;

bool DunmarrowAUExtensionAudioUnit::initWithComponentDescription(const AudioComponentDescription& description,
                                                                 AudioComponentInstantiationOptions options,
                                                                 NSError* outError) {
    const AVAudioFormatPtr defaultFormat = AVAudioFormat::makeStandard(44100.0, 2);
    if (!AUAudioUnit::initWithComponentDescription(description, options, outError)) return false;

    outputBus_ = AUAudioUnitBus::make(defaultFormat, outError);
    if (!outputBus_) return false;
    outputBus_->setMaximumChannelCount(2);

    inputBus_.setupBus(defaultFormat, 8);

    inputBusses_ = AUAudioUnitBusArray::make(shared_from_this(), AUAudioUnitBusTypeInput, {inputBus_.platformBus});
    outputBusses_ = AUAudioUnitBusArray::make(shared_from_this(), AUAudioUnitBusTypeOutput, {outputBus_});

    processHelper_.emplace(kernel_, inputBus_);
    return true;
}

// MARK: - Presets

std::vector<AUAudioUnitPresetPtr> DunmarrowAUExtensionAudioUnit::factoryPresets() const {
    std::vector<AUAudioUnitPresetPtr> presets;
    presets.reserve(factoryPresetDefinitions_.size());
    for (const auto& definition : factoryPresetDefinitions_) presets.push_back(definition.preset);
    return presets;
}

void DunmarrowAUExtensionAudioUnit::applyFactoryPreset(const AUAudioUnitPreset& preset) {
    for (const auto& definition : factoryPresetDefinitions_) {
        if (definition.preset->number() != preset.number()) continue;
        applyPresetValues(definition.values);
        return;
    }
}

void DunmarrowAUExtensionAudioUnit::applyPresetValues(const std::map<AUParameterAddress, float>& values) {
    const auto tree = parameterTree();
    if (!tree) return;
    for (const auto& parameter : tree->allParameters()) {
        const auto entry = values.find(parameter->address());
        if (entry == values.end()) continue;
        parameter->setValue(entry->second);
        kernel_.setParameter(parameter->address(), entry->second);
    }
}

// MARK: - Busses and rendering

AUAudioUnitBusArrayPtr DunmarrowAUExtensionAudioUnit::inputBusses() const { return inputBusses_; }
AUAudioUnitBusArrayPtr DunmarrowAUExtensionAudioUnit::outputBusses() const { return outputBusses_; }

std::vector<NSInteger> DunmarrowAUExtensionAudioUnit::channelCapabilities() const { return {2, 2}; }

AUAudioFrameCount DunmarrowAUExtensionAudioUnit::maximumFramesToRender() const {
    return kernel_.getMaximumFramesToRender();
}

void DunmarrowAUExtensionAudioUnit::setMaximumFramesToRender(AUAudioFrameCount frames) {
    kernel_.setMaximumFramesToRender(frames);
}

bool DunmarrowAUExtensionAudioUnit::shouldBypassEffect() const { return kernel_.isBypassed(); }
void DunmarrowAUExtensionAudioUnit::setShouldBypassEffect(bool bypass) { kernel_.setBypass(bypass); }

AUInternalRenderBlock DunmarrowAUExtensionAudioUnit::internalRenderBlock() {
    // Holds the unit's own helper by pointer: no copy, valid while the unit lives.
    AUProcessHelper* helper = processHelper_ ? &*processHelper_ : nullptr;
    if (helper == nullptr) return {};
    // Render thread: no lock, no allocation.
    return [helper](AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp,
                    AUAudioFrameCount frameCount, NSInteger outputBusNumber, AudioBufferList* outputData,
                    const AURenderEvent* realtimeEventListHead, const AURenderPullInputBlock* pullInputBlock) {
        return helper->renderBlock(actionFlags, timestamp, frameCount, outputBusNumber, outputData,
                                   realtimeEventListHead, pullInputBlock);
    };
}

bool DunmarrowAUExtensionAudioUnit::allocateRenderResources(NSError* outError) {
    const auto input = inputBusses_ ? (*inputBusses_)[0] : nullptr;
    const auto output = outputBusses_ ? (*outputBusses_)[0] : nullptr;
    const auto inputFormat = input ? input->format() : nullptr;
    const auto outputFormat = output ? output->format() : nullptr;
    const AVAudioChannelCount inputChannels = inputFormat ? inputFormat->channelCount() : 0;
    const AVAudioChannelCount outputChannels = outputFormat ? outputFormat->channelCount() : 0;

    if (inputChannels != outputChannels || outputFormat == nullptr) {
        setRenderResourcesAllocated(false);
        if (outError) *outError = foundation::makeOSStatusError(kAudioUnitErr_FailedInitialization);
        return false;
    }

    inputBus_.allocateBuffer(maximumFramesToRender());
    const auto channels = static_cast<std::int32_t>(outputChannels);
    kernel_.initialize(channels, channels, outputFormat->sampleRate());
    if (processHelper_) processHelper_->setChannelCount(outputChannels, outputChannels);

    return AUAudioUnit::allocateRenderResources(outError);
}

void DunmarrowAUExtensionAudioUnit::deallocateRenderResources() {
    kernel_.deinitialize();
    AUAudioUnit::deallocateRenderResources();
}

// MARK: - Levels and parameters

float DunmarrowAUExtensionAudioUnit::inputLevel() const { return kernel_.inputLevel(); }
float DunmarrowAUExtensionAudioUnit::outputLevel() const { return kernel_.outputLevel(); }

void DunmarrowAUExtensionAudioUnit::setupParameterTree(AUParameterTreePtr tree) {
    setParameterTree(std::move(tree));
    // The tree holds the defaults, which are Blackwall's values.
    setCurrentPresetWithoutApplying(factoryPresetDefinitions_.empty() ? nullptr
                                                                      : factoryPresetDefinitions_.front().preset);
    if (const auto installed = parameterTree()) {
        for (const auto& parameter : installed->allParameters())
            kernel_.setParameter(parameter->address(), parameter->value());
    }
    installParameterCallbacks();
}

void DunmarrowAUExtensionAudioUnit::installParameterCallbacks() {
    // The callbacks hold the unit weakly: the tree must not keep it alive.
    const std::weak_ptr<AUAudioUnit> weakUnit = weak_from_this();
    auto unitOf = [](const std::shared_ptr<AUAudioUnit>& unit) {
        return static_cast<DunmarrowAUExtensionAudioUnit*>(unit.get());
    };

    // Called on whichever thread writes a value (editor, host automation): a
    // relaxed store of the kernel target, no lock.
    if (const auto tree = parameterTree()) {
        tree->setImplementorValueObserver([weakUnit, unitOf](AUParameter& parameter, AUValue value) {
            if (const auto unit = weakUnit.lock()) unitOf(unit)->kernel_.setParameter(parameter.address(), value);
        });
    }
    // Called on whichever thread reads a value: the kernel's stored target.
    if (const auto tree = parameterTree()) {
        tree->setImplementorValueProvider([weakUnit, unitOf](AUParameter& parameter) -> AUValue {
            if (const auto unit = weakUnit.lock()) return unitOf(unit)->kernel_.getParameter(parameter.address());
            return parameter.storedValue();
        });
    }
    if (const auto tree = parameterTree()) {
        tree->setImplementorStringFromValueCallback(
            [](AUParameter& parameter, std::optional<AUValue> value) { return formatParameterValue(parameter, value); });
    }
}

std::string DunmarrowAUExtensionAudioUnit::formatParameterValue(const AUParameter& parameter,
                                                                std::optional<AUValue> value) {
    if (!value) return "-";
    const ParameterInfo* info = findParameter(parameter.address());
    switch (info != nullptr ? info->valueText : ValueText::WholeNumber) {
        case ValueText::OnOff: return *value >= 0.5f ? "On" : "Off";
        case ValueText::TwoDecimals: return formatInUserLocale(*value, true);
        case ValueText::WholeNumber: break;
    }
    return formatInUserLocale(*value, false);
}

std::shared_ptr<DunmarrowAUExtensionAudioUnit> makeDunmarrowAudioUnit(const AudioComponentDescription& description,
                                                                      NSError* outError) {
    auto unit = AUAudioUnit::create<DunmarrowAUExtensionAudioUnit>(description, kAudioComponentInstantiation_None,
                                                                   outError);
    if (!unit) return nullptr;
    unit->setupParameterTree(createParameterTree(parameterTreeSpec()));
    return unit;
}
