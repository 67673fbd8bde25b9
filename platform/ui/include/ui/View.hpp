#pragma once
// Declarative views. A View is a cheap handle to one node of a view tree; the
// free functions below create views and the member functions apply modifiers,
// each returning the modified view, in the order written:
//
//     ui::VStack(ui::HorizontalAlignment::center, 2, {
//         ui::Text("DRIVE").font(ui::Font::system(11, ui::FontWeight::black, ui::FontDesign::monospaced)),
//         ui::Slider(value, 0, 100, onEditing).accessibilityIdentifier("Drive").frame(240, {}),
//     }).padding(ui::Edge::horizontal, 10)
//
// A Component is a view object with state: its body is evaluated inside an
// observation scope and evaluated again when a value it read changes. Views are
// built, laid out, drawn and fed input by a ViewHost (ViewHost.hpp).
// Main thread only.

#include <concepts>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "ui/Geometry.hpp"
#include "ui/State.hpp"

namespace ui {

class Node;
class Component;

enum class TextFieldStyle { plain };
enum class ToggleStyle { switchToggle };

// The sizes of a flexible frame; an absent value leaves that limit open.
struct FlexibleFrame {
    std::optional<double> minWidth{}, idealWidth{}, maxWidth{};
    std::optional<double> minHeight{}, idealHeight{}, maxHeight{};
    Alignment alignment{};
};

class View {
public:
    View();  // an empty view: takes no space, skipped by stacks
    View(Color color);  // NOLINT(google-explicit-constructor): a colour fills what it is offered
    explicit View(std::shared_ptr<Node> node);
    template <class C>
        requires std::derived_from<C, Component>
    View(std::shared_ptr<C> component)  // NOLINT(google-explicit-constructor)
        : View(embed(std::static_pointer_cast<Component>(std::move(component)))) {}

    // Layout modifiers.
    [[nodiscard]] View padding(double length = 16) const;
    [[nodiscard]] View padding(Edge edges, double length = 16) const;
    [[nodiscard]] View padding(EdgeInsets insets) const;
    [[nodiscard]] View frame(std::optional<double> width, std::optional<double> height, Alignment alignment = {}) const;
    [[nodiscard]] View frame(const FlexibleFrame& limits) const;
    [[nodiscard]] View offset(double x, double y) const;
    // Draws (and hit-tests) the view scaled about its centre; layout is unchanged.
    [[nodiscard]] View scaleEffect(double scale) const;
    [[nodiscard]] View background(View content, Alignment alignment = {}) const;
    [[nodiscard]] View background(Shape shape, Paint paint) const;
    [[nodiscard]] View overlay(View content, Alignment alignment = {}) const;
    // A shape stroked along the inside of the view's bounds.
    [[nodiscard]] View border(Shape shape, Paint paint, double lineWidth = 1) const;
    [[nodiscard]] View clipShape(Shape shape) const;
    [[nodiscard]] View opacity(double value) const;
    [[nodiscard]] View ignoresSafeArea() const { return *this; }
    [[nodiscard]] View fixedSize() const;

    // Shape views only: how the shape is drawn (default: filled with the foreground style).
    [[nodiscard]] View fill(Paint paint) const;
    [[nodiscard]] View stroke(Paint paint, double lineWidth = 1) const;       // centred on the outline
    [[nodiscard]] View strokeBorder(Paint paint, double lineWidth = 1) const; // inside the outline

    // Environment modifiers: apply to this view and everything inside it.
    [[nodiscard]] View font(Font font) const;
    [[nodiscard]] View foregroundStyle(Paint paint) const;
    [[nodiscard]] View foregroundColor(Color color) const { return foregroundStyle(color); }
    [[nodiscard]] View tracking(double points) const;
    [[nodiscard]] View lineLimit(std::optional<int> lines) const;
    [[nodiscard]] View minimumScaleFactor(double factor) const;
    [[nodiscard]] View multilineTextAlignment(TextAlignment alignment) const;
    [[nodiscard]] View textSelection(bool enabled) const;
    [[nodiscard]] View tint(Color color) const;
    [[nodiscard]] View accentColor(Color color) const { return tint(color); }
    // Text fields inside: keyboard focus bound to `isFocused` (two ways).
    [[nodiscard]] View focused(Binding<bool> isFocused) const;
    [[nodiscard]] View onSubmit(std::function<void()> action) const;
    [[nodiscard]] View onExitCommand(std::function<void()> action) const;
    // The only styles there are: borderless text fields and switch toggles.
    [[nodiscard]] View textFieldStyle(TextFieldStyle) const { return *this; }
    [[nodiscard]] View toggleStyle(ToggleStyle) const { return *this; }

