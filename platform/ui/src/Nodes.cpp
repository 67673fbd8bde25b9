// The view nodes: layout (propose, choose, place) and drawing of each kind.

#include <cxxabi.h>

#include <algorithm>
#include <cmath>
#include <numeric>

#include "Node.hpp"
#include "TextEngine.hpp"

namespace ui {

// ---------------------------------------------------------------- helpers

double alignOffset(HorizontalAlignment a, double container, double content) {
    switch (a) {
        case HorizontalAlignment::leading: return 0;
        case HorizontalAlignment::center: return (container - content) / 2;
        case HorizontalAlignment::trailing: return container - content;
    }
    return 0;
}

double alignOffset(VerticalAlignment a, double container, double content) {
    switch (a) {
        case VerticalAlignment::top:
        case VerticalAlignment::firstTextBaseline: return 0;
        case VerticalAlignment::center: return (container - content) / 2;
        case VerticalAlignment::bottom: return container - content;
    }
    return 0;
}

void setSourcePaint(cairo_t* cr, const Paint& paint, Rect bounds) {
    if (const auto* c = std::get_if<Color>(&paint)) {
        cairo_set_source_rgba(cr, c->r, c->g, c->b, c->a);
        return;
    }
    const auto& g = std::get<LinearGradient>(paint);
    cairo_pattern_t* pattern =
        cairo_pattern_create_linear(bounds.x + g.startPoint.x * bounds.width, bounds.y + g.startPoint.y * bounds.height,
                                    bounds.x + g.endPoint.x * bounds.width, bounds.y + g.endPoint.y * bounds.height);
    cairo_pattern_add_color_stop_rgba(pattern, 0, g.from.r, g.from.g, g.from.b, g.from.a);
    cairo_pattern_add_color_stop_rgba(pattern, 1, g.to.r, g.to.g, g.to.b, g.to.a);
    cairo_set_source(cr, pattern);
    cairo_pattern_destroy(pattern);
}

// Rounded corners with a continuous curvature look: each corner starts 1.28 r
// from the corner point (instead of r) and is drawn as one cubic whose control
// points pull the curve towards the corner less than a circular arc would.
void shapePath(cairo_t* cr, const Shape& shape, Rect r) {
    cairo_new_path(cr);
    if (r.width <= 0 || r.height <= 0) return;
    if (shape.kind == ShapeKind::rectangle) {
        cairo_rectangle(cr, r.x, r.y, r.width, r.height);
        return;
    }
    if (shape.kind == ShapeKind::ellipse) {
        cairo_save(cr);
        cairo_translate(cr, r.x + r.width / 2, r.y + r.height / 2);
        cairo_scale(cr, r.width / 2, r.height / 2);
        cairo_arc(cr, 0, 0, 1, 0, 2 * M_PI);
        cairo_restore(cr);
        return;
    }
    const double limit = std::min(r.width, r.height) / 2;
    if (shape.kind == ShapeKind::capsule) {
        const double radius = limit;
        cairo_new_sub_path(cr);
        cairo_arc(cr, r.maxX() - radius, r.y + radius, radius, -M_PI / 2, 0);
        cairo_arc(cr, r.maxX() - radius, r.maxY() - radius, radius, 0, M_PI / 2);
        cairo_arc(cr, r.x + radius, r.maxY() - radius, radius, M_PI / 2, M_PI);
        cairo_arc(cr, r.x + radius, r.y + radius, radius, M_PI, 3 * M_PI / 2);
        cairo_close_path(cr);
        return;
    }
    const double a = std::min(shape.cornerRadius * 1.28, limit);
    if (a <= 0) {
        cairo_rectangle(cr, r.x, r.y, r.width, r.height);
        return;
    }
    const double k = 0.36;  // control point distance from the corner, as a fraction of a
    const double x0 = r.x, y0 = r.y, x1 = r.maxX(), y1 = r.maxY();
    cairo_move_to(cr, x0 + a, y0);
    cairo_line_to(cr, x1 - a, y0);
    cairo_curve_to(cr, x1 - a * k, y0, x1, y0 + a * k, x1, y0 + a);
    cairo_line_to(cr, x1, y1 - a);
    cairo_curve_to(cr, x1, y1 - a * k, x1 - a * k, y1, x1 - a, y1);
    cairo_line_to(cr, x0 + a, y1);
    cairo_curve_to(cr, x0 + a * k, y1, x0, y1 - a * k, x0, y1 - a);
    cairo_line_to(cr, x0, y0 + a);
    cairo_curve_to(cr, x0, y0 + a * k, x0 + a * k, y0, x0 + a, y0);
    cairo_close_path(cr);
}

namespace {

TextStyle textStyle(const Environment& env) {
    return TextStyle{env.font, env.tracking, env.lineLimit, env.minimumScaleFactor, env.multilineTextAlignment};
}

double orZero(std::optional<double> v) { return v ? *v : 0; }

}  // namespace

// ---------------------------------------------------------------- Node

void Node::update(Pass& pass, const Environment& parent, const std::string& parentPath, std::size_t index) {
    env = parent;
    // The last modifier written is the outermost: it applies first, so that
    // the one closest to the view wins.
    for (auto it = environmentChanges.rbegin(); it != environmentChanges.rend(); ++it) (*it)(env);
    path = parentPath + "/" + std::to_string(index) + typeName();
    expand(pass);
    updateChildren(pass);
}

void Node::updateChildren(Pass& pass) {
    for (std::size_t i = 0; i < children.size(); ++i) children[i]->update(pass, env, path, i);
}

Size Node::measure(ProposedSize proposal, Pass& pass) {
    if (cacheGeneration_ != pass.generation) {
        cache_.clear();
        cacheGeneration_ = pass.generation;
    }
    for (const auto& entry : cache_)
        if (entry.proposal == proposal) return entry.size;
    Size size = sizeThatFits(proposal, pass);
    cache_.push_back({proposal, size});
    return size;
}

Size Node::sizeThatFits(ProposedSize proposal, Pass& pass) {
    if (children.empty()) return {0, 0};
    return children.front()->measure(proposal, pass);
}

void Node::place(Rect rect, const Transform& t, Pass& pass) {
    frame = rect;
    transform = t;
    for (auto& child : children) {
        Size size = child->measure({rect.width, rect.height}, pass);
        child->place({rect.x + (rect.width - size.width) / 2, rect.y + (rect.height - size.height) / 2, size.width, size.height},
                     t, pass);
    }
}

double Node::firstBaseline(Size size, Pass& pass) {
    if (children.size() == 1) return children.front()->firstBaseline(size, pass);
    return size.height;
}

void Node::draw(cairo_t* cr, Pass& pass) { drawChildren(cr, pass); }

void Node::drawChildren(cairo_t* cr, Pass& pass) {
    for (auto& child : children) child->draw(cr, pass);
}

std::vector<Node*> Node::hitChildren() {
    std::vector<Node*> result;
    for (auto& child : children) result.push_back(child.get());
    return result;
}

Size childSize(Node& child, ProposedSize proposal, Pass& pass) { return child.measure(proposal, pass); }

// ---------------------------------------------------------------- components

namespace {
std::string demangle(const char* name) {
    int status = 0;
    char* text = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::string result = (status == 0 && text) ? text : name;
    std::free(text);  // NOLINT: allocated by the demangler with malloc
    const auto colon = result.rfind("::");
    return colon == std::string::npos ? result : result.substr(colon + 2);
}
}  // namespace

std::string Component::typeName() const { return demangle(typeid(*this).name()); }

void Component::invalidate() {
    dirty_ = true;
    if (requestUpdate_) requestUpdate_();
}

std::string ComponentNode::typeName() const { return component->typeName(); }

void ComponentNode::expand(Pass& pass) {
    Component& c = *component;
    c.requestUpdate_ = pass.requestUpdate;
    if (c.dirty_ || !c.body_) {
        std::weak_ptr<Component> weak = component;
        auto request = pass.requestUpdate;
        c.scope_ = std::make_shared<ObservationScope>([weak, request] {
            if (auto strong = weak.lock()) strong->dirty_ = true;
            if (request) request();
        });
        View body = withObservationTracking(c.scope_, [&] { return c.body(); });
        c.body_ = body.node();
        c.dirty_ = false;
    }
    children = {c.body_};
}

View View::embed(std::shared_ptr<Component> component) { return View(std::make_shared<ComponentNode>(std::move(component))); }

namespace {

class DynamicNode final : public Node {
public:
    explicit DynamicNode(std::function<View()> b) : body(std::move(b)) {}
    [[nodiscard]] std::string typeName() const override { return "Dynamic"; }
    void expand(Pass& pass) override {
        if (dirty || children.empty()) {
            auto flag = dirty;
            (void)flag;
            auto request = pass.requestUpdate;
            std::weak_ptr<Node> weak = weak_from_this();
            scope = std::make_shared<ObservationScope>([weak, request] {
                if (auto strong = std::static_pointer_cast<DynamicNode>(weak.lock())) strong->dirty = true;
                if (request) request();
            });
            children = {withObservationTracking(scope, body).node()};
            dirty = false;
        }
    }
    std::function<View()> body;
    std::shared_ptr<ObservationScope> scope;
    bool dirty = true;
};

class EmptyNode final : public Node {
public:
    [[nodiscard]] std::string typeName() const override { return "EmptyView"; }
    [[nodiscard]] bool isEmpty() const override { return true; }
    Size sizeThatFits(ProposedSize, Pass&) override { return {0, 0}; }
};

// ---------------------------------------------------------------- stacks

class StackNode final : public Node {
public:
    StackNode(Axis a, HorizontalAlignment h, VerticalAlignment v, std::optional<double> s)
        : axis(a), hAlign(h), vAlign(v), spacing(s.value_or(8)) {}
    [[nodiscard]] std::string typeName() const override { return axis == Axis::vertical ? "VStack" : "HStack"; }

