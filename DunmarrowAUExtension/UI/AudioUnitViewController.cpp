#include "AudioUnitViewController.hpp"

#include <exception>
#include <string>

#include "DunmarrowAUExtensionAudioUnit.hpp"
#include "ParameterDefinitions.hpp"
#include "foundation/DispatchQueue.hpp"
#include "foundation/Logger.hpp"

#ifndef DUNMARROW_EXTENSION_BUNDLE_IDENTIFIER
#error "DUNMARROW_EXTENSION_BUNDLE_IDENTIFIER must name the extension's bundle identifier"
#endif

using namespace audiounit;
using foundation::NSError;

namespace {

// This class's messages in the log, under the extension's bundle identifier.
const foundation::Logger& logger() {
    static const foundation::Logger instance(DUNMARROW_EXTENSION_BUNDLE_IDENTIFIER, "AudioUnitViewController");
    return instance;
}

// Thread: whichever thread posts the all-values-changed notification. Assigns
// every parameter its own value, so that every parameter observer hears of the
// values a restored state brought. The unit is held weakly: it owns this
// handler.
void reannounceAllParameterValues(const std::weak_ptr<AUAudioUnit>& weakUnit) {
    const auto unit = weakUnit.lock();
    if (!unit) return;
    const auto tree = unit->parameterTree();
    if (!tree) return;
    for (const auto& parameter : tree->allParameters()) parameter->setValue(parameter->value());
}

}  // namespace

AudioUnitViewController::AllParameterValuesObservation::~AllParameterValuesObservation() {
    if (const auto unit = unit_.lock()) unit->removeAllParameterValuesObserver(token_);
}

AudioUnitViewController::AudioUnitViewController() = default;

AudioUnitViewController::~AudioUnitViewController() {
    // The observation refers to the unit; release it first.
    observation.reset();
    audioUnit.reset();
}

std::shared_ptr<AUAudioUnit> AudioUnitViewController::createAudioUnit(const AudioComponentDescription& componentDescription,
                                                                      NSError* outError) {
    std::shared_ptr<AUAudioUnit> result;
    foundation::DispatchQueue::main().sync([&] { result = makeAudioUnit(componentDescription, outError); });
    return result;
}

std::shared_ptr<AUAudioUnit> AudioUnitViewController::makeAudioUnit(const AudioComponentDescription& componentDescription,
                                                                    NSError* outError) {
    try {
        // 1. The unit, with no instantiation options.
        NSError error;
        auto unit = AUAudioUnit::create<DunmarrowAUExtensionAudioUnit>(componentDescription,
                                                                       kAudioComponentInstantiation_None, &error);
        if (!unit) {
            if (outError) *outError = std::move(error);
            return nullptr;
        }
        // 2. Kept from now on; a unit made by an earlier call is let go.
        observation.reset();
        audioUnit = unit;

        // 3. The tree from the shared declarations, installed with its values.
        unit->setupParameterTree(createParameterTree(parameterTreeSpec()));

        // 4. When all values change at once, tell every observer of each one.
        const std::weak_ptr<AUAudioUnit> weakUnit = audioUnit;
        const AUObservationToken token =
            audioUnit->observeAllParameterValues([weakUnit] { reannounceAllParameterValues(weakUnit); });
        observation = std::make_unique<AllParameterValuesObservation>(audioUnit, token);

        // 5. The unit goes back to the host even without a tree; the editor
        //    then has nothing to show.
        if (!audioUnit->parameterTree()) logger().error("Unable to access AU ParameterTree");

        return audioUnit;
    } catch (const std::exception& e) {
        if (outError)
            *outError = foundation::makeOSStatusError(kAudioUnitErr_FailedInitialization,
                                                      std::string("Creating the audio unit failed: ") + e.what());
        return nullptr;
    }
}
