// The X11 window under a private Xvfb: drawing, real input on the main run loop, clipboard, scale, embedding.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "foundation/RunLoop.hpp"
#include "ui/Window.hpp"
// X11 last: its macros (None, Bool) clash with names in the headers above.
#include <X11/keysym.h>

#include "VirtualDisplay.hpp"

namespace {

using namespace ui;
using testsupport::pumpUntil;

// A wheel notch as the X server reports it: a press of button 4 (up) or 5 (down).
void wheel(testsupport::XClient& client, unsigned long window, unsigned button, Point p) {
    const XButtonEvent press{ButtonPress, 0, False, client.display, window, 0, 0, 0, int(p.x), int(p.y), 0, 0, 0, button,
                             True};
    XEvent e{.xbutton = press};
    XSendEvent(client.display, window, False, ButtonPressMask, &e);
    XFlush(client.display);
}

std::unique_ptr<ui::Window> makeWindow(const std::string& display, Size size, double scale = 1, unsigned long parent = 0) {
    std::string error;
    auto window = ui::Window::create({.title = "test", .size = size, .scale = scale, .parent = parent, .display = display}, &error);
    EXPECT_NE(window, nullptr) << error;
    return window;
}

TEST(WindowTest, DrawsTakesRealInputServesTheClipboardScalesAndEmbeds) {
    testsupport::Xvfb server;
    if (!server.installed()) GTEST_SKIP() << "Xvfb is not installed; the X11 window tests need it";
    ASSERT_FALSE(server.display().empty()) << "Xvfb did not report a display";
    testsupport::XClient client(server.display());
    ASSERT_NE(client.display, nullptr);
    {
        auto window = makeWindow(server.display(), {200, 100});
        ASSERT_NE(window, nullptr);
        State<bool> lit(false);
        State<std::string> text(std::string(""));
        std::vector<View> rows;
        for (int i = 0; i < 20; ++i) rows.push_back(Text("row " + std::to_string(i)).frame({}, 20));
        window->setRootView(HStack(VerticalAlignment::top, 0, {
            Dynamic([&] { return View(lit.get() ? Color::sRGB(1, 1, 1) : Color::sRGB(1, 0, 0)).frame(50, 50); }),
            TextField("", text.binding()).accessibilityIdentifier("field").frame(100, {}),
            ScrollView(VStack(HorizontalAlignment::leading, 0, rows)).frame(50, 100).accessibilityIdentifier("scroll"),
        }).frame(200, 100, Alignment::topLeading()));
        // On the main run loop input arrives via the read source, and a main-queue job's change reaches the screen.
        window->show();
        window->attachToMainRunLoop();
        auto& loop = foundation::RunLoop::main();
        const auto until = [&](const std::function<bool()>& done) { return loop.runUntil(done, std::chrono::seconds(2)); };
        const auto id = window->windowId();
        ASSERT_TRUE(until([&] { return client.pixel(id, 10, 10) == 0xFF0000; }));
        loop.perform([&] { lit.set(true); });
        EXPECT_TRUE(until([&] { return client.pixel(id, 10, 10) == 0xFFFFFF; }));

        const auto host = window->contentView()->host();
        // The wheel: down scrolls the content up by one notch, up brings it back.
        const auto rowTop = [&] { return host->frameOf("row 0").value_or(Rect{}).y; };
        const double top = rowTop();
        const Point scroll = host->frameOf("scroll").value_or(Rect{}).center();
        wheel(client, id, Button5, scroll);
        EXPECT_TRUE(until([&] { return rowTop() == top - 40; })) << rowTop();
        wheel(client, id, Button4, scroll);
        EXPECT_TRUE(until([&] { return rowTop() == top; })) << rowTop();

        client.click(id, host->frameOf("field")->center());
        ASSERT_TRUE(until([&] { return host->hasKeyboardFocus(); }));
        for (const KeySym key : {XK_4, XK_2, XK_BackSpace, XK_period}) client.key(id, key);
        EXPECT_TRUE(until([&] { return text.peek() == "4."; })) << text.peek();

        // Ctrl+A, Ctrl+C: the window owns the clipboard and hands the text to another client.
        client.key(id, XK_a, ControlMask);
        client.key(id, XK_c, ControlMask);
        const Atom clipboard = XInternAtom(client.display, "CLIPBOARD", False);
        const Atom property = XInternAtom(client.display, "UI_TEST_PASTE", False);
        const ::Window requestor = XCreateSimpleWindow(client.display, DefaultRootWindow(client.display), 0, 0, 1, 1, 0, 0, 0);
        EXPECT_TRUE(until([&] { return XGetSelectionOwner(client.display, clipboard) == id; }));
        XConvertSelection(client.display, clipboard, XInternAtom(client.display, "UTF8_STRING", False), property, requestor,
                          CurrentTime);
        XFlush(client.display);
        XEvent notify{};
        ASSERT_TRUE(until([&] { return XCheckTypedWindowEvent(client.display, requestor, SelectionNotify, &notify) == True; }));
        Atom type = 0;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        XGetWindowProperty(client.display, requestor, property, 0, 1024, False, AnyPropertyType, &type, &format, &items, &after, &data);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(data), items), "4.");
        if (data) XFree(data);
        window.reset();
        loop.runOnce();
    }

    // At scale 2, embedded in another client's window.
    const unsigned long parent = XCreateSimpleWindow(client.display, DefaultRootWindow(client.display), 0, 0, 600, 400, 0, 0, 0);
    XMapWindow(client.display, parent);
    XFlush(client.display);
    auto window = makeWindow(server.display(), {100, 50}, 2, parent);
    ASSERT_NE(window, nullptr);
    window->setRootView(HStack(VerticalAlignment::center, 0, {View(Color::sRGB(0, 1, 0)), View(Color::sRGB(0, 0, 1))}));
    window->show();
    const auto id = window->windowId();
    ASSERT_TRUE(pumpUntil(*window, [&] { return client.pixel(id, 99, 50) == 0x00FF00; }));
    EXPECT_EQ(client.pixel(id, 100, 50), 0x0000FFu);  // 100 points wide, 200 pixels
    EXPECT_EQ(window->size(), (Size{100, 50}));
    // A parent that does not exist is an error, not a crash.
    std::string missing;
    EXPECT_EQ(ui::Window::create({.title = "", .size = {10, 10}, .scale = 1, .parent = 0x7ffffff, .display = server.display()}, &missing),
              nullptr);
    EXPECT_EQ(missing, "no parent window 0x7ffffff on the X display");
    // The host resizes the embedded window: the views follow in points.
    XResizeWindow(client.display, id, 400, 100);
    XFlush(client.display);
    EXPECT_TRUE(pumpUntil(*window, [&] { return window->size() == Size{200, 50}; }));
    EXPECT_EQ(window->contentView()->host()->size(), (Size{200, 50}));
    // The host destroys its window with the editor inside (a child, then): the editor's window closes quietly.
    XDestroyWindow(client.display, parent);
    XFlush(client.display);
    EXPECT_TRUE(pumpUntil(*window, [&] { return window->isClosed(); }));
    window->processPendingEvents();
}

}  // namespace
