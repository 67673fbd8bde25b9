#pragma once
// The retained tree behind View handles: one Node per view and modifier.
// Every frame runs three passes over it: update (expand component bodies that
// changed, resolve the environment and the identity path of each node), layout
// (a parent proposes a size, the child picks its own; then the parent places
// it) and draw. Input and inspection read the frames the layout left behind.

#include <cairo.h>

#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "ui/View.hpp"
#include "ui/ViewHost.hpp"

namespace ui {

enum class Axis { none, horizontal, vertical };

// Values inherited down the tree; environment modifiers change them for a subtree.
struct Environment {
    Font font = Font::system(13);
    Paint foreground = Color::primary();
    double tracking = 0;
    std::optional<int> lineLimit;
    double minimumScaleFactor = 1;
    TextAlignment multilineTextAlignment = TextAlignment::leading;
    bool textSelectable = false;
    Color tint = Color::blue();
    Axis stackAxis = Axis::none;
    std::function<void()> onSubmit;
    std::function<void()> onExitCommand;
    Binding<bool> focus;
};

// Layout space to window points: uniform scale, then translation.
struct Transform {
    double scale = 1, tx = 0, ty = 0;
    [[nodiscard]] Point apply(Point p) const { return {p.x * scale + tx, p.y * scale + ty}; }
    [[nodiscard]] Rect apply(Rect r) const { return {r.x * scale + tx, r.y * scale + ty, r.width * scale, r.height * scale}; }
    [[nodiscard]] Point invert(Point p) const { return {(p.x - tx) / scale, (p.y - ty) / scale}; }
};

// Interaction state the host keeps across frames, keyed by node path.
struct HostState {
    std::string focusedPath;           // the text field with keyboard focus
    std::size_t caret = 0, anchor = 0; // its selection (byte offsets; equal: a caret)
    std::map<std::string, double> scrollOffsets;
    std::string selectionPath;          // selectable text with a selection
    std::size_t selectionAnchor = 0, selectionCaret = 0;
    std::string pressedPath;
};

class SheetNode;

// Shared by the passes of one frame.
struct Pass {
    HostState* state = nullptr;
    std::vector<SheetNode*> sheets;  // presented sheets, in tree order
    unsigned generation = 0;  // layout caches older than this are stale
    Size windowSize;
    std::function<void()> requestUpdate;
};

// What an input handler may ask of its host.
struct InputContext {
    HostState* state = nullptr;
    int clickCount = 1;
    bool shift = false;
};

class Node : public std::enable_shared_from_this<Node> {
public:
    Node() = default;
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    virtual ~Node() = default;

    [[nodiscard]] virtual std::string typeName() const = 0;

    // Set by modifiers.
    std::vector<std::shared_ptr<Node>> children;
    std::string identifier;
    std::vector<std::function<void(Environment&)>> environmentChanges;
    struct Tap {
        int count;
        std::function<void()> action;
    };
    std::vector<Tap> taps;
    std::function<void()> onAppear, onDisappear;
    // Each compares a value with the one kept in `last` (per node path, by the host).
    std::vector<std::function<void(std::shared_ptr<void>& last)>> changeWatchers;

    // Results of the current frame.
    Environment env;
    std::string path;
    Rect frame;           // in the layout space of `transform`
    Transform transform;  // layout space to window points
    [[nodiscard]] Rect windowFrame() const { return transform.apply(frame); }

    // Update pass: sets env and path, expands bodies, recurses.
    void update(Pass& pass, const Environment& parent, const std::string& parentPath, std::size_t index);
    virtual void expand(Pass&) {}
    virtual void updateChildren(Pass& pass);

    // Layout pass.
    Size measure(ProposedSize proposal, Pass& pass);
    virtual Size sizeThatFits(ProposedSize proposal, Pass& pass);
    virtual void place(Rect rect, const Transform& t, Pass& pass);
    // Offset of the first text baseline from the top, for a view of `size`.
    virtual double firstBaseline(Size size, Pass& pass);
    [[nodiscard]] virtual bool isEmpty() const { return false; }
    [[nodiscard]] virtual bool isSpacer() const { return false; }

