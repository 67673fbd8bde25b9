#include "DunmarrowAUExtensionAudioUnit.hpp"

#include <clocale>
#include <cstdio>
#include <locale.h>

using namespace audiounit;
using foundation::NSError;

namespace {

std::vector<DunmarrowAUExtensionAudioUnit::FactoryPresetDefinition> makeFactoryPresetDefinitions() {
    // Every preset sets all fourteen addresses; "Blackwall" equals the defaults.
    return {
        {AUAudioUnitPreset::make(0, "Blackwall"),
         {{kDriveAddress, 65.0f}, {kTightAddress, 100.0f}, {kBiteAddress, 100.0f}, {kCabAddress, 100.0f},
          {kGainAddress, 0.8f}, {kBodyAddress, 55.0f}, {kCrushAddress, 45.0f}, {kDensityAddress, 50.0f},
          {kGrindAddress, 35.0f}, {kTouchAddress, 50.0f}, {kDecimationAddress, 0.0f}, {kDoubleTrackAddress, 0.0f},
          {kStereoSpreadAddress, 0.0f}, {kLiveSafeAddress, 0.0f}}},
        {AUAudioUnitPreset::make(1, "Glass Teeth"),
         {{kDriveAddress, 51.93f}, {kTightAddress, 0.0f}, {kBiteAddress, 38.72f}, {kCabAddress, 0.0f},
          {kGainAddress, 0.72f}, {kBodyAddress, 0.0f}, {kCrushAddress, 100.0f}, {kDensityAddress, 0.0f},
          {kGrindAddress, 97.41f}, {kTouchAddress, 0.0f}, {kDecimationAddress, 0.0f}, {kDoubleTrackAddress, 0.0f},
          {kStereoSpreadAddress, 0.0f}, {kLiveSafeAddress, 0.0f}}},
        {AUAudioUnitPreset::make(2, "Funeral Bloom"),
         {{kDriveAddress, 78.0f}, {kTightAddress, 70.0f}, {kBiteAddress, 75.0f}, {kCabAddress, 80.0f},
          {kGainAddress, 0.65f}, {kBodyAddress, 75.0f}, {kCrushAddress, 75.0f}, {kDensityAddress, 85.0f},
          {kGrindAddress, 40.0f}, {kTouchAddress, 80.0f}, {kDecimationAddress, 0.0f}, {kDoubleTrackAddress, 0.0f},
          {kStereoSpreadAddress, 0.0f}, {kLiveSafeAddress, 0.0f}}},
    };
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
    : AUAudioUnit(key), factoryPresetDefinitions(makeFactoryPresetDefinitions()) {}

DunmarrowAUExtensionAudioUnit::~DunmarrowAUExtensionAudioUnit() = default;

bool DunmarrowAUExtensionAudioUnit::initWithComponentDescription(const AudioComponentDescription& description,
                                                                 AudioComponentInstantiationOptions options,
                                                                 NSError* outError) {
    const AVAudioFormatPtr defaultFormat = AVAudioFormat::makeStandard(44100.0, 2);
    if (!AUAudioUnit::initWithComponentDescription(description, options, outError)) return false;

    outputBus = AUAudioUnitBus::make(defaultFormat, outError);
    if (!outputBus) return false;
    outputBus->setMaximumChannelCount(2);

    inputBus.setupBus(defaultFormat, 8);

    _inputBusses = AUAudioUnitBusArray::make(shared_from_this(), AUAudioUnitBusTypeInput, {inputBus.platformBus});
    _outputBusses = AUAudioUnitBusArray::make(shared_from_this(), AUAudioUnitBusTypeOutput, {outputBus});

    processHelper.emplace(kernel, inputBus);
    return true;
}

// MARK: - Presets

std::vector<AUAudioUnitPresetPtr> DunmarrowAUExtensionAudioUnit::factoryPresets() const {
    std::vector<AUAudioUnitPresetPtr> presets;
    presets.reserve(factoryPresetDefinitions.size());
    for (const auto& definition : factoryPresetDefinitions) presets.push_back(definition.preset);
    return presets;
}

AUAudioUnitPresetPtr DunmarrowAUExtensionAudioUnit::currentPreset() const {
    std::lock_guard lock(presetMutex);
    return _currentPreset;
}

void DunmarrowAUExtensionAudioUnit::setCurrentPreset(AUAudioUnitPresetPtr preset) {
    if (!preset) {
        std::lock_guard lock(presetMutex);
        _currentPreset = nullptr;
        return;
    }
    for (const auto& definition : factoryPresetDefinitions) {
        if (definition.preset->number() != preset->number()) continue;
        applyPresetValues(definition.values);
        std::lock_guard lock(presetMutex);
        _currentPreset = definition.preset;
        return;
    }
    // Not a factory preset (a user preset, or a number beyond the list): nothing changes.
}

void DunmarrowAUExtensionAudioUnit::applyPresetValues(const std::map<AUParameterAddress, float>& values) {
    const auto tree = parameterTree();
    if (!tree) return;
    for (const auto& parameter : tree->allParameters()) {
        const auto entry = values.find(parameter->address());
        if (entry == values.end()) continue;
        parameter->setValue(entry->second);
        kernel.setParameter(parameter->address(), entry->second);
    }
}

// MARK: - Busses and rendering

AUAudioUnitBusArrayPtr DunmarrowAUExtensionAudioUnit::inputBusses() const { return _inputBusses; }
AUAudioUnitBusArrayPtr DunmarrowAUExtensionAudioUnit::outputBusses() const { return _outputBusses; }

std::vector<NSInteger> DunmarrowAUExtensionAudioUnit::channelCapabilities() const { return {2, 2}; }

AUAudioFrameCount DunmarrowAUExtensionAudioUnit::maximumFramesToRender() const {
    return kernel.getMaximumFramesToRender();
}

void DunmarrowAUExtensionAudioUnit::setMaximumFramesToRender(AUAudioFrameCount frames) {
    if (frames > kMaximumFramesToRenderLimit) return;  // refused before the kernel allocates for it
    kernel.setMaximumFramesToRender(frames);
}

bool DunmarrowAUExtensionAudioUnit::shouldBypassEffect() const { return kernel.isBypassed(); }
void DunmarrowAUExtensionAudioUnit::setShouldBypassEffect(bool bypass) { kernel.setBypass(bypass); }

AUInternalRenderBlock DunmarrowAUExtensionAudioUnit::internalRenderBlock() {
    // Holds the unit's own helper by pointer: no copy, valid while the unit lives.
    AUProcessHelper* helper = processHelper ? &*processHelper : nullptr;
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
    const auto input = _inputBusses ? (*_inputBusses)[0] : nullptr;
    const auto output = _outputBusses ? (*_outputBusses)[0] : nullptr;
    const auto inputFormat = input ? input->format() : nullptr;
    const auto outputFormat = output ? output->format() : nullptr;
    const AVAudioChannelCount inputChannels = inputFormat ? inputFormat->channelCount() : 0;
    const AVAudioChannelCount outputChannels = outputFormat ? outputFormat->channelCount() : 0;

    if (inputChannels != outputChannels || outputFormat == nullptr) {
        setRenderResourcesAllocated(false);
        if (outError) *outError = foundation::makeOSStatusError(kAudioUnitErr_FailedInitialization);
        return false;
    }

    inputBus.allocateBuffer(maximumFramesToRender());
    const auto channels = static_cast<std::int32_t>(outputChannels);
    kernel.initialize(channels, channels, outputFormat->sampleRate());
    if (processHelper) processHelper->setChannelCount(outputChannels, outputChannels);

    return AUAudioUnit::allocateRenderResources(outError);
}

void DunmarrowAUExtensionAudioUnit::deallocateRenderResources() {
    kernel.deinitialize();
    AUAudioUnit::deallocateRenderResources();
}

// MARK: - Levels and parameters

float DunmarrowAUExtensionAudioUnit::inputLevel() const { return kernel.inputLevel(); }
float DunmarrowAUExtensionAudioUnit::outputLevel() const { return kernel.outputLevel(); }

void DunmarrowAUExtensionAudioUnit::setupParameterTree(AUParameterTreePtr tree) {
    setParameterTree(std::move(tree));
    {
        std::lock_guard lock(presetMutex);
        _currentPreset = factoryPresetDefinitions.empty() ? nullptr : factoryPresetDefinitions.front().preset;
    }
    if (const auto installed = parameterTree()) {
        for (const auto& parameter : installed->allParameters())
            kernel.setParameter(parameter->address(), parameter->value());
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
            if (const auto unit = weakUnit.lock()) unitOf(unit)->kernel.setParameter(parameter.address(), value);
        });
    }
    // Called on whichever thread reads a value: the kernel's stored target.
    if (const auto tree = parameterTree()) {
        tree->setImplementorValueProvider([weakUnit, unitOf](AUParameter& parameter) -> AUValue {
            if (const auto unit = weakUnit.lock()) return unitOf(unit)->kernel.getParameter(parameter.address());
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
    switch (parameter.address()) {
        case kLiveSafeAddress: return *value >= 0.5f ? "On" : "Off";
        case kGainAddress:
        case kDecimationAddress:
        case kDoubleTrackAddress:
        case kStereoSpreadAddress: return formatInUserLocale(*value, true);
        default: return formatInUserLocale(*value, false);
    }
}

std::shared_ptr<DunmarrowAUExtensionAudioUnit> makeDunmarrowAudioUnit(const AudioComponentDescription& description,
                                                                      NSError* outError) {
    auto unit = AUAudioUnit::create<DunmarrowAUExtensionAudioUnit>(description, kAudioComponentInstantiation_None,
                                                                   outError);
    if (!unit) return nullptr;
    unit->setupParameterTree(createParameterTree(parameterTreeSpec()));
    return unit;
}
