#include "ui/ViewController.hpp"

#include <algorithm>
#include <cmath>

#include "Node.hpp"
#include "foundation/ThreadContract.hpp"

namespace ui {

// ---------------------------------------------------------------- NSView

void NSView::setFrame(Rect frame) {
    if (frame == frame_) return;
    frame_ = frame;
    if (host_) host_->setSize({frame.width, frame.height});
    for (auto& sub : subviews_)
        if (sub->pinned_) sub->setFrame({0, 0, frame.width, frame.height});
    setNeedsDisplay();
}

void NSView::setPinnedToSuperviewEdges(bool pinned) {
    pinned_ = pinned;
    if (pinned && superview_) setFrame({0, 0, superview_->frame_.width, superview_->frame_.height});
}

void NSView::addSubview(const std::shared_ptr<NSView>& view) {
    if (!view || view.get() == this) return;
    view->removeFromSuperview();
    view->superview_ = this;
    subviews_.push_back(view);
    if (view->pinned_) view->setFrame({0, 0, frame_.width, frame_.height});
    if (view->host_) {
        std::weak_ptr<NSView> weak = view;
        view->host_->setRedrawHandler([weak] {
            if (auto v = weak.lock()) v->setNeedsDisplay();
        });
    }
    setNeedsDisplay();
}

void NSView::removeFromSuperview() {
    NSView* parent = std::exchange(superview_, nullptr);
    if (!parent) return;
    auto keep = shared_from_this();
    auto& siblings = parent->subviews_;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), keep), siblings.end());
    parent->setNeedsDisplay();
}

void NSView::setNeedsDisplay() {
    if (superview_) return superview_->setNeedsDisplay();
    if (needsDisplay_) needsDisplay_();
}

void NSView::draw(cairo_t* cr) {
    if (host_) host_->draw(cr);
    for (auto& sub : subviews_) {
        cairo_save(cr);
        cairo_translate(cr, sub->frame_.x, sub->frame_.y);
        cairo_rectangle(cr, 0, 0, sub->frame_.width, sub->frame_.height);
        cairo_clip(cr);
        sub->draw(cr);
        cairo_restore(cr);
    }
}

Image NSView::render(double scale, Color background) {
    Image image(int(std::ceil(frame_.width * scale)), int(std::ceil(frame_.height * scale)));
    cairo_t* cr = cairo_create(image.surface());
    cairo_set_source_rgba(cr, background.r, background.g, background.b, background.a);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_paint(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    cairo_scale(cr, scale, scale);
    draw(cr);
    cairo_destroy(cr);
    cairo_surface_flush(image.surface());
    return image;
}

nlohmann::json NSView::inspect(Point origin, double scale) {
    nlohmann::json j;
    j["type"] = typeName();
    auto rounded = [](double v) { return std::round(v * 1000) / 1000; };
    j["frame"] = {{"x", rounded(origin.x)},
                  {"y", rounded(origin.y)},
                  {"width", rounded(frame_.width * scale)},
                  {"height", rounded(frame_.height * scale)}};
    nlohmann::json children = nlohmann::json::array();
    if (host_) children.push_back(host_->inspect(origin, scale));
    for (auto& sub : subviews_)
        children.push_back(sub->inspect({origin.x + sub->frame_.x * scale, origin.y + sub->frame_.y * scale}, scale));
    j["children"] = std::move(children);
    return j;
}

NSView* NSView::deepestHostingView(Point p, Point& origin) {
    for (auto it = subviews_.rbegin(); it != subviews_.rend(); ++it) {
        NSView& sub = **it;
        if (!Rect{sub.frame_.x, sub.frame_.y, sub.frame_.width, sub.frame_.height}.contains(p)) continue;
        Point inner;
        if (NSView* hit = sub.deepestHostingView({p.x - sub.frame_.x, p.y - sub.frame_.y}, inner)) {
            origin = {sub.frame_.x + inner.x, sub.frame_.y + inner.y};
            return hit;
        }
    }
    if (host_) {
        origin = {0, 0};
        return this;
    }
    return nullptr;
}

void NSView::pointerDown(Point p, std::optional<double> timeSeconds) {
    Point origin;
    NSView* target = deepestHostingView(p, origin);
    auto previousKey = keyTarget_.lock();
    if (previousKey && previousKey.get() != target) previousKey->host_->resignKeyboardFocus();
    if (!target) {
        pointerTarget_.reset();
        keyTarget_.reset();
        return;
    }
    pointerTarget_ = target->weak_from_this();
    keyTarget_ = pointerTarget_;
    pointerOrigin_ = origin;
    target->host_->pointerDown({p.x - origin.x, p.y - origin.y}, timeSeconds);
}

void NSView::pointerDragged(Point p) {
    if (auto target = pointerTarget_.lock()) target->host_->pointerDragged({p.x - pointerOrigin_.x, p.y - pointerOrigin_.y});
}

void NSView::pointerUp(Point p) {
    if (auto target = pointerTarget_.lock()) target->host_->pointerUp({p.x - pointerOrigin_.x, p.y - pointerOrigin_.y});
    pointerTarget_.reset();
}

void NSView::scrollWheel(Point p, double deltaY) {
    Point origin;
    if (NSView* target = deepestHostingView(p, origin)) target->host_->scrollWheel({p.x - origin.x, p.y - origin.y}, deltaY);
}

void NSView::keyDown(const KeyEvent& event) {
    if (auto target = keyTarget_.lock()) target->host_->keyDown(event);
}

// ---------------------------------------------------------------- controllers

std::shared_ptr<NSView> NSViewController::view() {
    DUNMARROW_ASSERT_MAIN_THREAD();
    if (!view_) {
        loadView();
        if (!view_) view_ = std::make_shared<NSView>();
        viewDidLoad();
    }
    return view_;
}

void NSViewController::loadView() { view_ = std::make_shared<NSView>(); }

void NSViewController::beginAppearance() {
    if (appeared_) return;
    appeared_ = true;
    viewWillAppear();
    viewDidAppear();
}

void NSViewController::endAppearance() {
    if (!appeared_) return;
    appeared_ = false;
    viewWillDisappear();
}

void NSViewController::addChild(const std::shared_ptr<NSViewController>& child) {
    if (!child || child.get() == this) return;
    child->removeFromParent();
    child->parent_ = this;
    children_.push_back(child);
}

void NSViewController::removeFromParent() {
    NSViewController* parent = std::exchange(parent_, nullptr);
    if (!parent) return;
    auto keep = shared_from_this();
    auto& siblings = parent->children_;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), keep), siblings.end());
}

