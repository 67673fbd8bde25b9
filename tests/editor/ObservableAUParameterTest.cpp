// The editor's parameter mirror against a real platform tree: the automation
// events a gesture sends, host changes arriving through the main queue, and
// the lookups with their fatal messages.

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <mutex>
#include <string>
#include <vector>

#include "ObservableAUParameter.hpp"
#include "ParameterDefinitions.hpp"
#include "foundation/RunLoop.hpp"

using namespace audiounit;
using EditingState = ObservableAUParameter::EditingState;

namespace {

struct SentEvent {
    AUValue value;
    AUParameterAutomationEventType type;
};

class ObservableAUParameterTest : public ::testing::Test {
protected:
    void SetUp() override {
        tree = createParameterTree(parameterTreeSpec());
        // Records every automation event that reaches the platform tree.
        tree->tokenByAddingParameterAutomationObserver([this](std::span<const AUParameterAutomationEvent> events) {
            std::lock_guard lock(mutex);
            for (const auto& e : events) sent.push_back({e.value, e.eventType});
        });
        root = ObservableAUParameterGroup::make(*tree);
        drive = root->lookupNode("global")->lookupParameter("drive");
        platformDrive = tree->parameterWithIdentifiers({"global", "drive"});
        drainMainQueue();
        clearSent();
    }

    static void drainMainQueue() {
        while (foundation::RunLoop::main().runOnce()) {
        }
    }
    std::vector<SentEvent> takeSent() {
        std::lock_guard lock(mutex);
        return std::exchange(sent, {});
    }
    void clearSent() { (void)takeSent(); }

    AUParameterTreePtr tree;
    std::shared_ptr<ObservableAUParameterGroup> root;
    std::shared_ptr<ObservableAUParameter> drive;
    AUParameterPtr platformDrive;
    std::mutex mutex;
    std::vector<SentEvent> sent;
};

TEST(FloatDescription, PrintsShortestRoundTripWithPointZeroForWholeNumbers) {
    for (const auto& [value, text] : {std::pair{65.0f, "65.0"}, {0.8f, "0.8"}, {0.0f, "0.0"}, {-3.0f, "-3.0"}, {12.25f, "12.25"}})
        EXPECT_EQ(floatDescription(value), text);
}

TEST_F(ObservableAUParameterTest, MirrorsEveryParameterWithItsFixedFields) {
    ASSERT_EQ(root->children().size(), 1u);
    auto global = std::dynamic_pointer_cast<ObservableAUParameterGroup>(root->lookupNode("global"));
    ASSERT_TRUE(global);
    EXPECT_EQ(global->children().size(), dunmarrow_dsp::kParameterCount);
    for (const auto& platform : tree->allParameters()) {
        auto node = global->lookupParameter(platform->identifier());
        EXPECT_EQ(node->min(), platform->minValue());
        EXPECT_EQ(node->max(), platform->maxValue());
        EXPECT_EQ(node->displayName(), platform->displayName());
        EXPECT_EQ(node->unit(), platform->unit());
        EXPECT_EQ(node->value(), platform->value());
        EXPECT_EQ(node->defaultValue(), 0.0f) << platform->identifier();
        EXPECT_EQ(node->editingState(), EditingState::inactive);
        EXPECT_TRUE(node->observerToken());
        EXPECT_EQ(node->parameter(), platform);
    }
    auto liveSafe = root->lookupNode("global")->lookupParameter("liveSafe");
    EXPECT_EQ(liveSafe->parameter()->address(), static_cast<AUParameterAddress>(dunmarrow_dsp::kLiveSafeAddress));
}

TEST_F(ObservableAUParameterTest, AGestureSendsTouchValuesThenReleaseWithTheFinalValue) {
    drive->setValue(50);
    clearSent();
    testing::internal::CaptureStdout();
    drive->onEditingChanged(true);
    EXPECT_EQ(drive->editingState(), EditingState::began);
    drive->setValue(53);
    EXPECT_EQ(drive->editingState(), EditingState::active);
    drive->setValue(57);
    drive->setValue(60);
    drive->onEditingChanged(false);
    EXPECT_EQ(drive->editingState(), EditingState::inactive);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Param was set 53.0\nParam was set 57.0\nParam was set 60.0\nParam was set 60.0\n");

    auto events = takeSent();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].type, AUParameterAutomationEventType::Touch);
    EXPECT_EQ(events[0].value, 53.0f);
    EXPECT_EQ(events[1].type, AUParameterAutomationEventType::Value);
    EXPECT_EQ(events[2].type, AUParameterAutomationEventType::Value);
    EXPECT_EQ(events[3].type, AUParameterAutomationEventType::Release);
    EXPECT_EQ(events[3].value, 60.0f);
    EXPECT_EQ(platformDrive->value(), 60.0f);

    // A gesture without a value still releases the current one.
    testing::internal::CaptureStdout();
    drive->onEditingChanged(true);
    drive->onEditingChanged(false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Param was set 60.0\n");
    events = takeSent();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, AUParameterAutomationEventType::Release);
    EXPECT_EQ(events[0].value, 60.0f);
}

