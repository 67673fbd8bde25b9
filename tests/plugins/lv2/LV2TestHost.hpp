#pragma once
// What a minimal LV2 host gives a plugin or UI in these tests: a URID map and
// an options list.

#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include <map>
#include <string>
#include <vector>

namespace lv2test {

// Numbers URIs from 1 in the order they are first asked for.
struct URIDMap {
    URIDMap() = default;
    URIDMap(const URIDMap&) = delete;
    URIDMap& operator=(const URIDMap&) = delete;
    LV2_URID operator()(const char* uri) { return map.map(this, uri); }
    const LV2_Feature* feature() const { return &feature_; }

    std::map<std::string, LV2_URID> ids;
    LV2_URID_Map map{this, [](LV2_URID_Map_Handle self, const char* uri) {
                         auto& known = static_cast<URIDMap*>(self)->ids;
                         return known.emplace(uri, static_cast<LV2_URID>(known.size() + 1)).first->second;
                     }};
    LV2_Feature feature_{LV2_URID__map, &map};
};

// An options list ending in the zero option, and the feature that carries it.
struct Options {
    void add(LV2_URID key, LV2_URID type, std::uint32_t size, const void* value) {
        options.insert(options.end() - 1, LV2_Options_Option{LV2_OPTIONS_INSTANCE, 0, key, size, type, value});
        feature_.data = options.data();
    }
    const LV2_Feature* feature() const { return &feature_; }

    std::vector<LV2_Options_Option> options{LV2_Options_Option{LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr}};
    LV2_Feature feature_{LV2_OPTIONS__options, options.data()};
};

}  // namespace lv2test