    // Attributes of this view.
    [[nodiscard]] View accessibilityIdentifier(std::string identifier) const;
    // Runs when the view enters the tree (before it is first drawn) / leaves it.
    [[nodiscard]] View onAppear(std::function<void()> action) const;
    [[nodiscard]] View onDisappear(std::function<void()> action) const;
    // Runs on the `count`-th click of a series (2: double click) on this view.
    [[nodiscard]] View onTapGesture(int count, std::function<void()> action) const;
    [[nodiscard]] View onTapGesture(std::function<void()> action) const { return onTapGesture(1, std::move(action)); }
    // Runs `action` with the new value after a layout in which `value()` gives
    // something different from the layout before (not for the first value).
    template <class T>
    [[nodiscard]] View onChange(std::function<T()> value, std::type_identity_t<std::function<void(const T&)>> action) const {
        return addChangeWatcher([value = std::move(value), action = std::move(action)](std::shared_ptr<void>& last) {
            T current = value();
            if (!last) {
                last = std::make_shared<T>(std::move(current));
            } else if (!(*std::static_pointer_cast<T>(last) == current)) {
                *std::static_pointer_cast<T>(last) = current;
                action(current);
            }
        });
    }
    template <class T>
    [[nodiscard]] View onChange(const State<T>& state, std::type_identity_t<std::function<void(const T&)>> action) const {
        return onChange<T>([state] { return state.get(); }, std::move(action));
    }
    // While `isPresented` is true, `content` is shown as a modal sheet over the window.
    [[nodiscard]] View sheet(Binding<bool> isPresented, std::function<View()> content) const;

    [[nodiscard]] const std::shared_ptr<Node>& node() const { return node_; }

private:
    static View embed(std::shared_ptr<Component> component);
    [[nodiscard]] View addChangeWatcher(std::function<void(std::shared_ptr<void>&)> watcher) const;
    std::shared_ptr<Node> node_;
};

// A view object with state and a body. Keep state in members (State<T>,
// ObservableValue<T>, bindings); the body is evaluated again after a value it
// read changes. A component sits in one place of one tree at a time.
class Component : public std::enable_shared_from_this<Component> {
public:
    Component() = default;
    Component(const Component&) = delete;
    Component& operator=(const Component&) = delete;
    virtual ~Component() = default;

    virtual View body() = 0;
    // The type name shown in inspection (default: the C++ class name).
    [[nodiscard]] virtual std::string typeName() const;
    // Evaluates the body again before the next layout.
    void invalidate();

protected:
    // A child component that survives evaluations of this body: created with
    // `args` the first time `key` is asked for, the same object afterwards.
    template <class T, class... Args>
    std::shared_ptr<T> keep(const std::string& key, Args&&... args) {
        auto& slot = kept_[key];
        auto existing = std::dynamic_pointer_cast<T>(slot);
        if (!existing) {
            existing = std::make_shared<T>(std::forward<Args>(args)...);
            slot = existing;
        }
        return existing;
    }

private:
    friend class ComponentNode;
    std::map<std::string, std::shared_ptr<Component>> kept_;
    std::shared_ptr<ObservationScope> scope_;
    std::shared_ptr<Node> body_;
    bool dirty_ = true;
    std::function<void()> requestUpdate_;
};

// Views.
[[nodiscard]] View EmptyView();
[[nodiscard]] View VStack(std::vector<View> children);
[[nodiscard]] View VStack(HorizontalAlignment alignment, std::optional<double> spacing, std::vector<View> children);
[[nodiscard]] View HStack(std::vector<View> children);
[[nodiscard]] View HStack(VerticalAlignment alignment, std::optional<double> spacing, std::vector<View> children);
[[nodiscard]] View ZStack(std::vector<View> children);
[[nodiscard]] View ZStack(Alignment alignment, std::vector<View> children);
[[nodiscard]] View Text(std::string text);
[[nodiscard]] View Rectangle();
[[nodiscard]] View RoundedRectangle(double cornerRadius);
[[nodiscard]] View Capsule();
[[nodiscard]] View Circle();
[[nodiscard]] View ShapeView(Shape shape);
[[nodiscard]] View Spacer(std::optional<double> minLength = {});
[[nodiscard]] View Divider();
// A horizontal slider over lower ... upper. `onEditingChanged` gets true when a
// drag starts and false when it ends, once each.
[[nodiscard]] View Slider(Binding<double> value, double lower, double upper,
                          std::function<void(bool)> onEditingChanged = {});
// A switch-style toggle with a text label.
[[nodiscard]] View Toggle(std::string label, Binding<bool> isOn);
[[nodiscard]] View Button(std::string title, std::function<void()> action);
[[nodiscard]] View Button(View label, std::function<void()> action);
// A single-line, borderless text field.
[[nodiscard]] View TextField(std::string placeholder, Binding<std::string> text);
// Content built from the size offered to the reader; the reader takes all of it.
[[nodiscard]] View GeometryReader(std::function<View(Size)> content);
// Vertical scrolling content with a scroll indicator.
[[nodiscard]] View ScrollView(View content, bool showsIndicators = true);
// A body evaluated with observation tracking, like a component without state.
[[nodiscard]] View Dynamic(std::function<View()> body);

}  // namespace ui
