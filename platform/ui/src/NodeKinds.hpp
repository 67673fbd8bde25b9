#pragma once
// The kinds of view node behind the View functions: stacks, leaves (text,
// spacer, divider), modifiers (padding, frames, transforms, layers, clips,
// opacity), controls, the geometry reader and the scroll view. The View
// functions (Views.cpp) build trees of them; Nodes.cpp lays them out, draws
// them and answers their input. The kinds the view host reaches into (shapes,
// sheets, text fields, components) are declared with the base in Node.hpp.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Node.hpp"

namespace ui {

class DynamicNode final : public Node {
public:
    explicit DynamicNode(std::function<View()> b) : body(std::move(b)) {}
    [[nodiscard]] std::string typeName() const override { return "Dynamic"; }
    void expand(Pass& pass) override;
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

    void updateChildren(Pass& pass) override;
    Size sizeThatFits(ProposedSize proposal, Pass& pass) override;
    double firstBaseline(Size size, Pass& pass) override;
    void place(Rect rect, const Transform& t, Pass& pass) override;

    Axis axis;
    HorizontalAlignment hAlign;
    VerticalAlignment vAlign;
    double spacing;

private:
    [[nodiscard]] double along(Size s) const { return axis == Axis::vertical ? s.height : s.width; }
    [[nodiscard]] double across(Size s) const { return axis == Axis::vertical ? s.width : s.height; }
    [[nodiscard]] ProposedSize make(std::optional<double> main, std::optional<double> cross) const;
    std::vector<Node*> visible();

    // Children in order of flexibility (least first) each get an equal share of
    // what is left; spacers, the most flexible, take the remainder.
    std::vector<Size> layoutSizes(const std::vector<Node*>& items, ProposedSize proposal, Pass& pass);
};

class ZStackNode final : public Node {
public:
    explicit ZStackNode(Alignment a) : alignment(a) {}
    [[nodiscard]] std::string typeName() const override { return "ZStack"; }
    Size sizeThatFits(ProposedSize proposal, Pass& pass) override;
    void place(Rect rect, const Transform& t, Pass& pass) override;
    Alignment alignment;
};

// ---------------------------------------------------------------- leaves

class TextNode final : public Node {
public:
    explicit TextNode(std::string s) : content(std::move(s)) {}
    [[nodiscard]] std::string typeName() const override { return "Text"; }
    [[nodiscard]] std::string text() const override { return content; }
    Size sizeThatFits(ProposedSize proposal, Pass&) override;
    double firstBaseline(Size size, Pass&) override;
    void place(Rect rect, const Transform& t, Pass& pass) override;
    void draw(cairo_t* cr, Pass& pass) override;
    void inspect(nlohmann::json& j) const override;
    [[nodiscard]] bool acceptsPointer() const override { return env.textSelectable || Node::acceptsPointer(); }
    [[nodiscard]] std::size_t indexAt(Point p) const;
    void pointerDown(Point p, InputContext& input) override;
    void pointerDragged(Point p, InputContext& input) override;
    std::string content;
    double fontScale = 1;
};

class SpacerNode final : public Node {
public:
    explicit SpacerNode(std::optional<double> m) : minLength(m.value_or(8)) {}
    [[nodiscard]] std::string typeName() const override { return "Spacer"; }
    [[nodiscard]] bool isSpacer() const override { return true; }
    Size sizeThatFits(ProposedSize p, Pass&) override;
    double minLength;
};

class DividerNode final : public Node {
public:
    [[nodiscard]] std::string typeName() const override { return "Divider"; }
    Size sizeThatFits(ProposedSize p, Pass&) override;
    void draw(cairo_t* cr, Pass&) override;
};

// ---------------------------------------------------------------- modifiers

class PaddingNode final : public Node {
public:
    explicit PaddingNode(EdgeInsets i) : insets(i) {}
    [[nodiscard]] std::string typeName() const override { return "Padding"; }
    Size sizeThatFits(ProposedSize p, Pass& pass) override;
    double firstBaseline(Size size, Pass& pass) override;
    void place(Rect rect, const Transform& t, Pass& pass) override;
    EdgeInsets insets;
};

class FrameNode final : public Node {
public:
    [[nodiscard]] std::string typeName() const override { return "Frame"; }

