#pragma once
// The audio-unit base class. A subclass supplies busses, a render callback
// (internalRenderBlock) and a parameter tree; the base gives hosts what every
// unit has: the render block they call, event scheduling into it, render
// resource bookkeeping, presets, the saved state (fullState), user presets on
// disk and the notification that all parameter values changed at once.
//
// Making a unit: AUAudioUnit::create<Unit>(description, options, &error). It
// constructs the unit (members take their initial values), then calls the
// virtual initWithComponentDescription, which a subclass overrides to build its
// busses, calling the base version where its set-up needs it. The result is
// null, with the error filled in, when that fails.
//
// Threads: the host creates, allocates, deallocates and configures the unit on
// its own (non-render) threads and never renders during allocation or
// deallocation. renderBlock() and the scheduling blocks are the only members
// meant for the render thread.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "audiounit/AUAudioUnitBus.hpp"
#include "audiounit/AUAudioUnitBusArray.hpp"
#include "audiounit/AUAudioUnitPreset.hpp"
#include "audiounit/AUParameters.hpp"
#include "audiounit/AudioComponentDescription.hpp"
#include "audiounit/RenderContract.hpp"
#include "audiounit/RenderEventScheduler.hpp"
#include "foundation/NSError.hpp"

namespace audiounit {

// Schedules a parameter change (a ramp when rampDurationSampleFrames > 0) at a
// sample time, or at AUEventSampleTimeImmediate (+ n frames) for the start of
// the next cycle. Any thread, the render thread included; it neither locks nor
// allocates. An event that does not fit in the queue is dropped.
using AUScheduleParameterBlock = std::function<void(AUEventSampleTime eventSampleTime,
                                                    AUAudioFrameCount rampDurationSampleFrames,
                                                    AUParameterAddress parameterAddress, AUValue value)>;
// Schedules a MIDI 1.0 message of one to three bytes; longer messages are dropped.
using AUScheduleMIDIEventBlock = std::function<void(AUEventSampleTime eventSampleTime, std::uint8_t cable,
                                                    NSInteger length, const std::uint8_t* midiBytes)>;
// Schedules a MIDI event list, one render event per packet. Returns noErr, or
// kAudioUnitErr_InvalidParameter for a null or malformed list, or
// kAudioUnitErr_CannotDoInCurrentContext when the queue is full (packets that
// fitted stay scheduled).
using AUMIDIEventListBlock =
    std::function<OSStatus(AUEventSampleTime eventSampleTime, std::uint8_t cable, const midi::MIDIEventList* list)>;
// Where a unit with MIDI outputs sends its MIDI 1.0 output: sample time, cable,
// length and bytes. Called on the render thread; must not lock, allocate or block.
using AUMIDIOutputEventBlock = std::function<OSStatus(AUEventSampleTime eventSampleTime, std::uint8_t cable,
                                                      NSInteger length, const std::uint8_t* midiBytes)>;

// Identifies a handler registered with observeAllParameterValues.
struct AUObservationToken {
    std::uint64_t id = 0;
    explicit operator bool() const noexcept { return id != 0; }
    friend bool operator==(AUObservationToken, AUObservationToken) = default;
};

class AUAudioUnit : public std::enable_shared_from_this<AUAudioUnit> {
public:
    // Only AUAudioUnit::create makes one, so that every unit is initialised
    // and owned by a shared pointer.
    class ConstructionKey {
        friend class AUAudioUnit;
        ConstructionKey() = default;
    };

    // Constructs a Unit (which takes a ConstructionKey) and initialises it.
    template <typename Unit>
    static std::shared_ptr<Unit> create(const AudioComponentDescription& description,
                                        AudioComponentInstantiationOptions options,
                                        foundation::NSError* outError = nullptr) {
        auto unit = std::make_shared<Unit>(ConstructionKey{});
        AUAudioUnit& base = *unit;
        if (!base.initWithComponentDescription(description, options, outError)) return nullptr;
        return unit;
    }