TEST_F(ObservableAUParameterTest, AHostChangeMovesTheIdleValueWithoutEchoAndIsIgnoredDuringADrag) {
    // Views reading the value are told of the change.
    int notifications = 0;
    auto scope = std::make_shared<ui::ObservationScope>([&] { ++notifications; });
    ui::withObservationTracking(scope, [&] { (void)drive->value(); });
    testing::internal::CaptureStdout();
    // The host writes from another originator, as automation would.
    platformDrive->setValue(72.5f, AUParameterObserverToken{});
    EXPECT_NE(drive->value(), 72.5f);  // nothing moves before the main queue runs
    clearSent();  // the host's own write
    drainMainQueue();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(drive->value(), 72.5f);
    EXPECT_EQ(drive->editingState(), EditingState::inactive);
    EXPECT_GE(notifications, 1);
    EXPECT_TRUE(takeSent().empty());

    testing::internal::CaptureStdout();
    drive->onEditingChanged(true);
    drive->setValue(55);
    platformDrive->setValue(80.0f, AUParameterObserverToken{});
    drainMainQueue();
    EXPECT_EQ(drive->value(), 55.0f);
    EXPECT_EQ(drive->editingState(), EditingState::active);
    drive->onEditingChanged(false);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(platformDrive->value(), 55.0f);
}

TEST_F(ObservableAUParameterTest, SameValueTwiceSendsTwoValueEventsAndOwnObserverIsSkipped) {
    testing::internal::CaptureStdout();
    drive->setValue(65);
    drive->setValue(65);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Param was set 65.0\nParam was set 65.0\n");
    auto events = takeSent();
    ASSERT_EQ(events.size(), 2u);
    for (const auto& e : events) {
        EXPECT_EQ(e.type, AUParameterAutomationEventType::Value);
        EXPECT_EQ(e.value, 65.0f);
    }
    // Our own writes do not come back through the main queue.
    EXPECT_FALSE(foundation::RunLoop::main().runOnce());
}

TEST_F(ObservableAUParameterTest, AGoneParameterKeepsItsValueAndALaterChildReplacesAnEarlierOne) {
    auto lonely = AUParameterTree::createParameter("mix", "Mix", 99, 0, 1, kAudioUnitParameterUnit_Generic,
                                                   std::nullopt, 0, std::nullopt, std::nullopt);
    auto node = ObservableAUParameter::make(lonely);
    lonely.reset();
    EXPECT_EQ(node->parameter(), nullptr);
    testing::internal::CaptureStdout();
    node->setValue(0.8f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Param was set 0.8\n");
    EXPECT_EQ(node->value(), 0.8f);
    node->applyHostUpdate(99, 0.1f);
    EXPECT_EQ(node->value(), 0.8f);

    // A later child with the same identifier replaces the earlier one.
    auto first = AUParameterTree::createParameter("a", "First", 1, 0, 1, 0, std::nullopt, 0, std::nullopt, std::nullopt);
    auto second = AUParameterTree::createParameter("a", "Second", 2, 0, 1, 0, std::nullopt, 0, std::nullopt, std::nullopt);
    auto group = AUParameterTree::createTree({first, second});
    auto mirror = ObservableAUParameterGroup::make(*group);
    EXPECT_EQ(mirror->children().size(), 1u);
    EXPECT_EQ(mirror->lookupParameter("a")->displayName(), "Second");
    EXPECT_TRUE(ObservableAUParameterGroup::make(*AUParameterTree::createTree({}))->children().empty());
}

using ObservableAUParameterDeathTest = ObservableAUParameterTest;

TEST_F(ObservableAUParameterDeathTest, LookupErrorsStopWithTheirMessages) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto global = root->lookupNode("global");
    EXPECT_DEATH((void)global->lookupParameter("nope"), "Fatal error: ");
    EXPECT_EXIT(
        {
            // The hint line goes to standard output; route it where the matcher sees it.
            fflush(stdout);
            dup2(2, 1);
            (void)global->lookupNode("nope");
        },
        testing::KilledBySignal(SIGABRT),
        "Parameter Group ObservableAUParameterGroup doesn't have a child node named nope, did you mean one of: "
        "\n bite\nbody\ncab\ncrush\ndecimation\ndensity\ndoubleTrack\ndrive\ngain\ngrind\nliveSafe\n"
        "stereoSpread\ntight\ntouch\n");
    EXPECT_DEATH((void)drive->lookupNode("x"),
                 "Calling subscript is only supported on ObservableAUParameterGroups, you called it on "
                 "ObservableAUParameter");
    EXPECT_DEATH((void)root->lookupParameter("global"),
                 "Parameter node named global cannot be converted to the requested type");
    auto empty = ObservableAUParameterGroup::make(*AUParameterTree::createTree({}));
    EXPECT_DEATH((void)empty->lookupParameter("x"), "This group has no children");
    EXPECT_DEATH((void)empty->lookupNode("x"), "This group has no children");
    auto odd = AUParameterTree::createTree({AUParameterNode::make()});
    EXPECT_DEATH((void)ObservableAUParameterGroup::make(*odd), "Unexpected AUParameterNode subclass");
}

}  // namespace
