#include "DunmarrowLV2Ports.hpp"

namespace dunmarrow_lv2 {

namespace {

void collect(const NodeSpecList& children, std::uint32_t channelCount, std::vector<const ParameterSpec*>& out) {
    for (const auto& child : children) {
        if (const auto* parameter = dynamic_cast<const ParameterSpec*>(child.get())) {
            if (channelCount >= 2 || !needsTwoChannels(*parameter)) out.push_back(parameter);
        } else if (const auto* group = dynamic_cast<const ParameterGroupSpec*>(child.get())) {
            collect(group->children, channelCount, out);
        }
    }
}

std::vector<const ParameterSpec*> collect(std::uint32_t channelCount) {
    std::vector<const ParameterSpec*> out;
    collect(parameterTreeSpec().children, channelCount, out);
    return out;
}

}  // namespace

bool needsTwoChannels(const ParameterSpec& parameter) { return parameter.address == kStereoSpreadAddress; }

std::optional<PortLayout> PortLayout::forPlugin(std::string_view pluginURI) {
    if (pluginURI == kStereoPluginURI) return PortLayout{2};
    if (pluginURI == kMonoPluginURI) return PortLayout{1};
    return std::nullopt;
}

const std::vector<const ParameterSpec*>& PortLayout::parameters() const {
    static const std::vector<const ParameterSpec*> mono = collect(1), stereo = collect(2);
    return channelCount >= 2 ? stereo : mono;
}

std::optional<std::uint32_t> PortLayout::portOf(audiounit::AUParameterAddress address) const {
    const auto& declarations = parameters();
    for (std::uint32_t port = 0; port < declarations.size(); ++port)
        if (declarations[port]->address == address) return port;
    return std::nullopt;
}

}  // namespace dunmarrow_lv2
