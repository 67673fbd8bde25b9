// The editor's parameter mirror and its control against a real platform tree:
// the automation events a gesture or a typed value sends, host changes arriving
// through the main queue, the texts shown, and the lookups' fatal messages (a
// drag: see the editor window tests).

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <csignal>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "ObservableAUParameter.hpp"
#include "ParameterDefinitions.hpp"
#include "ParameterSlider.hpp"
#include "foundation/RunLoop.hpp"
#include "ui/ViewHost.hpp"

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
        (void)takeSent();
    }

    static void drainMainQueue() {
        while (foundation::RunLoop::main().runOnce()) {
        }
    }
    std::vector<SentEvent> takeSent() {
        std::lock_guard lock(mutex);
        return std::exchange(sent, {});
    }
    void expectSent(const std::vector<std::pair<AUParameterAutomationEventType, AUValue>>& expected) {
        const auto events = takeSent();
        ASSERT_EQ(events.size(), expected.size());
        for (std::size_t i = 0; i < events.size(); ++i) {
            EXPECT_EQ(events[i].type, expected[i].first) << i;
            EXPECT_TRUE(events[i].value == expected[i].second || (std::isnan(events[i].value) && std::isnan(expected[i].second))) << i;
        }
    }

    std::unique_ptr<ui::ViewHost> makeSlider(bool compact) {
        auto host = std::make_unique<ui::ViewHost>(ui::View(std::make_shared<ParameterSlider>(drive, compact)),
                                                   ui::Size{300, 80});
        host->layoutIfNeeded();
        return host;
    }
    // Opens the typed-value field with a double click on the value line and
    // replaces its text.
    void typeIntoField(ui::ViewHost& host, const std::string& text) {
        auto line = host.frameOf("Drive: " + formatParameterValue(*drive, drive->value()));
        ASSERT_TRUE(line);
        clickTime += 10;  // a new series of clicks each time
        host.click(line->center(), clickTime);
        host.click(line->center(), clickTime + 0.1);
        host.layoutIfNeeded();
        ASSERT_TRUE(host.hasKeyboardFocus());
        host.keyDown(ui::Key::selectAll);
        host.typeText(text);
    }

    AUParameterTreePtr tree;
    std::shared_ptr<ObservableAUParameterGroup> root;
    std::shared_ptr<ObservableAUParameter> drive;
    AUParameterPtr platformDrive;
    std::mutex mutex;
    std::vector<SentEvent> sent;
    double clickTime = 0;
};

constexpr auto kTouch = AUParameterAutomationEventType::Touch;
constexpr auto kValue = AUParameterAutomationEventType::Value;
constexpr auto kRelease = AUParameterAutomationEventType::Release;

TEST(TextConversions, FloatDescriptionAndTypedValues) {
    for (const auto& [value, text] : {std::pair{65.0f, "65.0"}, {0.8f, "0.8"}, {0.0f, "0.0"}, {-3.0f, "-3.0"}, {12.25f, "12.25"}})
        EXPECT_EQ(floatDescription(value), text);
    // Typed values: the whole text in the C locale.
    for (const auto& [text, value] : {std::pair{" 42 \n", 42.0f}, {"1e2", 100.0f}, {"-0.5", -0.5f}})
        EXPECT_EQ(parseTypedValue(text), value) << text;
    EXPECT_TRUE(std::isinf(*parseTypedValue("inf")));
    EXPECT_TRUE(std::isnan(*parseTypedValue("nan")));
    for (const char* text : {"", "   ", "abc", "12abc", "1,5"}) EXPECT_FALSE(parseTypedValue(text)) << text;
}

TEST_F(ObservableAUParameterTest, AGestureSendsTouchValuesThenReleaseWithTheFinalValue) {
    drive->setValue(50);
    (void)takeSent();
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
    expectSent({{kTouch, 53}, {kValue, 57}, {kValue, 60}, {kRelease, 60}});
    EXPECT_EQ(platformDrive->value(), 60.0f);

    // A gesture without a value still releases the current one.
    testing::internal::CaptureStdout();
    drive->onEditingChanged(true);
    drive->onEditingChanged(false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Param was set 60.0\n");
    expectSent({{kRelease, 60}});

    // The same value twice is sent twice; our own writes do not come back through the main queue.
    testing::internal::CaptureStdout();
    drive->setValue(65);
    drive->setValue(65);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Param was set 65.0\nParam was set 65.0\n");
    expectSent({{kValue, 65}, {kValue, 65}});
    EXPECT_FALSE(foundation::RunLoop::main().runOnce());
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
    (void)takeSent();  // the host's own write
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

TEST_F(ObservableAUParameterTest, TheSliderShowsItsTextsAndSendsATypedValueClampedAsTouchThenRelease) {
    for (const char* text : {"Drive: 65.00", "0.00", "100.00", "Drive"}) EXPECT_TRUE(makeSlider(false)->frameOf(text)) << text;
    EXPECT_FALSE(makeSlider(true)->frameOf("100.00"));
    auto host = makeSlider(false);
    // Unparsable text and escape restore the value and send nothing.
    for (const auto& [text, key] : {std::pair{"abc", ui::Key::returnKey}, {"12abc", ui::Key::returnKey}, {"12", ui::Key::escape}}) {
        typeIntoField(*host, text);
        host->keyDown(key);
        host->layoutIfNeeded();
        EXPECT_TRUE(host->frameOf("Drive: 65.00")) << text;
        EXPECT_FALSE(host->hasKeyboardFocus());
    }
    EXPECT_TRUE(takeSent().empty());
    // NaN passes the clamp and reaches the parameter; the kernel turns a NaN
    // target into its neutral setting. A click elsewhere commits too.
    for (const auto& [typed, value, printed] : {std::tuple{"150", 100.0f, "100.0"}, {"nan", NAN, "nan"}, {"30", 30.0f, "30.0"}}) {
        SCOPED_TRACE(typed);
        testing::internal::CaptureStdout();
        typeIntoField(*host, typed);
        if (typed == std::string("30")) {
            host->click({2, 78});
        } else {
            host->keyDown(ui::Key::returnKey);
        }
        host->layoutIfNeeded();
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Param was set " + std::string(printed) + "\nParam was set " + printed + "\n");
        expectSent({{kTouch, value}, {kRelease, value}});
        EXPECT_EQ(drive->editingState(), EditingState::inactive);
    }
    EXPECT_TRUE(host->frameOf("Drive: 30.00"));
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
