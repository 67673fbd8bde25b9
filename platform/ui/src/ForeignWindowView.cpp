#include "ui/ForeignWindowView.hpp"

#include <algorithm>
#include <cmath>

#include "X11DrawTarget.hpp"

namespace ui {

namespace detail {

X11DrawTarget*& currentX11DrawTarget() {
    thread_local X11DrawTarget* target = nullptr;
    return target;
}

}  // namespace detail

ForeignWindowView::~ForeignWindowView() = default;

void ForeignWindowView::setForeignWindow(unsigned long window) {
    if (window == foreign_) return;
    foreign_ = window;
    placed_ = false;
    setNeedsDisplay();
}

void ForeignWindowView::draw(cairo_t* cr) {
    // The reserved area, seen wherever the foreign window is not (yet).
    const Rect f = frame();
    cairo_save(cr);
    cairo_set_source_rgb(cr, 0.12, 0.12, 0.12);
    cairo_rectangle(cr, 0, 0, f.width, f.height);
    cairo_fill(cr);
    cairo_restore(cr);
    NSView::draw(cr);

    const detail::X11DrawTarget* target = detail::currentX11DrawTarget();
    if (target == nullptr || target->display == nullptr) {
        drawContent(cr);
        return;
    }
    double x0 = 0, y0 = 0, x1 = f.width, y1 = f.height;
    cairo_user_to_device(cr, &x0, &y0);
    cairo_user_to_device(cr, &x1, &y1);
    Placement now;
    const char* name = DisplayString(target->display);
    now.display = name != nullptr ? name : "";
    now.window = target->window;
    now.x = static_cast<int>(std::lround(x0));
    now.y = static_cast<int>(std::lround(y0));
    now.width = std::max(1, static_cast<int>(std::lround(x1 - x0)));
    now.height = std::max(1, static_cast<int>(std::lround(y1 - y0)));
    now.scale = target->scale;
    const bool moved = !(now == placement_) || display_ != target->display;
    placement_ = now;
    display_ = target->display;
    if (target->covered) {
        // Something modal is drawn over this view: out of the way until it goes,
        // so that it is seen and takes the input; the reserved area shows
        // meanwhile. Every time: a window handed over meanwhile comes mapped.
        if (foreign_ != 0) XUnmapWindow(target->display, foreign_);
        placed_ = false;
    } else if (foreign_ != 0 && (moved || !placed_)) {
        // Another client's window: a request on one that has gone is
        // reported to the window's error handler, which keeps it.
        XReparentWindow(target->display, foreign_, target->window, now.x, now.y);
        XMoveResizeWindow(target->display, foreign_, now.x, now.y, static_cast<unsigned>(now.width),
                          static_cast<unsigned>(now.height));
        XMapWindow(target->display, foreign_);
        placed_ = true;
    }
    if (moved && placementHandler_) placementHandler_(placement_);
}

void ForeignWindowView::drawContent(cairo_t* cr) {
    if (!contentProvider_) return;
    // The context's pixels per point, so the image is drawn one to one.
    double dx = 1, dy = 0;
    cairo_user_to_device_distance(cr, &dx, &dy);
    const double scale = std::hypot(dx, dy) > 0 ? std::hypot(dx, dy) : 1;
    const Rect f = frame();
    const auto content = contentProvider_({f.width, f.height}, {}, scale, true);
    if (!content || !content->image) return;
    cairo_save(cr);
    cairo_rectangle(cr, 0, 0, f.width, f.height);
    cairo_clip(cr);
    cairo_scale(cr, 1 / scale, 1 / scale);
    cairo_set_source_surface(cr, content->image->surface(), 0, 0);
    cairo_paint(cr);
    cairo_restore(cr);
}

nlohmann::json ForeignWindowView::inspect(Point origin, double scale) {
    nlohmann::json j = NSView::inspect(origin, scale);
    if (contentProvider_) {
        const Rect f = frame();
        if (auto content = contentProvider_({f.width, f.height}, origin, scale, false);
            content && content->inspection.is_object())
            j["children"].push_back(std::move(content->inspection));
    }
    return j;
}

}  // namespace ui