    explicit AUAudioUnit(ConstructionKey);
    virtual ~AUAudioUnit();
    AUAudioUnit(const AUAudioUnit&) = delete;
    AUAudioUnit& operator=(const AUAudioUnit&) = delete;

    [[nodiscard]] const AudioComponentDescription& componentDescription() const noexcept { return description_; }
    [[nodiscard]] AudioComponentInstantiationOptions instantiationOptions() const noexcept { return options_; }

    // MARK: Busses and formats

    // The base gives empty arrays; subclasses return their own.
    [[nodiscard]] virtual AUAudioUnitBusArrayPtr inputBusses() const;
    [[nodiscard]] virtual AUAudioUnitBusArrayPtr outputBusses() const;
    // Pairs of input and output channel counts the unit supports; empty means any.
    [[nodiscard]] virtual std::vector<NSInteger> channelCapabilities() const { return {}; }
    // Asked by a bus of this unit before it takes a new format. The base refuses
    // every change with kAudioUnitErr_Initialized while render resources are allocated.
    virtual bool shouldChangeToFormat(const AVAudioFormat& format, const AUAudioUnitBus& bus,
                                      foundation::NSError* outError);

    // MARK: Rendering

    // The most frames one render call may ask for. A count above
    // kMaximumFramesToRenderLimit is refused: the unit keeps its count and
    // allocates nothing for it (overrides must do the same).
    [[nodiscard]] virtual AUAudioFrameCount maximumFramesToRender() const;
    virtual void setMaximumFramesToRender(AUAudioFrameCount frames);
    [[nodiscard]] virtual bool shouldBypassEffect() const;
    virtual void setShouldBypassEffect(bool bypass);
    // The render callback; the base has none. Read once, when render resources
    // are allocated.
    [[nodiscard]] virtual AUInternalRenderBlock internalRenderBlock();

    // Prepares for rendering. The base fails with kAudioUnitErr_FailedInitialization
    // when the unit has no render callback, a bus has no format or the maximum
    // frame count is 0; otherwise it marks the resources allocated.
    virtual bool allocateRenderResources(foundation::NSError* outError = nullptr);
    virtual void deallocateRenderResources();
    [[nodiscard]] bool renderResourcesAllocated() const noexcept {
        return renderResourcesAllocated_.load(std::memory_order_acquire);
    }

    // What hosts call each cycle: takes the scheduled events due in the cycle,
    // runs the render callback with them, with flush-to-zero set for its
    // duration. Returns kAudioUnitErr_Uninitialized while render resources are
    // not allocated. Render thread; valid while the unit lives.
    [[nodiscard]] const AURenderBlock& renderBlock() const noexcept { return renderBlock_; }
    // Scheduling into the render block; each may outlive the unit (events
    // scheduled then go nowhere).
    [[nodiscard]] const AUScheduleParameterBlock& scheduleParameterBlock() const noexcept {
        return scheduleParameterBlock_;
    }
    [[nodiscard]] const AUScheduleMIDIEventBlock& scheduleMIDIEventBlock() const noexcept {
        return scheduleMIDIEventBlock_;
    }
    [[nodiscard]] const AUMIDIEventListBlock& scheduleMIDIEventListBlock() const noexcept {
        return scheduleMIDIEventListBlock_;
    }

    // MARK: MIDI output

    // Names of the unit's MIDI outputs; empty (the base) for a unit without any.
    [[nodiscard]] virtual std::vector<std::string> MIDIOutputNames() const { return {}; }
    // The host's receiver of the unit's MIDI output. Set before render
    // resources are allocated; the render callback reads it.
    void setMIDIOutputEventBlock(AUMIDIOutputEventBlock block) { midiOutputEventBlock_ = std::move(block); }
    [[nodiscard]] const AUMIDIOutputEventBlock& MIDIOutputEventBlock() const noexcept { return midiOutputEventBlock_; }

    [[nodiscard]] virtual double latency() const { return 0.0; }
    [[nodiscard]] virtual double tailTime() const { return 0.0; }

    // MARK: Parameters

