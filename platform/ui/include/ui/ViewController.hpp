#pragma once
// The view-controller layer beneath declarative views: NSView (a rectangle in
// a hierarchy, optionally showing a declarative view tree), NSViewController
// (owns a view, a preferred content size and child controllers),
// NSHostingController (a controller whose view shows a root View), and
// ViewControllerRepresentable (a controller's view placed inside a View tree).
// Main thread only.

#include <cairo.h>

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "ui/View.hpp"
#include "ui/ViewHost.hpp"

namespace ui {

class NSView : public std::enable_shared_from_this<NSView> {
public:
    NSView() = default;
    explicit NSView(std::shared_ptr<ViewHost> host) : host_(std::move(host)) {}
    NSView(const NSView&) = delete;
    NSView& operator=(const NSView&) = delete;
    virtual ~NSView() = default;

    // In the superview's coordinates, in points.
    [[nodiscard]] Rect frame() const { return frame_; }
    void setFrame(Rect frame);
    // When set, the view follows its superview's bounds (edges pinned at 0).
    void setPinnedToSuperviewEdges(bool pinned);
    [[nodiscard]] bool isPinnedToSuperviewEdges() const { return pinned_; }

    void addSubview(const std::shared_ptr<NSView>& view);
    void removeFromSuperview();
    [[nodiscard]] const std::vector<std::shared_ptr<NSView>>& subviews() const { return subviews_; }
    [[nodiscard]] NSView* superview() const { return superview_; }

    // The declarative content shown in this view, if any (hosting views).
    [[nodiscard]] const std::shared_ptr<ViewHost>& host() const { return host_; }
    // Name shown in inspection.
    [[nodiscard]] virtual std::string typeName() const { return host_ ? "NSHostingView" : "NSView"; }

    // Redraw requests travel up to the root, whose handler (a window) redraws.
    void setNeedsDisplay();
    void setNeedsDisplayHandler(std::function<void()> handler) { needsDisplay_ = std::move(handler); }

    // Draws this view and its subviews; the context's origin is this view's
    // origin. Kinds of view with their own drawing override it.
    virtual void draw(cairo_t* cr);
    // This view and its subviews as an image of its frame size at `scale`.
    [[nodiscard]] Image render(double scale = 1, Color background = Color::clear());
    // This view in the inspection form; `origin` and `scale` map it into the
    // window. Kinds of view with content of their own add it.
    [[nodiscard]] virtual nlohmann::json inspect(Point origin = {}, double scale = 1);

    // Input in this view's coordinates, routed to the deepest hosting view
    // under the pointer; keys go to the hosting view that was clicked last.
    void pointerDown(Point p, std::optional<double> timeSeconds = {});
    void pointerDragged(Point p);
    void pointerUp(Point p);
    void scrollWheel(Point p, double deltaY);
    void keyDown(const KeyEvent& event);

private:
    NSView* deepestHostingView(Point p, Point& origin);

    Rect frame_;
    bool pinned_ = false;
    NSView* superview_ = nullptr;
    std::vector<std::shared_ptr<NSView>> subviews_;
    std::shared_ptr<ViewHost> host_;
    std::function<void()> needsDisplay_;
    std::weak_ptr<NSView> pointerTarget_, keyTarget_;
    Point pointerOrigin_;
};

class NSViewController : public std::enable_shared_from_this<NSViewController> {
public:
    NSViewController() = default;
    NSViewController(const NSViewController&) = delete;
    NSViewController& operator=(const NSViewController&) = delete;
    virtual ~NSViewController() = default;

    // The controller's view, loaded on first use (loadView, then viewDidLoad).
    std::shared_ptr<NSView> view();
    [[nodiscard]] bool isViewLoaded() const { return view_ != nullptr; }
    void setView(std::shared_ptr<NSView> view) { view_ = std::move(view); }

    // Called on the main thread, around the view's life; they must not block.
    virtual void loadView();
    virtual void viewDidLoad() {}
    virtual void viewWillAppear() {}
    virtual void viewDidAppear() {}
    virtual void viewWillDisappear() {}
    // Runs viewWillAppear then viewDidAppear the first time the view is shown
    // (windows and embedding call it).
    void beginAppearance();
    void endAppearance();

    [[nodiscard]] Size preferredContentSize() const { return preferredContentSize_; }
    void setPreferredContentSize(Size size) { preferredContentSize_ = size; }

    void addChild(const std::shared_ptr<NSViewController>& child);
    void removeFromParent();
    [[nodiscard]] const std::vector<std::shared_ptr<NSViewController>>& children() const { return children_; }
    [[nodiscard]] NSViewController* parent() const { return parent_; }

private:
    std::shared_ptr<NSView> view_;
    Size preferredContentSize_;
    std::vector<std::shared_ptr<NSViewController>> children_;
    NSViewController* parent_ = nullptr;
    bool appeared_ = false;
};

class NSHostingController : public NSViewController {
public:
    explicit NSHostingController(View rootView) : rootView_(std::move(rootView)) {}
    void loadView() override;
    void setRootView(View rootView);
    [[nodiscard]] const View& rootView() const { return rootView_; }
    // The host of the loaded view (loads the view).
    std::shared_ptr<ViewHost> host() { return view()->host(); }

private:
    View rootView_;
};

// A controller's view placed in a View tree: sized by the proposal (or the
// controller's preferred size when offered nothing), drawn and fed input in place.
[[nodiscard]] View ViewControllerRepresentable(std::shared_ptr<NSViewController> controller);

}  // namespace ui