    // The proposal passed on in one dimension.
    static std::optional<double> inner(std::optional<double> p, std::optional<double> fixed, std::optional<double> mn,
                                       std::optional<double> ideal, std::optional<double> mx, bool flexible);
    // The size chosen in one dimension from the child's.
    static double outer(double child, std::optional<double> q, std::optional<double> fixed, std::optional<double> mn,
                        std::optional<double> mx, bool flexible);

    Size sizeThatFits(ProposedSize p, Pass& pass) override;
    void place(Rect rect, const Transform& t, Pass& pass) override;
    double firstBaseline(Size size, Pass& pass) override;
    void inspect(nlohmann::json& j) const override { j["flexible"] = flexible; }

    [[nodiscard]] Alignment alignment() const { return flexible ? limits.alignment : fixedAlignment; }
    [[nodiscard]] ProposedSize proposalFor(ProposedSize p) const;

    bool flexible = false;
    std::optional<double> width, height;
    Alignment fixedAlignment;
    FlexibleFrame limits;
};

class FixedSizeNode final : public Node {
public:
    [[nodiscard]] std::string typeName() const override { return "FixedSize"; }
    Size sizeThatFits(ProposedSize, Pass& pass) override { return children.front()->measure({}, pass); }
    void place(Rect rect, const Transform& t, Pass& pass) override;
};

// Offset and scale: drawing and hit-testing move, layout does not.
class TransformNode final : public Node {
public:
    [[nodiscard]] std::string typeName() const override { return isScale ? "ScaleEffect" : "Offset"; }
    void place(Rect rect, const Transform& t, Pass& pass) override;
    void draw(cairo_t* cr, Pass& pass) override;
    void inspect(nlohmann::json& j) const override;
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
    void place(Rect rect, const Transform& t, Pass& pass) override;
    bool isBackground;
    Alignment alignment;
};

class ClipNode final : public Node {
public:
    [[nodiscard]] std::string typeName() const override { return "ClipShape"; }
    [[nodiscard]] bool clipsChildren() const override { return true; }
    void draw(cairo_t* cr, Pass& pass) override;
    void place(Rect rect, const Transform& t, Pass& pass) override;
    Shape shape;
};

class OpacityNode final : public Node {
public:
    [[nodiscard]] std::string typeName() const override { return "Opacity"; }
    void place(Rect rect, const Transform& t, Pass& pass) override;
    void draw(cairo_t* cr, Pass& pass) override;
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
    [[nodiscard]] double fraction() const;
    void draw(cairo_t* cr, Pass&) override;
    void setFrom(Point p);
    void pointerDown(Point p, InputContext&) override;
    void pointerDragged(Point p, InputContext&) override { setFrom(p); }
    void pointerUp(Point p, bool, InputContext&) override;
    void inspect(nlohmann::json& j) const override;
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
    Size sizeThatFits(ProposedSize p, Pass& pass) override;
    void place(Rect rect, const Transform& t, Pass& pass) override;
    void draw(cairo_t* cr, Pass& pass) override;
    void pointerUp(Point, bool inside, InputContext&) override;
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
    Size sizeThatFits(ProposedSize p, Pass& pass) override;
    void place(Rect rect, const Transform& t, Pass& pass) override;
    void draw(cairo_t* cr, Pass& pass) override;
    void pointerUp(Point, bool inside, InputContext&) override;
    std::function<void()> action;
};

class GeometryReaderNode final : public Node {
public:
    [[nodiscard]] std::string typeName() const override { return "GeometryReader"; }
    void updateChildren(Pass&) override {}  // content is built when the size is known
    Size sizeThatFits(ProposedSize p, Pass&) override { return {p.width.value_or(10), p.height.value_or(10)}; }
    void place(Rect rect, const Transform& t, Pass& pass) override;
    std::function<View(Size)> builder;
    std::shared_ptr<ObservationScope> scope;
};

class ScrollViewNode final : public Node {
public:
    [[nodiscard]] std::string typeName() const override { return "ScrollView"; }
    [[nodiscard]] bool clipsChildren() const override { return true; }
    Size sizeThatFits(ProposedSize p, Pass& pass) override;
    void place(Rect rect, const Transform& t, Pass& pass) override;
    void draw(cairo_t* cr, Pass& pass) override;
    bool scroll(double dy, InputContext& input) override;
    void inspect(nlohmann::json& j) const override { j["contentHeight"] = contentHeight; }
    bool showsIndicators = true;
    double contentHeight = 0;
};

}  // namespace ui
