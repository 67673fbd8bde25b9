#pragma once
// The port layout of the bundle's two plugins, which the UI shares: one
// control input per parameter the variant offers (the parameter table's rows
// in order; the mono plugin leaves out those that need two channels, Stereo
// Spread), the bypass port designated lv2:enabled, the two level outputs,
// then the audio inputs and outputs. The stereo plugin offers every
// parameter, so its indices are those of the tree.
//
// Any thread; nothing here touches the render path.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "Parameters.hpp"

namespace dunmarrow_lv2 {

inline constexpr const char* kStereoPluginURI = "urn:dunmarrow:stereo";
inline constexpr const char* kMonoPluginURI = "urn:dunmarrow:mono";
inline constexpr const char* kUIURI = "urn:dunmarrow:ui";

inline constexpr const char* kEnabledSymbol = "enabled";
inline constexpr const char* kInputLevelSymbol = "inputLevel";
inline constexpr const char* kOutputLevelSymbol = "outputLevel";

// The default maximum block length when the host does not give one.
inline constexpr std::uint32_t kDefaultMaximumBlockLength = 4096;
// Larger host maxima are honoured by splitting, not by a larger kernel scratch.
inline constexpr std::uint32_t kLargestMaximumBlockLength = 16384;

struct PortLayout {
    std::uint32_t channelCount;  // 1 or 2

    // The variant a plugin URI names; nothing for another URI.
    [[nodiscard]] static std::optional<PortLayout> forPlugin(std::string_view pluginURI);

    // The parameters the variant offers; port i carries the i-th.
    [[nodiscard]] const std::vector<const dunmarrow_dsp::ParameterInfo*>& parameters() const;
    [[nodiscard]] std::uint32_t parameterCount() const { return static_cast<std::uint32_t>(parameters().size()); }
    // The control port of a parameter address; nothing when the variant has none.
    [[nodiscard]] std::optional<std::uint32_t> portOf(std::uint64_t address) const;

    [[nodiscard]] std::uint32_t enabledPort() const { return parameterCount(); }
    [[nodiscard]] std::uint32_t inputLevelPort() const { return parameterCount() + 1; }
    [[nodiscard]] std::uint32_t outputLevelPort() const { return parameterCount() + 2; }
    [[nodiscard]] std::uint32_t inputPort(std::uint32_t channel) const { return parameterCount() + 3 + channel; }
    [[nodiscard]] std::uint32_t outputPort(std::uint32_t channel) const {
        return parameterCount() + 3 + channelCount + channel;
    }
    [[nodiscard]] std::uint32_t portCount() const { return parameterCount() + 3 + 2 * channelCount; }
};

}  // namespace dunmarrow_lv2
