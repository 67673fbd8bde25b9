// The DSP module's entry: the two plugins of the bundle, stereo and mono, as
// LV2 descriptors over DunmarrowLV2Plugin. This module links no UI code.

#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>

#include "DunmarrowLV2Plugin.hpp"

namespace {

using dunmarrow_lv2::DunmarrowLV2Plugin;

// The host's bufsz:maxBlockLength from its options, or 0 when it gives none
// (or gives it in a type we cannot read).
std::uint32_t maximumBlockLengthFrom(const LV2_Feature* const* features) {
    const LV2_URID_Map* map = nullptr;
    const LV2_Options_Option* options = nullptr;
    for (auto f = features; f != nullptr && *f != nullptr; ++f) {
        if (std::strcmp((*f)->URI, LV2_URID__map) == 0) map = static_cast<const LV2_URID_Map*>((*f)->data);
        if (std::strcmp((*f)->URI, LV2_OPTIONS__options) == 0)
            options = static_cast<const LV2_Options_Option*>((*f)->data);
    }
    if (map == nullptr || options == nullptr) return 0;
    const LV2_URID maxBlockLength = map->map(map->handle, LV2_BUF_SIZE__maxBlockLength);
    const LV2_URID atomInt = map->map(map->handle, LV2_ATOM__Int);
    const LV2_URID atomLong = map->map(map->handle, LV2_ATOM__Long);
    for (auto o = options; o->key != 0 || o->value != nullptr; ++o) {
        if (o->key != maxBlockLength || o->value == nullptr) continue;
        if (o->type == atomInt && o->size == sizeof(int32_t)) {
            const auto v = *static_cast<const int32_t*>(o->value);
            return v > 0 ? static_cast<std::uint32_t>(v) : 0;
        }
        if (o->type == atomLong && o->size == sizeof(int64_t)) {
            const auto v = *static_cast<const int64_t*>(o->value);
            return v > 0 ? static_cast<std::uint32_t>(std::min<int64_t>(v, INT32_MAX)) : 0;
        }
    }
    return 0;
}

// Host's instantiation thread (the LV2 "instantiation class"): may allocate.
template <std::uint32_t Channels>
LV2_Handle instantiate(const LV2_Descriptor*, double sampleRate, const char*, const LV2_Feature* const* features) {
    try {
        return DunmarrowLV2Plugin::create(sampleRate, Channels, maximumBlockLengthFrom(features)).release();
    } catch (const std::exception&) {
        return nullptr;
    }
}

DunmarrowLV2Plugin& self(LV2_Handle instance) { return *static_cast<DunmarrowLV2Plugin*>(instance); }

// Any thread the host likes, but never during run(): stores a pointer, nothing more.
void connectPort(LV2_Handle instance, uint32_t port, void* data) { self(instance).connectPort(port, data); }
// Host's instantiation thread, never during run(): allocates render resources.
void activate(LV2_Handle instance) { self(instance).activate(); }
// The host's audio thread, real time: no lock, no allocation, no blocking.
void run(LV2_Handle instance, uint32_t sampleCount) { self(instance).run(sampleCount); }
// Host's instantiation thread, never during run(): frees the kernel's state.
void deactivate(LV2_Handle instance) { self(instance).deactivate(); }
// Takes back the ownership instantiate handed to the host.
void cleanup(LV2_Handle instance) { std::unique_ptr<DunmarrowLV2Plugin>(static_cast<DunmarrowLV2Plugin*>(instance)); }
const void* extensionData(const char*) { return nullptr; }

const LV2_Descriptor kDescriptors[] = {
    {dunmarrow_lv2::kStereoPluginURI, instantiate<2>, connectPort, activate, run, deactivate, cleanup, extensionData},
    {dunmarrow_lv2::kMonoPluginURI, instantiate<1>, connectPort, activate, run, deactivate, cleanup, extensionData},
};

}  // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index < std::size(kDescriptors) ? &kDescriptors[index] : nullptr;
}
