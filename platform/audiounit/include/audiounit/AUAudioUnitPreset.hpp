#pragma once
// A named preset of an audio unit. Factory presets are numbered from 0, user
// presets with negative numbers. Shared by reference: an audio unit hands out
// its stored preset objects, not copies.

#include <memory>
#include <string>

#include "audiounit/RenderContract.hpp"

namespace audiounit {

class AUAudioUnitPreset {
public:
    AUAudioUnitPreset() = default;
    AUAudioUnitPreset(NSInteger number, std::string name) : number_(number), name_(std::move(name)) {}

    static std::shared_ptr<AUAudioUnitPreset> make(NSInteger number, std::string name) {
        return std::make_shared<AUAudioUnitPreset>(number, std::move(name));
    }

    [[nodiscard]] NSInteger number() const noexcept { return number_; }
    void setNumber(NSInteger number) noexcept { number_ = number; }
    [[nodiscard]] const std::string& name() const noexcept { return name_; }
    void setName(std::string name) { name_ = std::move(name); }

private:
    NSInteger number_ = 0;
    std::string name_;
};

using AUAudioUnitPresetPtr = std::shared_ptr<AUAudioUnitPreset>;

}  // namespace audiounit
