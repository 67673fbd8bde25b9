#include "SimplePlayEngine.hpp"

#include <cstdio>
#include <string>
#include <utility>

#include "FourCharCode.hpp"
#include "audiounit/AUAudioUnitProxy.hpp"
#include "audiounit/AudioComponentRegistry.hpp"
#include "foundation/Bundle.hpp"
#include "foundation/RunLoop.hpp"

namespace {

[[noreturn]] void fatal(const std::string& message) { foundation::fatalError(message.c_str()); }

}  // namespace

std::shared_ptr<SimplePlayEngine> SimplePlayEngine::make(Configuration configuration) {
    std::shared_ptr<SimplePlayEngine> playEngine(new SimplePlayEngine(configuration));
    playEngine->construct(configuration);
    return playEngine;
}

SimplePlayEngine::SimplePlayEngine(const Configuration& configuration)
    : engine(std::make_unique<engine::AVAudioEngine>(configuration.engineOptions)),
      instantiationOptions_(configuration.instantiationOptions),
      offline_(configuration.offlineMaximumFrames > 0) {}

SimplePlayEngine::~SimplePlayEngine() {
    // Nothing may call the unit's entry once the engine is gone.
    midiEntry_.store(nullptr, std::memory_order_release);
}

void SimplePlayEngine::construct(const Configuration& configuration) {
    engine->attach(player);

    const auto url = foundation::Bundle::main().urlForResource("Synth", "aif");
    if (!url) fatal("\"Synth.aif\" file not found.");
    loadAudioFile(url->string());

    if (configuration.offlineMaximumFrames > 0) {
        foundation::NSError error;
        const auto format = audiounit::AVAudioFormat::makeStandard(file.get()->processingFormat()->sampleRate(), 2);
        if (!engine->enableManualRenderingMode(format, configuration.offlineMaximumFrames, &error)) {
            fatal("Could not render offline. error: " + error.localizedDescription() + ".");
        }
    }
    engine->prepare();

    // The handler holds the engine weakly: MIDI may outlive it. It runs on the
    // MIDI receiving thread and must not lock, allocate or block there.
    std::weak_ptr<SimplePlayEngine> weakSelf = weak_from_this();
    const auto& manager = configuration.midiManager ? configuration.midiManager : MIDIManager::shared();
    const bool midiReady =
        manager->setupPort(midi::kMIDIProtocol_2_0, [weakSelf](const midi::MIDIEventList* list, void* source) {
            if (const auto self = weakSelf.lock()) self->midiReceiveHandler(list, source);
        });
    if (!midiReady) fatal("Failed to setup Core MIDI");
}

void SimplePlayEngine::loadAudioFile(const std::string& path) {
    foundation::NSError error;
    auto opened = engine::AVAudioFile::openForReading(path, &error);
    if (!opened) fatal("Could not create AVAudioFile instance. error: " + error.localizedDescription() + ".");
    file.set(opened);
    engine->connect(player, engine->mainMixerNode(), opened->processingFormat());
}

audiounit::AVAudioUnitComponentPtr SimplePlayEngine::findComponent(std::string_view type, std::string_view subType,
                                                                   std::string_view manufacturer) const {
    const auto typeCode = fourCharCode(type);
    const auto subTypeCode = fourCharCode(subType);
    const auto manufacturerCode = fourCharCode(manufacturer);
    if (typeCode && subTypeCode && manufacturerCode) {
        const audiounit::AudioComponentDescription description{*typeCode, *subTypeCode, *manufacturerCode, 0, 0};
        const auto components =
            audiounit::AVAudioUnitComponentManager::sharedAudioUnitComponentManager().componentsMatchingDescription(
                description);
        if (!components.empty()) return components.front();
    }
    // A text that is no four-character code matches nothing either. What the
    // registry passed over may have been the unit itself.
    for (const auto& problem : audiounit::AudioComponentRegistry::shared().scanProblems())
        std::fprintf(stderr, "DunmarrowAU: %s\n", problem.description().c_str());
    fatal("Failed to find component with type: " + std::string(type) + ", subtype: " + std::string(subType) +
          ", manufacturer: " + std::string(manufacturer) + ")");
}

