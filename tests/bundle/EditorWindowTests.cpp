// The effect's editor in a real X11 window under a private virtual X server,
// driven by input events from another client: the gestures reach the unit's
// parameters as touch, value and release events, typed values commit or
// restore, and the switch writes 1 and 0.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "AudioUnitViewController.hpp"
#include "BundleTestSupport.hpp"
#include "foundation/RunLoop.hpp"
#include "ui/ViewController.hpp"
#include "ui/Window.hpp"
// X11 last: its macros clash with names in the headers above.
#include <X11/keysym.h>

#include "VirtualDisplay.hpp"

using namespace audiounit;
using namespace bundletest;

namespace {

// What the unit's parameter tree heard, in order.
class EventLog {
public:
    explicit EventLog(const AUParameterTreePtr& tree) : tree_(tree) {
        token_ = tree->tokenByAddingParameterAutomationObserver([this](std::span<const AUParameterAutomationEvent> events) {
            std::lock_guard lock(mutex_);
            events_.insert(events_.end(), events.begin(), events.end());
        });
    }
    ~EventLog() { tree_->removeParameterObserver(token_); }
    std::vector<AUParameterAutomationEvent> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(events_, {});
    }

private:
    AUParameterTreePtr tree_;
    AUParameterObserverToken token_;
    std::mutex mutex_;
    std::vector<AUParameterAutomationEvent> events_;
};

class EditorWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!server.installed()) GTEST_SKIP() << "Xvfb is not installed; the X11 window tests need it";
        ASSERT_FALSE(server.display().empty()) << "Xvfb did not report a display";
        controller = std::make_shared<AudioUnitViewController>();
        unit = createUnit(*controller);
        ASSERT_NE(unit, nullptr);
        tree = unit->parameterTree();

        std::string error;
        window = ui::Window::create({"Dunmarrow", {720, 600}, 1, 0, server.display()}, &error);
        ASSERT_NE(window, nullptr) << error;
        window->setContentViewController(controller);
        window->attachToMainRunLoop();
        window->show();
        client = std::make_unique<testsupport::XClient>(server.display());
        ASSERT_NE(client->display, nullptr);
        // Drawn once the header's black backdrop is on screen.
        ASSERT_TRUE(runUntil([&] { return client->pixel(window->windowId(), 4, 4) == 0x000000; }));
        log = std::make_unique<EventLog>(tree);
    }

    void TearDown() override {
        log.reset();
        window.reset();
        if (controller) foundation::RunLoop::main().runOnce();
    }

    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(3)) {
        return foundation::RunLoop::main().runUntil(done, timeout);
    }
    // Runs the loop for a moment, so that events sent so far are handled.
    void settle() { foundation::RunLoop::main().runUntil([] { return false; }, std::chrono::milliseconds(150)); }

    // A view's frame in window points, by its identifier or its text.
    std::optional<ui::Rect> frameOf(const std::string& key) {
        std::optional<ui::Rect> found;
        std::function<void(const nlohmann::json&)> walk = [&](const nlohmann::json& node) {
            if (found) return;
            if (node.value("identifier", "") == key || node.value("text", "") == key) {
                const auto& f = node.at("frame");
                found = ui::Rect{f.at("x").get<double>(), f.at("y").get<double>(), f.at("width").get<double>(),
                                 f.at("height").get<double>()};
                return;
            }
            for (const auto& child : node.value("children", nlohmann::json::array())) walk(child);
        };
        walk(window->contentView()->inspect());
        return found;
    }

    AUParameterPtr parameter(const char* identifier) {
        return tree->parameterWithIdentifiers({"global", identifier});
    }
    unsigned long id() const { return window->windowId(); }

    testsupport::Xvfb server;
    std::shared_ptr<AudioUnitViewController> controller;
    std::shared_ptr<AUAudioUnit> unit;
    AUParameterTreePtr tree;
    std::unique_ptr<ui::Window> window;
    std::unique_ptr<testsupport::XClient> client;
    std::unique_ptr<EventLog> log;
};

using Type = AUParameterAutomationEventType;