    void updateChildren(Pass& pass) override {
        Environment inner = env;
        inner.stackAxis = axis;
        for (std::size_t i = 0; i < children.size(); ++i) children[i]->update(pass, inner, path, i);
    }

    Size sizeThatFits(ProposedSize proposal, Pass& pass) override {
        auto items = visible();
        if (items.empty()) return {0, 0};
        auto sizes = layoutSizes(items, proposal, pass);
        double main = spacing * double(items.size() - 1), cross = 0;
        for (auto& s : sizes) {
            main += along(s);
            cross = std::max(cross, across(s));
        }
        if (axis == Axis::horizontal && vAlign == VerticalAlignment::firstTextBaseline) {
            double above = 0, below = 0;
            for (std::size_t i = 0; i < items.size(); ++i) {
                const double b = items[i]->firstBaseline(sizes[i], pass);
                above = std::max(above, b);
                below = std::max(below, sizes[i].height - b);
            }
            cross = above + below;
        }
        return axis == Axis::vertical ? Size{cross, main} : Size{main, cross};
    }

    double firstBaseline(Size size, Pass& pass) override {
        auto items = visible();
        if (items.empty()) return size.height;
        auto sizes = layoutSizes(items, {size.width, size.height}, pass);
        if (axis == Axis::vertical) return items.front()->firstBaseline(sizes.front(), pass);
        double best = 0;
        for (std::size_t i = 0; i < items.size(); ++i) best = std::max(best, items[i]->firstBaseline(sizes[i], pass));
        return best;
    }

    void place(Rect rect, const Transform& t, Pass& pass) override {
        frame = rect;
        transform = t;
        auto items = visible();
        if (items.empty()) return;
        auto sizes = layoutSizes(items, {rect.width, rect.height}, pass);
        double maxBaseline = 0;
        std::vector<double> baselines;
        if (axis == Axis::horizontal && vAlign == VerticalAlignment::firstTextBaseline) {
            for (std::size_t i = 0; i < items.size(); ++i) {
                baselines.push_back(items[i]->firstBaseline(sizes[i], pass));
                maxBaseline = std::max(maxBaseline, baselines.back());
            }
        }
        double position = axis == Axis::vertical ? rect.y : rect.x;
        for (std::size_t i = 0; i < items.size(); ++i) {
            const Size s = sizes[i];
            Rect r{0, 0, s.width, s.height};
            if (axis == Axis::vertical) {
                r.y = position;
                r.x = rect.x + alignOffset(hAlign, rect.width, s.width);
            } else {
                r.x = position;
                r.y = baselines.empty() ? rect.y + alignOffset(vAlign, rect.height, s.height)
                                        : rect.y + (maxBaseline - baselines[i]);
            }
            items[i]->place(r, t, pass);
            position += along(s) + spacing;
        }
    }

    Axis axis;
    HorizontalAlignment hAlign;
    VerticalAlignment vAlign;
    double spacing;

private:
    [[nodiscard]] double along(Size s) const { return axis == Axis::vertical ? s.height : s.width; }
    [[nodiscard]] double across(Size s) const { return axis == Axis::vertical ? s.width : s.height; }
    [[nodiscard]] ProposedSize make(std::optional<double> main, std::optional<double> cross) const {
        return axis == Axis::vertical ? ProposedSize{cross, main} : ProposedSize{main, cross};
    }

    std::vector<Node*> visible() {
        std::vector<Node*> items;
        for (auto& c : children)
            if (!c->isEmpty()) items.push_back(c.get());
        return items;
    }

