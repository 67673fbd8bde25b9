// The effect's editor in an X11 window on Xvfb, driven by another client's keys and clicks.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
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

TEST(EditorWindowTest, ATypedValueAndTheSwitchReachTheParametersAsEvents) {
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
    // The editor's view fills the window from its origin: its frames are window frames.
    const auto editor = controller->editorHostingController()->view()->host();
    ASSERT_TRUE(runUntil([&] { return client.pixel(id, 4, 4) == 0x000000; }));
    ParameterLog log(tree);

    // A typed 150 commits, clamped, as touch then release.
    const auto drive = tree->parameterWithIdentifiers({"global", "drive"});
    const auto line = editor->frameOf("Drive: 65.00");
    ASSERT_TRUE(line);
    client.doubleClick(id, int(line->center().x), int(line->center().y));
    settle();
    client.key(id, XK_a, ControlMask);
    client.type(id, "150");
    client.key(id, XK_Return);
    ASSERT_TRUE(runUntil([&] { return drive->value() == 100.0f; }));
    settle();
    using Type = AUParameterAutomationEventType;
    std::vector<std::pair<Type, AUValue>> typed;
    for (const auto& event : log.take()) typed.emplace_back(event.eventType, event.value);
    EXPECT_EQ(typed, (std::vector<std::pair<Type, AUValue>>{{Type::Touch, 100.0f}, {Type::Release, 100.0f}}));
    EXPECT_TRUE(editor->frameOf("Drive: 100.00"));

    const auto liveSafe = tree->parameterWithIdentifiers({"global", "liveSafe"});
    const auto toggle = editor->frameOf("LIVE SAFE");
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