void SimplePlayEngine::instantiateUnit(std::string_view type, std::string_view subType,
                                       std::string_view manufacturer, ViewControllerCompletion completion) {
    const auto component = findComponent(type, subType, manufacturer);
    auto self = shared_from_this();
    audiounit::AVAudioUnit::instantiate(
        component, instantiationOptions_,
        // Main thread.
        [self, completion = std::move(completion)](std::shared_ptr<audiounit::AVAudioUnit> unit,
                                                   std::optional<foundation::NSError> error) {
            if (error || !unit || !unit->auAudioUnit()) {
                // The host goes on without a unit.
                self->instantiationError =
                    error ? *error
                          : foundation::makeOSStatusError(audiounit::kAudioUnitErr_FailedInitialization,
                                                          "the component made no audio unit");
                if (completion) completion(nullptr);
                return;
            }
            // Offline rendering has no cycle budget: wait for the unit's service as long as it takes.
            if (const auto proxy = std::dynamic_pointer_cast<audiounit::AUAudioUnitProxy>(unit->auAudioUnit());
                proxy && self->offline_)
                proxy->setRenderDeadline(std::chrono::seconds(2));
            engine::AVAudioUnitInterface unitInterface = engine::makeAVAudioUnitInterface(unit->auAudioUnit());
            auto meter = self->levelMeter_;
            unitInterface.renderBlock = [inner = std::move(unitInterface.renderBlock), meter] {
                return meteredRenderBlock(inner(), meter);
            };
            self->unitNode_ = std::make_shared<engine::AVAudioUnit>(std::move(unitInterface));
            self->avAudioUnit.set(unit);
            self->connectUnit();
            if (completion) completion(self->loadViewController());
        });
}

NSViewControllerPtr SimplePlayEngine::loadViewController() const {
    const auto& unit = avAudioUnit.get();
    if (!unit) return nullptr;
    NSViewControllerPtr ownEditor;
    audiounit::requestViewController(*unit, [&](NSViewControllerPtr controller) { ownEditor = std::move(controller); });
    if (ownEditor) return ownEditor;
    auto generic = std::make_shared<audiounit::AUGenericViewController>();
    generic->setAuAudioUnit(unit->auAudioUnit());
    return generic;
}

bool SimplePlayEngine::isEffectUnit() const {
    const auto& unit = avAudioUnit.get();
    if (!unit || !unit->auAudioUnit()) return false;
    const auto type = unit->auAudioUnit()->componentDescription().componentType;
    return type == kTypeMusicEffect || type == kTypeEffect;
}

void SimplePlayEngine::routePlayerToMixer() {
    if (!isEffectUnit()) return;
    const auto& opened = file.get();
    if (!opened || !opened->processingFormat()) fatal("No AVAudioFile defined (processing format unavailable).");
    engine->connect(player, engine->mainMixerNode(), opened->processingFormat());
}

void SimplePlayEngine::connectUnit() {
    const auto& unit = avAudioUnit.get();
    if (!unit || !unitNode_) return;
    const auto mixer = engine->mainMixerNode();

    engine->disconnectNodeInput(mixer);
    routePlayerToMixer();
    engine->detach(unitNode_);

    const auto hardwareFormat = engine->outputNode()->outputFormatForBus(0);
    engine->connect(mixer, engine->outputNode(), hardwareFormat);

    if (isPlaying.get()) player->pause();

    const auto& auAudioUnit = unit->auAudioUnit();
    if (!auAudioUnit->MIDIOutputNames().empty()) {
        // Render thread: calls the host's block as it is; the engine outlives its units.
        SimplePlayEngine* raw = this;
        auAudioUnit->setMIDIOutputEventBlock(
            [raw](audiounit::AUEventSampleTime time, std::uint8_t cable, audiounit::NSInteger length,
                  const std::uint8_t* bytes) { return raw->midiOutBlock(time, cable, length, bytes); });
    }

    engine->attach(unitNode_);

    if (isEffectUnit()) {
        engine->disconnectNodeInput(mixer);
        const auto& opened = file.get();
        if (opened && opened->processingFormat()) {
            engine->connect(player, unitNode_, opened->processingFormat());
            engine->connect(unitNode_, mixer, opened->processingFormat());
        }
    } else {
        const double sampleRate = hardwareFormat ? hardwareFormat->sampleRate() : 44100.0;
        engine->connect(unitNode_, mixer, audiounit::AVAudioFormat::makeStandard(sampleRate, 2));
    }

    adoptMIDIEventListBlock();
}

