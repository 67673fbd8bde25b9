#include "DunmarrowLV2Ports.hpp"

namespace dunmarrow_lv2 {

namespace {

std::vector<const dunmarrow_dsp::ParameterInfo*> collect(std::uint32_t channelCount) {
    std::vector<const dunmarrow_dsp::ParameterInfo*> out;
    for (const auto& parameter : dunmarrow_dsp::kParameters)
        if (channelCount >= 2 || !parameter.needsTwoChannels) out.push_back(&parameter);
    return out;
}

}  // namespace

std::optional<PortLayout> PortLayout::forPlugin(std::string_view pluginURI) {
    if (pluginURI == kStereoPluginURI) return PortLayout{2};
    if (pluginURI == kMonoPluginURI) return PortLayout{1};
    return std::nullopt;
}

const std::vector<const dunmarrow_dsp::ParameterInfo*>& PortLayout::parameters() const {
    static const std::vector<const dunmarrow_dsp::ParameterInfo*> mono = collect(1), stereo = collect(2);
    return channelCount >= 2 ? stereo : mono;
}

std::optional<std::uint32_t> PortLayout::portOf(std::uint64_t address) const {
    const auto& declarations = parameters();
    for (std::uint32_t port = 0; port < declarations.size(); ++port)
        if (declarations[port]->address == address) return port;
    return std::nullopt;
}

}  // namespace dunmarrow_lv2
