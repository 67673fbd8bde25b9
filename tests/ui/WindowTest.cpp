// The X11 window under a private virtual X server: drawing, real input events
// from another client, HiDPI scale, and embedding into a foreign parent window.

#include <gtest/gtest.h>
// X11 after GoogleTest: its macros (None, Bool) clash with names in the test headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "foundation/RunLoop.hpp"
#include "ui/Window.hpp"

namespace {

using namespace ui;

// Xvfb on a free display it picks itself (-displayfd); stopped and reaped at the end.
class Xvfb {
public:
    Xvfb() {
        const char* candidates[] = {"/usr/bin/Xvfb", "/usr/local/bin/Xvfb"};
        for (const char* c : candidates)
            if (std::filesystem::exists(c)) binary_ = c;
        if (binary_.empty()) return;
        int fds[2];
        if (::pipe(fds) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds[0]);
            // Xvfb reports every display it finds taken on its way to a free one: noise here.
            const int devnull = ::open("/dev/null", O_WRONLY);
            if (devnull >= 0) ::dup2(devnull, STDERR_FILENO);
            const std::string fd = std::to_string(fds[1]);
            ::execl(binary_.c_str(), "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "800x600x24", "-nolisten", "tcp",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        while (::poll(&p, 1, 10000) > 0) {
            char c = 0;
            if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
            number += c;
        }
        ::close(fds[0]);
        if (!number.empty()) display_ = ":" + number;
    }
    ~Xvfb() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    [[nodiscard]] bool installed() const { return !binary_.empty(); }
    [[nodiscard]] const std::string& display() const { return display_; }

private:
    std::string binary_;
    std::string display_;
    pid_t pid_ = -1;
};

// Pumps the window's events until `done` holds (at most two seconds).
bool pumpUntil(ui::Window& window, const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < end) {
        window.processPendingEvents();
        if (done()) return true;
        pollfd p{window.connectionFd(), POLLIN, 0};
        ::poll(&p, 1, 10);
    }
    return false;
}

// A second client of the same server: sends input and reads pixels back.
class Client {
public:
    explicit Client(const std::string& name) : display(XOpenDisplay(name.c_str())) {}
    ~Client() {
        if (display) XCloseDisplay(display);
    }
    void button(unsigned long window, int type, int x, int y, unsigned state = 0) {
        XEvent e{};
        e.xbutton.type = type;
        e.xbutton.display = display;
        e.xbutton.window = window;
        e.xbutton.x = x;
        e.xbutton.y = y;
        e.xbutton.button = Button1;
        e.xbutton.state = state;
        e.xbutton.same_screen = True;
        e.xbutton.time = ++time;
        XSendEvent(display, window, False, type == ButtonPress ? ButtonPressMask : ButtonReleaseMask, &e);
        XFlush(display);
    }
    void click(unsigned long window, int x, int y) {
        button(window, ButtonPress, x, y);
        button(window, ButtonRelease, x, y, Button1Mask);
    }
    void key(unsigned long window, KeySym sym, unsigned state = 0) {
        XEvent e{};
        e.xkey.type = KeyPress;
        e.xkey.display = display;
        e.xkey.window = window;
        e.xkey.keycode = XKeysymToKeycode(display, sym);
        e.xkey.state = state;
        e.xkey.same_screen = True;
        e.xkey.time = ++time;
        XSendEvent(display, window, False, KeyPressMask, &e);
        XFlush(display);
    }
    // RGB of one pixel of a window.
    unsigned long pixel(unsigned long window, int x, int y) {
        XImage* image = XGetImage(display, window, x, y, 1, 1, AllPlanes, ZPixmap);
        if (!image) return ~0ul;
        const unsigned long value = XGetPixel(image, 0, 0) & 0xFFFFFF;
        XDestroyImage(image);
        return value;
    }
    Display* display;
    Time time = 1000;
};

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
