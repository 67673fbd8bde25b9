#pragma once
// A private Xvfb and a second X client for input and pixels; include last (Xlib's macros clash).

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "FileContents.hpp"
#include "ui/Window.hpp"

namespace testsupport {

// Xvfb on a free display it picks itself; a test fails saying why when none is reported within 10 s.
class Xvfb {
public:
    Xvfb() {
        int fds[2];
        if (!installed() || ::pipe(fds) != 0) return;
        const int log = ::memfd_create("xvfb-log", 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // dies with the test, even one that crashes
            ::dup2(log, STDOUT_FILENO);
            ::dup2(log, STDERR_FILENO);
            const std::string fd = std::to_string(fds[1]);
            ::execl(kBinary, "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1600x1300x24", "-nolisten", "tcp",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        std::string number;  // then a newline, once it takes clients
        char c = 0;
        ssize_t got = -1;
        pollfd ready{fds[0], POLLIN, 0};
        while (::poll(&ready, 1, 10000) > 0 && (got = ::read(fds[0], &c, 1)) == 1 && c != '\n') number += c;
        if (c == '\n' && !number.empty())
            display_ = ":" + number;
        else
            ADD_FAILURE() << (got == 0 ? "Xvfb ended" : "Xvfb was silent for 10 s") << " without reporting a display; "
                          << "it wrote:\n" << fileContents("/proc/self/fd/" + std::to_string(log));
        ::close(fds[0]);
        ::close(log);
    }
    ~Xvfb() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    [[nodiscard]] bool installed() const { return std::filesystem::exists(kBinary); }
    [[nodiscard]] const std::string& display() const { return display_; }

private:
    static constexpr const char* kBinary = "/usr/bin/Xvfb";

    std::string display_;
    pid_t pid_ = -1;
};

inline bool pumpUntil(ui::Window& window, const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(2)) {
    for (const auto end = std::chrono::steady_clock::now() + timeout; std::chrono::steady_clock::now() < end;) {
        window.processPendingEvents();
        if (done()) return true;
        pollfd p{window.connectionFd(), POLLIN, 0};
        ::poll(&p, 1, 10);
    }
    return false;
}

// Event times advance by 700 ms per event, so separate clicks never make a double click.
class XClient {
public:
    explicit XClient(const std::string& name) : display(XOpenDisplay(name.c_str())) {}
    ~XClient() {
        if (display) XCloseDisplay(display);
    }
    XClient(const XClient&) = delete;
    XClient& operator=(const XClient&) = delete;

    // Fields: type, serial, send_event, display, window, root, subwindow, time, x, y, x_root, y_root, state,
    // detail (button, key code, hint), same_screen.
    void button(unsigned long window, int type, int x, int y, unsigned state = 0) {
        const XButtonEvent e{type, 0, False, display, window, 0, 0, nextTime(), x, y, 0, 0, state, Button1, True};
        send(window, type == ButtonPress ? ButtonPressMask : ButtonReleaseMask, XEvent{.xbutton = e});
    }
    void motion(unsigned long window, int x, int y, unsigned state = Button1Mask) {
        const XMotionEvent e{MotionNotify, 0, False, display, window, 0, 0, nextTime(), x, y, 0, 0, state, 0, True};
        send(window, PointerMotionMask, XEvent{.xmotion = e});
    }
    void click(unsigned long window, int x, int y) {
        button(window, ButtonPress, x, y);
        button(window, ButtonRelease, x, y, Button1Mask);
    }
    void click(unsigned long window, ui::Point p) { click(window, int(p.x), int(p.y)); }
    // To the deepest mapped window at `p`, as a pointer click goes (another client's child, say).
    void clickThrough(unsigned long window, ui::Point p) {
        ::Window target = window, child = 0, inner = 0;
        int x = int(p.x), y = int(p.y);
        while (XTranslateCoordinates(display, target, target, x, y, &x, &y, &child) && child != 0 &&
               XTranslateCoordinates(display, target, child, x, y, &x, &y, &inner))
            target = child;
        click(target, x, y);
    }
    void doubleClick(unsigned long window, int x, int y) {
        step_ = 50;
        click(window, x, y);
        click(window, x, y);
        step_ = 700;
    }
    void key(unsigned long window, KeySym sym, unsigned state = 0) {
        const unsigned code = XKeysymToKeycode(display, sym);
        const XKeyEvent e{KeyPress, 0, False, display, window, 0, 0, nextTime(), 0, 0, 0, 0, state, code, True};
        send(window, KeyPressMask, XEvent{.xkey = e});
    }
    // Printable ASCII only.
    void type(unsigned long window, const std::string& text) {
        for (const char c : text) {
            const KeySym sym = c == ' ' ? XK_space : c == '.' ? XK_period : c == '-' ? XK_minus : KeySym(c);
            key(window, sym, (c >= 'A' && c <= 'Z') ? ShiftMask : 0);
        }
    }
    // What a window manager sends when the user closes the window.
    void requestClose(unsigned long window) {
        const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
        const long deleteWindow = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
        const XClientMessageEvent e{ClientMessage, 0, False, display, window, protocols, 32, {.l = {deleteWindow}}};
        send(window, NoEventMask, XEvent{.xclient = e});
    }
    [[nodiscard]] std::string name(unsigned long window) {
        char* text = nullptr;
        XFetchName(display, window, &text);
        const std::string result = text ? text : "";
        XFree(text);
        return result;
    }
    [[nodiscard]] std::vector<unsigned long> windowsNamed(const std::string& wanted) {
        ::Window root = 0, parent = 0, *children = nullptr;
        unsigned count = 0;
        std::vector<unsigned long> found;
        if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count) == 0) return found;
        for (unsigned i = 0; i < count; ++i)
            if (name(children[i]) == wanted) found.push_back(children[i]);
        XFree(children);
        return found;
    }
    [[nodiscard]] ui::Color colour(unsigned long window, ui::Point p) {
        const unsigned long rgb = pixel(window, int(p.x), int(p.y));
        return ui::Color::sRGB(double(rgb >> 16 & 0xFF) / 255, double(rgb >> 8 & 0xFF) / 255, double(rgb & 0xFF) / 255);
    }
    unsigned long pixel(unsigned long window, int x, int y) {
        XImage* image = XGetImage(display, window, x, y, 1, 1, AllPlanes, ZPixmap);
        if (!image) return ~0ul;
        const unsigned long value = XGetPixel(image, 0, 0) & 0xFFFFFF;
        XDestroyImage(image);
        return value;
    }

    Display* display;

private:
    void send(unsigned long window, long mask, XEvent event) {
        XSendEvent(display, window, False, mask, &event);
        XFlush(display);
    }
    Time nextTime() { return time_ += step_; }
    Time time_ = 1000;
    Time step_ = 700;
};

}  // namespace testsupport
