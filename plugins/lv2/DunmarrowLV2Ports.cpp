#include "DunmarrowLV2Ports.hpp"

namespace dunmarrow_lv2 {

namespace {

void collect(const NodeSpecList& children, std::vector<const ParameterSpec*>& out) {
    for (const auto& child : children) {
        if (const auto* parameter = dynamic_cast<const ParameterSpec*>(child.get())) {
            out.push_back(parameter);
        } else if (const auto* group = dynamic_cast<const ParameterGroupSpec*>(child.get())) {
            collect(group->children, out);
        }
    }
}

}  // namespace

const std::vector<const ParameterSpec*>& parameterPorts() {
    static const std::vector<const ParameterSpec*> ports = [] {
        std::vector<const ParameterSpec*> out;
        collect(parameterTreeSpec().children, out);
        return out;
    }();
    return ports;
}

}  // namespace dunmarrow_lv2
