// The parameter control driven through synthetic input: the texts it shows,
// typed values with their clamping and parse rules, and the automation events
// that reach the platform parameter.

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <string>
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
    static ui::Point centre(const ui::Rect& r) { return {r.x + r.width / 2, r.y + r.height / 2}; }

    // Opens the typed-value field with a double click on the value line and
    // replaces its text.
    void typeIntoField(ui::ViewHost& host, const std::string& text) {
        auto line = host.frameOf("Drive: " + formatParameterValue(*drive, drive->value()));
        ASSERT_TRUE(line);
        clickTime += 10;  // a new series of clicks each time
        host.click(centre(*line), clickTime);
        host.click(centre(*line), clickTime + 0.1);
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

TEST(ParseTypedValue, WholeTextInCLocale) {
    EXPECT_EQ(parseTypedValue(" 42 \n"), 42.0f);
    EXPECT_EQ(parseTypedValue("1e2"), 100.0f);
    EXPECT_EQ(parseTypedValue("-0.5"), -0.5f);
    EXPECT_TRUE(std::isinf(*parseTypedValue("inf")));
    EXPECT_TRUE(std::isnan(*parseTypedValue("nan")));
    EXPECT_FALSE(parseTypedValue(""));
    EXPECT_FALSE(parseTypedValue("   "));
    EXPECT_FALSE(parseTypedValue("abc"));
    EXPECT_FALSE(parseTypedValue("12abc"));
    EXPECT_FALSE(parseTypedValue("1,5"));
}

TEST_F(ParameterSliderTest, ShowsNameValueAndRangeEnds) {
    auto regular = makeHost(false);
    EXPECT_TRUE(regular->frameOf("Drive: 65.00"));
    EXPECT_TRUE(regular->frameOf("0.00"));
    EXPECT_TRUE(regular->frameOf("100.00"));
    EXPECT_TRUE(regular->frameOf("Drive"));  // the slider's identifier
    auto compact = makeHost(true);
    EXPECT_TRUE(compact->frameOf("Drive: 65.00"));
    EXPECT_FALSE(compact->frameOf("100.00"));
}

TEST_F(ParameterSliderTest, DraggingSendsTouchValueRelease) {
    auto host = makeHost(true);
    auto track = host->frameOf("Drive");
    ASSERT_TRUE(track);
    testing::internal::CaptureStdout();
    host->pointerDown(centre(*track));
    host->pointerDragged({track->x + track->width * 0.8, centre(*track).y});
    host->pointerUp({track->x + track->width * 0.8, centre(*track).y});
    testing::internal::GetCapturedStdout();
    auto events = takeSent();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.front().type, AUParameterAutomationEventType::Touch);
    EXPECT_EQ(events.back().type, AUParameterAutomationEventType::Release);
    EXPECT_EQ(events.back().value, drive->value());
    EXPECT_GT(drive->value(), 65.0f);
}

TEST_F(ParameterSliderTest, TypedValueIsClampedAndSentAsTouchThenRelease) {
    auto host = makeHost(false);
    testing::internal::CaptureStdout();
    typeIntoField(*host, "150");
    host->keyDown(ui::Key::returnKey);
    host->layoutIfNeeded();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Param was set 100.0\nParam was set 100.0\n");
    auto events = takeSent();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].type, AUParameterAutomationEventType::Touch);
    EXPECT_EQ(events[0].value, 100.0f);
    EXPECT_EQ(events[1].type, AUParameterAutomationEventType::Release);
    EXPECT_EQ(events[1].value, 100.0f);
    EXPECT_TRUE(host->frameOf("Drive: 100.00"));
    EXPECT_EQ(drive->editingState(), ObservableAUParameter::EditingState::inactive);
}

TEST_F(ParameterSliderTest, UnparsableTextRestoresAndSendsNothing) {
    auto host = makeHost(false);
    for (const char* text : {"abc", "12abc"}) {
        typeIntoField(*host, text);
        host->keyDown(ui::Key::returnKey);
        host->layoutIfNeeded();
        EXPECT_TRUE(host->frameOf("Drive: 65.00")) << text;
    }
    EXPECT_TRUE(takeSent().empty());
    EXPECT_EQ(drive->value(), 65.0f);
}

TEST_F(ParameterSliderTest, SpacesAroundNumberInfAndNan) {
    auto host = makeHost(true);
    testing::internal::CaptureStdout();
    typeIntoField(*host, " 42 ");
    host->keyDown(ui::Key::returnKey);
    EXPECT_EQ(drive->value(), 42.0f);

    typeIntoField(*host, "inf");
    host->keyDown(ui::Key::returnKey);
    EXPECT_EQ(drive->value(), 100.0f);

    host->layoutIfNeeded();
    typeIntoField(*host, "nan");
    host->keyDown(ui::Key::returnKey);
    const std::string out = testing::internal::GetCapturedStdout();
    // NaN passes the clamp and reaches the parameter as a touch and a release;
    // the kernel turns a NaN target into its neutral setting.
    EXPECT_TRUE(std::isnan(drive->value()));
    EXPECT_NE(out.find("Param was set nan\nParam was set nan\n"), std::string::npos) << out;
    auto events = takeSent();
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[3].type, AUParameterAutomationEventType::Release);
    EXPECT_EQ(events[3].value, 100.0f);
    EXPECT_EQ(events[4].type, AUParameterAutomationEventType::Touch);
    EXPECT_TRUE(std::isnan(events[4].value));
    EXPECT_EQ(events[5].type, AUParameterAutomationEventType::Release);
    EXPECT_TRUE(std::isnan(events[5].value));
}

TEST_F(ParameterSliderTest, EscapeCancelsAndClickingElsewhereCommits) {
    auto host = makeHost(false);
    typeIntoField(*host, "12");
    host->keyDown(ui::Key::escape);
    host->layoutIfNeeded();
    EXPECT_TRUE(host->frameOf("Drive: 65.00"));
    EXPECT_FALSE(host->hasKeyboardFocus());
    EXPECT_TRUE(takeSent().empty());

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