    // Children in order of flexibility (least first) each get an equal share of
    // what is left; spacers, the most flexible, take the remainder.
    std::vector<Size> layoutSizes(const std::vector<Node*>& items, ProposedSize proposal, Pass& pass) {
        std::vector<Size> sizes(items.size());
        const auto cross = axis == Axis::vertical ? proposal.width : proposal.height;
        const auto main = axis == Axis::vertical ? proposal.height : proposal.width;
        if (!main) {
            for (std::size_t i = 0; i < items.size(); ++i) sizes[i] = items[i]->measure(make(std::nullopt, cross), pass);
            return sizes;
        }
        std::vector<double> flexibility(items.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
            const double lo = along(items[i]->measure(make(0.0, cross), pass));
            const double hi = along(items[i]->measure(make(infinity, cross), pass));
            flexibility[i] = hi - lo;
        }
        std::vector<std::size_t> order(items.size());
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            if (items[a]->isSpacer() != items[b]->isSpacer()) return !items[a]->isSpacer();
            return flexibility[a] < flexibility[b];
        });
        double remaining = *main - spacing * double(items.size() - 1);
        std::size_t left = items.size();
        for (std::size_t index : order) {
            const double share = std::max(0.0, remaining / double(left));
            sizes[index] = items[index]->measure(make(share, cross), pass);
            remaining -= along(sizes[index]);
            --left;
        }
        return sizes;
    }
};

class ZStackNode final : public Node {
public:
    explicit ZStackNode(Alignment a) : alignment(a) {}
    [[nodiscard]] std::string typeName() const override { return "ZStack"; }
    Size sizeThatFits(ProposedSize proposal, Pass& pass) override {
        Size result;
        for (auto& c : children) {
            if (c->isEmpty()) continue;
            Size s = c->measure(proposal, pass);
            result.width = std::max(result.width, s.width);
            result.height = std::max(result.height, s.height);
        }
        return result;
    }
    void place(Rect rect, const Transform& t, Pass& pass) override {
        frame = rect;
        transform = t;
        for (auto& c : children) {
            if (c->isEmpty()) continue;
            Size s = c->measure({rect.width, rect.height}, pass);
            c->place({rect.x + alignOffset(alignment.horizontal, rect.width, s.width),
                      rect.y + alignOffset(alignment.vertical, rect.height, s.height), s.width, s.height},
                     t, pass);
        }
    }
    Alignment alignment;
};

// ---------------------------------------------------------------- leaves

class TextNode final : public Node {
public:
    explicit TextNode(std::string s) : content(std::move(s)) {}
    [[nodiscard]] std::string typeName() const override { return "Text"; }
    [[nodiscard]] std::string text() const override { return content; }
    Size sizeThatFits(ProposedSize proposal, Pass&) override {
        std::optional<double> width = proposal.width;
        if (width && !std::isfinite(*width)) width.reset();
        return measureText(content, textStyle(env), width).size;
    }
    double firstBaseline(Size size, Pass&) override {
        return measureText(content, textStyle(env), size.width).baseline;
    }
    void place(Rect rect, const Transform& t, Pass& pass) override {
        Node::place(rect, t, pass);
        fontScale = measureText(content, textStyle(env), rect.width).fontScale;
    }
    void draw(cairo_t* cr, Pass& pass) override {
        if (pass.state && pass.state->selectionPath == path) {
            const auto [from, to] = std::minmax(pass.state->selectionAnchor, pass.state->selectionCaret);
            highlightRange(cr, placeLayout(content, textStyle(env), frame, fontScale), from, to, Color::sRGB(0.25, 0.45, 0.9, 0.4));
        }
        drawText(cr, content, textStyle(env), frame, env.foreground, fontScale);
    }
    void inspect(nlohmann::json& j) const override {
        if (env.textSelectable) j["selectable"] = true;
        if (fontScale != 1) j["fontScale"] = fontScale;
        // The family the text is really drawn in, after fontconfig's fallback.
        j["fontFamily"] = resolvedFamily(env.font);
    }
    [[nodiscard]] bool acceptsPointer() const override { return env.textSelectable || Node::acceptsPointer(); }
    [[nodiscard]] std::size_t indexAt(Point p) const {
        return indexAtPoint(placeLayout(content, textStyle(env), frame, fontScale), content, p);
    }
    void pointerDown(Point p, InputContext& input) override {
        if (!env.textSelectable) return;
        input.state->selectionPath = path;
        input.state->selectionAnchor = input.clickCount >= 2 ? 0 : indexAt(p);
        input.state->selectionCaret = input.clickCount >= 2 ? content.size() : input.state->selectionAnchor;
    }
    void pointerDragged(Point p, InputContext& input) override {
        if (env.textSelectable && input.state->selectionPath == path) input.state->selectionCaret = indexAt(p);
    }
    std::string content;
    double fontScale = 1;
};

class SpacerNode final : public Node {
public:
    explicit SpacerNode(std::optional<double> m) : minLength(m.value_or(8)) {}
    [[nodiscard]] std::string typeName() const override { return "Spacer"; }
    [[nodiscard]] bool isSpacer() const override { return true; }
    Size sizeThatFits(ProposedSize p, Pass&) override {
        auto length = [&](std::optional<double> v) { return std::max(minLength, v.value_or(minLength)); };
        switch (env.stackAxis) {
            case Axis::vertical: return {0, length(p.height)};
            case Axis::horizontal: return {length(p.width), 0};
            case Axis::none: return {length(p.width), length(p.height)};
        }
        return {};
    }
    double minLength;
};

class DividerNode final : public Node {
public:
    [[nodiscard]] std::string typeName() const override { return "Divider"; }
    Size sizeThatFits(ProposedSize p, Pass&) override {
        if (env.stackAxis == Axis::horizontal) return {1, orZero(p.height)};
        return {orZero(p.width), 1};
    }
    void draw(cairo_t* cr, Pass&) override {
        cairo_rectangle(cr, frame.x, frame.y, frame.width, frame.height);
        cairo_set_source_rgba(cr, 0, 0, 0, 0.1);
        cairo_fill(cr);
    }
};

// ---------------------------------------------------------------- modifiers

class PaddingNode final : public Node {
public:
    explicit PaddingNode(EdgeInsets i) : insets(i) {}
    [[nodiscard]] std::string typeName() const override { return "Padding"; }
    Size sizeThatFits(ProposedSize p, Pass& pass) override {
        const double h = insets.leading + insets.trailing, v = insets.top + insets.bottom;
        ProposedSize inner{p.width ? std::optional<double>(std::max(0.0, *p.width - h)) : std::nullopt,
                           p.height ? std::optional<double>(std::max(0.0, *p.height - v)) : std::nullopt};
        Size s = children.front()->measure(inner, pass);
        return {s.width + h, s.height + v};
    }
    double firstBaseline(Size size, Pass& pass) override {
        return insets.top + children.front()->firstBaseline(
                                {std::max(0.0, size.width - insets.leading - insets.trailing),
                                 std::max(0.0, size.height - insets.top - insets.bottom)},
                                pass);
    }
    void place(Rect rect, const Transform& t, Pass& pass) override {
        frame = rect;
        transform = t;
        Rect inner{rect.x + insets.leading, rect.y + insets.top,
                   std::max(0.0, rect.width - insets.leading - insets.trailing),
                   std::max(0.0, rect.height - insets.top - insets.bottom)};
        children.front()->place(inner, t, pass);
    }
    EdgeInsets insets;
};

