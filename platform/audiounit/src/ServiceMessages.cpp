#include "audiounit/remote/ServiceMessages.hpp"

#include <limits>
#include <set>

#include "audiounit/AVAudioFormat.hpp"
#include "audiounit/remote/FieldReader.hpp"

namespace audiounit::remote {

using nlohmann::json;

namespace {

constexpr double kLargestFloat = std::numeric_limits<float>::max();
// A latency or tail longer than a day is no unit's.
constexpr double kLongestTimeSeconds = 86400;
// Editor sizes in points.
constexpr double kLargestEditorSize = 16384;
constexpr int kDeepestTree = 16;

bool finish(FieldReader& reader, std::string& problem) {
    if (reader.ok()) return true;
    problem = reader.problem();
    return false;
}

// The tree's nodes, with every address seen so far (they must be unique).
struct TreeReader {
    FieldReader& reader;
    std::set<AUParameterAddress> addresses;

    std::vector<AUParameterNodePtr> children(const json& list, const std::string& name, int depth) {
        std::vector<AUParameterNodePtr> nodes;
        if (!list.is_array()) {
            reader.fail(name + " is not a list");
            return nodes;
        }
        for (std::size_t i = 0; i < list.size() && reader.ok(); ++i) {
            auto node = nodeFrom(list[i], name + "[" + std::to_string(i) + "]", depth);
            if (node) nodes.push_back(std::move(node));
        }
        return nodes;
    }