void SimplePlayEngine::adoptMIDIEventListBlock() {
    const auto& unit = avAudioUnit.get();
    MIDIEventListBlockPtr entry;
    if (unit && unit->auAudioUnit() && unit->auAudioUnit()->scheduleMIDIEventListBlock()) {
        entry = std::make_shared<const audiounit::AUMIDIEventListBlock>(unit->auAudioUnit()->scheduleMIDIEventListBlock());
        retiredMIDIEntries_.push_back(entry);
    }
    midiEntry_.store(entry.get(), std::memory_order_release);
    scheduleMIDIEventListBlock.set(entry);
    if (isPlaying.get()) player->play();
}

void SimplePlayEngine::midiReceiveHandler(const midi::MIDIEventList* eventList, void* /*sourceReference*/) noexcept {
    const audiounit::AUMIDIEventListBlock* entry = midiEntry_.load(std::memory_order_acquire);
    if (entry == nullptr || !*entry) {
        droppedMIDIEventLists_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    (void)(*entry)(audiounit::AUEventSampleTimeImmediate, 0, eventList);
    forwardedMIDIEventLists_.fetch_add(1, std::memory_order_relaxed);
}

void SimplePlayEngine::startPlaying() {
    stateChangeQueue.sync([this] {
        if (!isPlaying.get()) startPlayingInternal();
    });
}

void SimplePlayEngine::stopPlaying() {
    stateChangeQueue.sync([this] {
        if (isPlaying.get()) stopPlayingInternal();
    });
}

bool SimplePlayEngine::togglePlaying() {
    if (isPlaying.get()) {
        stopPlaying();
    } else {
        startPlaying();
    }
    return isPlaying.get();
}

bool SimplePlayEngine::publishOutputLoss() {
    const auto reason = engine->outputLossReason();
    outputLossReason.set(reason.value_or(std::string()));
    return reason.has_value();
}

void SimplePlayEngine::startPlayingInternal() {
    if (!avAudioUnit.get() || publishOutputLoss()) return;
    const bool effect = isEffectUnit();
    if (effect) scheduleEffectLoop();
    engine->connect(engine->mainMixerNode(), engine->outputNode(), engine->outputNode()->outputFormatForBus(0));
    foundation::NSError error;
    if (!engine->start(&error)) {
        isPlaying.set(false);
        // An output lost on the way is shown, not fatal.
        if (publishOutputLoss()) return;
        fatal("Could not start engine. error: " + error.localizedDescription() + ".");
    }
    if (effect) player->play();
    isPlaying.set(true);
}

void SimplePlayEngine::stopPlayingInternal() {
    if (!avAudioUnit.get()) return;
    if (isEffectUnit()) player->stop();
    engine->stop();
    isPlaying.set(false);
    publishOutputLoss();
}

void SimplePlayEngine::scheduleEffectLoop() {
    const auto opened = file.get();
    if (!opened) fatal("`file` must not be nil in scheduleEffectLoop().");
    auto self = shared_from_this();
    foundation::DispatchQueue::main().async([self, opened] {
        ++self->effectLoopPasses_;
        // The completion runs on the player's thread once the pass has played out
        // or the player stopped; it only hands over to the main thread.
        self->player->scheduleFile(opened, [self] {
            foundation::DispatchQueue::main().async([self] {
                if (self->isPlaying.get()) self->scheduleEffectLoop();
            });
        });
    });
}
