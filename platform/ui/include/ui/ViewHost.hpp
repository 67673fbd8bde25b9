#pragma once
// ViewHost runs a view tree: it keeps it up to date (component bodies,
// layout) for a given size, draws it into Cairo, answers inspection, and takes
// input. Real input (X11 windows) and synthetic input (tests, tools) go
// through the same calls. Main thread only.

#include <cairo.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "ui/View.hpp"

namespace ui {

// A rendered image: premultiplied ARGB pixels at a device scale.
class Image {
public:
    Image(int widthPixels, int heightPixels);
    ~Image();
    Image(Image&& other) noexcept;
    Image& operator=(Image&& other) noexcept;
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

    [[nodiscard]] int width() const;
    [[nodiscard]] int height() const;
    // The unpremultiplied colour of one pixel (components 0 ... 1).
    [[nodiscard]] Color pixel(int x, int y) const;
    // Writes a PNG through a temporary file; false with `error` set on failure.
    bool writePNG(const std::string& path, std::string* error = nullptr) const;
    [[nodiscard]] cairo_surface_t* surface() const { return surface_; }

private:
    cairo_surface_t* surface_ = nullptr;
};

enum class Key { character, backspace, deleteForward, left, right, home, end, returnKey, escape, tab, selectAll, copy };

struct KeyEvent {
    Key key = Key::character;
    std::string text{};  // UTF-8, for Key::character
    bool shift = false;
};

// The process's copy-and-paste text. Copy commands write it; a window
// publishes it as the X clipboard. Main thread only.
class Pasteboard {
public:
    static Pasteboard& general();
    [[nodiscard]] const std::string& string() const { return text_; }
    void setString(std::string text);
    // Called after each setString (one handler; a window installs it).
    void setChangeHandler(std::function<void()> handler) { changed_ = std::move(handler); }

private:
    std::string text_;
    std::function<void()> changed_;
};

class ViewHost {
public:
    explicit ViewHost(View root, Size size = {720, 600});
    ~ViewHost();
    ViewHost(const ViewHost&) = delete;
    ViewHost& operator=(const ViewHost&) = delete;

    void setRootView(View root);
    void setSize(Size size);
    [[nodiscard]] Size size() const;
    // The size the root view asks for when offered nothing in particular.
    [[nodiscard]] Size idealSize();

    // Evaluates changed bodies and lays out again if anything changed; runs
    // appear and disappear actions and keeps keyboard focus in step with the
    // focus bindings. Every call below does this first.
    void layoutIfNeeded();
    [[nodiscard]] bool needsUpdate() const;
    // Called (main thread) when something changed and the view should be redrawn.
    void setRedrawHandler(std::function<void()> handler);

    // Draws the window in the context's user space, in points.
    void draw(cairo_t* cr);
    // Renders the whole window at `scale` pixels per point on `background`.
    [[nodiscard]] Image render(double scale = 1, Color background = Color::clear());

    // The laid-out tree: {type, text?, identifier?, frame{x,y,width,height}, children[]}.
    [[nodiscard]] nlohmann::json inspect();
    // The same with frames mapped by `scale` and then moved to `origin` (for hosts inside hosts).
    [[nodiscard]] nlohmann::json inspect(Point origin, double scale);
    // Window frame of the first view (depth first) whose identifier or text equals `key`.
    [[nodiscard]] std::optional<Rect> frameOf(const std::string& key);

    // Input, in window points. `timeSeconds` orders clicks into double clicks
    // (absent: the steady clock).
    void pointerDown(Point p, std::optional<double> timeSeconds = {});
    void pointerDragged(Point p);
    void pointerUp(Point p);
    void scrollWheel(Point p, double deltaY);
    void keyDown(const KeyEvent& event);
    void keyDown(Key key) { keyDown(KeyEvent{key, {}, false}); }
    void typeText(const std::string& text);
    // Down and up at one point.
    void click(Point p, std::optional<double> timeSeconds = {});

    [[nodiscard]] bool hasKeyboardFocus() const;
    // Takes keyboard focus away (the window's key view moved elsewhere).
    void resignKeyboardFocus();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ui
