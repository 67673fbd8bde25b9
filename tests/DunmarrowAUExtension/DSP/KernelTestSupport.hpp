#pragma once
// Signals, parameter sets and small helpers shared by the kernel tests.

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <vector>

#include "DunmarrowAUExtensionDSPKernel.hpp"
#include "ReferenceEffect.hpp"

namespace kerneltest {

using Kernel = DunmarrowAUExtensionDSPKernel;

// The three factory sets of values, by address.
inline std::vector<float> blackwall() { return reference::treeDefaults(); }
inline std::vector<float> glassTeeth() {
    return {51.93f, 0.0f, 38.72f, 0.0f, 0.72f, 0.0f, 100.0f, 0.0f, 97.41f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
}
inline std::vector<float> funeralBloom() {
    return {78.0f, 70.0f, 75.0f, 80.0f, 0.65f, 75.0f, 75.0f, 85.0f, 40.0f, 80.0f, 0.0f, 0.0f, 0.0f, 0.0f};
}
inline std::vector<float> everyStageOn() {
    return {90.0f, 60.0f, 80.0f, 70.0f, 0.9f, 100.0f, 100.0f, 100.0f, 100.0f, 80.0f, 0.6f, 1.0f, 1.0f, 0.0f};
}
inline std::vector<float> allPercentZero() {
    return {0.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
}

inline std::vector<float> with(std::vector<float> values, std::initializer_list<std::pair<int, float>> changes) {
    for (auto [address, value] : changes) values[static_cast<std::size_t>(address)] = value;
    return values;
}

inline void applyValues(Kernel& kernel, const std::vector<float>& byAddress) {
    for (std::size_t a = 0; a < byAddress.size(); ++a) kernel.setParameter(a, byAddress[a]);
}

inline void prepare(Kernel& kernel, const std::vector<float>& values, double sampleRate = 48000.0, int channels = 2) {
    applyValues(kernel, values);
    kernel.initialize(channels, channels, sampleRate);
}

// A plucked, decaying two-note riff with some noise: loud attacks, quiet tails.
inline std::vector<float> riff(std::size_t frames, double sampleRate, std::uint32_t seed, float level = 0.8f) {
    std::vector<float> out(frames);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    const double notes[] = {82.41, 110.0, 146.83, 98.0};
    const auto noteLength = static_cast<std::size_t>(sampleRate * 0.09);
    for (std::size_t n = 0; n < frames; ++n) {
        const std::size_t note = (n / noteLength) % 4;
        const double t = static_cast<double>(n % noteLength) / sampleRate;
        const double f = notes[note];
        const double env = std::exp(-t * 18.0);
        const double v = env * (std::sin(2 * M_PI * f * t) + 0.5 * std::sin(2 * M_PI * 2 * f * t + 0.3) +
                                0.25 * std::sin(2 * M_PI * 3.01 * f * t));
        out[n] = static_cast<float>(level * 0.55 * v) + 0.002f * noise(rng);
    }
    return out;
}

inline std::vector<float> sine(std::size_t frames, double sampleRate, double frequency, float amplitude) {
    std::vector<float> out(frames);
    for (std::size_t n = 0; n < frames; ++n) {
        out[n] = amplitude * static_cast<float>(std::sin(2 * M_PI * frequency * static_cast<double>(n) / sampleRate));
    }
    return out;
}

inline std::vector<std::vector<float>> render(Kernel& kernel, const std::vector<std::vector<float>>& input,
                                              std::uint32_t block) {
    std::vector<std::vector<float>> output(input.size(), std::vector<float>(input.empty() ? 0 : input[0].size()));
    const std::size_t frames = input.empty() ? 0 : input[0].size();
    std::vector<const float*> in(input.size());
    std::vector<float*> out(input.size());
    for (std::size_t start = 0; start < frames; start += block) {
        const auto count = static_cast<std::uint32_t>(std::min<std::size_t>(block, frames - start));
        for (std::size_t c = 0; c < input.size(); ++c) {
            in[c] = input[c].data() + start;
            out[c] = output[c].data() + start;
        }
        kernel.process(in, out, static_cast<std::int64_t>(start), count);
    }
    return output;
}

}  // namespace kerneltest