class FrameNode final : public Node {
public:
    [[nodiscard]] std::string typeName() const override { return "Frame"; }

    // The proposal passed on in one dimension.
    static std::optional<double> inner(std::optional<double> p, std::optional<double> fixed, std::optional<double> mn,
                                       std::optional<double> ideal, std::optional<double> mx, bool flexible) {
        if (!flexible) return fixed ? fixed : p;
        std::optional<double> q = p ? p : ideal;
        if (q && mn && *q < *mn) q = mn;
        if (q && mx && *q > *mx) q = mx;
        return q;
    }
    // The size chosen in one dimension from the child's.
    static double outer(double child, std::optional<double> q, std::optional<double> fixed, std::optional<double> mn,
                        std::optional<double> mx, bool flexible) {
        if (!flexible) return fixed ? *fixed : child;
        double r = child;
        if (q) {
            if (mn) r = std::max(*mn, std::min(r, *q));
            if (mx) r = std::min(*mx, std::max(r, *q));
        } else {
            if (mn) r = std::max(r, *mn);
            if (mx) r = std::min(r, *mx);
        }
        return r;
    }

    Size sizeThatFits(ProposedSize p, Pass& pass) override {
        ProposedSize q = proposalFor(p);
        Size s = children.front()->measure(q, pass);
        return {outer(s.width, q.width, width, limits.minWidth, limits.maxWidth, flexible),
                outer(s.height, q.height, height, limits.minHeight, limits.maxHeight, flexible)};
    }
    void place(Rect rect, const Transform& t, Pass& pass) override {
        frame = rect;
        transform = t;
        ProposedSize q = proposalFor({rect.width, rect.height});
        Size s = children.front()->measure(q, pass);
        children.front()->place({rect.x + alignOffset(alignment().horizontal, rect.width, s.width),
                                 rect.y + alignOffset(alignment().vertical, rect.height, s.height), s.width, s.height},
                                t, pass);
    }
    double firstBaseline(Size size, Pass& pass) override {
        ProposedSize q = proposalFor({size.width, size.height});
        Size s = children.front()->measure(q, pass);
        return alignOffset(alignment().vertical, size.height, s.height) + children.front()->firstBaseline(s, pass);
    }
    void inspect(nlohmann::json& j) const override { j["flexible"] = flexible; }

    [[nodiscard]] Alignment alignment() const { return flexible ? limits.alignment : fixedAlignment; }
    [[nodiscard]] ProposedSize proposalFor(ProposedSize p) const {
        return {inner(p.width, width, limits.minWidth, limits.idealWidth, limits.maxWidth, flexible),
                inner(p.height, height, limits.minHeight, limits.idealHeight, limits.maxHeight, flexible)};
    }

    bool flexible = false;
    std::optional<double> width, height;
    Alignment fixedAlignment;
    FlexibleFrame limits;
};

class FixedSizeNode final : public Node {
public:
    [[nodiscard]] std::string typeName() const override { return "FixedSize"; }
    Size sizeThatFits(ProposedSize, Pass& pass) override { return children.front()->measure({}, pass); }
    void place(Rect rect, const Transform& t, Pass& pass) override {
        frame = rect;
        transform = t;
        Size s = children.front()->measure({}, pass);
        children.front()->place({rect.x + (rect.width - s.width) / 2, rect.y + (rect.height - s.height) / 2, s.width, s.height}, t,
                                pass);
    }
};

// Offset and scale: drawing and hit-testing move, layout does not.
class TransformNode final : public Node {
public:
    [[nodiscard]] std::string typeName() const override { return isScale ? "ScaleEffect" : "Offset"; }
    void place(Rect rect, const Transform& t, Pass& pass) override {
        frame = rect;
        transform = t;
        Transform inner = t;
        if (isScale) {
            const Point c = rect.center();
            inner.scale = t.scale * scale;
            inner.tx = t.tx + t.scale * c.x * (1 - scale);
            inner.ty = t.ty + t.scale * c.y * (1 - scale);
        } else {
            inner.tx = t.tx + t.scale * dx;
            inner.ty = t.ty + t.scale * dy;
        }
        children.front()->place(rect, inner, pass);
    }
    void draw(cairo_t* cr, Pass& pass) override {
        cairo_save(cr);
        if (isScale) {
            const Point c = frame.center();
            cairo_translate(cr, c.x, c.y);
            cairo_scale(cr, scale, scale);
            cairo_translate(cr, -c.x, -c.y);
        } else {
            cairo_translate(cr, dx, dy);
        }
        drawChildren(cr, pass);
        cairo_restore(cr);
    }
    void inspect(nlohmann::json& j) const override {
        if (isScale) j["scale"] = scale;
        else j["offset"] = {dx, dy};
    }
    bool isScale = false;
    double scale = 1, dx = 0, dy = 0;
};

// Children in drawing order: [background, content] or [content, overlay].
class LayerNode final : public Node {
public:
    explicit LayerNode(bool b) : isBackground(b) {}
    [[nodiscard]] std::string typeName() const override { return isBackground ? "Background" : "Overlay"; }
    [[nodiscard]] Node& content() const { return *children[isBackground ? 1 : 0]; }
    [[nodiscard]] Node& layer() const { return *children[isBackground ? 0 : 1]; }
    Size sizeThatFits(ProposedSize p, Pass& pass) override { return content().measure(p, pass); }
    double firstBaseline(Size size, Pass& pass) override { return content().firstBaseline(size, pass); }
    void place(Rect rect, const Transform& t, Pass& pass) override {
        frame = rect;
        transform = t;
        content().place(rect, t, pass);
        Size s = layer().measure({rect.width, rect.height}, pass);
        layer().place({rect.x + alignOffset(alignment.horizontal, rect.width, s.width),
                       rect.y + alignOffset(alignment.vertical, rect.height, s.height), s.width, s.height},
                      t, pass);
    }
    bool isBackground;
    Alignment alignment;
};

class ClipNode final : public Node {
public:
    [[nodiscard]] std::string typeName() const override { return "ClipShape"; }
    [[nodiscard]] bool clipsChildren() const override { return true; }
    void draw(cairo_t* cr, Pass& pass) override {
        cairo_save(cr);
        shapePath(cr, shape, frame);
        cairo_clip(cr);
        drawChildren(cr, pass);
        cairo_restore(cr);
    }
    void place(Rect rect, const Transform& t, Pass& pass) override {
        frame = rect;
        transform = t;
        children.front()->place(rect, t, pass);
    }
    Shape shape;
};

