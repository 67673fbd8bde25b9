#include "ui/Window.hpp"

#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <cairo-xlib.h>
#include <errno.h>
#include <poll.h>

#include <chrono>
#include <utility>

#include "X11DrawTarget.hpp"
#include "foundation/RunLoop.hpp"
#include "foundation/ThreadContract.hpp"
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace ui {

namespace {

std::string utf8(unsigned long codepoint) {
    std::string out;
    if (codepoint < 0x80) {
        out += char(codepoint);
    } else if (codepoint < 0x800) {
        out += char(0xC0 | (codepoint >> 6));
        out += char(0x80 | (codepoint & 0x3F));
    } else if (codepoint < 0x10000) {
        out += char(0xE0 | (codepoint >> 12));
        out += char(0x80 | ((codepoint >> 6) & 0x3F));
        out += char(0x80 | (codepoint & 0x3F));
    } else {
        out += char(0xF0 | (codepoint >> 18));
        out += char(0x80 | ((codepoint >> 12) & 0x3F));
        out += char(0x80 | ((codepoint >> 6) & 0x3F));
        out += char(0x80 | (codepoint & 0x3F));
    }
    return out;
}

// The key event for an X key press, if it means anything to the views.
std::optional<KeyEvent> translateKey(XKeyEvent& event) {
    char buffer[16] = {};
    KeySym sym = NoSymbol;
    const int length = XLookupString(&event, buffer, sizeof buffer, &sym, nullptr);
    const bool control = (event.state & ControlMask) != 0;
    KeyEvent key;
    key.shift = (event.state & ShiftMask) != 0;
    switch (sym) {
        case XK_BackSpace: key.key = Key::backspace; return key;
        case XK_Delete:
        case XK_KP_Delete: key.key = Key::deleteForward; return key;
        case XK_Left:
        case XK_KP_Left: key.key = Key::left; return key;
        case XK_Right:
        case XK_KP_Right: key.key = Key::right; return key;
        case XK_Home:
        case XK_KP_Home: key.key = Key::home; return key;
        case XK_End:
        case XK_KP_End: key.key = Key::end; return key;
        case XK_Return:
        case XK_KP_Enter: key.key = Key::returnKey; return key;
        case XK_Escape: key.key = Key::escape; return key;
        case XK_Tab: key.key = Key::tab; return key;
        default: break;
    }
    if (control) {
        if (sym == XK_a || sym == XK_A) {
            key.key = Key::selectAll;
            return key;
        }
        if (sym == XK_c || sym == XK_C) {
            key.key = Key::copy;
            return key;
        }
        return std::nullopt;
    }
    unsigned long codepoint = 0;
    if (length == 1 && static_cast<unsigned char>(buffer[0]) >= 0x20 && static_cast<unsigned char>(buffer[0]) < 0x7F)
        codepoint = static_cast<unsigned char>(buffer[0]);
    else if ((sym >= 0x20 && sym <= 0x7E) || (sym >= 0xA0 && sym <= 0xFF))
        codepoint = sym;
    else if (sym >= 0x1000100 && sym <= 0x110FFFF)
        codepoint = sym - 0x1000000;
    if (codepoint == 0) return std::nullopt;
    key.key = Key::character;
    key.text = utf8(codepoint);
    return key;
}

// X errors (a parent window destroyed under an embedded editor, a request on a
// window that went away) are reported asynchronously; Xlib's default handler
// ends the process. Ours keeps the last error for the caller that checks.
int lastXError = 0;
int keepXError(Display*, XErrorEvent* event) {
    lastXError = event->error_code;
    return 0;
}

}  // namespace

class Window::Impl {
public:
    Display* display = nullptr;
    ::Window window = 0;
    // The parent whose size the window follows; 0: none.
    ::Window followedParent = 0;
    Atom deleteAtom = 0;
    Atom clipboardAtom = 0, utf8Atom = 0, targetsAtom = 0;
    bool embedded = false;
    bool mapped = false;
    bool closed = false;
    bool needsRedraw = true;
    double scale = 1;
    int pixelWidth = 1, pixelHeight = 1;
    cairo_surface_t* surface = nullptr;
    std::shared_ptr<NSView> content;
    std::shared_ptr<NSViewController> controller;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    bool attached = false;
    bool redrawQueued = false;
    foundation::RunLoop::SourceId source = 0;

    [[nodiscard]] Size size() const { return {pixelWidth / scale, pixelHeight / scale}; }
    [[nodiscard]] Point point(int x, int y) const { return {x / scale, y / scale}; }

    void setContent(std::shared_ptr<NSView> view) {
        content = std::move(view);
        content->setFrame({0, 0, size().width, size().height});
        std::weak_ptr<bool> weak = alive;
        Impl* self = this;
        content->setNeedsDisplayHandler([weak, self] {
            if (!weak.lock()) return;
            self->needsRedraw = true;
            self->queueRedraw();
        });
        needsRedraw = true;
    }

    // With a run loop: one main-queue job redraws, however many changes came first.
    void queueRedraw() {
        if (!attached || redrawQueued) return;
        redrawQueued = true;
        std::weak_ptr<bool> weak = alive;
        Impl* self = this;
        foundation::RunLoop::main().perform([weak, self] {
            if (!weak.lock()) return;
            self->redrawQueued = false;
            self->process();
        });
    }

    void process() {
        if (!display) return;
        // Drawing can read events off the connection into Xlib's queue, where
        // the connection's readability no longer announces them: go round
        // until the queue is empty after the redraw too.
        do {
            while (XPending(display) > 0) {
                XEvent event;
                XNextEvent(display, &event);
                handle(event);
            }
            if (needsRedraw) redraw();
        } while (display && window && XEventsQueued(display, QueuedAfterFlush) > 0);
        XFlush(display);
    }

    void redraw() {
        needsRedraw = false;
        if (!mapped || closed || !content) return;
        cairo_surface_t* back = cairo_image_surface_create(CAIRO_FORMAT_RGB24, pixelWidth, pixelHeight);
        cairo_t* cr = cairo_create(back);
        cairo_set_source_rgb(cr, 0.93, 0.93, 0.93);
        cairo_paint(cr);
        cairo_scale(cr, scale, scale);
        // Views that place native windows (ForeignWindowView) place them in this one.
        detail::X11DrawTarget target{display, window, scale};
        detail::X11DrawTarget* const previous = std::exchange(detail::currentX11DrawTarget(), &target);
        content->draw(cr);
        detail::currentX11DrawTarget() = previous;
        cairo_destroy(cr);
        cairo_t* xcr = cairo_create(surface);
        cairo_set_source_surface(xcr, back, 0, 0);
        cairo_set_operator(xcr, CAIRO_OPERATOR_SOURCE);
        cairo_paint(xcr);
        cairo_destroy(xcr);
        cairo_surface_destroy(back);
        cairo_surface_flush(surface);
        XFlush(display);
    }

    // Another client asks for the clipboard we own: hand over the pasteboard text.
    void answerSelectionRequest(const XSelectionRequestEvent& request) {
        XEvent reply{};
        reply.xselection.type = SelectionNotify;
        reply.xselection.requestor = request.requestor;
        reply.xselection.selection = request.selection;
        reply.xselection.target = request.target;
        reply.xselection.time = request.time;
        reply.xselection.property = None;
        const Atom property = request.property != None ? request.property : request.target;
        const std::string& text = Pasteboard::general().string();
        if (request.target == targetsAtom) {
            const Atom targets[] = {targetsAtom, utf8Atom, XA_STRING};
            XChangeProperty(display, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(targets), 3);
            reply.xselection.property = property;
        } else if (request.target == utf8Atom || request.target == XA_STRING) {
            XChangeProperty(display, request.requestor, property, request.target, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(text.data()), int(text.size()));
            reply.xselection.property = property;
        }
        XSendEvent(display, request.requestor, False, 0, &reply);
    }

    void handle(XEvent& event) {
        if (followedParent != 0 && event.xany.window == followedParent) {
            if (event.type == ConfigureNotify && window != 0 &&
                (event.xconfigure.width != pixelWidth || event.xconfigure.height != pixelHeight))
                XResizeWindow(display, window, unsigned(std::max(1, event.xconfigure.width)),
                              unsigned(std::max(1, event.xconfigure.height)));
            if (event.type == DestroyNotify) followedParent = 0;
            return;
        }
        switch (event.type) {
            case Expose:
                if (event.xexpose.count == 0) needsRedraw = true;
                break;
            case MapNotify:
                mapped = true;
                needsRedraw = true;
                break;
            case UnmapNotify: mapped = false; break;
            case ConfigureNotify:
                if (event.xconfigure.width != pixelWidth || event.xconfigure.height != pixelHeight) {
                    pixelWidth = std::max(1, event.xconfigure.width);
                    pixelHeight = std::max(1, event.xconfigure.height);
                    cairo_xlib_surface_set_size(surface, pixelWidth, pixelHeight);
                    if (content) content->setFrame({0, 0, size().width, size().height});
                    needsRedraw = true;
                }
                break;
            case ButtonPress:
                if (!content) break;
                if (embedded) XSetInputFocus(display, window, RevertToParent, CurrentTime);
                if (event.xbutton.button == Button1)
                    content->pointerDown(point(event.xbutton.x, event.xbutton.y), event.xbutton.time / 1000.0);
                else if (event.xbutton.button == Button4)
                    content->scrollWheel(point(event.xbutton.x, event.xbutton.y), -40);
                else if (event.xbutton.button == Button5)
                    content->scrollWheel(point(event.xbutton.x, event.xbutton.y), 40);
                break;
            case MotionNotify:
                if (content && (event.xmotion.state & Button1Mask)) content->pointerDragged(point(event.xmotion.x, event.xmotion.y));
                break;
            case ButtonRelease:
                if (content && event.xbutton.button == Button1) content->pointerUp(point(event.xbutton.x, event.xbutton.y));
                break;
            case KeyPress:
                if (content)
                    if (auto key = translateKey(event.xkey)) content->keyDown(*key);
                break;
            case SelectionRequest: answerSelectionRequest(event.xselectionrequest); break;
            case ClientMessage:
                if (static_cast<Atom>(event.xclient.data.l[0]) == deleteAtom) closed = true;
                break;
            case DestroyNotify:
                if (event.xdestroywindow.window == window) {
                    closed = true;
                    window = 0;
                }
                break;
            default: break;
        }
    }
};

Window::Window() : impl_(std::make_unique<Impl>()) {}

std::unique_ptr<Window> Window::create(const Options& options, std::string* error) {
    DUNMARROW_ASSERT_MAIN_THREAD();
    Display* display = XOpenDisplay(options.display.empty() ? nullptr : options.display.c_str());
    if (!display) {
        if (error) {
            const char* name = options.display.empty() ? std::getenv("DISPLAY") : options.display.c_str();
            *error = std::string("cannot open X display \"") + (name ? name : "") + "\"";
        }
        return nullptr;
    }
    XSetErrorHandler(keepXError);
    if (options.parent != 0) {
        XWindowAttributes parentAttributes;
        if (XGetWindowAttributes(display, options.parent, &parentAttributes) == 0) {
            if (error) {
                char id[32];
                std::snprintf(id, sizeof id, "0x%lx", options.parent);
                *error = std::string("no parent window ") + id + " on the X display";
            }
            XCloseDisplay(display);
            return nullptr;
        }
    }
    std::unique_ptr<Window> result(new Window());
    Impl& w = *result->impl_;
    w.display = display;
    w.scale = options.scale;
    if (w.scale <= 0) {
        const char* dpi = XGetDefault(display, "Xft", "dpi");
        w.scale = dpi ? std::clamp(std::atof(dpi) / 96.0, 1.0, 4.0) : 1.0;
    }
    w.pixelWidth = std::max(1, int(std::lround(options.size.width * w.scale)));
    w.pixelHeight = std::max(1, int(std::lround(options.size.height * w.scale)));
    if (options.parent != 0 && options.followParent) {
        // Watching the parent's structure: its resizes come as ConfigureNotify.
        XSelectInput(display, options.parent, StructureNotifyMask);
        w.followedParent = options.parent;
        XWindowAttributes parentAttributes{};
        if (XGetWindowAttributes(display, options.parent, &parentAttributes) != 0 &&
            (parentAttributes.width > 1 || parentAttributes.height > 1)) {
            w.pixelWidth = parentAttributes.width;
            w.pixelHeight = parentAttributes.height;
        }
    }
    const int screen = DefaultScreen(display);
    w.embedded = options.parent != 0;
    XSetWindowAttributes attributes{};
    attributes.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask |
                            StructureNotifyMask | FocusChangeMask;
    attributes.background_pixel = BlackPixel(display, screen);
    w.window = XCreateWindow(display, w.embedded ? options.parent : RootWindow(display, screen), 0, 0, unsigned(w.pixelWidth),
                             unsigned(w.pixelHeight), 0, CopyFromParent, InputOutput, nullptr, CWEventMask | CWBackPixel,
                             &attributes);
    if (!w.embedded) {
        XStoreName(display, w.window, options.title.c_str());
        // The program's name as the window's class, so that a desktop entry's
        // StartupWMClass ties the window to its entry and icon.
        std::string className = program_invocation_short_name;
        XClassHint classHint{className.data(), className.data()};
        XSetClassHint(display, w.window, &classHint);
        w.deleteAtom = XInternAtom(display, "WM_DELETE_WINDOW", False);
        XSetWMProtocols(display, w.window, &w.deleteAtom, 1);
    }
    w.clipboardAtom = XInternAtom(display, "CLIPBOARD", False);
    w.utf8Atom = XInternAtom(display, "UTF8_STRING", False);
    w.targetsAtom = XInternAtom(display, "TARGETS", False);
    {
        std::weak_ptr<bool> alive = w.alive;
        Impl* self = &w;
        Pasteboard::general().setChangeHandler([alive, self] {
            if (!alive.lock() || !self->window) return;
            XSetSelectionOwner(self->display, self->clipboardAtom, self->window, CurrentTime);
            XFlush(self->display);
        });
    }
    w.surface = cairo_xlib_surface_create(display, w.window, DefaultVisual(display, screen), w.pixelWidth, w.pixelHeight);
    XFlush(display);
    return result;
}

Window::~Window() {
    Impl& w = *impl_;
    if (w.attached) foundation::RunLoop::main().removeSource(w.source);
    w.alive.reset();
    if (w.content) w.content->setNeedsDisplayHandler({});
    if (w.surface) cairo_surface_destroy(w.surface);
    if (w.window) XDestroyWindow(w.display, w.window);
    if (w.display) XCloseDisplay(w.display);
}

void Window::setContentViewController(std::shared_ptr<NSViewController> controller) {
    impl_->controller = std::move(controller);
    impl_->setContent(impl_->controller->view());
    if (impl_->mapped) impl_->controller->beginAppearance();
}

void Window::setRootView(View root) {
    DUNMARROW_ASSERT_MAIN_THREAD();
    auto controller = std::make_shared<NSHostingController>(std::move(root));
    controller->setPreferredContentSize(impl_->size());
    setContentViewController(controller);
}

std::shared_ptr<NSView> Window::contentView() const { return impl_->content; }

void Window::show() {
    Impl& w = *impl_;
    if (w.closed || !w.window) return;
    XMapWindow(w.display, w.window);
    XFlush(w.display);
    if (w.controller) w.controller->beginAppearance();
}

void Window::close() {
    Impl& w = *impl_;
    if (w.controller) w.controller->endAppearance();
    if (w.window) {
        cairo_surface_finish(w.surface);
        XDestroyWindow(w.display, w.window);
        XFlush(w.display);
        w.window = 0;
    }
    w.closed = true;
}

void Window::setSize(Size size) {
    Impl& w = *impl_;
    if (!w.window) return;
    const int width = std::max(1, int(std::lround(size.width * w.scale)));
    const int height = std::max(1, int(std::lround(size.height * w.scale)));
    if (width == w.pixelWidth && height == w.pixelHeight) return;
    XResizeWindow(w.display, w.window, unsigned(width), unsigned(height));
    w.pixelWidth = width;
    w.pixelHeight = height;
    cairo_xlib_surface_set_size(w.surface, width, height);
    if (w.content) w.content->setFrame({0, 0, w.size().width, w.size().height});
    w.needsRedraw = true;
    w.queueRedraw();
    XFlush(w.display);
}

bool Window::isClosed() const { return impl_->closed; }
unsigned long Window::windowId() const { return impl_->window; }
int Window::connectionFd() const { return ConnectionNumber(impl_->display); }
double Window::scale() const { return impl_->scale; }
Size Window::size() const { return impl_->size(); }

void Window::processPendingEvents() {
    DUNMARROW_ASSERT_MAIN_THREAD();
    impl_->process();
}

void Window::attachToMainRunLoop() {
    Impl& w = *impl_;
    if (w.attached) return;
    w.attached = true;
    std::weak_ptr<bool> weak = w.alive;
    Impl* self = &w;
    w.source = foundation::RunLoop::main().addReadSource(ConnectionNumber(w.display), [weak, self] {
        if (weak.lock()) self->process();
    });
    w.queueRedraw();
}

void Window::runUntilClosed(const std::function<void()>& tick, double tickSeconds) {
    using clock = std::chrono::steady_clock;
    auto next = clock::now() + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(tickSeconds));
    while (!isClosed()) {
        processPendingEvents();
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - clock::now()).count();
        pollfd fd{connectionFd(), POLLIN, 0};
        if (XPending(impl_->display) == 0) ::poll(&fd, 1, int(std::max<long long>(0, wait)));
        if (clock::now() >= next) {
            if (tick) tick();
            next += std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(tickSeconds));
        }
    }
}

}  // namespace ui
