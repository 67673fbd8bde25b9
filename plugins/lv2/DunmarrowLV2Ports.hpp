#pragma once
// The port layout both LV2 plugins of the bundle share, and the UI with them:
// one control input per parameter (in parameter-tree order), the bypass port
// designated lv2:enabled, the two level outputs, then the audio ports. The
// control ports come first so that their indices are the same for the stereo
// and the mono plugin, and one UI serves both.
//
// Any thread; nothing here touches the render path.

#include <cstdint>
#include <vector>

#include "ParameterDefinitions.hpp"

namespace dunmarrow_lv2 {

inline constexpr const char* kStereoPluginURI = "urn:dunmarrow:stereo";
inline constexpr const char* kMonoPluginURI = "urn:dunmarrow:mono";
inline constexpr const char* kUIURI = "urn:dunmarrow:ui";

inline constexpr std::uint32_t kEnabledPort = kDunmarrowParameterCount;
inline constexpr std::uint32_t kInputLevelPort = kEnabledPort + 1;
inline constexpr std::uint32_t kOutputLevelPort = kEnabledPort + 2;
inline constexpr std::uint32_t kFirstAudioPort = kEnabledPort + 3;

inline constexpr const char* kEnabledSymbol = "enabled";
inline constexpr const char* kInputLevelSymbol = "inputLevel";
inline constexpr const char* kOutputLevelSymbol = "outputLevel";

// The default maximum block length when the host does not give one.
inline constexpr std::uint32_t kDefaultMaximumBlockLength = 4096;
// Larger host maxima are honoured by splitting, not by a larger kernel scratch.
inline constexpr std::uint32_t kLargestMaximumBlockLength = 16384;

struct AudioPortLayout {
    std::uint32_t channelCount;  // 1 or 2
    [[nodiscard]] std::uint32_t inputPort(std::uint32_t channel) const { return kFirstAudioPort + channel; }
    [[nodiscard]] std::uint32_t outputPort(std::uint32_t channel) const {
        return kFirstAudioPort + channelCount + channel;
    }
    [[nodiscard]] std::uint32_t portCount() const { return kFirstAudioPort + 2 * channelCount; }
};

// The parameter declarations in tree order; port i carries the i-th.
const std::vector<const ParameterSpec*>& parameterPorts();

}  // namespace dunmarrow_lv2