class OpacityNode final : public Node {
public:
    [[nodiscard]] std::string typeName() const override { return "Opacity"; }
    void place(Rect rect, const Transform& t, Pass& pass) override {
        frame = rect;
        transform = t;
        children.front()->place(rect, t, pass);
    }
    void draw(cairo_t* cr, Pass& pass) override {
        cairo_push_group(cr);
        drawChildren(cr, pass);
        cairo_pop_group_to_source(cr);
        cairo_paint_with_alpha(cr, value);
    }
    double value = 1;
};

// ---------------------------------------------------------------- controls

constexpr double sliderHeight = 20;
constexpr double sliderThumbRadius = 7;

class SliderNode final : public Node {
public:
    [[nodiscard]] std::string typeName() const override { return "Slider"; }
    Size sizeThatFits(ProposedSize p, Pass&) override { return {p.width.value_or(160), sliderHeight}; }
    [[nodiscard]] bool acceptsPointer() const override { return true; }
    [[nodiscard]] double fraction() const {
        const double v = value.get();
        if (!(upper > lower) || !std::isfinite(v)) return 0;
        return std::clamp((v - lower) / (upper - lower), 0.0, 1.0);
    }
    void draw(cairo_t* cr, Pass&) override {
        const double cy = frame.y + frame.height / 2;
        const double left = frame.x + sliderThumbRadius, usable = std::max(0.0, frame.width - 2 * sliderThumbRadius);
        const double thumbX = left + usable * fraction();
        shapePath(cr, Shape{ShapeKind::capsule, 0}, {frame.x + 2, cy - 2, std::max(0.0, frame.width - 4), 4});
        cairo_set_source_rgba(cr, 0.5, 0.5, 0.5, 0.35);
        cairo_fill(cr);
        shapePath(cr, Shape{ShapeKind::capsule, 0}, {frame.x + 2, cy - 2, std::max(0.0, thumbX - frame.x - 2), 4});
        setSourcePaint(cr, env.tint, frame);
        cairo_fill(cr);
        cairo_new_path(cr);
        cairo_arc(cr, thumbX, cy, sliderThumbRadius - 0.5, 0, 2 * M_PI);
        cairo_set_source_rgba(cr, 0.96, 0.96, 0.96, 1);
        cairo_fill_preserve(cr);
        cairo_set_source_rgba(cr, 0, 0, 0, 0.25);
        cairo_set_line_width(cr, 0.5);
        cairo_stroke(cr);
    }
    void setFrom(Point p) {
        const double usable = frame.width - 2 * sliderThumbRadius;
        double f = usable > 0 ? (p.x - frame.x - sliderThumbRadius) / usable : 0;
        f = std::clamp(f, 0.0, 1.0);
        const double v = lower + f * (upper - lower);
        if (v != value.get()) value.set(v);
    }
    void pointerDown(Point p, InputContext&) override {
        if (onEditingChanged) onEditingChanged(true);
        setFrom(p);
    }
    void pointerDragged(Point p, InputContext&) override { setFrom(p); }
    void pointerUp(Point p, bool, InputContext&) override {
        setFrom(p);
        if (onEditingChanged) onEditingChanged(false);
    }
    void inspect(nlohmann::json& j) const override {
        j["value"] = value.get();
        j["minimum"] = lower;
        j["maximum"] = upper;
    }
    Binding<double> value;
    double lower = 0, upper = 1;
    std::function<void(bool)> onEditingChanged;
};

constexpr double switchWidth = 32, switchHeight = 18;

class ToggleNode final : public Node {
public:
    [[nodiscard]] std::string typeName() const override { return "Toggle"; }
    [[nodiscard]] std::string text() const override { return children.front()->text(); }
    [[nodiscard]] bool acceptsPointer() const override { return true; }
    [[nodiscard]] std::vector<Node*> hitChildren() override { return {}; }
    Size sizeThatFits(ProposedSize p, Pass& pass) override {
        std::optional<double> w;
        if (p.width) w = std::max(0.0, *p.width - switchWidth - gap);
        Size label = children.front()->measure({w, p.height}, pass);
        return {label.width + gap + switchWidth, std::max(label.height, switchHeight)};
    }
    void place(Rect rect, const Transform& t, Pass& pass) override {
        frame = rect;
        transform = t;
        Size label = children.front()->measure({std::max(0.0, rect.width - switchWidth - gap), rect.height}, pass);
        children.front()->place({rect.x, rect.y + (rect.height - label.height) / 2, label.width, label.height}, t, pass);
    }
    void draw(cairo_t* cr, Pass& pass) override {
        drawChildren(cr, pass);
        const Rect track{frame.maxX() - switchWidth, frame.y + (frame.height - switchHeight) / 2, switchWidth, switchHeight};
        const bool on = isOn.get();
        shapePath(cr, Shape{ShapeKind::capsule, 0}, track);
        if (on) setSourcePaint(cr, env.tint, track);
        else cairo_set_source_rgba(cr, 0.5, 0.5, 0.5, 0.35);
        cairo_fill(cr);
        const double r = switchHeight / 2 - 1.5;
        cairo_new_path(cr);
        cairo_arc(cr, on ? track.maxX() - switchHeight / 2 : track.x + switchHeight / 2, track.y + switchHeight / 2, r, 0, 2 * M_PI);
        cairo_set_source_rgba(cr, 1, 1, 1, 1);
        cairo_fill(cr);
    }
    void pointerUp(Point, bool inside, InputContext&) override {
        if (inside) isOn.set(!isOn.get());
    }
    void inspect(nlohmann::json& j) const override { j["isOn"] = isOn.get(); }
    static constexpr double gap = 8;
    Binding<bool> isOn;
};

