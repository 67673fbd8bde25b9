#include "ControlMirror.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "ServiceConnection.hpp"
#include "audiounit/AUAudioUnitBus.hpp"
#include "audiounit/AUAudioUnitProxy.hpp"

namespace audiounit::remote {

using foundation::NSError;
using nlohmann::json;

bool ControlMirror::adopt(UnitDescription description, const std::shared_ptr<AUAudioUnit>& owner, NSError* outError) {
    auto makeBusses = [&](const std::vector<BusDescription>& described,
                          AUAudioUnitBusType type) -> AUAudioUnitBusArrayPtr {
        std::vector<AUAudioUnitBusPtr> busses;
        for (const auto& b : described) {
            auto bus = AUAudioUnitBus::make(AVAudioFormat::makeStandard(b.sampleRate, b.channels));
            if (!bus) return nullptr;
            bus->setMaximumChannelCount(b.maximumChannelCount);
            bus->setName(b.name);
            busses.push_back(std::move(bus));
        }
        return AUAudioUnitBusArray::make(owner, type, std::move(busses));
    };
    inputBusses_ = makeBusses(description.inputBusses, AUAudioUnitBusTypeInput);
    outputBusses_ = makeBusses(description.outputBusses, AUAudioUnitBusTypeOutput);
    if (!inputBusses_ || !outputBusses_) {
        failWith(outError, kAudioUnitErr_FailedInitialization,
                 "The audio unit's service described the unit badly: busses");
        return false;
    }
    for (const auto& preset : description.factoryPresets)
        factoryPresets_.push_back(AUAudioUnitPreset::make(preset.number, preset.name));
    maximumFrames_.store(description.maximumFramesToRender, std::memory_order_relaxed);
    bypass_.store(description.shouldBypassEffect, std::memory_order_relaxed);
    if (description.parameterTree) mirror(*description.parameterTree);
    described_ = std::move(description);
    return true;
}

void ControlMirror::mirror(AUParameterTree& tree) {
    const std::weak_ptr<ServiceConnection> connection = connection_;
    // Changes made on this side go to the service. Thread: whichever wrote the value.
    mirrorToken_ = tree.tokenByAddingParameterAutomationObserver(
        [connection](std::span<const AUParameterAutomationEvent> events) {
            const auto c = connection.lock();
            if (!c) return;
            for (const auto& e : events)
                c->send({{"op", "setParameter"},
                         {"address", e.address},
                         {"value", e.value},
                         {"hostTime", e.hostTime},
                         {"eventType", static_cast<std::uint32_t>(e.eventType)}},
                        AUAudioUnitProxy::kDefaultHangTimeout);
        });
    // Value texts are the unit's own. Thread: whichever asks, not the render
    // thread; the callbacks reach the connection weakly (the tree may outlive
    // the proxy).
    tree.setImplementorStringFromValueCallback([connection](AUParameter& parameter, std::optional<AUValue> value) {
        json packet = {{"op", "stringFromValue"}, {"address", parameter.address()}};
        if (value) packet["value"] = *value;
        std::string text;
        if (const auto c = connection.lock();
            c && c->requestChecked(std::move(packet), [&](const json& result, std::string& problem) {
                return decodeValueText(result, text, problem);
            }))
            return text;
        // The service is gone or busy: a plain number.
        const AUValue v = value ? *value : parameter.storedValue();
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%g", static_cast<double>(v));
        return std::string(buffer);
    });
    tree.setImplementorValueFromStringCallback([connection](AUParameter& parameter, const std::string& text) {
        AUValue value = 0;
        if (const auto c = connection.lock();
            c && c->requestChecked({{"op", "valueFromString"}, {"address", parameter.address()}, {"text", text}},
                                   [&](const json& result, std::string& problem) {
                                       return decodeParameterValue(result, value, problem);
                                   }))
            return value;
        const float typed = std::strtof(text.c_str(), nullptr);
        return std::clamp(std::isfinite(typed) ? typed : 0.0f, parameter.minValue(), parameter.maxValue());
    });
}

void ControlMirror::applyParameterChange(const AUParameterTreePtr& tree, const ParameterChangedEvent& changed) {
    if (!tree) return;  // still being built from the description
    const auto parameter = tree->parameterWithAddress(changed.address);
    if (!parameter) {
        connection_->malformed("a change of parameter " + std::to_string(changed.address) +
                               ", which the unit does not have");
        return;
    }
    parameter->setValue(changed.value, mirrorToken_, changed.hostTime, changed.eventType);
}

void ControlMirror::setMaximumFramesToRender(AUAudioFrameCount frames) {
    if (frames > kMaximumFramesToRenderLimit) return;  // refused, as every unit refuses it
    maximumFrames_.store(frames, std::memory_order_relaxed);
    connection_->request({{"op", "setMaximumFramesToRender"}, {"frames", frames}});
}

void ControlMirror::setShouldBypassEffect(bool bypass) {
    bypass_.store(bypass, std::memory_order_relaxed);
    connection_->request({{"op", "setShouldBypassEffect"}, {"bypass", bypass}});
}

bool ControlMirror::setBusFormat(const AVAudioFormat& format, const AUAudioUnitBus& bus, NSError* outError) {
    return connection_
        ->request({{"op", "setBusFormat"},
                   {"busType", bus.busType() == AUAudioUnitBusTypeInput ? "input" : "output"},
                   {"index", bus.index()},
                   {"sampleRate", format.sampleRate()},
                   {"channels", format.channelCount()}},
                  outError)
        .has_value();
}

AUAudioUnitPresetPtr ControlMirror::currentPreset() const {
    std::optional<PresetDescription> preset;
    if (!connection_->requestChecked({{"op", "currentPreset"}}, [&](const json& result, std::string& problem) {
            return decodeCurrentPreset(result, preset, problem);
        }))
        return nullptr;
    return preset ? AUAudioUnitPreset::make(preset->number, preset->name) : nullptr;
}

void ControlMirror::setFactoryPreset(const AUAudioUnitPresetPtr& preset) {
    json packet = {{"op", "setCurrentPreset"}, {"preset", nullptr}};
    if (preset) packet["preset"] = {{"number", preset->number()}, {"name", preset->name()}};
    connection_->request(std::move(packet));
}

std::optional<json> ControlMirror::fullState() const {
    json state;
    if (connection_->requestChecked({{"op", "fullState"}}, [&](const json& result, std::string& problem) {
            if (!decodeFullState(result, problem)) return false;
            state = result;
            return true;
        }))
        return state;
    return std::nullopt;
}

bool ControlMirror::setFullState(const json& state, NSError* outError) {
    return connection_->request({{"op", "setFullState"}, {"state", state}}, outError).has_value();
}

}  // namespace audiounit::remote
