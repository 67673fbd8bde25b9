// The X11 window under a private virtual X server: drawing, real input events
// from another client, HiDPI scale, and embedding into a foreign parent window.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>

#include "foundation/RunLoop.hpp"
#include "ui/Window.hpp"
// X11 last: its macros (None, Bool) clash with names in the headers above.
#include <X11/keysym.h>

#include "VirtualDisplay.hpp"

namespace {

using namespace ui;
using testsupport::pumpUntil;
using testsupport::Xvfb;
using Client = testsupport::XClient;

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!server.installed()) GTEST_SKIP() << "Xvfb is not installed; the X11 window tests need it";
        ASSERT_FALSE(server.display().empty()) << "Xvfb did not report a display";
    }
    Xvfb server;
};

TEST_F(WindowTest, DrawsAndTakesRealPointerAndKeyEvents) {
    std::string error;
    auto window = ui::Window::create({.title = "test", .size = {200, 100}, .scale = 1, .parent = 0, .display = server.display()}, &error);
    ASSERT_NE(window, nullptr) << error;
    State<bool> on(false);
    State<std::string> text(std::string(""));
    window->setRootView(HStack(VerticalAlignment::top, 0, {
        View(Color::sRGB(1, 0, 0)).frame(50, 50),
        VStack({Toggle("LIVE SAFE", on.binding()).accessibilityIdentifier("switch"),
                TextField("", text.binding()).accessibilityIdentifier("field").frame(100, {})}),
    }).frame(200, 100, Alignment::topLeading()));
    window->show();
    Client client(server.display());
    ASSERT_NE(client.display, nullptr);
    ASSERT_TRUE(pumpUntil(*window, [&] { return client.pixel(window->windowId(), 10, 10) == 0xFF0000; }));

    const auto host = window->contentView()->host();
    const Rect toggle = *host->frameOf("switch");
    client.click(window->windowId(), int(toggle.center().x), int(toggle.center().y));
    EXPECT_TRUE(pumpUntil(*window, [&] { return on.peek(); }));

    const Rect field = *host->frameOf("field");
    client.click(window->windowId(), int(field.center().x), int(field.center().y));
    ASSERT_TRUE(pumpUntil(*window, [&] { return host->hasKeyboardFocus(); }));
    client.key(window->windowId(), XK_4);
    client.key(window->windowId(), XK_2);
    client.key(window->windowId(), XK_BackSpace);
    client.key(window->windowId(), XK_period);
    EXPECT_TRUE(pumpUntil(*window, [&] { return text.peek() == "4."; })) << text.peek();

    // Ctrl+A, Ctrl+C: the window owns the clipboard and hands the text to another client.
    client.key(window->windowId(), XK_a, ControlMask);
    client.key(window->windowId(), XK_c, ControlMask);
    ASSERT_TRUE(pumpUntil(*window, [&] { return Pasteboard::general().string() == "4."; }));
    const Atom clipboard = XInternAtom(client.display, "CLIPBOARD", False);
    const Atom utf8 = XInternAtom(client.display, "UTF8_STRING", False);
    const Atom property = XInternAtom(client.display, "UI_TEST_PASTE", False);
    const ::Window requestor = XCreateSimpleWindow(client.display, DefaultRootWindow(client.display), 0, 0, 1, 1, 0, 0, 0);
    EXPECT_TRUE(pumpUntil(*window, [&] { return XGetSelectionOwner(client.display, clipboard) == window->windowId(); }));
    XConvertSelection(client.display, clipboard, utf8, property, requestor, CurrentTime);
    XFlush(client.display);
    XEvent notify{};
    ASSERT_TRUE(pumpUntil(*window, [&] { return XCheckTypedWindowEvent(client.display, requestor, SelectionNotify, &notify) == True; }));
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(client.display, requestor, property, 0, 1024, False, AnyPropertyType, &type, &format, &items, &after, &data);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), items), "4.");
    if (data) XFree(data);
}

