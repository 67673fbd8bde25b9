#include <cmath>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "audiounit/AUParameters.hpp"

using namespace audiounit;

namespace {

constexpr AudioUnitParameterOptions kReadWrite = kAudioUnitParameterFlag_IsWritable | kAudioUnitParameterFlag_IsReadable;

AUParameterPtr makeParameter(const char* identifier, AUParameterAddress address, AUValue max = 100) {
    return AUParameterTree::createParameter(identifier, std::string(identifier) + " name", address, 0, max,
                                            kAudioUnitParameterUnit_Percent, std::nullopt, kReadWrite, std::nullopt,
                                            std::nullopt);
}

// global: drive(0), tight(1), nested: touch(9); a placeholder node; then other: gain(4).
struct SampleTree {
    AUParameterTreePtr tree;
    SampleTree() {
        auto nested = AUParameterTree::createGroup("nested", "Nested", {makeParameter("touch", 9)});
        auto global = AUParameterTree::createGroup(
            "global", "Global", {makeParameter("drive", 0), makeParameter("tight", 1), nested, AUParameterNode::make()});
        auto other = AUParameterTree::createGroup("other", "Other", {makeParameter("gain", 4, 1)});
        tree = AUParameterTree::createTree({global, other});
    }
    AUParameterPtr at(AUParameterAddress address) const { return tree->parameterWithAddress(address); }
};

}  // namespace

TEST(ParameterTree, StructureOrderLookupsAndUnclampedValues) {
    SampleTree s;
    const auto& all = s.tree->allParameters();
    ASSERT_EQ(all.size(), 4u);
    const char* order[] = {"drive", "tight", "touch", "gain"};
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(all[i]->identifier(), order[i]);
    ASSERT_EQ(s.tree->children().size(), 2u);
    auto global = std::dynamic_pointer_cast<AUParameterGroup>(s.tree->children()[0]);
    ASSERT_TRUE(global);
    EXPECT_EQ(global->children().size(), 4u);  // the placeholder keeps its place
    EXPECT_EQ(global->allParameters().size(), 3u);

    const std::pair<const char*, int> keyPaths[] = {{"global.drive", 0}, {"global.nested.touch", 2}, {"global", -1},
                                                    {"global.missing", -1}, {"global.drive.deeper", -1}, {"", -1}};
    for (const auto& [path, index] : keyPaths)
        EXPECT_EQ(s.tree->parameterForKeyPath(path), index < 0 ? nullptr : all[static_cast<std::size_t>(index)]) << path;
    EXPECT_EQ(s.tree->parameterWithIdentifiers({"global", "tight"}), all[1]);
    EXPECT_EQ(s.tree->parameterWithIdentifiers({"global"}), nullptr);
    EXPECT_EQ(s.tree->nodeForKeyPath("global"), global);
    EXPECT_EQ(s.at(9), all[2]);
    EXPECT_EQ(s.at(5), nullptr);
    EXPECT_EQ(all[2]->keyPath(), "global.nested.touch");

    // Nothing clamps: a host may drive a gain past its range; the implementor guards its own values.
    s.at(4)->setValue(7.0f);
    EXPECT_EQ(s.at(4)->value(), 7.0f);
    s.at(4)->setValue(std::numeric_limits<float>::quiet_NaN());
    EXPECT_TRUE(std::isnan(s.at(4)->value()));
}

TEST(ParameterTree, ObserversSeeChangesBelowThemExceptTheirOwn) {
    SampleTree s;
    std::vector<std::pair<AUParameterAddress, AUValue>> treeSeen, paramSeen, otherSeen;
    const auto treeToken = s.tree->tokenByAddingParameterObserver(
        [&](AUParameterAddress a, AUValue v) { treeSeen.emplace_back(a, v); });
    const auto paramToken =
        s.at(0)->tokenByAddingParameterObserver([&](AUParameterAddress a, AUValue v) { paramSeen.emplace_back(a, v); });
    auto other = std::dynamic_pointer_cast<AUParameterGroup>(s.tree->children()[1]);
    other->tokenByAddingParameterObserver([&](AUParameterAddress a, AUValue v) { otherSeen.emplace_back(a, v); });
    s.at(0)->setValue(10);
    s.at(0)->setValue(20, paramToken);  // its own change: the parameter's observer is skipped
    s.at(4)->setValue(0.25f, treeToken, 0, AUParameterAutomationEventTypeTouch);
    s.at(0)->setValue(20);  // the same value again still notifies

    using Seen = std::vector<std::pair<AUParameterAddress, AUValue>>;
    EXPECT_EQ(treeSeen, (Seen{{0, 10.f}, {0, 20.f}, {0, 20.f}}));
    EXPECT_EQ(paramSeen, (Seen{{0, 10.f}, {0, 20.f}}));
    EXPECT_EQ(otherSeen, (Seen{{4, 0.25f}}));

    s.tree->removeParameterObserver(treeToken);
    s.at(1)->setValue(5);
    EXPECT_EQ(treeSeen.size(), 3u);

    std::vector<std::tuple<AUParameterAutomationEventType, std::uint64_t, AUParameterAddress, AUValue>> events;
    s.tree->tokenByAddingParameterAutomationObserver([&](std::span<const AUParameterAutomationEvent> seen) {
        for (const auto& e : seen) events.emplace_back(e.eventType, e.hostTime, e.address, e.value);
    });
    s.at(1)->setValue(60, AUParameterObserverToken{}, 1234, AUParameterAutomationEventTypeTouch);
    s.at(1)->setValue(62, AUParameterObserverToken{}, 0, AUParameterAutomationEventTypeRelease);
    EXPECT_EQ(events, (decltype(events){{AUParameterAutomationEventTypeTouch, 1234u, 1u, 60.f},
                                        {AUParameterAutomationEventTypeRelease, 0u, 1u, 62.f}}));
}