class ButtonNode final : public Node {
public:
    [[nodiscard]] std::string typeName() const override { return "Button"; }
    [[nodiscard]] std::string text() const override { return children.front()->text(); }
    [[nodiscard]] bool acceptsPointer() const override { return true; }
    [[nodiscard]] std::vector<Node*> hitChildren() override { return {}; }
    static constexpr EdgeInsets insets{3, 8, 3, 8};
    Size sizeThatFits(ProposedSize p, Pass& pass) override {
        ProposedSize inner{p.width ? std::optional<double>(std::max(0.0, *p.width - 16)) : std::nullopt,
                           p.height ? std::optional<double>(std::max(0.0, *p.height - 6)) : std::nullopt};
        Size s = children.front()->measure(inner, pass);
        return {s.width + 16, s.height + 6};
    }
    void place(Rect rect, const Transform& t, Pass& pass) override {
        frame = rect;
        transform = t;
        Size s = children.front()->measure({std::max(0.0, rect.width - 16), std::max(0.0, rect.height - 6)}, pass);
        children.front()->place({rect.x + (rect.width - s.width) / 2, rect.y + (rect.height - s.height) / 2, s.width, s.height}, t,
                                pass);
    }
    void draw(cairo_t* cr, Pass& pass) override {
        const bool pressed = pass.state && pass.state->pressedPath == path;
        shapePath(cr, Shape{ShapeKind::roundedRectangle, 5}, frame);
        cairo_set_source_rgba(cr, pressed ? 0.82 : 0.97, pressed ? 0.82 : 0.97, pressed ? 0.82 : 0.97, 1);
        cairo_fill_preserve(cr);
        cairo_set_source_rgba(cr, 0, 0, 0, 0.2);
        cairo_set_line_width(cr, 0.5);
        cairo_stroke(cr);
        drawChildren(cr, pass);
    }
    void pointerUp(Point, bool inside, InputContext&) override {
        if (inside && action) action();
    }
    std::function<void()> action;
};

class GeometryReaderNode final : public Node {
public:
    [[nodiscard]] std::string typeName() const override { return "GeometryReader"; }
    void updateChildren(Pass&) override {}  // content is built when the size is known
    Size sizeThatFits(ProposedSize p, Pass&) override { return {p.width.value_or(10), p.height.value_or(10)}; }
    void place(Rect rect, const Transform& t, Pass& pass) override {
        frame = rect;
        transform = t;
        auto request = pass.requestUpdate;
        scope = std::make_shared<ObservationScope>([request] {
            if (request) request();
        });
        View content = withObservationTracking(scope, [&] { return builder({rect.width, rect.height}); });
        children = {content.node()};
        children.front()->update(pass, env, path, 0);
        Size s = children.front()->measure({rect.width, rect.height}, pass);
        children.front()->place({rect.x, rect.y, s.width, s.height}, t, pass);
    }
    std::function<View(Size)> builder;
    std::shared_ptr<ObservationScope> scope;
};

class ScrollViewNode final : public Node {
public:
    [[nodiscard]] std::string typeName() const override { return "ScrollView"; }
    [[nodiscard]] bool clipsChildren() const override { return true; }
    Size sizeThatFits(ProposedSize p, Pass& pass) override {
        Size content = children.front()->measure({p.width, std::nullopt}, pass);
        return {p.width.value_or(content.width), p.height.value_or(content.height)};
    }
    void place(Rect rect, const Transform& t, Pass& pass) override {
        frame = rect;
        transform = t;
        Size content = children.front()->measure({rect.width, std::nullopt}, pass);
        contentHeight = content.height;
        double& offset = pass.state->scrollOffsets[path];
        offset = std::clamp(offset, 0.0, std::max(0.0, contentHeight - rect.height));
        children.front()->place({rect.x, rect.y - offset, content.width, content.height}, t, pass);
    }
    void draw(cairo_t* cr, Pass& pass) override {
        cairo_save(cr);
        cairo_rectangle(cr, frame.x, frame.y, frame.width, frame.height);
        cairo_clip(cr);
        drawChildren(cr, pass);
        if (showsIndicators && contentHeight > frame.height && frame.height > 0) {
            const double offset = pass.state->scrollOffsets[path];
            const double h = std::max(20.0, frame.height * frame.height / contentHeight);
            const double y = frame.y + (frame.height - h) * (offset / (contentHeight - frame.height));
            shapePath(cr, Shape{ShapeKind::capsule, 0}, {frame.maxX() - 7, y + 2, 5, h - 4});
            cairo_set_source_rgba(cr, 0, 0, 0, 0.35);
            cairo_fill(cr);
        }
        cairo_restore(cr);
    }
    bool scroll(double dy, InputContext& input) override {
        if (contentHeight <= frame.height) return false;
        double& offset = input.state->scrollOffsets[path];
        offset = std::clamp(offset + dy, 0.0, contentHeight - frame.height);
        return true;
    }
    void inspect(nlohmann::json& j) const override { j["contentHeight"] = contentHeight; }
    bool showsIndicators = true;
    double contentHeight = 0;
};

template <class T>
std::shared_ptr<T> wrap(const View& view, std::shared_ptr<T> node) {
    node->children = {view.node()};
    return node;
}

}  // namespace

// ---------------------------------------------------------------- shapes, text fields, sheets

std::string ShapeNode::typeName() const {
    if (isColor) return "Color";
    switch (shape.kind) {
        case ShapeKind::rectangle: return "Rectangle";
        case ShapeKind::roundedRectangle: return "RoundedRectangle";
        case ShapeKind::capsule: return "Capsule";
        case ShapeKind::ellipse: return "Circle";
    }
    return "Shape";
}

Size ShapeNode::sizeThatFits(ProposedSize p, Pass&) { return {p.width.value_or(10), p.height.value_or(10)}; }

void ShapeNode::draw(cairo_t* cr, Pass&) {
    const Paint& ink = paint ? *paint : env.foreground;
    cairo_save(cr);
    if (style == Style::fill) {
        shapePath(cr, shape, frame);
        setSourcePaint(cr, ink, frame);
        cairo_fill(cr);
    } else {
        Rect r = frame;
        if (style == Style::strokeBorder) r = {r.x + lineWidth / 2, r.y + lineWidth / 2, r.width - lineWidth, r.height - lineWidth};
        Shape s = shape;
        if (style == Style::strokeBorder && s.kind == ShapeKind::roundedRectangle) s.cornerRadius = std::max(0.0, s.cornerRadius - lineWidth / 2);
        shapePath(cr, s, r);
        setSourcePaint(cr, ink, frame);
        cairo_set_line_width(cr, lineWidth);
        cairo_stroke(cr);
    }
    cairo_restore(cr);
}

double TextFieldNode::textOriginX(double textWidth) const {
    switch (env.multilineTextAlignment) {
        case TextAlignment::leading: return frame.x;
        case TextAlignment::center: return frame.x + (frame.width - textWidth) / 2;
        case TextAlignment::trailing: return frame.x + frame.width - textWidth;
    }
    return frame.x;
}

Size TextFieldNode::sizeThatFits(ProposedSize p, Pass&) {
    double width = p.width.value_or(100);
    if (!std::isfinite(width)) width = 100;
    return {width, lineHeight(env.font)};
}

namespace {
TextStyle fieldStyle(const Environment& env) {
    TextStyle style;
    style.font = env.font;
    style.tracking = env.tracking;
    return style;
}
}  // namespace

