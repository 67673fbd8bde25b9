// The principal class's factory in process: where its body runs, what it
// leaves behind, how it fails, and the re-announcing of all values that it
// installs.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "AudioUnitViewController.hpp"
#include "BundleTestSupport.hpp"
#include "DunmarrowAUExtensionAudioUnit.hpp"
#include "ParameterDefinitions.hpp"

using namespace audiounit;
using namespace bundletest;
using foundation::NSError;

namespace {

struct FactoryResult {
    std::shared_ptr<AUAudioUnit> unit;
    NSError error;
};

// Calls the factory on a thread of its own, as the platform does, while this
// thread runs the main run loop.
FactoryResult callFactory(AudioUnitViewController& controller, const AudioComponentDescription& description) {
    auto call = std::async(std::launch::async, [&] {
        FactoryResult result;
        result.unit = controller.createAudioUnit(description, &result.error);
        return result;
    });
    const bool done = foundation::RunLoop::main().runUntil(
        [&] { return call.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
        std::chrono::seconds(30));
    EXPECT_TRUE(done) << "the factory did not return";
    return call.get();
}

// Counts every value change the tree reports.
AUParameterObserverToken countChanges(const AUParameterTreePtr& tree, std::atomic<int>& count) {
    return tree->tokenByAddingParameterObserver([&count](AUParameterAddress, AUValue) { ++count; });
}

}  // namespace

TEST(AudioUnitViewControllerFactory, RunsOnTheMainQueueAndWaitsForIt) {
    AudioUnitViewController controller;
    EXPECT_EQ(controller.currentAudioUnit(), nullptr);
    EXPECT_EQ(controller.editorSize(), (AudioUnitViewController::Size{720, 600}));

    // This thread is the main thread; until it runs the main queue, the call
    // cannot finish.
    (void)foundation::RunLoop::main().runOnce();
    std::atomic<bool> returned{false};
    FactoryResult result;
    std::thread platform([&] {
        result.unit = controller.createAudioUnit(kDunmarrow, &result.error);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(returned.load());
    EXPECT_TRUE(foundation::RunLoop::main().runUntil([&] { return returned.load(); }, std::chrono::seconds(30)));
    platform.join();

    ASSERT_NE(result.unit, nullptr);
    EXPECT_EQ(controller.currentAudioUnit(), result.unit);
    EXPECT_NE(dynamic_cast<DunmarrowAUExtensionAudioUnit*>(result.unit.get()), nullptr);
    EXPECT_EQ(result.unit->componentDescription(), kDunmarrow);
    EXPECT_EQ(result.unit->instantiationOptions(), kAudioComponentInstantiation_None);
    const auto tree = result.unit->parameterTree();
    ASSERT_NE(tree, nullptr);
    for (const ParameterRow& row : kParameters)
        EXPECT_EQ(tree->parameterWithAddress(row.address)->value(), row.defaultValue) << row.identifier;
    ASSERT_NE(result.unit->currentPreset(), nullptr);
    EXPECT_EQ(result.unit->currentPreset()->name(), "Blackwall");
}

TEST(AudioUnitViewControllerFactory, OnlyItsCurrentUnitIsReannounced) {
    auto controller = std::make_unique<AudioUnitViewController>();
    const FactoryResult first = callFactory(*controller, kDunmarrow);
    const FactoryResult second = callFactory(*controller, kDunmarrow);
    ASSERT_NE(first.unit, nullptr);
    ASSERT_NE(second.unit, nullptr);
    EXPECT_NE(first.unit, second.unit);
    EXPECT_EQ(controller->currentAudioUnit(), second.unit);

    std::atomic<int> firstChanges{0};
    std::atomic<int> secondChanges{0};
    const auto firstToken = countChanges(first.unit->parameterTree(), firstChanges);
    const auto secondToken = countChanges(second.unit->parameterTree(), secondChanges);
    first.unit->postAllParameterValuesChanged();
    second.unit->postAllParameterValuesChanged();
    EXPECT_EQ(firstChanges.load(), 0) << "the replaced unit is still observed";
    EXPECT_EQ(secondChanges.load(), 14);

    // A unit set up the same way but not by the factory announces nothing.
    auto plain = AUAudioUnit::create<DunmarrowAUExtensionAudioUnit>(kDunmarrow, kAudioComponentInstantiation_None);
    ASSERT_NE(plain, nullptr);
    plain->setupParameterTree(createParameterTree(parameterTreeSpec()));
    std::atomic<int> plainChanges{0};
    const auto plainToken = countChanges(plain->parameterTree(), plainChanges);
    plain->postAllParameterValuesChanged();
    EXPECT_EQ(plainChanges.load(), 0);

    // The observation lives as long as the controller; the host may keep the unit.
    controller.reset();
    second.unit->postAllParameterValuesChanged();
    EXPECT_EQ(secondChanges.load(), 14);
    first.unit->parameterTree()->removeParameterObserver(firstToken);
    second.unit->parameterTree()->removeParameterObserver(secondToken);
    plain->parameterTree()->removeParameterObserver(plainToken);
}

TEST(AudioUnitViewControllerFactory, ACreationFailureIsReturnedAsTheError) {
    AudioUnitViewController controller;
    const AudioComponentDescription incomplete{fourCharCode("aufx"), 0, fourCharCode("QVRN"), 0, 0};
    const FactoryResult result = callFactory(controller, incomplete);
    EXPECT_EQ(result.unit, nullptr);
    EXPECT_EQ(result.error.domain, foundation::NSOSStatusErrorDomain);
    EXPECT_EQ(result.error.code, kAudioUnitErr_InvalidPropertyValue);
    EXPECT_EQ(controller.currentAudioUnit(), nullptr);

    // A null error pointer is allowed.
    auto call = std::async(std::launch::async, [&] { return controller.createAudioUnit(incomplete, nullptr); });
    EXPECT_TRUE(foundation::RunLoop::main().runUntil(
        [&] { return call.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, std::chrono::seconds(30)));
    EXPECT_EQ(call.get(), nullptr);
}

TEST(AudioUnitViewControllerFactoryDeathTest, CalledOnTheMainThreadItStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            AudioUnitViewController controller;
            (void)foundation::RunLoop::main().runOnce();  // this thread is the main thread
            NSError error;
            (void)controller.createAudioUnit(kDunmarrow, &error);
        },
        "Fatal error: dispatch sync on the main queue from the main thread would deadlock");
}