    // Draw pass; the context's user space is this node's layout space, in points.
    virtual void draw(cairo_t* cr, Pass& pass);
    void drawChildren(cairo_t* cr, Pass& pass);

    // Input; points are in this node's layout space.
    [[nodiscard]] virtual bool acceptsPointer() const { return !taps.empty(); }
    [[nodiscard]] virtual bool clipsChildren() const { return false; }
    [[nodiscard]] virtual std::vector<Node*> hitChildren();
    virtual void pointerDown(Point, InputContext&) {}
    virtual void pointerDragged(Point, InputContext&) {}
    virtual void pointerUp(Point, bool /*inside*/, InputContext&) {}
    virtual bool scroll(double, InputContext&) { return false; }
    // Keys for a view that forwards them (an embedded controller's view).
    [[nodiscard]] virtual bool takesKeys() const { return false; }
    virtual bool keyDown(const KeyEvent&) { return false; }
    virtual void resignFocus() {}

    // Inspection.
    [[nodiscard]] virtual std::string text() const { return {}; }
    virtual void inspect(nlohmann::json&) const {}
    virtual void inspectChildren(nlohmann::json&) const {}

private:
    struct CacheEntry {
        ProposedSize proposal;
        Size size;
    };
    std::vector<CacheEntry> cache_;
    unsigned cacheGeneration_ = 0;
};

// Helpers shared by the node implementations.
Size childSize(Node& child, ProposedSize proposal, Pass& pass);
double alignOffset(HorizontalAlignment a, double container, double content);
double alignOffset(VerticalAlignment a, double container, double content);
void setSourcePaint(cairo_t* cr, const Paint& paint, Rect bounds);
void shapePath(cairo_t* cr, const Shape& shape, Rect rect);

class ComponentNode final : public Node {
public:
    explicit ComponentNode(std::shared_ptr<Component> c) : component(std::move(c)) {}
    [[nodiscard]] std::string typeName() const override;
    void expand(Pass& pass) override;
    std::shared_ptr<Component> component;
};

// Shape node (rectangles and friends); exported for background/border helpers.
class ShapeNode final : public Node {
public:
    explicit ShapeNode(Shape s) : shape(s) {}
    [[nodiscard]] std::string typeName() const override;
    Size sizeThatFits(ProposedSize proposal, Pass& pass) override;
    void draw(cairo_t* cr, Pass& pass) override;
    enum class Style { fill, stroke, strokeBorder };
    Shape shape;
    Style style = Style::fill;
    std::optional<Paint> paint;  // absent: the foreground style
    double lineWidth = 1;
    bool isColor = false;  // a Color used as a view
};

class SheetNode final : public Node {
public:
    [[nodiscard]] std::string typeName() const override { return "Sheet"; }
    void expand(Pass& pass) override;
    void updateChildren(Pass& pass) override;
    [[nodiscard]] std::vector<Node*> hitChildren() override { return {children.front().get()}; }
    void draw(cairo_t* cr, Pass& pass) override;
    Binding<bool> isPresented;
    std::function<View()> content;
    std::shared_ptr<Node> presented;  // children.back() while presented
};

class TextFieldNode final : public Node {
public:
    [[nodiscard]] std::string typeName() const override { return "TextField"; }
    Size sizeThatFits(ProposedSize proposal, Pass& pass) override;
    void draw(cairo_t* cr, Pass& pass) override;
    [[nodiscard]] bool acceptsPointer() const override { return true; }
    [[nodiscard]] std::string text() const override { return binding.get(); }
    void inspect(nlohmann::json& j) const override;
    // Byte offset of the character boundary nearest to a point in layout space.
    [[nodiscard]] std::size_t indexAt(Point p) const;
    std::string placeholder;
    Binding<std::string> binding;

private:
    [[nodiscard]] double textOriginX(double textWidth) const;
};

}  // namespace ui