void TextFieldNode::draw(cairo_t* cr, Pass& pass) {
    const std::string value = binding.get();
    const bool focused = pass.state && pass.state->focusedPath == path;
    const bool showPlaceholder = value.empty() && !placeholder.empty();
    LayoutPtr layout = makeLayout(showPlaceholder ? placeholder : value, fieldStyle(env), std::nullopt);
    PangoRectangle logical;
    pango_layout_get_extents(layout.get(), nullptr, &logical);
    const double textWidth = logical.width / double(PANGO_SCALE);
    const double x = textOriginX(textWidth);
    cairo_save(cr);
    cairo_rectangle(cr, frame.x - 2, frame.y, frame.width + 4, frame.height);
    cairo_clip(cr);
    if (focused && !showPlaceholder) {
        const std::size_t caret = std::min(pass.state->caret, value.size());
        const std::size_t anchor = std::min(pass.state->anchor, value.size());
        PangoRectangle a, b;
        pango_layout_index_to_pos(layout.get(), int(std::min(caret, anchor)), &a);
        pango_layout_index_to_pos(layout.get(), int(std::max(caret, anchor)), &b);
        if (caret != anchor) {
            cairo_rectangle(cr, x + a.x / double(PANGO_SCALE), frame.y, (b.x - a.x) / double(PANGO_SCALE), frame.height);
            cairo_set_source_rgba(cr, 0.25, 0.45, 0.9, 0.45);
            cairo_fill(cr);
        }
    }
    cairo_move_to(cr, x - logical.x / double(PANGO_SCALE), frame.y + (frame.height - logical.height / double(PANGO_SCALE)) / 2);
    if (showPlaceholder) cairo_set_source_rgba(cr, 0.5, 0.5, 0.5, 0.6);
    else setSourcePaint(cr, env.foreground, frame);
    pango_cairo_show_layout(cr, layout.get());
    if (focused && pass.state->caret == pass.state->anchor) {
        PangoRectangle c;
        pango_layout_index_to_pos(layout.get(), int(showPlaceholder ? 0 : std::min(pass.state->caret, value.size())), &c);
        const double cx = std::round(x + c.x / double(PANGO_SCALE)) + 0.5;
        cairo_new_path(cr);
        cairo_move_to(cr, cx, frame.y + 1);
        cairo_line_to(cr, cx, frame.maxY() - 1);
        setSourcePaint(cr, env.foreground, frame);
        cairo_set_line_width(cr, 1);
        cairo_stroke(cr);
    }
    cairo_restore(cr);
}

std::size_t TextFieldNode::indexAt(Point p) const {
    const std::string value = binding.get();
    LayoutPtr layout = makeLayout(value, fieldStyle(env), std::nullopt);
    PangoRectangle logical;
    pango_layout_get_extents(layout.get(), nullptr, &logical);
    const double x = textOriginX(logical.width / double(PANGO_SCALE));
    int index = 0, trailing = 0;
    pango_layout_xy_to_index(layout.get(), int((p.x - x) * PANGO_SCALE), 0, &index, &trailing);
    std::size_t i = std::size_t(index);
    for (; trailing > 0 && i < value.size(); --trailing) {
        ++i;
        while (i < value.size() && (static_cast<unsigned char>(value[i]) & 0xC0) == 0x80) ++i;
    }
    return std::min(i, value.size());
}

void TextFieldNode::inspect(nlohmann::json& j) const { j["placeholder"] = placeholder; }

void SheetNode::expand(Pass& pass) {
    const bool shown = isPresented.get();
    if (shown) {
        presented = content().node();
        children.resize(1);
        children.push_back(presented);
        pass.sheets.push_back(this);
    } else {
        presented.reset();
        children.resize(1);
    }
}

void SheetNode::updateChildren(Pass& pass) {
    children.front()->update(pass, env, path, 0);
    if (presented) {
        Environment sheetEnv;
        sheetEnv.font = env.font;
        presented->update(pass, sheetEnv, path, 1);
    }
}

void SheetNode::draw(cairo_t* cr, Pass& pass) { children.front()->draw(cr, pass); }

// ---------------------------------------------------------------- view functions

View::View() : node_(std::make_shared<EmptyNode>()) {}
View::View(std::shared_ptr<Node> node) : node_(std::move(node)) {}
View::View(Color color) {
    auto node = std::make_shared<ShapeNode>(Shape{});
    node->paint = color;
    node->isColor = true;
    node_ = node;
}

View EmptyView() { return View(); }
View VStack(std::vector<View> children) { return VStack(HorizontalAlignment::center, std::nullopt, std::move(children)); }
View HStack(std::vector<View> children) { return HStack(VerticalAlignment::center, std::nullopt, std::move(children)); }
View ZStack(std::vector<View> children) { return ZStack(Alignment::center(), std::move(children)); }

namespace {
std::vector<std::shared_ptr<Node>> nodes(std::vector<View>& views) {
    std::vector<std::shared_ptr<Node>> result;
    for (auto& v : views) result.push_back(v.node());
    return result;
}
}  // namespace

View VStack(HorizontalAlignment alignment, std::optional<double> spacing, std::vector<View> children) {
    auto node = std::make_shared<StackNode>(Axis::vertical, alignment, VerticalAlignment::center, spacing);
    node->children = nodes(children);
    return View(node);
}
View HStack(VerticalAlignment alignment, std::optional<double> spacing, std::vector<View> children) {
    auto node = std::make_shared<StackNode>(Axis::horizontal, HorizontalAlignment::center, alignment, spacing);
    node->children = nodes(children);
    return View(node);
}
View ZStack(Alignment alignment, std::vector<View> children) {
    auto node = std::make_shared<ZStackNode>(alignment);
    node->children = nodes(children);
    return View(node);
}
View Text(std::string text) { return View(std::make_shared<TextNode>(std::move(text))); }
View ShapeView(Shape shape) { return View(std::make_shared<ShapeNode>(shape)); }
View Rectangle() { return ShapeView(Shape{ShapeKind::rectangle, 0}); }
View RoundedRectangle(double cornerRadius) { return ShapeView(Shape{ShapeKind::roundedRectangle, cornerRadius}); }
View Capsule() { return ShapeView(Shape{ShapeKind::capsule, 0}); }
View Circle() { return ShapeView(Shape{ShapeKind::ellipse, 0}); }
View Spacer(std::optional<double> minLength) { return View(std::make_shared<SpacerNode>(minLength)); }
View Divider() { return View(std::make_shared<DividerNode>()); }

View Slider(Binding<double> value, double lower, double upper, std::function<void(bool)> onEditingChanged) {
    auto node = std::make_shared<SliderNode>();
    node->value = std::move(value);
    node->lower = lower;
    node->upper = upper;
    node->onEditingChanged = std::move(onEditingChanged);
    return View(node);
}

View Toggle(std::string label, Binding<bool> isOn) {
    auto node = std::make_shared<ToggleNode>();
    node->children = {Text(std::move(label)).node()};
    node->isOn = std::move(isOn);
    return View(node);
}

