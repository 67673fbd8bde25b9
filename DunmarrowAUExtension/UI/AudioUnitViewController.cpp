#include "AudioUnitViewController.hpp"

#include <exception>
#include <string>

#include "DunmarrowAUExtensionAudioUnit.hpp"
#include "DunmarrowAUExtensionMainView.hpp"
#include "ObservableAUParameter.hpp"
#include "ParameterDefinitions.hpp"
#include "foundation/DispatchQueue.hpp"
#include "foundation/Logger.hpp"
#include "foundation/ThreadContract.hpp"

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
    hostingController.reset();
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
    DUNMARROW_ASSERT_MAIN_THREAD();
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

        // 6. The editor, once this job is done and the view can be touched.
        //    The controller may be gone by then; the unit is held weakly.
        const auto weakSelf = std::weak_ptr<ui::NSViewController>(weak_from_this());
        const std::weak_ptr<AUAudioUnit> unitForEditor = audioUnit;
        foundation::DispatchQueue::main().async([weakSelf, unitForEditor] {
            const auto self = std::static_pointer_cast<AudioUnitViewController>(weakSelf.lock());
            const auto editedUnit = unitForEditor.lock();
            if (!self || !editedUnit) return;
            self->applyPreferredSize();
            self->configureEditorView(editedUnit);
        });

        return audioUnit;
    } catch (const std::exception& e) {
        if (outError)
            *outError = foundation::makeOSStatusError(kAudioUnitErr_FailedInitialization,
                                                      std::string("Creating the audio unit failed: ") + e.what());
        return nullptr;
    }
}

void AudioUnitViewController::viewDidLoad() {
    DUNMARROW_ASSERT_MAIN_THREAD();
    AUViewController::viewDidLoad();
    applyPreferredSize();
    if (audioUnit) configureEditorView(audioUnit);
}

void AudioUnitViewController::viewWillAppear() {
    AUViewController::viewWillAppear();
    applyPreferredSize();
}

void AudioUnitViewController::applyPreferredSize() {
    setPreferredContentSize(preferredEditorSize);
    const auto& editorView = view();
    const ui::Rect frame = editorView->frame();
    if (frame.width <= 1 || frame.height <= 1)
        editorView->setFrame({frame.x, frame.y, preferredEditorSize.width, preferredEditorSize.height});
}

void AudioUnitViewController::configureEditorView(const std::shared_ptr<AUAudioUnit>& unit) {
    DUNMARROW_ASSERT_MAIN_THREAD();
    applyPreferredSize();

    // The earlier editor goes first, so that exactly one is ever shown.
    if (hostingController) {
        hostingController->removeFromParent();
        if (hostingController->isViewLoaded()) hostingController->view()->removeFromSuperview();
        hostingController.reset();
    }

    const auto tree = unit ? unit->parameterTree() : nullptr;
    if (!tree) return;

    auto observableTree = ObservableAUParameterGroup::make(*tree);
    auto effectUnit = std::dynamic_pointer_cast<DunmarrowAUExtensionAudioUnit>(unit);
    auto mainView = std::make_shared<DunmarrowAUExtensionMainView>(std::move(observableTree), std::move(effectUnit));
    auto hosting = std::make_shared<ui::NSHostingController>(ui::View(mainView));
    hosting->setPreferredContentSize(preferredEditorSize);

    addChild(hosting);
    const auto& containerView = view();
    const ui::Rect bounds{0, 0, containerView->frame().width, containerView->frame().height};
    const auto& editorView = hosting->view();
    editorView->setFrame(bounds);
    containerView->addSubview(editorView);
    // The editor follows the container's size from now on.
    editorView->setPinnedToSuperviewEdges(true);
    hostingController = std::move(hosting);
}