    [[nodiscard]] AUParameterTreePtr parameterTree() const;
    // Sets the tree once; false (and no change) when a tree is already set.
    bool setParameterTree(AUParameterTreePtr tree);

    // Registers a handler for "all parameter values changed" (a restored
    // state), called on the thread that posts it. Returns its token.
    AUObservationToken observeAllParameterValues(std::function<void()> handler);
    void removeAllParameterValuesObserver(AUObservationToken token);
    // Tells every such handler that all values changed, on the calling thread.
    void postAllParameterValuesChanged();

    // MARK: Presets

    [[nodiscard]] virtual std::vector<AUAudioUnitPresetPtr> factoryPresets() const { return {}; }
    [[nodiscard]] virtual AUAudioUnitPresetPtr currentPreset() const;
    // Null clears the current preset. A factory preset is found by number
    // (the name is not compared) among factoryPresets(), applied with
    // applyFactoryPreset and made current as the listed object; a user preset
    // the unit has stored has its saved values applied and becomes current,
    // unless selectsUserPresets() says the unit leaves that to its host.
    // Anything else changes nothing.
    virtual void setCurrentPreset(AUAudioUnitPresetPtr preset);

    // MARK: State

    // Everything a host saves: the component description, a format version,
    // the current preset and every parameter's value by address, as one JSON
    // object: {"type": T, "subtype": S, "manufacturer": M (the codes as
    // numbers), "version": 1, "preset": {"number": N, "name": "..."} or null,
    // "parameters": {"<address>": value, ...}}.
    [[nodiscard]] virtual nlohmann::json fullState() const;
    // Restores a saved state: checks it whole first, and refuses one that is
    // malformed, holds a value that is not finite or belongs to another
    // component with kAudioUnitErr_InvalidPropertyValue, changing nothing.
    // Then selects its preset, sets every value, held to its parameter's
    // range, through the tree and posts that all parameter values changed.
    virtual bool setFullState(const nlohmann::json& state, foundation::NSError* outError = nullptr);
    // The same, as bytes (compact JSON); equal states give equal bytes.
    [[nodiscard]] std::string fullStateData() const;
    bool setFullStateData(std::string_view data, foundation::NSError* outError = nullptr);

    static constexpr int kStateVersion = 1;

    // MARK: User presets
    // One JSON file per preset in userPresetsDirectory(), user<number>.json
    // (numbers negative), holding the preset's saved state, each written to a
    // temporary name and then renamed.

    [[nodiscard]] virtual bool supportsUserPresets() const { return true; }
    // Saves the current state under a preset with a negative number; a preset
    // with the same number is replaced.
    bool saveUserPreset(const AUAudioUnitPresetPtr& preset, foundation::NSError* outError = nullptr);
    bool deleteUserPreset(const AUAudioUnitPresetPtr& preset, foundation::NSError* outError = nullptr);
    // The stored user presets, -1 first.
    [[nodiscard]] std::vector<AUAudioUnitPresetPtr> userPresets() const;
    // A file named like a user preset that userPresets() leaves out, and why:
    // it cannot be read, is not JSON or is not a usable state of this unit.
    struct UnusableUserPreset {
        std::filesystem::path path;
        std::optional<std::string> name;  // the preset's name, when the file gives one
        std::string reason;
    };
    [[nodiscard]] std::vector<UnusableUserPreset> unusableUserPresets() const;
    // The state saved for a user preset, or absent with the error filled in
    // (its description names the file and says what is wrong with it).
    [[nodiscard]] std::optional<nlohmann::json> presetStateFor(const AUAudioUnitPresetPtr& preset,
                                                               foundation::NSError* outError = nullptr) const;

    // $XDG_DATA_HOME (else ~/.local/share) /dunmarrow/presets/<type>-<subtype>-<manufacturer>/,
    // unless set explicitly.
    [[nodiscard]] std::filesystem::path userPresetsDirectory() const;
    void setUserPresetsDirectory(std::filesystem::path directory);

protected:
    // The base initialiser: keeps the description and options and makes the
    // empty default bus arrays. Fails with kAudioUnitErr_InvalidPropertyValue
    // when the description has no type, subtype or manufacturer, or when the
    // unit is initialised twice. Overrides call it where their set-up needs it.
    virtual bool initWithComponentDescription(const AudioComponentDescription& description,
                                              AudioComponentInstantiationOptions options,
                                              foundation::NSError* outError);

