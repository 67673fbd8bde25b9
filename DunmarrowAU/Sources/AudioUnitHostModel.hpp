#pragma once
// The host application's model: loads the audio unit named by three
// four-character codes into its play engine, publishes what the window shows,
// validates the loaded unit and notices when a unit instance dies.
//
// Threads: everything runs on the main thread except the invalidation
// observer and the validation callback, which only hand work to the main
// thread.

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "AudioUnitValidation.hpp"
#include "Observable.hpp"
#include "SimplePlayEngine.hpp"
#include "foundation/NotificationCenter.hpp"

// What the window shows; replaced whole.
struct AudioUnitViewModel {
    bool showAudioControls = false;
    bool showMIDIContols = false;
    std::string title = "-";
    std::string message = "No Audio Unit loaded..";
    NSViewControllerPtr viewController;

    friend bool operator==(const AudioUnitViewModel&, const AudioUnitViewModel&) = default;
};

class AudioUnitHostModel : public std::enable_shared_from_this<AudioUnitHostModel> {
public:
    struct Configuration {
        SimplePlayEngine::Configuration engine;
        // The validation call; empty means defaultAudioComponentValidate().
        AudioComponentValidateFunction validate;
    };

    // Creates the engine, derives the flags, starts watching for instance
    // invalidation and queues the loading on the main thread; returns at once.
    // Main thread.
    static std::shared_ptr<AudioUnitHostModel> make(std::string type, std::string subType, std::string manufacturer,
                                                    Configuration configuration);
    static std::shared_ptr<AudioUnitHostModel> make(std::string type, std::string subType, std::string manufacturer) {
        return make(std::move(type), std::move(subType), std::move(manufacturer), Configuration());
    }
    // Stops watching for invalidation.
    ~AudioUnitHostModel();
    AudioUnitHostModel(const AudioUnitHostModel&) = delete;
    AudioUnitHostModel& operator=(const AudioUnitHostModel&) = delete;

    // MARK: Fields, in the order the model declares them.

    const std::shared_ptr<SimplePlayEngine> playEngine;
    Observable<AudioUnitViewModel, true> viewModel;
    // Set once an invalidation carrying an audio unit arrived; never reset.
    Observable<bool> audioUnitCrashed{false};
    const std::string type;
    const std::string subType;
    const std::string manufacturer;
    const bool wantsAudio;     // "aumf" or "aufx"
    const bool wantsMIDI;      // "aumi", "aumu" or "aumf"
    const bool isFreeRunning;  // "aumi", "aumu" or "augn"
    // "aufx dmds QVRN".
    const std::string auValString;
    const std::string instanceInvalidationNotifcation;
    Observable<std::optional<AudioComponentValidationResult>> validationResult;
    Observable<std::optional<std::string>> currentValidationData;

    // MARK: Operations

    // Validates the unit's component with "ForceValidation" = true, prints the
    // output text and calls `completion` on the main thread with the result
    // and the text. Main thread.
    void validateAU(const std::shared_ptr<audiounit::AVAudioUnit>& audioUnit,
                    std::function<void(AudioComponentValidationResult result, std::string text)> completion);

    // True once loading has published the loaded view model. Main thread.
    [[nodiscard]] bool loadFinished() const noexcept { return loadFinished_; }

    // The flags for a type text; a text that is no four-character code matches none.
    [[nodiscard]] static bool typeWantsAudio(std::string_view type);
    [[nodiscard]] static bool typeWantsMIDI(std::string_view type);
    [[nodiscard]] static bool typeIsFreeRunning(std::string_view type);

private:
    AudioUnitHostModel(std::string typeCode, std::string subTypeCode, std::string manufacturerCode,
                       Configuration configuration);
    void observeInvalidation();
    void loadAudioUnit();

    AudioComponentValidateFunction validate_;
    foundation::ObserverToken invalidationToken_;
    bool loadFinished_ = false;
};
