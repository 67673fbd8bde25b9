#include "ParameterDefinitions.hpp"

using namespace audiounit;

const ParameterTreeSpec& parameterTreeSpec() {
    // A function-local static: initialised once, on first use, thread-safe.
    static const ParameterTreeSpec declaration = [] {
        auto percent = [](const char* identifier, const char* name, AUParameterAddress address, float defaultValue) {
            return std::make_shared<const ParameterSpec>(identifier, name, address, 0.0f, 100.0f, defaultValue,
                                                         kAudioUnitParameterUnit_Percent);
        };
        auto unitRange = [](const char* identifier, const char* name, AUParameterAddress address, float defaultValue,
                            AudioUnitParameterUnit units) {
            return std::make_shared<const ParameterSpec>(identifier, name, address, 0.0f, 1.0f, defaultValue, units);
        };
        NodeSpecList parameters{
            percent("drive", "Drive", kDriveAddress, 65.0f),
            percent("tight", "Tight", kTightAddress, 100.0f),
            percent("touch", "Touch", kTouchAddress, 50.0f),
            percent("body", "Body", kBodyAddress, 55.0f),
            percent("bite", "Bite", kBiteAddress, 100.0f),
            percent("grind", "Grind", kGrindAddress, 35.0f),
            percent("crush", "Crush", kCrushAddress, 45.0f),
            percent("density", "Density", kDensityAddress, 50.0f),
            percent("cab", "Cab", kCabAddress, 100.0f),
            unitRange("decimation", "Decimation", kDecimationAddress, 0.0f, kAudioUnitParameterUnit_Generic),
            unitRange("doubleTrack", "Double Track", kDoubleTrackAddress, 0.0f, kAudioUnitParameterUnit_Generic),
            unitRange("stereoSpread", "Stereo Spread", kStereoSpreadAddress, 0.0f, kAudioUnitParameterUnit_Generic),
            unitRange("liveSafe", "Live Safe", kLiveSafeAddress, 0.0f, kAudioUnitParameterUnit_Boolean),
            unitRange("gain", "Output", kGainAddress, 0.8f, kAudioUnitParameterUnit_LinearGain),
        };
        return ParameterTreeSpec(
            {std::make_shared<const ParameterGroupSpec>("global", "Global", std::move(parameters))});
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
