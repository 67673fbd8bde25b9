#pragma once
// A decaying low note with some top on every channel: what a guitar gives the effect.

#include <cmath>
#include <cstdint>

#include "CycleBuffers.hpp"

namespace testsupport {

inline Channels guitarLikeInput(std::uint32_t channels, std::uint32_t frames, double sampleRate = 48000) {
    Channels in(channels, std::vector<float>(frames));
    for (std::uint32_t c = 0; c < channels; ++c)
        for (std::uint32_t i = 0; i < frames; ++i) {
            const double t = i / sampleRate;
            in[c][i] = static_cast<float>(0.5 * std::sin(2 * M_PI * (82.4 + 2 * c) * t) * std::exp(-2.0 * t) +
                                          0.1 * std::sin(2 * M_PI * 1320.0 * t));
        }
    return in;
}

}  // namespace testsupport
