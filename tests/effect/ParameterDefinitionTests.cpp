// The conversion of the parameter declaration into a platform tree (the table
// itself is checked at compile time where it is defined).

#include <gtest/gtest.h>

#include <tuple>

#include "ParameterDefinitions.hpp"

using namespace audiounit;

// Every row of the table arrives in one group, in order, with nothing lost on
// the way; each tree has parameters of its own.
TEST(ParameterDefinitions, TheTreeHoldsTheTableInOneGroup) {
    auto tree = createParameterTree(parameterTreeSpec());
    ASSERT_EQ(tree->children().size(), 1u);
    auto global = std::dynamic_pointer_cast<AUParameterGroup>(tree->children()[0]);
    ASSERT_TRUE(global);
    EXPECT_EQ(global->identifier(), "global");
    EXPECT_EQ(global->displayName(), "Global");
    const auto& all = tree->allParameters();
    ASSERT_EQ(all.size(), dunmarrow_dsp::kParameterCount);
    for (std::size_t i = 0; i < all.size(); ++i) {
        const auto& row = dunmarrow_dsp::kParameters[i];
        const auto& p = all[i];
        SCOPED_TRACE(row.identifier);
        EXPECT_EQ(global->children()[i], p);
        EXPECT_EQ(tree->parameterWithAddress(row.address), p);
        EXPECT_EQ(p->identifier(), row.identifier);
        EXPECT_EQ(p->displayName(), row.name);
        EXPECT_EQ(std::tuple(p->minValue(), p->maxValue(), p->value()),
                  std::tuple(row.minValue, row.maxValue, row.defaultValue));
        EXPECT_EQ(p->unit(), static_cast<AudioUnitParameterUnit>(row.units));
        EXPECT_EQ(p->flags(), row.flags);
    }
    auto other = createParameterTree(parameterTreeSpec());
    EXPECT_NE(other->allParameters()[0], all[0]);
    EXPECT_EQ(&parameterTreeSpec(), &parameterTreeSpec());
}

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
