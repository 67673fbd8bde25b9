#include "ParameterDefinitions.hpp"

using namespace audiounit;

namespace {

// The table's units and flags use the platform's numbers.
using dunmarrow_dsp::ParameterUnit;
static_assert(static_cast<AudioUnitParameterUnit>(ParameterUnit::Generic) == kAudioUnitParameterUnit_Generic &&
              static_cast<AudioUnitParameterUnit>(ParameterUnit::Boolean) == kAudioUnitParameterUnit_Boolean &&
              static_cast<AudioUnitParameterUnit>(ParameterUnit::Percent) == kAudioUnitParameterUnit_Percent &&
              static_cast<AudioUnitParameterUnit>(ParameterUnit::LinearGain) == kAudioUnitParameterUnit_LinearGain);
static_assert(dunmarrow_dsp::kParameterFlagReadable == kAudioUnitParameterFlag_IsReadable &&
              dunmarrow_dsp::kParameterFlagWritable == kAudioUnitParameterFlag_IsWritable);

}  // namespace

const ParameterTreeSpec& parameterTreeSpec() {
    // A function-local static: initialised once, on first use, thread-safe.
    static const ParameterTreeSpec declaration = [] {
        NodeSpecList parameters;
        for (const auto& p : dunmarrow_dsp::kParameters) {
            parameters.push_back(std::make_shared<const ParameterSpec>(
                std::string(p.identifier), std::string(p.name), p.address, p.minValue, p.maxValue, p.defaultValue,
                static_cast<AudioUnitParameterUnit>(p.units), std::nullopt, p.flags));
        }
        return ParameterTreeSpec({std::make_shared<const ParameterGroupSpec>(
            std::string(dunmarrow_dsp::kParameterGroupIdentifier), std::string(dunmarrow_dsp::kParameterGroupName),
            std::move(parameters))});
    }();
    return declaration;
}

std::vector<AUParameterNodePtr> createNodes(const NodeSpecList& declarations) {
    std::vector<AUParameterNodePtr> nodes;
    nodes.reserve(declarations.size());
    for (const auto& declaration : declarations) {
        if (const auto* parameter = dynamic_cast<const ParameterSpec*>(declaration.get())) {
            auto node = AUParameterTree::createParameter(
                parameter->identifier, parameter->name, parameter->address, parameter->minValue,
                parameter->maxValue, parameter->units, parameter->unitName, parameter->flags,
                parameter->valueStrings, parameter->dependentParameters);
            node->setValue(parameter->defaultValue);
            nodes.push_back(std::move(node));
        } else if (const auto* group = dynamic_cast<const ParameterGroupSpec*>(declaration.get())) {
            nodes.push_back(AUParameterTree::createGroup(group->identifier, group->name, createNodes(group->children)));
        } else {
            nodes.push_back(AUParameterNode::make());
        }
    }
    return nodes;
}

AUParameterTreePtr createParameterTree(const ParameterTreeSpec& declaration) {
    return AUParameterTree::createTree(createNodes(declaration.children));
}
