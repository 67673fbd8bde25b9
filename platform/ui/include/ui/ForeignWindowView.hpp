#pragma once
// A view that shows another X11 client's window: it reserves its area, and
// when a ui::Window draws it, it makes the foreign window a child of that
// window and keeps it at the view's frame (in device pixels). This is how an
// editor running in another process sits inside a host's window. While the
// view lies beneath a sheet of its window, the foreign window is unmapped (it
// would stand over the sheet and take its clicks) and comes back at the
// view's frame when the sheet goes.
//
// Before it has a foreign window, the view tells its placement handler where
// it is (the X display, the window showing it and its pixel rectangle), so
// that its owner can have the other process create the window there. Drawn
// anywhere but in a ui::Window (offscreen renders) and in inspections, it
// shows what its content provider gives (the other process's rendering of the
// same content), or only fills its area. Main thread only.

#include <functional>
#include <optional>
#include <string>

#include "ui/ViewController.hpp"

namespace ui {

class ForeignWindowView : public NSView {
public:
    struct Placement {
        std::string display;       // the X display's name, as the showing window's connection has it
        unsigned long window = 0;  // the window showing this view
        int x = 0, y = 0, width = 0, height = 0;  // pixels, in that window
        double scale = 1;          // pixels per point of that window
        friend bool operator==(const Placement&, const Placement&) = default;
    };

    ForeignWindowView() = default;
    ~ForeignWindowView() override;

    [[nodiscard]] std::string typeName() const override { return "ForeignWindowView"; }

    // The foreign window to show (0: none). Takes effect at the next draw.
    void setForeignWindow(unsigned long window);
    [[nodiscard]] unsigned long foreignWindow() const { return foreign_; }
    // Called from a draw in a window whenever the placement changes (also
    // while there is no foreign window); must not change views synchronously.
    void setPlacementHandler(std::function<void(const Placement&)> handler) { placementHandler_ = std::move(handler); }
    [[nodiscard]] const Placement& placement() const { return placement_; }

    // The content as it would be shown, for offscreen draws and inspections:
    // for the view's size in points, `origin` and `scale` as NSView::inspect
    // takes them, an image of ceil(size * scale) pixels (when `withImage`)
    // and the content's inspection; nothing when it cannot be had.
    struct Content {
        std::optional<Image> image;
        nlohmann::json inspection;
    };
    using ContentProvider = std::function<std::optional<Content>(Size size, Point origin, double scale, bool withImage)>;
    void setContentProvider(ContentProvider provider) { contentProvider_ = std::move(provider); }

    void draw(cairo_t* cr) override;
    [[nodiscard]] nlohmann::json inspect(Point origin = {}, double scale = 1) override;

private:
    void drawContent(cairo_t* cr);

    unsigned long foreign_ = 0;
    bool placed_ = false;  // the foreign window is a child of placement_.window at its rectangle, mapped
    Placement placement_;
    void* display_ = nullptr;  // the connection of the window that last drew this view
    std::function<void(const Placement&)> placementHandler_;
    ContentProvider contentProvider_;
};

}  // namespace ui