    void setRenderResourcesAllocated(bool allocated) noexcept {
        renderResourcesAllocated_.store(allocated, std::memory_order_release);
    }

    // Called by setCurrentPreset with the listed factory preset it selects,
    // before that preset becomes current, on the caller's thread (never the
    // render thread): a unit whose factory presets carry values sets them here.
    // The base's has none to set.
    virtual void applyFactoryPreset(const AUAudioUnitPreset& preset);
    // Whether setCurrentPreset applies a stored user preset. A unit that
    // answers false leaves user presets to its host, which restores them
    // through presetStateFor and setFullState; selecting one then changes
    // nothing.
    [[nodiscard]] virtual bool selectsUserPresets() const { return true; }
    // Makes a preset current without applying anything, for a unit whose
    // parameters already hold its values.
    void setCurrentPresetWithoutApplying(AUAudioUnitPresetPtr preset);

    // Checks a state against this unit; on success the values to apply, in
    // tree order, each held to its parameter's range.
    struct CheckedState {
        bool hasPreset = false;
        AUAudioUnitPresetPtr preset;
        std::vector<std::pair<AUParameterPtr, AUValue>> values;
    };
    std::optional<CheckedState> checkState(const nlohmann::json& state, foundation::NSError* outError) const;

private:
    // checkState's work; `reason` says what is wrong when the state is refused.
    std::optional<CheckedState> checkedState(const nlohmann::json& state, std::string& reason) const;
    // Saved state as bytes, parsed; absent with `reason` set when it is not
    // JSON. A number too large for any value names its parameter.
    std::optional<nlohmann::json> parseState(std::string_view data, std::string& reason) const;
    // Reads the user-preset folder: the usable presets and, when asked for,
    // the files that are not.
    std::vector<AUAudioUnitPresetPtr> scanUserPresets(std::vector<UnusableUserPreset>* unusable) const;
    OSStatus render(AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp,
                    AUAudioFrameCount frameCount, NSInteger outputBusNumber, AudioBufferList* outputData,
                    const AURenderPullInputBlock* pullInputBlock) noexcept;
    [[nodiscard]] std::filesystem::path userPresetPath(NSInteger number) const;

    AudioComponentDescription description_;
    AudioComponentInstantiationOptions options_ = kAudioComponentInstantiation_None;
    bool initialized_ = false;

    std::atomic<bool> renderResourcesAllocated_{false};
    std::atomic<AUAudioFrameCount> maximumFramesToRender_{512};
    std::atomic<bool> shouldBypassEffect_{false};

    AUAudioUnitBusArrayPtr defaultInputBusses_;
    AUAudioUnitBusArrayPtr defaultOutputBusses_;

    // Read by the render thread; written only while resources are not allocated.
    AUInternalRenderBlock cachedInternalRenderBlock_;
    std::shared_ptr<RenderEventScheduler> scheduler_;
    AURenderBlock renderBlock_;
    AUScheduleParameterBlock scheduleParameterBlock_;
    AUScheduleMIDIEventBlock scheduleMIDIEventBlock_;
    AUMIDIEventListBlock scheduleMIDIEventListBlock_;
    AUMIDIOutputEventBlock midiOutputEventBlock_;

    mutable std::mutex mutex_;
    AUParameterTreePtr parameterTree_;
    AUAudioUnitPresetPtr currentPreset_;
    std::optional<std::filesystem::path> userPresetsDirectory_;

    struct AllValuesObserver {
        AUObservationToken token;
        std::function<void()> handler;
    };
    std::shared_ptr<const std::vector<AllValuesObserver>> allValuesObservers_;
    std::uint64_t nextObservationToken_ = 1;
};

using AUAudioUnitPtr = std::shared_ptr<AUAudioUnit>;

}  // namespace audiounit
