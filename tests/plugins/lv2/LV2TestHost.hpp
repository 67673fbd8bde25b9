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
        const auto it = ids.find(uri);
        if (it != ids.end()) return it->second;
        const auto id = static_cast<LV2_URID>(ids.size() + 1);
        ids.emplace(uri, id);
        return id;
    }
    std::map<std::string, LV2_URID> ids_;
    LV2_URID_Map map_;
    LV2_Feature feature_;
};

// An options list ending in the zero option, and the feature that carries it.
class Options {
public:
    void add(LV2_URID key, LV2_URID type, std::uint32_t size, const void* value) {
        options_.insert(options_.end() - 1, LV2_Options_Option{LV2_OPTIONS_INSTANCE, 0, key, size, type, value});
        feature_.data = options_.data();
    }
    const LV2_Feature* feature() const { return &feature_; }

private:
    std::vector<LV2_Options_Option> options_{LV2_Options_Option{LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr}};
    LV2_Feature feature_{LV2_OPTIONS__options, options_.data()};
};

}  // namespace lv2test