TEST_F(EditorWindowTest, DraggingASliderSendsTouchValuesReleaseAndIgnoresTheHostMeanwhile) {
    const auto drive = parameter("drive");
    const auto slider = frameOf("Drive");
    ASSERT_TRUE(slider);
    const int y = int(slider->center().y);
    client->button(id(), ButtonPress, int(slider->x + slider->width * 0.25), y);
    client->motion(id(), int(slider->x + slider->width * 0.5), y);
    settle();
    // The host moves the parameter mid-gesture: the control stays with the hand.
    drive->setValue(10.0f);
    settle();
    client->motion(id(), int(slider->x + slider->width) + 40, y);
    client->button(id(), ButtonRelease, int(slider->x + slider->width) + 40, y, Button1Mask);
    ASSERT_TRUE(runUntil([&] { return drive->value() == 100.0f; }));
    settle();

    const auto events = log->take();
    std::vector<AUParameterAutomationEvent> editor;
    for (const auto& e : events)
        if (!(e.eventType == Type::Value && e.value == 10.0f)) editor.push_back(e);
    ASSERT_GE(editor.size(), 3u);
    EXPECT_EQ(editor.front().eventType, Type::Touch);
    EXPECT_EQ(editor.back().eventType, Type::Release);
    EXPECT_EQ(editor.back().value, 100.0f);
    EXPECT_EQ(editor.front().address, drive->address());
    for (std::size_t i = 1; i + 1 < editor.size(); ++i) EXPECT_EQ(editor[i].eventType, Type::Value);
    // The touch carries the first new value, not the value before the press.
    EXPECT_NE(editor.front().value, 65.0f);

    // An idle host change moves the control, and the editor sends nothing back.
    drive->setValue(30.0f);
    ASSERT_TRUE(runUntil([&] { return frameOf("Drive: 30.00").has_value(); }));
    settle();
    const auto echo = log->take();
    ASSERT_EQ(echo.size(), 1u);
    EXPECT_EQ(echo.front().value, 30.0f);
}

TEST_F(EditorWindowTest, TypedValuesCommitRestoreAndCancelThroughTheKeyboard) {
    const auto drive = parameter("drive");
    // Waits for the value line (input sent so far may still be on its way),
    // then double-clicks it.
    auto edit = [&](const std::string& shown) {
        ASSERT_TRUE(runUntil([&] { return frameOf(shown).has_value(); })) << shown;
        const auto line = frameOf(shown);
        client->doubleClick(id(), int(line->center().x), int(line->center().y));
        settle();
    };

    // 150 is clamped to the maximum and sent as touch, then release.
    edit("Drive: 65.00");
    client->key(id(), XK_a, ControlMask);
    client->type(id(), "150");
    client->key(id(), XK_Return);
    ASSERT_TRUE(runUntil([&] { return drive->value() == 100.0f; }));
    settle();
    auto events = log->take();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].eventType, Type::Touch);
    EXPECT_EQ(events[0].value, 100.0f);
    EXPECT_EQ(events[1].eventType, Type::Release);
    EXPECT_EQ(events[1].value, 100.0f);
    EXPECT_TRUE(frameOf("Drive: 100.00"));

    // Letters restore the shown value and send nothing.
    edit("Drive: 100.00");
    client->key(id(), XK_a, ControlMask);
    client->type(id(), "loud");
    client->key(id(), XK_Return);
    EXPECT_TRUE(runUntil([&] { return frameOf("Drive: 100.00").has_value(); }));
    settle();
    EXPECT_TRUE(log->take().empty());
    EXPECT_EQ(drive->value(), 100.0f);

    // Escape cancels an edit.
    edit("Drive: 100.00");
    client->key(id(), XK_a, ControlMask);
    client->type(id(), "12");
    client->key(id(), XK_Escape);
    settle();
    EXPECT_TRUE(log->take().empty());
    EXPECT_EQ(drive->value(), 100.0f);

    // Clicking elsewhere commits what was typed, spaces around it allowed.
    edit("Drive: 100.00");
    client->key(id(), XK_a, ControlMask);
    client->type(id(), " 42 ");
    const auto title = frameOf("HIGH-GAIN GUITAR DISTORTION");
    ASSERT_TRUE(title);
    client->click(id(), int(title->center().x), int(title->center().y));
    ASSERT_TRUE(runUntil([&] { return drive->value() == 42.0f; }));
    EXPECT_TRUE(runUntil([&] { return frameOf("Drive: 42.00").has_value(); }));
}

TEST_F(EditorWindowTest, TheLiveSafeSwitchWritesOneAndZero) {
    const auto liveSafe = parameter("liveSafe");
    const auto toggle = frameOf("LIVE SAFE");
    ASSERT_TRUE(toggle);
    // The switch sits at the trailing end of its label's row.
    client->click(id(), int(toggle->maxX()) - 8, int(toggle->center().y));
    ASSERT_TRUE(runUntil([&] { return liveSafe->value() == 1.0f; }));
    client->click(id(), int(toggle->maxX()) - 8, int(toggle->center().y));
    ASSERT_TRUE(runUntil([&] { return liveSafe->value() == 0.0f; }));
    settle();
    const auto events = log->take();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front().value, 1.0f);
    EXPECT_EQ(events.back().value, 0.0f);
}

}  // namespace
