// The principal class's factory in process: where its body runs, how it
// fails, and the re-announcing of all values that it installs.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "AudioUnitViewController.hpp"
#include "BundleTestSupport.hpp"
#include "DunmarrowAUExtensionAudioUnit.hpp"
#include "ParameterDefinitions.hpp"

using namespace audiounit;
using namespace bundletest;
using foundation::NSError;

namespace {

using Values = std::vector<std::pair<AUParameterAddress, AUValue>>;

// Every value change a parameter tree reports, in order.
class TreeRecorder {
public:
    explicit TreeRecorder(AUParameterTreePtr tree) : tree_(std::move(tree)) {
        token_ = tree_->tokenByAddingParameterObserver([this](AUParameterAddress address, AUValue value) {
            std::lock_guard lock(mutex_);
            events_.emplace_back(address, value);
        });
    }
    ~TreeRecorder() { tree_->removeParameterObserver(token_); }
    Values take() {
        std::lock_guard lock(mutex_);
        return std::exchange(events_, {});
    }

private:
    AUParameterTreePtr tree_;
    AUParameterObserverToken token_;
    std::mutex mutex_;
    Values events_;
};

Values valuesInTreeOrder(const AUParameterTree& tree) {
    Values values;
    for (const auto& parameter : tree.allParameters()) values.emplace_back(parameter->address(), parameter->value());
    return values;
}

}  // namespace

TEST(AudioUnitViewControllerFactory, RunsOnTheMainQueueAndWaitsForIt) {
    AudioUnitViewController controller;
    EXPECT_EQ(controller.currentAudioUnit(), nullptr);

    // This thread is the main thread; until it runs the main queue, the call cannot finish.
    (void)foundation::RunLoop::main().runOnce();
    std::atomic<bool> returned{false};
    std::shared_ptr<AUAudioUnit> unit;
    std::thread platform([&] {
        unit = controller.createAudioUnit(kDunmarrow, nullptr);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(returned.load());
    EXPECT_TRUE(foundation::RunLoop::main().runUntil([&] { return returned.load(); }, std::chrono::seconds(30)));
    platform.join();

    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(controller.currentAudioUnit(), unit);
    EXPECT_NE(dynamic_cast<DunmarrowAUExtensionAudioUnit*>(unit.get()), nullptr);
    EXPECT_EQ(unit->componentDescription(), kDunmarrow);
    EXPECT_EQ(unit->instantiationOptions(), kAudioComponentInstantiation_None);
}

// A restored state and the all-values notification announce every value
// once more, in tree order, to observers of the factory's current unit only.
TEST(AudioUnitViewControllerFactory, OnlyItsCurrentUnitIsReannouncedAfterARestore) {
    auto controller = std::make_unique<AudioUnitViewController>();
    const auto first = createUnit(*controller);
    const auto second = createUnit(*controller);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(controller->currentAudioUnit(), second);

    // A state saved with "Funeral Bloom" and two values of its own.
    const auto tree = second->parameterTree();
    second->setCurrentPreset(AUAudioUnitPreset::make(2, ""));
    tree->parameterWithAddress(12)->setValue(0.25f);  // stereoSpread
    tree->parameterWithAddress(0)->setValue(12.5f);   // drive
    const auto saved = second->fullState();
    const auto savedValues = valuesInTreeOrder(*tree);
    second->setCurrentPreset(AUAudioUnitPreset::make(0, ""));

    TreeRecorder firstRecorder(first->parameterTree()), secondRecorder(tree);
    NSError error;
    ASSERT_TRUE(second->setFullState(saved, &error)) << error.localizedDescription();
    // Whatever the restore itself announced, it ends with every value announced once more.
    const auto restored = secondRecorder.take();
    ASSERT_GE(restored.size(), savedValues.size());
    EXPECT_EQ(Values(restored.end() - static_cast<std::ptrdiff_t>(savedValues.size()), restored.end()), savedValues);
    second->postAllParameterValuesChanged();
    EXPECT_EQ(secondRecorder.take(), savedValues);
    first->postAllParameterValuesChanged();
    EXPECT_TRUE(firstRecorder.take().empty()) << "the replaced unit is still observed";

    // A unit set up the same way but not by the factory announces nothing.
    auto plain = AUAudioUnit::create<DunmarrowAUExtensionAudioUnit>(kDunmarrow, kAudioComponentInstantiation_None);
    ASSERT_NE(plain, nullptr);
    plain->setupParameterTree(createParameterTree(parameterTreeSpec()));
    TreeRecorder plainRecorder(plain->parameterTree());
    plain->postAllParameterValuesChanged();
    EXPECT_TRUE(plainRecorder.take().empty());

    // The observation ends with the controller; the host may keep the unit.
    controller.reset();
    second->postAllParameterValuesChanged();
    EXPECT_TRUE(secondRecorder.take().empty());
}

TEST(AudioUnitViewControllerFactory, ACreationFailureIsReturnedAsTheError) {
    AudioUnitViewController controller;
    const AudioComponentDescription incomplete{fourCharCode("aufx"), 0, fourCharCode("QVRN"), 0, 0};
    NSError error;
    EXPECT_EQ(createUnit(controller, incomplete, &error), nullptr);
    EXPECT_EQ(error.domain, foundation::NSOSStatusErrorDomain);
    EXPECT_EQ(error.code, kAudioUnitErr_InvalidPropertyValue);
    EXPECT_EQ(controller.currentAudioUnit(), nullptr);
    EXPECT_EQ(createUnit(controller, incomplete, nullptr), nullptr);  // a null error pointer is allowed
}

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
