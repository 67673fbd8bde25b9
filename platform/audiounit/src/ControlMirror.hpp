#pragma once
// The out-of-process proxy's copy of the unit's control state. What the
// service described when the unit was made (busses, channel capabilities,
// MIDI outputs, factory presets, latency, tail, editor) is kept and answered
// here; the maximum frame count and bypass are kept and sent on; presets and
// the full state are asked of the service each time.
//
// The parameter tree is a mirror built from the service's description: a
// change on either side reaches the other side's observers once and is never
// echoed back (each side writes what it receives with its own mirror token as
// originator). Value texts are the unit's own, asked of the service.

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

#include "audiounit/AUAudioUnit.hpp"
#include "audiounit/remote/ServiceMessages.hpp"

namespace audiounit::remote {

class ServiceConnection;

class ControlMirror {
public:
    explicit ControlMirror(std::shared_ptr<ServiceConnection> connection) : connection_(std::move(connection)) {}

    // Takes the service's description: makes the busses (for `owner`) and
    // the factory presets, and makes the parameter tree a mirror. False with
    // outError set when the busses cannot be made. Thread: the launching one,
    // before the tree is installed.
    bool adopt(UnitDescription description, const std::shared_ptr<AUAudioUnit>& owner,
               foundation::NSError* outError);

    // What the service described (its parameter tree is the mirror, or null).
    [[nodiscard]] const UnitDescription& description() const { return described_; }
    [[nodiscard]] const AUAudioUnitBusArrayPtr& inputBusses() const { return inputBusses_; }
    [[nodiscard]] const AUAudioUnitBusArrayPtr& outputBusses() const { return outputBusses_; }
    [[nodiscard]] const std::vector<AUAudioUnitPresetPtr>& factoryPresets() const { return factoryPresets_; }

    // Connection thread: the service changed a parameter. Written into
    // `tree` (the unit's installed tree; null while it is still being built)
    // with the mirror's own token, so that it does not go back. A parameter
    // the unit does not have stops the service.
    void applyParameterChange(const AUParameterTreePtr& tree, const ParameterChangedEvent& changed);

    // Any thread; the render thread reads the maximum too. Each is a value
    // of its own that publishes nothing else: relaxed.
    [[nodiscard]] AUAudioFrameCount maximumFramesToRender() const noexcept {
        return maximumFrames_.load(std::memory_order_relaxed);
    }
    [[nodiscard]] bool shouldBypassEffect() const noexcept { return bypass_.load(std::memory_order_relaxed); }

    // Requests of the service, each waiting for its answer. Not on the render
    // thread or the connection thread.
    void setMaximumFramesToRender(AUAudioFrameCount frames);
    void setShouldBypassEffect(bool bypass);
    bool setBusFormat(const AVAudioFormat& format, const AUAudioUnitBus& bus, foundation::NSError* outError);
    // The service's current preset; null when it has none or does not answer.
    [[nodiscard]] AUAudioUnitPresetPtr currentPreset() const;
    // A factory preset, or none (null).
    void setFactoryPreset(const AUAudioUnitPresetPtr& preset);
    // The service's full state; absent when it does not answer.
    [[nodiscard]] std::optional<nlohmann::json> fullState() const;
    bool setFullState(const nlohmann::json& state, foundation::NSError* outError);

private:
    void mirror(AUParameterTree& tree);

    std::shared_ptr<ServiceConnection> connection_;
    UnitDescription described_;
    AUAudioUnitBusArrayPtr inputBusses_;
    AUAudioUnitBusArrayPtr outputBusses_;
    std::vector<AUAudioUnitPresetPtr> factoryPresets_;
    std::atomic<AUAudioFrameCount> maximumFrames_{512};
    std::atomic<bool> bypass_{false};
    AUParameterObserverToken mirrorToken_;
};

}  // namespace audiounit::remote
