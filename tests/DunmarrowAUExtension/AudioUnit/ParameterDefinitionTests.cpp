// The conversion of a parameter declaration into platform nodes.

#include <gtest/gtest.h>

#include "ParameterDefinitions.hpp"

using namespace audiounit;

TEST(ParameterDefinitions, OtherNodeKindsBecomeEmptyNodesInPlace) {
    auto p = [](const char* id, AUParameterAddress a, float def) {
        return std::make_shared<const ParameterSpec>(id, id, a, 0.f, 10.f, def, kAudioUnitParameterUnit_Generic);
    };
    struct OtherSpec : NodeSpec {};
    NodeSpecList children{
        p("first", 1, 2),
        std::make_shared<const ParameterTreeSpec>(NodeSpecList{p("hidden", 9, 1)}),
        std::make_shared<const ParameterGroupSpec>(
            "outer", "Outer",
            NodeSpecList{std::make_shared<const ParameterGroupSpec>("inner", "Inner", NodeSpecList{p("deep", 7, 3)})}),
        std::make_shared<const OtherSpec>(),
        nullptr,
        p("last", 2, 4),
    };
    const auto nodes = createNodes(children);
    ASSERT_EQ(nodes.size(), children.size());
    EXPECT_EQ(nodes[0]->identifier(), "first");
    for (std::size_t i : {1u, 3u, 4u}) {
        EXPECT_FALSE(std::dynamic_pointer_cast<AUParameter>(nodes[i])) << i;
        EXPECT_FALSE(std::dynamic_pointer_cast<AUParameterGroup>(nodes[i])) << i;
        EXPECT_EQ(nodes[i]->identifier(), "") << i;
    }
    EXPECT_EQ(nodes[5]->identifier(), "last");
    auto tree = AUParameterTree::createTree(nodes);
    ASSERT_EQ(tree->allParameters().size(), 3u);
    EXPECT_EQ(tree->allParameters()[1]->keyPath(), "outer.inner.deep");
    EXPECT_EQ(tree->allParameters()[1]->value(), 3.f);
    EXPECT_EQ(tree->parameterWithAddress(9), nullptr);
}
