// The effect's editor in a real X11 window on Xvfb, driven by input events from another client.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
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

TEST(EditorWindowTest, SliderDragsTypedValuesAndTheSwitchReachTheParametersAsEvents) {
    testsupport::Xvfb server;
    if (!server.installed()) GTEST_SKIP() << "Xvfb is not installed; the X11 window tests need it";
    ASSERT_FALSE(server.display().empty()) << "Xvfb did not report a display";
    const auto controller = std::make_shared<AudioUnitViewController>();
    const auto unit = createUnit(*controller);
    ASSERT_NE(unit, nullptr);
    const auto tree = unit->parameterTree();
    std::string error;
    auto window = ui::Window::create({"Dunmarrow", {720, 600}, 1, 0, server.display()}, &error);
    ASSERT_NE(window, nullptr) << error;
    window->setContentViewController(controller);
    window->attachToMainRunLoop();
    window->show();
    testsupport::XClient client(server.display());
    ASSERT_NE(client.display, nullptr);
    const unsigned long id = window->windowId();
    const auto runUntil = [](const std::function<bool()>& done) {
        return foundation::RunLoop::main().runUntil(done, std::chrono::seconds(3));
    };
    const auto settle = [] { foundation::RunLoop::main().runUntil([] { return false; }, std::chrono::milliseconds(150)); };
    const auto frameOf = [&](const std::string& key) {
        std::optional<ui::Rect> found;
        forEachNode(window->contentView()->inspect(), [&](const nlohmann::json& node) {
            if (found || (node.value("identifier", "") != key && node.value("text", "") != key)) return;
            const auto& f = node.at("frame");
            found = ui::Rect{f.at("x").get<double>(), f.at("y").get<double>(), f.at("width").get<double>(),
                             f.at("height").get<double>()};
        });
        return found;
    };
    const auto parameter = [&](const char* identifier) { return tree->parameterWithIdentifiers({"global", identifier}); };
    ASSERT_TRUE(runUntil([&] { return client.pixel(id, 4, 4) == 0x000000; }));
    ParameterLog log(tree);
    using Type = AUParameterAutomationEventType;

    const auto drive = parameter("drive");
    const auto slider = frameOf("Drive");
    ASSERT_TRUE(slider);
    const int y = int(slider->center().y);
    client.button(id, ButtonPress, int(slider->x + slider->width * 0.25), y);
    client.motion(id, int(slider->x + slider->width * 0.5), y);
    settle();
    // The host moves the parameter mid-gesture: the control stays with the hand.
    drive->setValue(10.0f);
    settle();
    client.motion(id, int(slider->x + slider->width) + 40, y);
    client.button(id, ButtonRelease, int(slider->x + slider->width) + 40, y, Button1Mask);
    ASSERT_TRUE(runUntil([&] { return drive->value() == 100.0f; }));
    settle();

    const auto events = log.take();
    std::vector<AUParameterAutomationEvent> editor;
    for (const auto& e : events)
        if (!(e.eventType == Type::Value && e.value == 10.0f)) editor.push_back(e);
    ASSERT_GE(editor.size(), 3u);
    EXPECT_EQ(editor.front().eventType, Type::Touch);
    EXPECT_EQ(editor.back().eventType, Type::Release);
    EXPECT_EQ(editor.back().value, 100.0f);
    EXPECT_EQ(editor.front().address, drive->address());
    for (std::size_t i = 1; i + 1 < editor.size(); ++i) EXPECT_EQ(editor[i].eventType, Type::Value);
    EXPECT_NE(editor.front().value, 65.0f);

    // An idle host change moves the control, and the editor sends nothing back.
    drive->setValue(30.0f);
    ASSERT_TRUE(runUntil([&] { return frameOf("Drive: 30.00").has_value(); }));
    settle();
    const auto echo = log.take();
    ASSERT_EQ(echo.size(), 1u);
    EXPECT_EQ(echo.front().value, 30.0f);

    // A typed 150 commits, clamped, as touch then release.
    const auto line = frameOf("Drive: 30.00");
    client.doubleClick(id, int(line->center().x), int(line->center().y));
    settle();
    client.key(id, XK_a, ControlMask);
    client.type(id, "150");
    client.key(id, XK_Return);
    ASSERT_TRUE(runUntil([&] { return drive->value() == 100.0f; }));
    settle();
    auto typed = log.take();
    ASSERT_EQ(typed.size(), 2u);
    EXPECT_EQ(typed[0].eventType, Type::Touch);
    EXPECT_EQ(typed[0].value, 100.0f);
    EXPECT_EQ(typed[1].eventType, Type::Release);
    EXPECT_EQ(typed[1].value, 100.0f);
    EXPECT_TRUE(frameOf("Drive: 100.00"));

    const auto liveSafe = parameter("liveSafe");
    const auto toggle = frameOf("LIVE SAFE");
    ASSERT_TRUE(toggle);
    // The switch sits at the trailing end of its label's row.
    client.click(id, int(toggle->maxX()) - 8, int(toggle->center().y));
    ASSERT_TRUE(runUntil([&] { return liveSafe->value() == 1.0f; }));
    client.click(id, int(toggle->maxX()) - 8, int(toggle->center().y));
    ASSERT_TRUE(runUntil([&] { return liveSafe->value() == 0.0f; }));
    settle();
    const auto switched = log.take();
    ASSERT_FALSE(switched.empty());
    EXPECT_EQ(switched.front().value, 1.0f);
    EXPECT_EQ(switched.back().value, 0.0f);
    window.reset();
    foundation::RunLoop::main().runOnce();
}
