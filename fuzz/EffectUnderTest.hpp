#pragma once
// The effect's own audio unit, as the targets that feed it stored data use it:
// made by the factory's steps, checked after the data is applied (every value
// finite, within its range and the same in the kernel as in the tree), and
// rendered through its render block, which must give finite sound.

#include <cmath>
#include <memory>
#include <string_view>
#include <vector>

#include "DunmarrowAUExtensionAudioUnit.hpp"
#include "FuzzSupport.hpp"

namespace fuzzing {

inline std::shared_ptr<DunmarrowAUExtensionAudioUnit> makeEffect() {
    auto unit = makeDunmarrowAudioUnit();
    require(unit != nullptr, "the effect cannot be made");
    return unit;
}

// Every parameter's value, in tree order.
inline std::vector<float> parameterValues(const DunmarrowAUExtensionAudioUnit& unit) {
    std::vector<float> values;
    for (const auto& parameter : unit.parameterTree()->allParameters()) values.push_back(parameter->value());
    return values;
}

inline void requireValuesHeld(const DunmarrowAUExtensionAudioUnit& unit) {
    for (const auto& parameter : unit.parameterTree()->allParameters()) {
        const float value = parameter->value();
        require(std::isfinite(value) && value >= parameter->minValue() && value <= parameter->maxValue(),
                "a parameter holds a value outside its range");
        require(unit.dspKernel().getParameter(parameter->address()) == value,
                "the kernel and the tree disagree on a value");
    }
}

// A message a program prints as (part of) one line.
inline void requireOneLine(std::string_view text, std::string_view what) {
    require(!text.empty(), what);
    for (const char c : text) require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F, what);
}

// Renders a few cycles of a full-scale sine through the unit as a host does.
inline void requireFiniteRender(DunmarrowAUExtensionAudioUnit& unit) {
    constexpr audiounit::AUAudioFrameCount kFrames = 256;
    unit.setMaximumFramesToRender(kFrames);
    require(unit.allocateRenderResources(), "the effect cannot allocate render resources");
    std::vector<float> input(kFrames), left(kFrames), right(kFrames);
    for (audiounit::AUAudioFrameCount i = 0; i < kFrames; ++i)
        input[i] = static_cast<float>(std::sin(2 * M_PI * 110 * i / 44100.0));
    const audiounit::AURenderPullInputBlock pull = [&](audiounit::AudioUnitRenderActionFlags*,
                                                       const audiounit::AudioTimeStamp*,
                                                       audiounit::AUAudioFrameCount frames, audiounit::NSInteger,
                                                       audiounit::AudioBufferList* list) -> audiounit::OSStatus {
        for (auto& buffer : list->buffers()) {
            buffer.mData = input.data();
            buffer.mDataByteSize = frames * sizeof(float);
        }
        return audiounit::noErr;
    };
    audiounit::AudioBufferListStorage output(2);
    for (int cycle = 0; cycle < 4; ++cycle) {
        output->buffers()[0] = {1, kFrames * sizeof(float), left.data()};
        output->buffers()[1] = {1, kFrames * sizeof(float), right.data()};
        audiounit::AudioUnitRenderActionFlags flags = 0;
        audiounit::AudioTimeStamp timestamp{};
        timestamp.mSampleTime = cycle * kFrames;
        require(unit.renderBlock()(&flags, &timestamp, kFrames, 0, output.get(), &pull) == audiounit::noErr,
                "the effect did not render");
        for (const auto& buffer : output->buffers()) {
            const auto* samples = static_cast<const float*>(buffer.mData);
            for (audiounit::AUAudioFrameCount i = 0; i < kFrames; ++i)
                require(std::isfinite(samples[i]), "the effect rendered a sample that is not finite");
        }
    }
    unit.deallocateRenderResources();
}

}  // namespace fuzzing
