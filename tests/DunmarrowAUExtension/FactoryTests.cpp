// The principal class's factory in process: where it runs, how it fails, what it re-announces.

#include <gtest/gtest.h>

#include "AudioUnitViewController.hpp"
#include "BundleTestSupport.hpp"
#include "DunmarrowAUExtensionAudioUnit.hpp"
#include "ParameterDefinitions.hpp"

using namespace audiounit;
using namespace bundletest;
using foundation::NSError;

namespace {

using Values = std::vector<std::pair<AUParameterAddress, AUValue>>;

Values valuesOf(const std::vector<AUParameterAutomationEvent>& events) {
    Values values;
    for (const auto& event : events) values.emplace_back(event.address, event.value);
    return values;
}

}  // namespace

// A restore announces every value once more, in tree order, for the factory's unit only.
TEST(AudioUnitViewControllerFactory, GivesTheEffectAndReannouncesOnlyItsCurrentUnitAfterARestore) {
    auto controller = std::make_unique<AudioUnitViewController>();
    const auto first = createUnit(*controller);
    const auto second = createUnit(*controller);
    ASSERT_TRUE(first && second);
    EXPECT_NE(first, second);
    EXPECT_EQ(controller->currentAudioUnit(), second);
    EXPECT_NE(dynamic_cast<DunmarrowAUExtensionAudioUnit*>(second.get()), nullptr);
    EXPECT_EQ(second->componentDescription(), kDunmarrow);

    // A state saved with "Funeral Bloom" and two values of its own.
    const auto tree = second->parameterTree();
    second->setCurrentPreset(AUAudioUnitPreset::make(2, ""));
    tree->parameterWithAddress(12)->setValue(0.25f);  // stereoSpread
    tree->parameterWithAddress(0)->setValue(12.5f);   // drive
    const auto saved = second->fullState();
    Values savedValues;
    for (const auto& parameter : tree->allParameters()) savedValues.emplace_back(parameter->address(), parameter->value());
    second->setCurrentPreset(AUAudioUnitPreset::make(0, ""));

    ParameterLog firstLog(first->parameterTree()), secondLog(tree);
    NSError error;
    ASSERT_TRUE(second->setFullState(saved, &error)) << error.localizedDescription();
    const auto restored = valuesOf(secondLog.take());
    ASSERT_GE(restored.size(), savedValues.size());
    EXPECT_EQ(Values(restored.end() - static_cast<std::ptrdiff_t>(savedValues.size()), restored.end()), savedValues);
    second->postAllParameterValuesChanged();
    EXPECT_EQ(valuesOf(secondLog.take()), savedValues);
    first->postAllParameterValuesChanged();
    EXPECT_TRUE(firstLog.take().empty()) << "the replaced unit is still observed";

    // A unit set up the same way but not by the factory announces nothing.
    auto plain = AUAudioUnit::create<DunmarrowAUExtensionAudioUnit>(kDunmarrow, kAudioComponentInstantiation_None);
    ASSERT_NE(plain, nullptr);
    plain->setupParameterTree(createParameterTree(parameterTreeSpec()));
    ParameterLog plainLog(plain->parameterTree());
    plain->postAllParameterValuesChanged();
    EXPECT_TRUE(plainLog.take().empty());

    controller.reset();
    second->postAllParameterValuesChanged();
    EXPECT_TRUE(secondLog.take().empty());

    // A failure is returned as the error (a null error pointer is allowed).
    AudioUnitViewController failing;
    const AudioComponentDescription incomplete{fourCharCode("aufx"), 0, fourCharCode("QVRN"), 0, 0};
    EXPECT_EQ(createUnit(failing, incomplete, &error), nullptr);
    EXPECT_EQ(error.domain, foundation::NSOSStatusErrorDomain);
    EXPECT_EQ(error.code, kAudioUnitErr_InvalidPropertyValue);
    EXPECT_EQ(failing.currentAudioUnit(), nullptr);
    EXPECT_EQ(createUnit(failing, incomplete, nullptr), nullptr);
}

// The body runs on the main queue, which the platform's thread waits for.
TEST(AudioUnitViewControllerFactoryDeathTest, CalledOnTheMainThreadItStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            AudioUnitViewController controller;
            (void)foundation::RunLoop::main().runOnce();  // this thread is the main thread
            (void)controller.createAudioUnit(kDunmarrow, nullptr);
        },
        "Fatal error: dispatch sync on the main queue from the main thread would deadlock");
}