View Button(std::string title, std::function<void()> action) { return Button(Text(std::move(title)), std::move(action)); }
View Button(View label, std::function<void()> action) {
    auto node = std::make_shared<ButtonNode>();
    node->children = {label.node()};
    node->action = std::move(action);
    return View(node);
}

View TextField(std::string placeholder, Binding<std::string> text) {
    auto node = std::make_shared<TextFieldNode>();
    node->placeholder = std::move(placeholder);
    node->binding = std::move(text);
    return View(node);
}

View GeometryReader(std::function<View(Size)> content) {
    auto node = std::make_shared<GeometryReaderNode>();
    node->builder = std::move(content);
    return View(node);
}

View ScrollView(View content, bool showsIndicators) {
    auto node = wrap(content, std::make_shared<ScrollViewNode>());
    node->showsIndicators = showsIndicators;
    return View(node);
}

View Dynamic(std::function<View()> body) { return View(std::make_shared<DynamicNode>(std::move(body))); }

// ---------------------------------------------------------------- modifiers

View View::padding(double length) const { return padding(EdgeInsets{length, length, length, length}); }
View View::padding(Edge edges, double length) const {
    const auto has = [&](Edge e) { return (unsigned(edges) & unsigned(e)) != 0; };
    return padding(EdgeInsets{has(Edge::top) ? length : 0, has(Edge::leading) ? length : 0, has(Edge::bottom) ? length : 0,
                              has(Edge::trailing) ? length : 0});
}
View View::padding(EdgeInsets insets) const { return View(wrap(*this, std::make_shared<PaddingNode>(insets))); }

View View::frame(std::optional<double> width, std::optional<double> height, Alignment alignment) const {
    auto node = wrap(*this, std::make_shared<FrameNode>());
    node->width = width;
    node->height = height;
    node->fixedAlignment = alignment;
    return View(node);
}
View View::frame(const FlexibleFrame& limits) const {
    auto node = wrap(*this, std::make_shared<FrameNode>());
    node->flexible = true;
    node->limits = limits;
    return View(node);
}
View View::fixedSize() const { return View(wrap(*this, std::make_shared<FixedSizeNode>())); }
View View::offset(double x, double y) const {
    auto node = wrap(*this, std::make_shared<TransformNode>());
    node->dx = x;
    node->dy = y;
    return View(node);
}
View View::scaleEffect(double scale) const {
    auto node = wrap(*this, std::make_shared<TransformNode>());
    node->isScale = true;
    node->scale = scale;
    return View(node);
}
View View::background(View content, Alignment alignment) const {
    auto node = std::make_shared<LayerNode>(true);
    node->children = {content.node(), node_};
    node->alignment = alignment;
    return View(node);
}
View View::background(Shape shape, Paint paint) const { return background(ShapeView(shape).fill(std::move(paint))); }
View View::overlay(View content, Alignment alignment) const {
    auto node = std::make_shared<LayerNode>(false);
    node->children = {node_, content.node()};
    node->alignment = alignment;
    return View(node);
}
View View::border(Shape shape, Paint paint, double lineWidth) const {
    return overlay(ShapeView(shape).strokeBorder(std::move(paint), lineWidth));
}
View View::clipShape(Shape shape) const {
    auto node = wrap(*this, std::make_shared<ClipNode>());
    node->shape = shape;
    return View(node);
}
View View::opacity(double value) const {
    auto node = wrap(*this, std::make_shared<OpacityNode>());
    node->value = value;
    return View(node);
}

namespace {
View styled(const View& view, ShapeNode::Style style, Paint paint, double lineWidth) {
    if (auto* shape = dynamic_cast<ShapeNode*>(view.node().get())) {
        shape->style = style;
        shape->paint = std::move(paint);
        shape->lineWidth = lineWidth;
    }
    return view;
}
}  // namespace

View View::fill(Paint paint) const { return styled(*this, ShapeNode::Style::fill, std::move(paint), 1); }
View View::stroke(Paint paint, double lineWidth) const { return styled(*this, ShapeNode::Style::stroke, std::move(paint), lineWidth); }
View View::strokeBorder(Paint paint, double lineWidth) const {
    return styled(*this, ShapeNode::Style::strokeBorder, std::move(paint), lineWidth);
}

namespace {
View prependEnvironment(const View& view, std::function<void(Environment&)> change) {
    view.node()->environmentChanges.push_back(std::move(change));
    return view;
}
}  // namespace

View View::font(Font font) const {
    return prependEnvironment(*this, [font](Environment& e) { e.font = font; });
}
View View::foregroundStyle(Paint paint) const {
    return prependEnvironment(*this, [paint](Environment& e) { e.foreground = paint; });
}
View View::tracking(double points) const {
    return prependEnvironment(*this, [points](Environment& e) { e.tracking = points; });
}
View View::lineLimit(std::optional<int> lines) const {
    return prependEnvironment(*this, [lines](Environment& e) { e.lineLimit = lines; });
}
View View::minimumScaleFactor(double factor) const {
    return prependEnvironment(*this, [factor](Environment& e) { e.minimumScaleFactor = factor; });
}
View View::multilineTextAlignment(TextAlignment alignment) const {
    return prependEnvironment(*this, [alignment](Environment& e) { e.multilineTextAlignment = alignment; });
}
View View::textSelection(bool enabled) const {
    return prependEnvironment(*this, [enabled](Environment& e) { e.textSelectable = enabled; });
}
View View::tint(Color color) const {
    return prependEnvironment(*this, [color](Environment& e) { e.tint = color; });
}
View View::focused(Binding<bool> isFocused) const {
    return prependEnvironment(*this, [isFocused](Environment& e) { e.focus = isFocused; });
}
View View::onSubmit(std::function<void()> action) const {
    return prependEnvironment(*this, [action](Environment& e) { e.onSubmit = action; });
}
View View::onExitCommand(std::function<void()> action) const {
    return prependEnvironment(*this, [action](Environment& e) { e.onExitCommand = action; });
}

View View::accessibilityIdentifier(std::string identifier) const {
    node_->identifier = std::move(identifier);
    return *this;
}
View View::onAppear(std::function<void()> action) const {
    node_->onAppear = std::move(action);
    return *this;
}
View View::onDisappear(std::function<void()> action) const {
    node_->onDisappear = std::move(action);
    return *this;
}
View View::onTapGesture(int count, std::function<void()> action) const {
    node_->taps.push_back({count, std::move(action)});
    return *this;
}
View View::addChangeWatcher(std::function<void(std::shared_ptr<void>&)> watcher) const {
    node_->changeWatchers.push_back(std::move(watcher));
    return *this;
}
View View::sheet(Binding<bool> isPresented, std::function<View()> content) const {
    auto node = wrap(*this, std::make_shared<SheetNode>());
    node->isPresented = std::move(isPresented);
    node->content = std::move(content);
    return View(node);
}

}  // namespace ui
