#pragma once
// An X11 window showing a view hierarchy: a top-level window, or a child of a
// window given by its id (how plugin hosts embed editors). Drawing goes
// through a back buffer at the device scale; pointer, wheel and key events
// are translated into the views' input calls.
//
// The main run loop drives it after attachToMainRunLoop(); without a run loop,
// watch connectionFd() for reading and call processPendingEvents() when it is
// readable and after anything that may have changed the views. Main thread only.

#include <functional>
#include <memory>
#include <string>

#include "ui/ViewController.hpp"

namespace ui {

class Window {
public:
    struct Options {
        std::string title;
        Size size{720, 600};
        // Pixels per point; 0 reads the X resource Xft.dpi (96 dpi = 1).
        double scale = 0;
        // Parent window id; 0 makes a top-level window.
        unsigned long parent = 0;
        // X display name; empty uses $DISPLAY.
        std::string display;
        // Embedded only: the window takes its parent's size and follows it when
        // the parent is resized, whoever does it (a plugin editor fills the
        // area its host gives it). A parent of 1 x 1, not laid out yet, leaves
        // `size` until its first resize.
        bool followParent = false;
    };

    // Opens the display and creates the window (not yet shown). Null with
    // `error` set when the display cannot be opened.
    static std::unique_ptr<Window> create(const Options& options, std::string* error = nullptr);
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    // What the window shows: a controller (it appears when the window is shown)
    // or a root view hosted for it.
    void setContentViewController(std::shared_ptr<NSViewController> controller);
    void setRootView(View root);
    [[nodiscard]] std::shared_ptr<NSView> contentView() const;

    void show();
    void close();
    // Resizes the window to `size` points (an application fitting its window
    // to its content); the content view follows.
    void setSize(Size size);
    [[nodiscard]] bool isClosed() const;

    [[nodiscard]] unsigned long windowId() const;
    [[nodiscard]] int connectionFd() const;
    [[nodiscard]] double scale() const;
    [[nodiscard]] Size size() const;

    // Handles every queued X event, then redraws if anything changed.
    void processPendingEvents();
    // Lets the main run loop drive the window: its X connection becomes a read
    // source, and a change in the views queues one redraw as a main-queue job.
    // Undone when the window is destroyed. Main thread.
    void attachToMainRunLoop();
    // A simple loop for tools without a run loop: waits on the connection
    // (at most `tickSeconds`), calls `tick` each period, until the window closes.
    void runUntilClosed(const std::function<void()>& tick = {}, double tickSeconds = 1.0 / 30);

private:
    Window();
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ui
