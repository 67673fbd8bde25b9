#pragma once
// The host's audio side: an audio engine with one file player, the audio file
// from the application's resources, the hosted audio unit wired in by its
// kind, start and stop on a serial queue, the file looped through an effect,
// and live MIDI forwarded to the unit.
//
// Graph shapes (the main mixer also goes to the output at the output's bus-0
// format whenever a unit is wired and whenever playback starts):
//   after construction:        player -> main mixer, at the file's processing format
//   effect ("aufx", "aumf"):   player -> unit -> main mixer, at the file's processing format
//   any other unit:            unit -> main mixer, stereo at the output's sample rate
//
// Threads: construction, instantiateUnit, connectUnit, loadViewController and
// the effect loop run on the main thread. The start and stop steps run on
// stateChangeQueue while the main thread waits for them. midiReceiveHandler
// runs on the MIDI receiving thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "MIDIManager.hpp"
#include "foundation/NSError.hpp"
#include "Observable.hpp"
#include "UnitLevelMeter.hpp"
#include "audiounit/AUAudioUnit.hpp"
#include "audiounit/AVAudioUnit.hpp"
#include "audiounitui/AUViewController.hpp"
#include "engine/AVAudioEngine.hpp"
#include "engine/AVAudioFile.hpp"
#include "engine/AVAudioPlayerNode.hpp"
#include "engine/AVAudioUnit.hpp"
#include "foundation/DispatchQueue.hpp"
#include "midi/MIDIServices.hpp"
#include "ui/ViewController.hpp"

// The unit's editor as the host holds it until the window embeds it.
using NSViewControllerPtr = std::shared_ptr<ui::NSViewController>;

class SimplePlayEngine : public std::enable_shared_from_this<SimplePlayEngine> {
public:
    // Handed to units that declare MIDI outputs: sample time, cable, length, bytes.
    using MIDIOutputBlock =
        std::function<audiounit::OSStatus(std::int64_t eventSampleTime, std::uint8_t cable, std::int64_t length,
                                          const std::uint8_t* midiBytes)>;
    using MIDIEventListBlockPtr = std::shared_ptr<const audiounit::AUMIDIEventListBlock>;
    using ViewControllerCompletion = std::function<void(NSViewControllerPtr viewController)>;

    static constexpr const char* kStateChangeQueueLabel = "org.dunmarrow.DunmarrowAU.StateChangeQueue";

    // What the application leaves at its defaults and tests change.
    struct Configuration {
        engine::AVAudioEngineOptions engineOptions;
        // The MIDI manager to set up; null means MIDIManager::shared().
        std::shared_ptr<MIDIManager> midiManager;
        // Non-zero: the engine renders offline (manual rendering mode) in
        // cycles of at most this many frames, stereo at the file's sample rate,
        // instead of through an output. Chosen before the engine is prepared.
        audiounit::AUAudioFrameCount offlineMaximumFrames = 0;
        // How the unit is loaded: in a process of its own, so that its crash
        // cannot end the host.
        audiounit::AudioComponentInstantiationOptions instantiationOptions =
            audiounit::kAudioComponentInstantiation_LoadOutOfProcess;
    };

    // Construction: attaches the player, opens "Synth.aif" from the main
    // bundle's resources and connects the player to the main mixer at its
    // processing format, prepares the engine and sets up MIDI 2.0 input. Ends
    // the process when the file is missing or unreadable or MIDI set-up fails.
    // Main thread.
    static std::shared_ptr<SimplePlayEngine> make(Configuration configuration);
    static std::shared_ptr<SimplePlayEngine> make() { return make(Configuration()); }
    ~SimplePlayEngine();
    SimplePlayEngine(const SimplePlayEngine&) = delete;
    SimplePlayEngine& operator=(const SimplePlayEngine&) = delete;

    // MARK: Fields, in the order the engine declares them.