TEST_F(WindowTest, ScaleTwoDoublesThePixelsAndEmbedsIntoAForeignParent) {
    Client client(server.display());
    ASSERT_NE(client.display, nullptr);
    const unsigned long parent = XCreateSimpleWindow(client.display, DefaultRootWindow(client.display), 0, 0, 600, 400, 0, 0, 0);
    XMapWindow(client.display, parent);
    XFlush(client.display);

    std::string error;
    auto window = ui::Window::create({.title = "", .size = {100, 50}, .scale = 2, .parent = parent, .display = server.display()}, &error);
    ASSERT_NE(window, nullptr) << error;
    window->setRootView(HStack(VerticalAlignment::center, 0, {View(Color::sRGB(0, 1, 0)), View(Color::sRGB(0, 0, 1))}));
    window->show();
    ASSERT_TRUE(pumpUntil(*window, [&] { return client.pixel(window->windowId(), 99, 50) == 0x00FF00; }));
    EXPECT_EQ(client.pixel(window->windowId(), 100, 50), 0x0000FFu);

    ::Window root = 0, reportedParent = 0;
    ::Window* children = nullptr;
    unsigned count = 0;
    XQueryTree(client.display, window->windowId(), &root, &reportedParent, &children, &count);
    if (children) XFree(children);
    EXPECT_EQ(reportedParent, parent);
    XWindowAttributes attributes;
    XGetWindowAttributes(client.display, window->windowId(), &attributes);
    EXPECT_EQ(attributes.width, 200);
    EXPECT_EQ(attributes.height, 100);
    EXPECT_EQ(window->size(), (Size{100, 50}));

    // A parent that does not exist is an error, not a crash.
    std::string missing;
    EXPECT_EQ(ui::Window::create({.title = "", .size = {10, 10}, .scale = 1, .parent = 0x7ffffff, .display = server.display()}, &missing),
              nullptr);
    EXPECT_EQ(missing, "no parent window 0x7ffffff on the X display");

    // The host resizes the embedded window: the views follow in points.
    XResizeWindow(client.display, window->windowId(), 400, 100);
    XFlush(client.display);
    EXPECT_TRUE(pumpUntil(*window, [&] { return window->size() == Size{200, 50}; }));
    EXPECT_EQ(window->contentView()->host()->size(), (Size{200, 50}));

    // The host destroys its window with the editor inside: the editor's window closes quietly.
    XDestroyWindow(client.display, parent);
    XFlush(client.display);
    EXPECT_TRUE(pumpUntil(*window, [&] { return window->isClosed(); }));
    window->processPendingEvents();
}

TEST_F(WindowTest, MainRunLoopDeliversInputAndRedrawsAfterChanges) {
    std::string error;
    auto window = ui::Window::create({.title = "", .size = {100, 40}, .scale = 1, .parent = 0, .display = server.display()}, &error);
    ASSERT_NE(window, nullptr) << error;
    State<bool> lit(false);
    int taps = 0;
    window->setRootView(Dynamic([&] {
        return View(lit.get() ? Color::sRGB(1, 1, 1) : Color::sRGB(0, 0, 1)).onTapGesture([&] { ++taps; });
    }));
    window->show();
    window->attachToMainRunLoop();
    Client client(server.display());
    auto& loop = foundation::RunLoop::main();
    ASSERT_TRUE(loop.runUntil([&] { return client.pixel(window->windowId(), 50, 20) == 0x0000FF; }, std::chrono::seconds(2)));

    // A change made by a main-queue job (as a timer would) reaches the screen.
    loop.perform([&] { lit.set(true); });
    EXPECT_TRUE(loop.runUntil([&] { return client.pixel(window->windowId(), 50, 20) == 0xFFFFFF; }, std::chrono::seconds(2)));

    // Input arrives through the connection's read source.
    client.click(window->windowId(), 50, 20);
    EXPECT_TRUE(loop.runUntil([&] { return taps == 1; }, std::chrono::seconds(2)));
    window.reset();
    loop.runOnce();
}

TEST(WindowWithoutServer, ReportsADisplayThatCannotBeOpened) {
    std::string error;
    auto window = ui::Window::create({.title = "", .size = {10, 10}, .scale = 1, .parent = 0, .display = ":999999"}, &error);
    EXPECT_EQ(window, nullptr);
    EXPECT_EQ(error, "cannot open X display \":999999\"");
}

}  // namespace
