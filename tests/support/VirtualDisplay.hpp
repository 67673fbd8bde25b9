#pragma once
// Window tests under a private virtual X server: the server itself, a second
// client that sends real input events to a window and reads its pixels back,
// and pumping a window until something holds.
//
// Include after GoogleTest and the project's headers: Xlib's macros (None,
// Bool, Status) clash with names in them.

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "ui/Window.hpp"

namespace testsupport {

// Xvfb on a free display it picks itself (-displayfd); stopped and reaped at the end.
class Xvfb {
public:
    Xvfb() {
        for (const char* candidate : {"/usr/bin/Xvfb", "/usr/local/bin/Xvfb"})
            if (std::filesystem::exists(candidate)) binary_ = candidate;
        if (binary_.empty()) return;
        int fds[2];
        if (::pipe(fds) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds[0]);
            // Dies with the test, even one that stops on a fatal error.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            // Xvfb reports every display it finds taken on its way to a free one: noise here.
            // It holds none of the test's output pipes either.
            const int devnull = ::open("/dev/null", O_WRONLY);
            if (devnull >= 0) {
                ::dup2(devnull, STDOUT_FILENO);
                ::dup2(devnull, STDERR_FILENO);
            }
            const std::string fd = std::to_string(fds[1]);
            ::execl(binary_.c_str(), "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1600x1300x24", "-nolisten",
                    "tcp", static_cast<char*>(nullptr));
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
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    [[nodiscard]] bool installed() const { return !binary_.empty(); }
    [[nodiscard]] const std::string& display() const { return display_; }

private:
    std::string binary_;
    std::string display_;
    pid_t pid_ = -1;
};

// Pumps the window's events until `done` holds (at most `timeout`).
inline bool pumpUntil(ui::Window& window, const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(2)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        window.processPendingEvents();
        if (done()) return true;
        pollfd p{window.connectionFd(), POLLIN, 0};
        ::poll(&p, 1, 10);
    }
    return false;
}

// A second client of the same server: sends input and reads pixels back.
// Event times advance by 700 ms per event, so that separate clicks never count
// as a double click.
class XClient {
public:
    explicit XClient(const std::string& name) : display(XOpenDisplay(name.c_str())) {}
    ~XClient() {
        if (display) XCloseDisplay(display);
    }
    XClient(const XClient&) = delete;
    XClient& operator=(const XClient&) = delete;

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
        e.xbutton.time = nextTime();
        XSendEvent(display, window, False, type == ButtonPress ? ButtonPressMask : ButtonReleaseMask, &e);
        XFlush(display);
    }
    void motion(unsigned long window, int x, int y, unsigned state = Button1Mask) {
        XEvent e{};
        e.xmotion.type = MotionNotify;
        e.xmotion.display = display;
        e.xmotion.window = window;
        e.xmotion.x = x;
        e.xmotion.y = y;
        e.xmotion.state = state;
        e.xmotion.same_screen = True;
        e.xmotion.time = nextTime();
        XSendEvent(display, window, False, PointerMotionMask, &e);
        XFlush(display);
    }
    void click(unsigned long window, int x, int y) {
        button(window, ButtonPress, x, y);
        button(window, ButtonRelease, x, y, Button1Mask);
    }
    void click(unsigned long window, ui::Point p) { click(window, int(p.x), int(p.y)); }
    // A click at `p` of `window` as the pointer makes it: the server delivers
    // it to the deepest mapped window there (another client's child, say).
    void clickThrough(unsigned long window, ui::Point p) {
        ::Window target = window, child = 0;
        int x = int(p.x), y = int(p.y);
        XTranslateCoordinates(display, window, window, x, y, &x, &y, &child);
        while (child != 0) {
            ::Window inner = 0;
            int cx = 0, cy = 0;
            if (XTranslateCoordinates(display, target, child, x, y, &cx, &cy, &inner) == 0) break;
            target = child;
            child = inner;
            x = cx;
            y = cy;
        }
        click(target, x, y);
    }
    // Two clicks within 150 ms: a double click. Events before and after are far apart.
    void doubleClick(unsigned long window, int x, int y) {
        const Time saved = step_;
        step_ = 50;
        click(window, x, y);
        click(window, x, y);
        step_ = saved;
    }
    void key(unsigned long window, KeySym sym, unsigned state = 0) {
        XEvent e{};
        e.xkey.type = KeyPress;
        e.xkey.display = display;
        e.xkey.window = window;
        e.xkey.keycode = XKeysymToKeycode(display, sym);
        e.xkey.state = state;
        e.xkey.same_screen = True;
        e.xkey.time = nextTime();
        XSendEvent(display, window, False, KeyPressMask, &e);
        XFlush(display);
    }
    // Types printable ASCII text key by key.
    void type(unsigned long window, const std::string& text) {
        for (const char c : text) {
            const KeySym sym = c == ' ' ? XK_space : c == '.' ? XK_period : c == '-' ? XK_minus : KeySym(c);
            key(window, sym, (c >= 'A' && c <= 'Z') ? ShiftMask : 0);
        }
    }
    // What a window manager sends when the user closes the window.
    void requestClose(unsigned long window) {
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.display = display;
        e.xclient.window = window;
        e.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
        e.xclient.format = 32;
        e.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
        XSendEvent(display, window, False, NoEventMask, &e);
        XFlush(display);
    }
    [[nodiscard]] std::string name(unsigned long window) {
        char* text = nullptr;
        if (XFetchName(display, window, &text) == 0 || text == nullptr) return {};
        std::string result = text;
        XFree(text);
        return result;
    }
    // The top-level windows called `wanted`.
    [[nodiscard]] std::vector<unsigned long> windowsNamed(const std::string& wanted) {
        ::Window root = 0, parent = 0;
        ::Window* children = nullptr;
        unsigned count = 0;
        std::vector<unsigned long> found;
        if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count) == 0) return found;
        for (unsigned i = 0; i < count; ++i)
            if (name(children[i]) == wanted) found.push_back(children[i]);
        if (children) XFree(children);
        return found;
    }
    // The colour of one pixel of a window.
    [[nodiscard]] ui::Color colour(unsigned long window, ui::Point p) {
        const unsigned long value = pixel(window, int(p.x), int(p.y));
        return ui::Color::sRGB(double((value >> 16) & 0xFF) / 255, double((value >> 8) & 0xFF) / 255,
                               double(value & 0xFF) / 255);
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

private:
    Time nextTime() { return time_ += step_; }
    Time time_ = 1000;
    Time step_ = 700;
};

}  // namespace testsupport
