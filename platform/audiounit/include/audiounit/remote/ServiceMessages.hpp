#pragma once
// What the host takes from the audio-unit service: its packets (replies and
// events) and the results of its requests, decoded with every field checked
// for type and range (see FieldReader.hpp). The service is another process
// that may misbehave in any way; a decoder gives false with `problem` naming
// what was wrong for anything malformed, and never throws for any input. The
// proxy treats a malformed message as it treats a dead service.
//
// These are plain functions of their input, so that a test or a fuzz target
// can drive them with any bytes (through parsePacket, RemoteUnitChannel.hpp)
// and no service process.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "audiounit/AUParameters.hpp"
#include "audiounit/RenderContract.hpp"

namespace audiounit::remote {

// A reply to request `id`: its result, or the service's error.
struct ServiceReply {
    std::uint64_t id = 0;
    nlohmann::json result;  // null when absent
    bool failed = false;
    std::int32_t errorCode = 0;
    std::string errorDescription;
};
// A parameter changed on the service's side.
struct ParameterChangedEvent {
    AUParameterAddress address = 0;
    AUValue value = 0;
    std::uint64_t hostTime = 0;
    AUParameterAutomationEventType eventType = AUParameterAutomationEventType::Value;
};
// Every parameter value changed at once (a preset, a state).
struct AllParameterValuesChangedEvent {};

using ServiceMessage = std::variant<ServiceReply, ParameterChangedEvent, AllParameterValuesChangedEvent>;

// Any packet the service sends.
bool decodeServiceMessage(const nlohmann::json& packet, ServiceMessage& message, std::string& problem);

// The result of "describe".
struct BusDescription {
    double sampleRate = 0;
    AVAudioChannelCount channels = 0;
    AUAudioChannelCount maximumChannelCount = 0;
    std::string name;
};
struct PresetDescription {
    NSInteger number = 0;
    std::string name;
};
struct UnitDescription {
    AUParameterTreePtr parameterTree;  // null: the unit has none
    std::vector<BusDescription> inputBusses;
    std::vector<BusDescription> outputBusses;
    std::vector<NSInteger> channelCapabilities;
    std::vector<std::string> midiOutputNames;
    std::vector<PresetDescription> factoryPresets;
    double latency = 0;
    double tailTime = 0;
    bool supportsUserPresets = false;
    AUAudioFrameCount maximumFramesToRender = 0;
    bool shouldBypassEffect = false;
    bool editorAvailable = false;
    double editorWidth = 0;
    double editorHeight = 0;
};
// The most busses a unit may describe on each side.
inline constexpr std::size_t kMaxDescribedBusses = 64;
bool decodeUnitDescription(const nlohmann::json& result, UnitDescription& description, std::string& problem);

// A parameter tree as describeParameterTree gives it (addresses unique, ranges
// ordered, nesting at most 16 deep).
bool decodeParameterTree(const nlohmann::json& description, AUParameterTreePtr& tree, std::string& problem);

// The results of the other requests that answer with something.
bool decodeCurrentPreset(const nlohmann::json& result, std::optional<PresetDescription>& preset, std::string& problem);
bool decodeFullState(const nlohmann::json& result, std::string& problem);  // an object
bool decodeValueText(const nlohmann::json& result, std::string& text, std::string& problem);
bool decodeParameterValue(const nlohmann::json& result, AUValue& value, std::string& problem);
bool decodeEditorWindow(const nlohmann::json& result, unsigned long& window, std::string& problem);
bool decodeEditorInspection(const nlohmann::json& result, nlohmann::json& inspection, std::string& problem);

}  // namespace audiounit::remote
