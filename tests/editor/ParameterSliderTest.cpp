// The parameter control driven through synthetic input: the texts it shows,
// typed values with their clamping and parse rules, and the automation events
// that reach the platform parameter (a drag: see the editor window tests).

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "ParameterDefinitions.hpp"
#include "ParameterSlider.hpp"
#include "foundation/RunLoop.hpp"
#include "ui/ViewHost.hpp"

using namespace audiounit;

namespace {

struct SentEvent {
    AUValue value;
    AUParameterAutomationEventType type;
};

class ParameterSliderTest : public ::testing::Test {
protected:
    void SetUp() override {
        tree = createParameterTree(parameterTreeSpec());
        tree->tokenByAddingParameterAutomationObserver([this](std::span<const AUParameterAutomationEvent> events) {
            std::lock_guard lock(mutex);
            for (const auto& e : events) sent.push_back({e.value, e.eventType});
        });
        root = ObservableAUParameterGroup::make(*tree);
        drive = root->lookupNode("global")->lookupParameter("drive");
    }

    std::unique_ptr<ui::ViewHost> makeHost(bool compact) {
        auto host = std::make_unique<ui::ViewHost>(ui::View(std::make_shared<ParameterSlider>(drive, compact)),
                                                   ui::Size{300, 80});
        host->layoutIfNeeded();
        return host;
    }
    std::vector<SentEvent> takeSent() {
        std::lock_guard lock(mutex);
        return std::exchange(sent, {});
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
    std::mutex mutex;
    std::vector<SentEvent> sent;
    double clickTime = 0;
};

TEST(ParseTypedValue, TakesTheWholeTextInTheCLocale) {
    for (const auto& [text, value] : {std::pair{" 42 \n", 42.0f}, {"1e2", 100.0f}, {"-0.5", -0.5f}})
        EXPECT_EQ(parseTypedValue(text), value) << text;
    EXPECT_TRUE(std::isinf(*parseTypedValue("inf")));
    EXPECT_TRUE(std::isnan(*parseTypedValue("nan")));
    for (const char* text : {"", "   ", "abc", "12abc", "1,5"}) EXPECT_FALSE(parseTypedValue(text)) << text;
}

TEST_F(ParameterSliderTest, ShowsNameValueAndRangeEnds) {
    auto regular = makeHost(false);
    for (const char* text : {"Drive: 65.00", "0.00", "100.00", "Drive"}) EXPECT_TRUE(regular->frameOf(text)) << text;
    auto compact = makeHost(true);
    EXPECT_TRUE(compact->frameOf("Drive: 65.00"));
    EXPECT_FALSE(compact->frameOf("100.00"));
}

TEST_F(ParameterSliderTest, ATypedValueIsClampedAndSentAsTouchThenRelease) {
    auto host = makeHost(false);
    // NaN passes the clamp and reaches the parameter; the kernel turns a NaN
    // target into its neutral setting.
    for (const auto& [typed, value, printed] : {std::tuple{"150", 100.0f, "100.0"}, {"nan", NAN, "nan"}}) {
        SCOPED_TRACE(typed);
        testing::internal::CaptureStdout();
        typeIntoField(*host, typed);
        host->keyDown(ui::Key::returnKey);
        host->layoutIfNeeded();
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Param was set " + std::string(printed) + "\nParam was set " + printed + "\n");
        const auto events = takeSent();
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[0].type, AUParameterAutomationEventType::Touch);
        EXPECT_EQ(events[1].type, AUParameterAutomationEventType::Release);
        for (const auto& event : events) EXPECT_TRUE(event.value == value || (std::isnan(value) && std::isnan(event.value)));
        EXPECT_EQ(drive->editingState(), ObservableAUParameter::EditingState::inactive);
        if (typed == std::string("150")) {
            EXPECT_TRUE(host->frameOf("Drive: 100.00"));
        }
    }
}

TEST_F(ParameterSliderTest, UnparsableTextAndEscapeRestoreAndSendNothingAndClickingElsewhereCommits) {
    auto host = makeHost(false);
    for (const char* text : {"abc", "12abc"}) {
        typeIntoField(*host, text);
        host->keyDown(ui::Key::returnKey);
        host->layoutIfNeeded();
        EXPECT_TRUE(host->frameOf("Drive: 65.00")) << text;
    }
    typeIntoField(*host, "12");
    host->keyDown(ui::Key::escape);
    host->layoutIfNeeded();
    EXPECT_TRUE(host->frameOf("Drive: 65.00"));
    EXPECT_FALSE(host->hasKeyboardFocus());
    EXPECT_TRUE(takeSent().empty());
    EXPECT_EQ(drive->value(), 65.0f);

    testing::internal::CaptureStdout();
    typeIntoField(*host, "30");
    host->click({2, 78});  // outside the field
    host->layoutIfNeeded();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(drive->value(), 30.0f);
    EXPECT_TRUE(host->frameOf("Drive: 30.00"));
    EXPECT_EQ(takeSent().size(), 2u);
}

}  // namespace
