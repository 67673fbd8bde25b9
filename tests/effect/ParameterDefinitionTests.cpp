#include <gtest/gtest.h>

#include <bit>
#include <thread>

#include "ParameterDefinitions.hpp"

using namespace audiounit;

// The tree built from the declaration holds the parameter table's rows, in
// its order, under one group.
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
        SCOPED_TRACE(row.identifier);
        const auto& p = all[i];
        EXPECT_EQ(global->children()[i], p);
        EXPECT_EQ(p->identifier(), row.identifier);
        EXPECT_EQ(p->displayName(), row.name);
        EXPECT_EQ(p->address(), row.address);
        EXPECT_EQ(p->minValue(), row.minValue);
        EXPECT_EQ(p->maxValue(), row.maxValue);
        EXPECT_EQ(p->value(), row.defaultValue);
        EXPECT_EQ(p->unit(), static_cast<AudioUnitParameterUnit>(row.units));
        EXPECT_EQ(p->flags(), 0xC0000000u);
        EXPECT_FALSE(p->unitName());
        EXPECT_FALSE(p->valueStrings());
        EXPECT_FALSE(p->dependentParameters());
        EXPECT_EQ(tree->parameterWithAddress(row.address), p);
    }
    EXPECT_EQ(std::bit_cast<std::uint32_t>(tree->parameterWithAddress(4)->value()), 0x3F4CCCCDu);
}

TEST(ParameterDefinitions, TheDeclarationIsMadeOnceAndShared) {
    const ParameterTreeSpec* seen[4] = {};
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&slot] { slot = &parameterTreeSpec(); });
    for (auto& t : threads) t.join();
    for (const auto* s : seen) EXPECT_EQ(s, &parameterTreeSpec());
}

TEST(ParameterDefinitions, TwoTreesAreIndependentWithEqualContents) {
    auto a = createParameterTree(parameterTreeSpec());
    auto b = createParameterTree(parameterTreeSpec());
    ASSERT_EQ(a->allParameters().size(), b->allParameters().size());
    a->parameterWithAddress(0)->setValue(12);
    EXPECT_EQ(b->parameterWithAddress(0)->value(), 65.f);
    for (std::size_t i = 0; i < a->allParameters().size(); ++i) {
        EXPECT_NE(a->allParameters()[i], b->allParameters()[i]);
        EXPECT_EQ(a->allParameters()[i]->identifier(), b->allParameters()[i]->identifier());
    }
}

TEST(ParameterDefinitions, OtherNodeKindsBecomeEmptyNodesInPlace) {
    auto p = [](const char* id, AUParameterAddress a, float def) {
        return std::make_shared<const ParameterSpec>(id, id, a, 0.f, 10.f, def, kAudioUnitParameterUnit_Generic);
    };
    struct OtherSpec : NodeSpec {};
    NodeSpecList inner{p("deep", 7, 3)};
    NodeSpecList children{
        p("first", 1, 2),
        std::make_shared<const ParameterTreeSpec>(NodeSpecList{p("hidden", 9, 1)}),
        std::make_shared<const ParameterGroupSpec>(
            "outer", "Outer", NodeSpecList{std::make_shared<const ParameterGroupSpec>("inner", "Inner", inner)}),
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
