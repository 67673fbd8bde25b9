#include "AudioUnitHostModel.hpp"

#include <iostream>
#include <utility>

#include "FourCharCode.hpp"
#include "audiounit/AudioComponentInstanceInvalidation.hpp"
#include "foundation/DispatchQueue.hpp"

namespace {

bool typeIsOneOf(std::string_view type, std::initializer_list<std::uint32_t> codes) {
    const auto code = fourCharCode(type);
    if (!code) return false;
    for (const auto candidate : codes) {
        if (*code == candidate) return true;
    }
    return false;
}

}  // namespace

bool AudioUnitHostModel::typeWantsAudio(std::string_view type) {
    return typeIsOneOf(type, {kTypeMusicEffect, kTypeEffect});
}
bool AudioUnitHostModel::typeWantsMIDI(std::string_view type) {
    return typeIsOneOf(type, {kTypeMIDIProcessor, kTypeMusicDevice, kTypeMusicEffect});
}
bool AudioUnitHostModel::typeIsFreeRunning(std::string_view type) {
    return typeIsOneOf(type, {kTypeMIDIProcessor, kTypeMusicDevice, kTypeGenerator});
}

std::shared_ptr<AudioUnitHostModel> AudioUnitHostModel::make(std::string type, std::string subType,
                                                             std::string manufacturer, Configuration configuration) {
    std::shared_ptr<AudioUnitHostModel> model(new AudioUnitHostModel(std::move(type), std::move(subType),
                                                                     std::move(manufacturer),
                                                                     std::move(configuration)));
    model->observeInvalidation();
    // The job holds the model weakly: a model gone before the main thread gets
    // to it loads nothing.
    std::weak_ptr<AudioUnitHostModel> weakModel = model;
    foundation::DispatchQueue::main().async([weakModel] {
        if (const auto strong = weakModel.lock()) strong->loadAudioUnit();
    });
    return model;
}

AudioUnitHostModel::AudioUnitHostModel(std::string typeCode, std::string subTypeCode, std::string manufacturerCode,
                                       Configuration configuration)
    : playEngine(SimplePlayEngine::make(std::move(configuration.engine))),
      type(std::move(typeCode)),
      subType(std::move(subTypeCode)),
      manufacturer(std::move(manufacturerCode)),
      wantsAudio(typeWantsAudio(type)),
      wantsMIDI(typeWantsMIDI(type)),
      isFreeRunning(typeIsFreeRunning(type)),
      auValString(type + " " + subType + " " + manufacturer),
      instanceInvalidationNotifcation(audiounit::kAudioComponentInstanceInvalidationNotification),
      validate_(configuration.validate ? std::move(configuration.validate) : defaultAudioComponentValidate()) {}

AudioUnitHostModel::~AudioUnitHostModel() {
    foundation::NotificationCenter::defaultCenter().removeObserver(invalidationToken_);
}

void AudioUnitHostModel::observeInvalidation() {
    std::weak_ptr<AudioUnitHostModel> weakModel = weak_from_this();
    // Runs on the posting thread: touches nothing but the main queue.
    invalidationToken_ = foundation::NotificationCenter::defaultCenter().addObserver(
        instanceInvalidationNotifcation, nullptr, [weakModel](const foundation::Notification& notification) {
            if (weakModel.expired()) return;
            if (!notification.object.as<audiounit::AUAudioUnit>()) return;
            foundation::DispatchQueue::main().async([weakModel] {
                if (const auto model = weakModel.lock()) model->audioUnitCrashed.set(true);
            });
        });
}

void AudioUnitHostModel::loadAudioUnit() {
    auto self = shared_from_this();
    playEngine->instantiateUnit(type, subType, manufacturer, [self](NSViewControllerPtr viewController) {
        if (const auto unit = self->playEngine->avAudioUnit.get()) {
            // Runs after the rest of this job, as both run on the main thread.
            foundation::DispatchQueue::main().async([self, unit] {
                self->validateAU(unit, [self](AudioComponentValidationResult result, std::string text) {
                    self->validationResult.set(result);
                    self->currentValidationData.set(std::move(text));
                });
            });
        }
        AudioUnitViewModel loaded;
        loaded.showAudioControls = self->wantsAudio;
        loaded.showMIDIContols = self->wantsMIDI;
        loaded.title = self->auValString;
        // Success is said only of a unit that exists; otherwise the window says why not.
        if (self->playEngine->avAudioUnit()) {
            loaded.message = "Successfully loaded (" + self->auValString + ")";
        } else {
            const auto& why = self->playEngine->instantiationError;
            loaded.message = "Could not load (" + self->auValString + ")" +
                             (why && !why->description.empty() ? ": " + why->description : std::string());
        }
        loaded.viewController = std::move(viewController);
        self->viewModel.set(std::move(loaded));
        self->loadFinished_ = true;

        if (self->isFreeRunning) {
            // The same step startPlaying submits, waited for here.
            self->playEngine->startPlaying();
        }
    });
}

void AudioUnitHostModel::validateAU(
    const std::shared_ptr<audiounit::AVAudioUnit>& audioUnit,
    std::function<void(AudioComponentValidationResult result, std::string text)> completion) {
    const nlohmann::json options = {{"ForceValidation", true}};
    auto shared = std::make_shared<decltype(completion)>(std::move(completion));
    // The callback may run on any thread: it builds and prints the text, then
    // resumes on the main thread.
    validate_(audioUnit->component(), options,
              [shared](AudioComponentValidationResult result, const nlohmann::json& results) {
                  std::string text = validationOutputText(results);
                  std::cout << text << std::endl;
                  foundation::DispatchQueue::main().async([shared, result, text = std::move(text)]() mutable {
                      if (*shared) (*shared)(result, std::move(text));
                  });
              });
}
