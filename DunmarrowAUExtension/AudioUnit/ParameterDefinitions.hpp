#pragma once
// The effect's parameters in the platform's declaration vocabulary, made from
// the one parameter table (dunmarrow_dsp::kParameters, DSP/Parameters.hpp),
// and the conversion of declarations into a platform parameter tree.
//
// A children list is ordered and mixed: parameters, groups and (in principle)
// whole tree declarations. The platform nodes built from a list keep its order.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Parameters.hpp"
#include "audiounit/AUParameters.hpp"

// Marker for anything that may stand in a children list.
struct NodeSpec {
    virtual ~NodeSpec() = default;
};

using NodeSpecPtr = std::shared_ptr<const NodeSpec>;
using NodeSpecList = std::vector<NodeSpecPtr>;

struct ParameterSpec final : NodeSpec {
    ParameterSpec(std::string inIdentifier, std::string inName, audiounit::AUParameterAddress inAddress, float inMinValue,
                  float inMaxValue, float inDefaultValue, audiounit::AudioUnitParameterUnit inUnits,
                  std::optional<std::string> inUnitName = std::nullopt,
                  audiounit::AudioUnitParameterOptions inFlags = audiounit::kAudioUnitParameterFlag_IsWritable |
                                                                audiounit::kAudioUnitParameterFlag_IsReadable,
                  std::optional<std::vector<std::string>> inValueStrings = std::nullopt,
                  std::optional<std::vector<audiounit::AUParameterAddress>> inDependentParameters = std::nullopt)
        : identifier(std::move(inIdentifier)),
          name(std::move(inName)),
          address(inAddress),
          minValue(inMinValue),
          maxValue(inMaxValue),
          defaultValue(inDefaultValue),
          units(inUnits),
          unitName(std::move(inUnitName)),
          flags(inFlags),
          valueStrings(std::move(inValueStrings)),
          dependentParameters(std::move(inDependentParameters)) {}

    const std::string identifier;
    const std::string name;
    const audiounit::AUParameterAddress address;
    const float minValue;
    const float maxValue;
    const float defaultValue;
    const audiounit::AudioUnitParameterUnit units;
    const std::optional<std::string> unitName;
    const audiounit::AudioUnitParameterOptions flags;
    const std::optional<std::vector<std::string>> valueStrings;
    const std::optional<std::vector<audiounit::AUParameterAddress>> dependentParameters;
};

struct ParameterGroupSpec final : NodeSpec {
    ParameterGroupSpec(std::string inIdentifier, std::string inName, NodeSpecList inChildren)
        : identifier(std::move(inIdentifier)), name(std::move(inName)), children(std::move(inChildren)) {}

    const std::string identifier;
    const std::string name;
    const NodeSpecList children;
};

struct ParameterTreeSpec final : NodeSpec {
    explicit ParameterTreeSpec(NodeSpecList inChildren) : children(std::move(inChildren)) {}

    const NodeSpecList children;
};

// The effect's one tree declaration: a group "global" holding the fourteen
// parameters of the table, in its order (the tree order). Built on first use
// (thread-safe) and shared by every audio unit of the process.
const ParameterTreeSpec& parameterTreeSpec();

// Any thread. The platform nodes for a children list, same length and order:
// a parameter (holding its default value, set before any tree or observer
// exists), a group (its children converted recursively), or, for anything
// else (a tree declaration or a null entry), an empty node.
std::vector<audiounit::AUParameterNodePtr> createNodes(const NodeSpecList& declarations);

// A new platform tree from a tree declaration.
audiounit::AUParameterTreePtr createParameterTree(const ParameterTreeSpec& declaration);