    // The instantiated unit.
    Observable<std::shared_ptr<audiounit::AVAudioUnit>> avAudioUnit;
    // Why the last instantiation failed, if it did. Main thread.
    std::optional<foundation::NSError> instantiationError;
    foundation::DispatchQueue stateChangeQueue{kStateChangeQueueLabel};
    const std::unique_ptr<engine::AVAudioEngine> engine;
    const engine::AVAudioPlayerNodePtr player = std::make_shared<engine::AVAudioPlayerNode>();
    Observable<engine::AVAudioFilePtr> file;
    Observable<bool> isPlaying{false};
    // Why the audio output was lost (its JACK server shut down or stopped
    // answering), or empty while it works. Written by the start and stop steps;
    // once lost, starting does nothing.
    Observable<std::string> outputLossReason;
    MIDIOutputBlock midiOutBlock = [](std::int64_t, std::uint8_t, std::int64_t, const std::uint8_t*) {
        return audiounit::OSStatus{0};
    };
    // The unit's MIDI event-list entry, or null.
    Observable<MIDIEventListBlockPtr> scheduleMIDIEventListBlock;

    // MARK: Operations

    // Finds the component with these codes, instantiates it (out of process
    // requested), wires it and calls `completion` on the main thread with its
    // editor, or with null when instantiation failed. Ends the process when no
    // component matches (or a text is not a four-character code). Main thread.
    void instantiateUnit(std::string_view type, std::string_view subType, std::string_view manufacturer,
                         ViewControllerCompletion completion);
    // Start and stop, each run synchronously on stateChangeQueue; starting while
    // playing and stopping while idle do nothing, as do both without a unit.
    // Main thread; they return once the step has run, which takes at most the
    // output's time limit for each wait on the JACK server.
    void startPlaying();
    void stopPlaying();
    // Stops when playing, else starts; returns isPlaying afterwards.
    bool togglePlaying();

    // Receives live MIDI: hands the event list, unchanged, to the unit's
    // event-list entry at the immediate sample time on cable 0, or drops it when
    // no unit has one. MIDI receiving thread: no lock, no allocation.
    void midiReceiveHandler(const midi::MIDIEventList* eventList, void* sourceReference) noexcept;

    // MARK: Observation beyond the fields (the window's meters, tests)

    // Peak levels of the audio the unit pulls and renders.
    [[nodiscard]] const std::shared_ptr<UnitLevelMeter>& levelMeter() const noexcept { return levelMeter_; }
    // The node that hosts the unit in the graph, or null.
    [[nodiscard]] const engine::AVAudioUnitPtr& unitNode() const noexcept { return unitNode_; }
    // Passes of the file the effect loop has scheduled so far. Main thread.
    [[nodiscard]] std::uint64_t effectLoopPasses() const noexcept { return effectLoopPasses_; }
    // Event lists forwarded to and dropped for want of a unit. Any thread.
    [[nodiscard]] std::uint64_t forwardedMIDIEventLists() const noexcept {
        return forwardedMIDIEventLists_.load(std::memory_order_relaxed);
    }
    [[nodiscard]] std::uint64_t droppedMIDIEventLists() const noexcept {
        return droppedMIDIEventLists_.load(std::memory_order_relaxed);
    }
    // True when the hosted unit is an effect ("aufx" or "aumf"); read afresh each time.
    [[nodiscard]] bool isEffectUnit() const;

private:
    explicit SimplePlayEngine(const Configuration& configuration);
    void construct(const Configuration& configuration);

    void loadAudioFile(const std::string& path);
    [[nodiscard]] audiounit::AVAudioUnitComponentPtr findComponent(std::string_view type, std::string_view subType,
                                                                   std::string_view manufacturer) const;
    void connectUnit();
    void routePlayerToMixer();
    void adoptMIDIEventListBlock();
    [[nodiscard]] NSViewControllerPtr loadViewController() const;
    void startPlayingInternal();
    void stopPlayingInternal();
    // Publishes the engine's output loss; true when the output is lost.
    bool publishOutputLoss();
    void scheduleEffectLoop();

    audiounit::AudioComponentInstantiationOptions instantiationOptions_;
    bool offline_ = false;
    engine::AVAudioUnitPtr unitNode_;
    std::shared_ptr<UnitLevelMeter> levelMeter_ = std::make_shared<UnitLevelMeter>();
    std::uint64_t effectLoopPasses_ = 0;

    // What the receive thread reads: the current entry, published with release
    // order. Every entry ever published stays alive in retiredMIDIEntries_ until
    // the engine goes, so that the receive thread never frees one.
    std::atomic<const audiounit::AUMIDIEventListBlock*> midiEntry_{nullptr};
    std::vector<MIDIEventListBlockPtr> retiredMIDIEntries_;
    std::atomic<std::uint64_t> forwardedMIDIEventLists_{0};
    std::atomic<std::uint64_t> droppedMIDIEventLists_{0};
};