    AUParameterNodePtr nodeFrom(const json& j, const std::string& name, int depth) {
        if (depth > kDeepestTree) {
            reader.fail(name + " is nested more than " + std::to_string(kDeepestTree) + " deep");
            return nullptr;
        }
        FieldReader node = reader.nested(j, name);
        const std::string kind = node.text("kind");
        if (kind == "node") return AUParameterNode::make();
        if (kind == "group") {
            const std::string identifier = node.text("identifier");
            const std::string displayName = node.text("name");
            auto nodes = children(node.array("children"), node.label("children"), depth + 1);
            if (!node.ok()) return nullptr;
            return AUParameterTree::createGroup(identifier, displayName, std::move(nodes));
        }
        if (kind != "parameter") {
            if (node.ok()) node.fail(node.label("kind") + " is not \"parameter\", \"group\" or \"node\"");
            return nullptr;
        }
        const std::string identifier = node.text("identifier");
        const std::string displayName = node.text("name");
        const auto address = node.integer<AUParameterAddress>("address");
        const double min = node.number("min", -kLargestFloat, kLargestFloat);
        const double max = node.number("max", min, kLargestFloat);
        const auto unit = node.integer<AudioUnitParameterUnit>("unit");
        const auto flags = node.integer<AudioUnitParameterOptions>("flags");
        const double value = node.number("value", -kLargestFloat, kLargestFloat);
        std::optional<std::string> unitName;
        if (node.has("unitName")) unitName = node.text("unitName");
        std::optional<std::vector<std::string>> valueStrings;
        if (node.has("valueStrings")) {
            const json& list = node.array("valueStrings");
            valueStrings.emplace();
            for (std::size_t i = 0; i < list.size(); ++i)
                valueStrings->push_back(node.textValue(list[i], node.label("valueStrings", i)));
        }
        std::optional<AUParameterAddressList> dependents;
        if (node.has("dependentParameters")) {
            const json& list = node.array("dependentParameters");
            dependents.emplace();
            for (std::size_t i = 0; i < list.size(); ++i)
                dependents->push_back(node.integerValue<AUParameterAddress>(list[i], node.label("dependentParameters", i)));
        }
        if (!node.ok()) return nullptr;
        if (!addresses.insert(address).second) {
            node.fail(node.label("address") + " " + std::to_string(address) + " is used twice");
            return nullptr;
        }
        auto parameter = AUParameterTree::createParameter(identifier, displayName, address, static_cast<AUValue>(min),
                                                          static_cast<AUValue>(max), unit, std::move(unitName), flags,
                                                          std::move(valueStrings), std::move(dependents));
        parameter->setValue(static_cast<AUValue>(value));
        return parameter;
    }
};

bool decodePreset(FieldReader& preset, PresetDescription& out) {
    out.number = preset.integer<NSInteger>("number");
    out.name = preset.text("name");
    return preset.ok();
}

void decodeBusses(FieldReader& reader, std::string_view key, std::vector<BusDescription>& busses) {
    const json& list = reader.array(key);
    if (list.size() > kMaxDescribedBusses)
        reader.fail(reader.label(key) + " has more than " + std::to_string(kMaxDescribedBusses) + " busses");
    for (std::size_t i = 0; i < list.size() && reader.ok(); ++i) {
        FieldReader bus = reader.nested(list[i], reader.label(key, i));
        BusDescription described;
        described.sampleRate =
            bus.number("sampleRate", AVAudioFormat::kMinimumSampleRate, AVAudioFormat::kMaximumSampleRate);
        described.channels = bus.integer<AVAudioChannelCount>("channels", 1, AVAudioFormat::kMaxChannels);
        described.maximumChannelCount = bus.integer<AUAudioChannelCount>("maximumChannelCount");
        described.name = bus.text("name");
        busses.push_back(std::move(described));
    }
}

}  // namespace

bool decodeServiceMessage(const json& packet, ServiceMessage& message, std::string& problem) {
    FieldReader reader(packet);
    if (reader.ok() && reader.has("reply")) {
        ServiceReply reply;
        reply.id = reader.integer<std::uint64_t>("reply");
        if (reader.has("error")) {
            FieldReader error = reader.nested(reader.object("error"), "error");
            reply.failed = true;
            reply.errorCode = error.integer<std::int32_t>("code");
            reply.errorDescription = error.text("description");
        } else if (reader.has("result")) {
            reply.result = packet["result"];
        }
        message = std::move(reply);
        return finish(reader, problem);
    }
    const std::string event = reader.has("event") ? reader.text("event") : std::string();
    if (event == "parameter") {
        ParameterChangedEvent changed;
        changed.address = reader.integer<AUParameterAddress>("address");
        changed.value = static_cast<AUValue>(reader.number("value", -kLargestFloat, kLargestFloat));
        changed.hostTime = reader.integer<std::uint64_t>("hostTime");
        changed.eventType = static_cast<AUParameterAutomationEventType>(reader.integer<std::uint32_t>("eventType", 0, 2));
        message = changed;
        return finish(reader, problem);
    }
    if (event == "allParameterValuesChanged") {
        message = AllParameterValuesChangedEvent{};
        return finish(reader, problem);
    }
    // The name is quoted as JSON: a control character in it cannot break the one-line reason.
    const auto quoted = [](const std::string& text) {
        return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    };
    if (reader.ok()) reader.fail(event.empty() ? "the packet is neither a reply nor an event"
                                               : "the event " + quoted(event) + " is unknown");
    return finish(reader, problem);
}

bool decodeParameterTree(const json& description, AUParameterTreePtr& tree, std::string& problem) {
    FieldReader reader(description, "parameterTree");
    TreeReader treeReader{reader, {}};
    auto nodes = treeReader.children(reader.array("children"), reader.label("children"), 0);
    if (!finish(reader, problem)) return false;
    tree = AUParameterTree::createTree(std::move(nodes));
    return true;
}

bool decodeUnitDescription(const json& result, UnitDescription& description, std::string& problem) {
    FieldReader reader(result);
    if (reader.has("parameterTree")) {
        std::string treeProblem;
        if (!decodeParameterTree(result["parameterTree"], description.parameterTree, treeProblem))
            reader.fail(treeProblem);
    }
    decodeBusses(reader, "inputBusses", description.inputBusses);
    decodeBusses(reader, "outputBusses", description.outputBusses);
    const json& capabilities = reader.array("channelCapabilities");
    for (std::size_t i = 0; i < capabilities.size() && reader.ok(); ++i)
        description.channelCapabilities.push_back(
            reader.integerValue<NSInteger>(capabilities[i], reader.label("channelCapabilities", i)));
    const json& names = reader.array("MIDIOutputNames");
    for (std::size_t i = 0; i < names.size() && reader.ok(); ++i)
        description.midiOutputNames.push_back(reader.textValue(names[i], reader.label("MIDIOutputNames", i)));
    const json& presets = reader.array("factoryPresets");
    for (std::size_t i = 0; i < presets.size() && reader.ok(); ++i) {
        FieldReader preset = reader.nested(presets[i], reader.label("factoryPresets", i));
        decodePreset(preset, description.factoryPresets.emplace_back());
    }
    description.latency = reader.number("latency", 0, kLongestTimeSeconds);
    description.tailTime = reader.number("tailTime", 0, kLongestTimeSeconds);
    description.supportsUserPresets = reader.boolean("supportsUserPresets");
    description.maximumFramesToRender =
        reader.integer<AUAudioFrameCount>("maximumFramesToRender", 1, kMaximumFramesToRenderLimit);
    description.shouldBypassEffect = reader.boolean("shouldBypassEffect");
    FieldReader editor = reader.nested(reader.object("editor"), "editor");
    description.editorAvailable = editor.boolean("available");
    if (description.editorAvailable) {
        description.editorWidth = editor.number("width", 0, kLargestEditorSize);
        description.editorHeight = editor.number("height", 0, kLargestEditorSize);
    }
    return finish(reader, problem);
}

bool decodeCurrentPreset(const json& result, std::optional<PresetDescription>& preset, std::string& problem) {
    preset.reset();
    if (result.is_null()) return true;
    FieldReader reader(result, "currentPreset");
    PresetDescription described;
    if (!decodePreset(reader, described)) return finish(reader, problem);
    preset = std::move(described);
    return true;
}

bool decodeFullState(const json& result, std::string& problem) {
    if (result.is_object()) return true;
    problem = "the state is not an object";
    return false;
}

bool decodeValueText(const json& result, std::string& text, std::string& problem) {
    if (!result.is_string()) {
        problem = "the value text is not text";
        return false;
    }
    text = result.get<std::string>();
    return true;
}

bool decodeParameterValue(const json& result, AUValue& value, std::string& problem) {
    FieldReader reader;
    value = static_cast<AUValue>(reader.numberValue(result, "the value", -kLargestFloat, kLargestFloat));
    return finish(reader, problem);
}

bool decodeEditorWindow(const json& result, unsigned long& window, std::string& problem) {
    // X11 window ids have 29 bits; 0 is no window.
    FieldReader reader;
    window = reader.integerValue<std::uint32_t>(result, "the editor's window", 1, (1u << 29) - 1);
    return finish(reader, problem);
}

bool decodeEditorInspection(const json& result, json& inspection, std::string& problem) {
    FieldReader reader(result);
    inspection = reader.object("inspection");
    return finish(reader, problem);
}

}  // namespace audiounit::remote