TEST(ParameterTree, ImplementorCallbacksServeEveryParameterBelowThem) {
    SampleTree s;
    std::vector<AUValue> storage(16, 0.0f);
    s.tree->setImplementorValueObserver([&](AUParameter& p, AUValue v) { storage[p.address()] = v; });

    // Before a provider exists, reads give the stored value.
    s.at(9)->setValue(33);
    EXPECT_EQ(s.at(9)->value(), 33.f);

    s.tree->setImplementorValueProvider([&](AUParameter& p) { return storage[p.address()] + 1000; });
    EXPECT_EQ(s.at(9)->value(), 1033.f);
    storage[0] = 5;
    EXPECT_EQ(s.at(0)->value(), 1005.f);

    // The implementor sees the write before observers do.
    std::vector<AUValue> observedStorage;
    s.tree->tokenByAddingParameterObserver([&](AUParameterAddress a, AUValue) { observedStorage.push_back(storage[a]); });
    s.at(1)->setValue(42);
    EXPECT_EQ(observedStorage, std::vector<AUValue>{42.f});

    // The closest callback wins: a group's own replaces the tree's for its parameters.
    auto other = std::dynamic_pointer_cast<AUParameterGroup>(s.tree->children()[1]);
    other->setImplementorStringFromValueCallback(
        [](AUParameter&, std::optional<AUValue> v) { return v ? std::string("other ") + std::to_string(int(*v)) : "-"; });
    s.tree->setImplementorStringFromValueCallback([](AUParameter& p, std::optional<AUValue> v) {
        return std::string(p.identifier()).append("=").append(v ? std::to_string(static_cast<int>(*v)) : "-");
    });
    EXPECT_EQ(s.at(0)->stringFromValue(12.0f), "drive=12");
    EXPECT_EQ(s.at(0)->stringFromValue(std::nullopt), "drive=-");
    EXPECT_EQ(s.at(4)->stringFromValue(1.0f), "other 1");

    s.tree->setImplementorValueFromStringCallback([](AUParameter&, const std::string& t) { return t == "max" ? 100.f : 0.f; });
    EXPECT_EQ(s.at(0)->valueFromString("max"), 100.f);
}

TEST(ParameterTree, DefaultTextsUseValueStringsOrPlainNumbers) {
    auto mode = AUParameterTree::createParameter("mode", "Mode", 3, 0, 2, kAudioUnitParameterUnit_Indexed, std::nullopt,
                                                 kReadWrite, std::vector<std::string>{"Low", "Mid", "High"},
                                                 std::nullopt);
    auto level = AUParameterTree::createParameter("level", "Level", 4, -10, 10, kAudioUnitParameterUnit_Decibels,
                                                  std::string("dB"), kReadWrite, std::nullopt, AUParameterAddressList{3});
    auto tree = AUParameterTree::createTree({mode, level});
    EXPECT_EQ(mode->stringFromValue(0.0f), "Low");
    EXPECT_EQ(mode->stringFromValue(2.0f), "High");
    EXPECT_EQ(mode->valueFromString("High"), 2.f);
    EXPECT_EQ(level->stringFromValue(-2.5f), "-2.5");
    EXPECT_EQ(level->valueFromString("3.25"), 3.25f);
    EXPECT_EQ(level->valueFromString("99"), 10.f);
    EXPECT_EQ(level->valueFromString("nonsense"), 0.f);
}

// Writers, an observer that writes, observers coming and going: no deadlock, no race (under tsan).
TEST(ParameterTree, ConcurrentWritesAndObserverChanges) {
    SampleTree s;
    std::atomic<int> echoes{0};
    s.at(0)->tokenByAddingParameterObserver([&](AUParameterAddress, AUValue v) {
        s.at(1)->setValue(v);  // an observer that writes another value
        echoes.fetch_add(1, std::memory_order_relaxed);
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                s.at(t == 0 ? 0 : 9)->setValue(static_cast<AUValue>(i % 100));
                (void)s.at(1)->value();
            }
        });
    }
    std::atomic<int> seen{0};
    for (int i = 0; i < 200; ++i) {
        auto token = s.tree->tokenByAddingParameterObserver([&](AUParameterAddress, AUValue) { seen.fetch_add(1); });
        s.tree->removeParameterObserver(token);
    }
    for (auto& w : writers) w.join();
    EXPECT_EQ(echoes.load(), 2000);
    EXPECT_EQ(s.at(1)->value(), 99.f);
}