void NSHostingController::loadView() {
    const Size size = preferredContentSize();
    auto host = std::make_shared<ViewHost>(rootView_, size);
    auto view = std::make_shared<NSView>(host);
    std::weak_ptr<NSView> weak = view;
    host->setRedrawHandler([weak] {
        if (auto v = weak.lock()) v->setNeedsDisplay();
    });
    view->setFrame({0, 0, size.width, size.height});
    setView(view);
}

void NSHostingController::setRootView(View rootView) {
    DUNMARROW_ASSERT_MAIN_THREAD();
    rootView_ = std::move(rootView);
    if (isViewLoaded()) view()->host()->setRootView(rootView_);
}

// ---------------------------------------------------------------- representable

namespace {

class RepresentableNode final : public Node {
public:
    explicit RepresentableNode(std::shared_ptr<NSViewController> c) : controller(std::move(c)) {}
    [[nodiscard]] std::string typeName() const override { return "ViewControllerRepresentable"; }
    Size sizeThatFits(ProposedSize p, Pass&) override {
        const Size preferred = controller->preferredContentSize();
        auto pick = [](std::optional<double> offered, double fallback) {
            return offered && std::isfinite(*offered) ? *offered : fallback;
        };
        return {pick(p.width, preferred.width), pick(p.height, preferred.height)};
    }
    void place(Rect rect, const Transform& t, Pass& pass) override {
        frame = rect;
        transform = t;
        auto view = controller->view();
        view->setNeedsDisplayHandler(pass.requestUpdate);
        view->setFrame({0, 0, rect.width, rect.height});
        controller->beginAppearance();
    }
    void draw(cairo_t* cr, Pass&) override {
        cairo_save(cr);
        cairo_translate(cr, frame.x, frame.y);
        cairo_rectangle(cr, 0, 0, frame.width, frame.height);
        cairo_clip(cr);
        controller->view()->draw(cr);
        cairo_restore(cr);
    }
    [[nodiscard]] bool acceptsPointer() const override { return true; }
    void pointerDown(Point p, InputContext&) override { controller->view()->pointerDown({p.x - frame.x, p.y - frame.y}); }
    void pointerDragged(Point p, InputContext&) override { controller->view()->pointerDragged({p.x - frame.x, p.y - frame.y}); }
    void pointerUp(Point p, bool, InputContext&) override { controller->view()->pointerUp({p.x - frame.x, p.y - frame.y}); }
    [[nodiscard]] bool takesKeys() const override { return true; }
    bool keyDown(const KeyEvent& event) override {
        controller->view()->keyDown(event);
        return true;
    }
    void resignFocus() override { controller->view()->pointerDown({-1e9, -1e9}); }
    void inspectChildren(nlohmann::json& list) const override {
        const Rect f = windowFrame();
        list.push_back(controller->view()->inspect({f.x, f.y}, transform.scale));
    }
    std::shared_ptr<NSViewController> controller;
};

}  // namespace

View ViewControllerRepresentable(std::shared_ptr<NSViewController> controller) {
    return View(std::make_shared<RepresentableNode>(std::move(controller)));
}

}  // namespace ui
