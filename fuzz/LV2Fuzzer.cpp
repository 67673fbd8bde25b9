// The LV2 plugins through their entry points, as a host drives them when it
// restores a session or applies a preset: the plugin keeps no state of its
// own (no state interface), so what a host saves and what presets.ttl holds
// are control-port values, which the host writes into the ports between
// run() calls. The input plays a fake host: which plugin, the sample rate, the
// features it offers (a URID map, an options list with any maximum block
// length in any type), then a program of port writes (any float, NaN and
// infinities included), bypass, run() of any length, deactivate and activate.
// A plugin that instantiates renders finite sound and finite levels from a
// finite input, whatever the ports hold.
//
// Input: a byte (bit 0: mono; bit 1: no URID map; bit 2: no options), the
// rate (a byte: below 0xF0 an index into common rates, else 8 raw bytes of a
// double), an option count (0 to 3) and per option key, type, size and an
// 8-byte value, then steps: an operation byte and its operands.

#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "DunmarrowLV2Ports.hpp"
#include "FuzzSupport.hpp"

extern "C" const LV2_Descriptor* lv2_descriptor(uint32_t index);

namespace {

using fuzzing::require;

class URIDMap {
public:
    URIDMap() : map_{this, &URIDMap::mapURI}, feature_{LV2_URID__map, &map_} {}
    URIDMap(const URIDMap&) = delete;
    URIDMap& operator=(const URIDMap&) = delete;
    LV2_URID operator()(const char* uri) { return mapURI(this, uri); }
    const LV2_Feature* feature() const { return &feature_; }

private:
    static LV2_URID mapURI(LV2_URID_Map_Handle handle, const char* uri) {
        auto& ids = static_cast<URIDMap*>(handle)->ids_;
        return ids.emplace(uri, static_cast<LV2_URID>(ids.size() + 1)).first->second;
    }
    std::map<std::string, LV2_URID> ids_;
    LV2_URID_Map map_;
    LV2_Feature feature_;
};

constexpr double kCommonRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000, 176400, 192000,
                                   352800, 384000, 705600, 768000};
constexpr std::uint32_t kMaximumRunFrames = 4096;
// Frames rendered per input at most, so that each input stays quick.
constexpr std::uint32_t kMaximumInputFrames = 3 * kMaximumRunFrames;

double sampleRateFrom(fuzzing::ByteReader& input) {
    const std::uint8_t choice = input.byte();
    if (choice < 0xF0) return kCommonRates[choice % std::size(kCommonRates)];
    return input.value<double>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace dunmarrow_lv2;
    fuzzing::ByteReader input(data, size);
    const std::uint8_t flags = input.byte();
    const LV2_Descriptor* descriptor = lv2_descriptor(flags & 1);
    require(descriptor != nullptr, "the bundle lost a plugin");
    const auto layout = PortLayout::forPlugin(descriptor->URI);
    require(layout.has_value(), "a plugin's URI names no port layout");
    const double sampleRate = sampleRateFrom(input);

    URIDMap map;
    const LV2_URID keys[] = {map(LV2_BUF_SIZE__maxBlockLength), map(LV2_BUF_SIZE__minBlockLength),
                             map(LV2_BUF_SIZE__nominalBlockLength)};
    const LV2_URID types[] = {map(LV2_ATOM__Int), map(LV2_ATOM__Long), map(LV2_ATOM__Float), map(LV2_ATOM__Double)};
    std::array<std::uint64_t, 3> optionValues{};
    std::vector<LV2_Options_Option> options;
    const std::size_t optionCount = input.byte() % 4;
    for (std::size_t i = 0; i < optionCount; ++i) {
        const LV2_URID key = keys[input.byte() % std::size(keys)];
        const LV2_URID type = types[input.byte() % std::size(types)];
        const std::uint32_t valueSize = input.byte() % 9;
        optionValues[i] = input.value<std::uint64_t>();
        options.push_back({LV2_OPTIONS_INSTANCE, 0, key, valueSize, type, &optionValues[i]});
    }
    options.push_back({LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr});
    const LV2_Feature optionsFeature{LV2_OPTIONS__options, options.data()};
    std::vector<const LV2_Feature*> features;
    if (!(flags & 2)) features.push_back(map.feature());
    if (!(flags & 4)) features.push_back(&optionsFeature);
    features.push_back(nullptr);

    LV2_Handle handle = descriptor->instantiate(descriptor, sampleRate, "/nowhere/", features.data());
    if (handle == nullptr) return 0;  // a refusal is a clean answer

    // Every port connected to memory of its own, controls at their defaults.
    const std::uint32_t channels = layout->channelCount;
    std::vector<float> controls;
    for (const auto* parameter : layout->parameters()) controls.push_back(parameter->defaultValue);
    float enabled = 1, inputLevel = -1, outputLevel = -1;
    std::array<std::vector<float>, 2> inputs, outputs;
    for (std::uint32_t c = 0; c < channels; ++c) {
        inputs[c].resize(kMaximumRunFrames);
        outputs[c].assign(kMaximumRunFrames, 0.0f);
        for (std::uint32_t i = 0; i < kMaximumRunFrames; ++i)
            inputs[c][i] = 0.8f * static_cast<float>(std::sin(0.05 * (c + 1) * i));
    }
    for (std::uint32_t i = 0; i < controls.size(); ++i) descriptor->connect_port(handle, i, &controls[i]);
    descriptor->connect_port(handle, layout->enabledPort(), &enabled);
    descriptor->connect_port(handle, layout->inputLevelPort(), &inputLevel);
    descriptor->connect_port(handle, layout->outputLevelPort(), &outputLevel);
    for (std::uint32_t c = 0; c < channels; ++c) {
        descriptor->connect_port(handle, layout->inputPort(c), inputs[c].data());
        descriptor->connect_port(handle, layout->outputPort(c), outputs[c].data());
    }

    bool active = true;
    std::uint32_t framesLeft = kMaximumInputFrames;
    descriptor->activate(handle);
    for (int step = 0; step < 64 && !input.empty(); ++step) {
        const std::uint8_t operation = input.byte();
        switch (operation % 5) {
            case 0:  // a control port takes a value, as from a preset or a restored session
            case 1:
                controls[input.byte() % controls.size()] = input.value<float>();
                break;
            case 2:
                enabled = input.value<float>();
                break;
            case 3: {
                const std::uint32_t frames =
                    std::min(input.value<std::uint16_t>() % (kMaximumRunFrames + 1), framesLeft);
                framesLeft -= frames;
                descriptor->run(handle, frames);
                // Running inactive breaks LV2's rules; the plugin must not fault all the same.
                if (!active || frames == 0) break;
                for (std::uint32_t c = 0; c < channels; ++c)
                    for (std::uint32_t i = 0; i < frames; ++i)
                        require(std::isfinite(outputs[c][i]), "the plugin rendered a sample that is not finite");
                require(std::isfinite(inputLevel) && inputLevel >= 0 && std::isfinite(outputLevel) && outputLevel >= 0,
                        "a level output is not a level");
                break;
            }
            default:
                if (active) {
                    descriptor->deactivate(handle);
                } else {
                    descriptor->activate(handle);
                }
                active = !active;
                break;
        }
    }
    if (active) descriptor->deactivate(handle);
    descriptor->cleanup(handle);
    return 0;
}
