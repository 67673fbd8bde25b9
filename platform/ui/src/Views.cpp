// The View functions: each builds the node of its kind (NodeKinds.hpp) or
// wraps a view in the node of a modifier; environment modifiers and actions
// are recorded on the view's own node.

#include <utility>

#include "NodeKinds.hpp"

namespace ui {

namespace {

template <class T>
std::shared_ptr<T> wrap(const View& view, std::shared_ptr<T> node) {
    node->children = {view.node()};
    return node;
}

}  // namespace

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
View View::embed(std::shared_ptr<Component> component) { return View(std::make_shared<ComponentNode>(std::move(component))); }
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
