#include "ui/ViewHost.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <unistd.h>

#include "Node.hpp"
#include "TextEngine.hpp"
#include "X11DrawTarget.hpp"

namespace ui {

// ---------------------------------------------------------------- Image

Image::Image(int widthPixels, int heightPixels)
    : surface_(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, std::max(1, widthPixels), std::max(1, heightPixels))) {}
Image::~Image() {
    if (surface_) cairo_surface_destroy(surface_);
}
Image::Image(Image&& other) noexcept : surface_(std::exchange(other.surface_, nullptr)) {}
Image& Image::operator=(Image&& other) noexcept {
    if (this != &other) {
        if (surface_) cairo_surface_destroy(surface_);
        surface_ = std::exchange(other.surface_, nullptr);
    }
    return *this;
}
int Image::width() const { return cairo_image_surface_get_width(surface_); }
int Image::height() const { return cairo_image_surface_get_height(surface_); }

Color Image::pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width() || y >= height()) return Color::clear();
    cairo_surface_flush(surface_);
    const unsigned char* row = cairo_image_surface_get_data(surface_) + std::ptrdiff_t(y) * cairo_image_surface_get_stride(surface_);
    std::uint32_t argb = 0;
    std::memcpy(&argb, row + std::ptrdiff_t(x) * 4, 4);
    const double a = ((argb >> 24) & 0xFF) / 255.0;
    if (a == 0) return Color::clear();
    return Color{((argb >> 16) & 0xFF) / 255.0 / a, ((argb >> 8) & 0xFF) / 255.0 / a, (argb & 0xFF) / 255.0 / a, a};
}

bool Image::writePNG(const std::string& path, std::string* error) const {
    const std::string temporary = path + ".tmp-" + std::to_string(::getpid());
    const cairo_status_t status = cairo_surface_write_to_png(surface_, temporary.c_str());
    if (status != CAIRO_STATUS_SUCCESS) {
        std::remove(temporary.c_str());
        if (error) *error = std::string("cannot write ") + path + ": " + cairo_status_to_string(status);
        return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        if (error) *error = "cannot rename the image to " + path;
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- host

namespace {

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

constexpr double doubleClickInterval = 0.5;  // seconds
constexpr double doubleClickDistance = 4;    // points

std::size_t previousBoundary(const std::string& s, std::size_t i) {
    if (i == 0) return 0;
    --i;
    while (i > 0 && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) --i;
    return i;
}

std::size_t nextBoundary(const std::string& s, std::size_t i) {
    if (i >= s.size()) return s.size();
    ++i;
    while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
    return i;
}

double rounded(double v) { return std::round(v * 1000) / 1000; }

}  // namespace

class ViewHost::Impl {
public:
    std::shared_ptr<Node> root;
    Size size;
    HostState state;
    bool dirty = true;
    unsigned generation = 0;
    unsigned laidOutFonts = 0;  // the font generation the last layout measured under
    std::function<void()> redraw;
    std::shared_ptr<Impl*> self = std::make_shared<Impl*>(this);
    std::vector<SheetNode*> sheets;
    std::map<std::string, Node*> byPath;
    std::map<std::string, std::function<void()>> appeared;  // path -> disappear action
    std::map<std::string, std::shared_ptr<void>> watchedValues;  // path#index -> last value
    std::shared_ptr<ObservationScope> watchScope;
    Binding<bool> focusBinding;
    std::shared_ptr<ObservationScope> focusScope;
  // reads of focus bindings
    std::string capturePath;
    std::string keyForwardPath;  // an embedded view that takes the keys
    int clickCount = 0;
    double lastClickTime = -1e9;
    Point lastClickPoint;

    void requestUpdate() {
        dirty = true;
        if (redraw) redraw();
    }

    std::function<void()> updateRequester() {
        std::weak_ptr<Impl*> weak = self;
        return [weak] {
            if (auto strong = weak.lock()) (*strong)->requestUpdate();
        };
    }

    void layoutIfNeeded() {
        // A font registered since (an appear action of this very layout, too)
        // changes how text measures.
        for (int round = 0; round < 16 && (dirty || laidOutFonts != fontGeneration()); ++round) {
            dirty = false;
            laidOutFonts = fontGeneration();
            runPasses();
            afterLayout();
        }
    }

    void runPasses() {
        Pass pass;
        pass.state = &state;
        pass.generation = ++generation;
        pass.windowSize = size;
        pass.requestUpdate = updateRequester();
        root->update(pass, Environment{}, "", 0);
        const Size s = root->measure({size.width, size.height}, pass);
        root->place({(size.width - s.width) / 2, (size.height - s.height) / 2, s.width, s.height}, Transform{}, pass);
        sheets = pass.sheets;
        for (SheetNode* sheet : sheets) {
            Node& content = *sheet->presented;
            Size ideal = content.measure({}, pass);
            if (ideal.width > size.width || ideal.height > size.height)
                ideal = content.measure({std::min(ideal.width, size.width), std::min(ideal.height, size.height)}, pass);
            content.place({(size.width - ideal.width) / 2, std::max(0.0, (size.height - ideal.height) / 2), ideal.width, ideal.height},
                          Transform{}, pass);
        }
    }

    void collect(Node* node, std::vector<TextFieldNode*>& fields, std::vector<Node*>& appearing) {
        if (node->isEmpty()) return;
        byPath[node->path] = node;
        if (auto* field = dynamic_cast<TextFieldNode*>(node)) fields.push_back(field);
        if (node->onAppear || node->onDisappear || !node->changeWatchers.empty()) appearing.push_back(node);
        for (auto& child : node->children) collect(child.get(), fields, appearing);
    }

    void afterLayout() {
        byPath.clear();
        std::vector<TextFieldNode*> fields;
        std::vector<Node*> appearing;
        collect(root.get(), fields, appearing);

        // Appear and disappear, by identity path.
        std::map<std::string, std::function<void()>> current;
        std::vector<std::function<void()>> actions;
        for (Node* node : appearing) {
            current[node->path] = node->onDisappear;
            if (!appeared.contains(node->path) && node->onAppear) actions.push_back(node->onAppear);
        }
        for (auto& [path, onDisappear] : appeared)
            if (!current.contains(path) && onDisappear) actions.push_back(onDisappear);
        appeared = std::move(current);

        // Keyboard focus follows the bindings, and a field that went away loses it.
        focusScope = std::make_shared<ObservationScope>(updateRequester());
        syncFocus(fields);
        for (auto& action : actions) action();
        runChangeWatchers(appearing);
    }

    // Values are read under a scope of their own so that a change schedules a
    // layout, after which the watcher compares and acts.
    void runChangeWatchers(const std::vector<Node*>& nodes) {
        watchScope = std::make_shared<ObservationScope>(updateRequester());
        std::map<std::string, std::shared_ptr<void>> seen;
        std::vector<std::pair<std::string, std::function<void(std::shared_ptr<void>&)>>> watchers;
        for (Node* node : nodes)
            for (std::size_t i = 0; i < node->changeWatchers.size(); ++i)
                watchers.emplace_back(node->path + "#" + std::to_string(i), node->changeWatchers[i]);
        for (auto& [key, watcher] : watchers) {
            auto& slot = seen[key];
            if (auto it = watchedValues.find(key); it != watchedValues.end()) slot = it->second;
            TrackingGuard tracking(watchScope);
            watcher(slot);
        }
        watchedValues = std::move(seen);
    }

    void syncFocus(const std::vector<TextFieldNode*>& fields) {
        TrackingGuard tracking(focusScope);
        if (!state.focusedPath.empty()) {
            auto* focused = findField(state.focusedPath);
            if (!focused) {
                Binding<bool> binding = std::exchange(focusBinding, {});
                state.focusedPath.clear();
                if (binding && binding.get()) binding.set(false);
            } else if (focused->env.focus) {
                focusBinding = focused->env.focus;
                if (!focusBinding.get()) {
                    state.focusedPath.clear();
                    focusBinding = {};
                }
            }
        }
        for (TextFieldNode* field : fields) {
            if (field->env.focus && field->env.focus.get() && state.focusedPath != field->path) {
                focus(field, true);
                break;
            }
        }
    }

    TextFieldNode* findField(const std::string& path) {
        auto it = byPath.find(path);
        return it == byPath.end() ? nullptr : dynamic_cast<TextFieldNode*>(it->second);
    }

    void focus(TextFieldNode* field, bool selectAll) {
        if (state.focusedPath == field->path) return;
        unfocus();
        state.focusedPath = field->path;
        const std::size_t length = field->binding.get().size();
        state.caret = length;
        state.anchor = selectAll ? 0 : length;
        focusBinding = field->env.focus;
        if (focusBinding && !focusBinding.get()) focusBinding.set(true);
        requestUpdate();
    }

    void unfocus() {
        if (state.focusedPath.empty()) return;
        state.focusedPath.clear();
        Binding<bool> binding = std::exchange(focusBinding, {});
        if (binding && binding.get()) binding.set(false);
        requestUpdate();
    }

    Node* hitTest(Node* node, Point p) {
        if (node->isEmpty()) return nullptr;
        if (node->clipsChildren() && !node->windowFrame().contains(p)) return nullptr;
        auto children = node->hitChildren();
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            if (Node* hit = hitTest(*it, p)) return hit;
        if (node->acceptsPointer() && node->windowFrame().contains(p)) return node;
        return nullptr;
    }

    Node* hitTest(Point p) {
        // A presented sheet is modal: only its content takes input.
        if (!sheets.empty()) return hitTest(sheets.back()->presented.get(), p);
        return hitTest(root.get(), p);
    }

    Node* captured() {
        auto it = byPath.find(capturePath);
        return capturePath.empty() || it == byPath.end() ? nullptr : it->second;
    }

    // Keys go to `node` (an embedded view) from now on, or back to this host's fields.
    void forwardKeys(Node* node) {
        const std::string path = node ? node->path : "";
        if (path == keyForwardPath) return;
        auto it = byPath.find(keyForwardPath);
        if (!keyForwardPath.empty() && it != byPath.end()) it->second->resignFocus();
        keyForwardPath = path;
    }

    InputContext input() { return InputContext{&state, clickCount, false}; }

    nlohmann::json inspect(const Node& node, const Transform& window) const {
        nlohmann::json j;
        j["type"] = node.typeName();
        if (std::string text = node.text(); !text.empty()) j["text"] = text;
        if (!node.identifier.empty()) j["identifier"] = node.identifier;
        const Rect f = window.apply(node.windowFrame());
        j["frame"] = {{"x", rounded(f.x)}, {"y", rounded(f.y)}, {"width", rounded(f.width)}, {"height", rounded(f.height)}};
        node.inspect(j);
        nlohmann::json children = nlohmann::json::array();
        for (auto& child : node.children)
            if (!child->isEmpty()) children.push_back(inspect(*child, window));
        node.inspectChildren(children);
        j["children"] = std::move(children);
        return j;
    }

    static void copy(std::string text) { Pasteboard::general().setString(std::move(text)); }

    // Keys for selectable text: select all and copy.
    void selectionKey(const KeyEvent& event) {
        auto it = byPath.find(state.selectionPath);
        if (state.selectionPath.empty() || it == byPath.end()) return;
        const std::string text = it->second->text();
        if (event.key == Key::selectAll) {
            state.selectionAnchor = 0;
            state.selectionCaret = text.size();
            requestUpdate();
        } else if (event.key == Key::copy) {
            const auto [from, to] = std::minmax(std::min(state.selectionAnchor, text.size()), std::min(state.selectionCaret, text.size()));
            copy(text.substr(from, to - from));
        }
    }

    void editText(const KeyEvent& event) {
        TextFieldNode* field = findField(state.focusedPath);
        if (!field) return selectionKey(event);
        std::string text = field->binding.get();
        std::size_t caret = std::min(state.caret, text.size()), anchor = std::min(state.anchor, text.size());
        const std::size_t from = std::min(caret, anchor), to = std::max(caret, anchor);
        bool changed = false;
        auto replace = [&](std::size_t a, std::size_t b, const std::string& with) {
            text.replace(a, b - a, with);
            caret = anchor = a + with.size();
            changed = true;
        };
        switch (event.key) {
            case Key::character: replace(from, to, event.text); break;
            case Key::backspace:
                if (from != to) replace(from, to, "");
                else if (caret > 0) replace(previousBoundary(text, caret), caret, "");
                break;
            case Key::deleteForward:
                if (from != to) replace(from, to, "");
                else if (caret < text.size()) replace(caret, nextBoundary(text, caret), "");
                break;
            case Key::left:
                caret = (from != to && !event.shift) ? from : previousBoundary(text, caret);
                if (!event.shift) anchor = caret;
                break;
            case Key::right:
                caret = (from != to && !event.shift) ? to : nextBoundary(text, caret);
                if (!event.shift) anchor = caret;
                break;
            case Key::home:
                caret = 0;
                if (!event.shift) anchor = caret;
                break;
            case Key::end:
                caret = text.size();
                if (!event.shift) anchor = caret;
                break;
            case Key::selectAll:
                anchor = 0;
                caret = text.size();
                break;
            case Key::returnKey:
                if (field->env.onSubmit) field->env.onSubmit();
                return requestUpdate();
            case Key::escape:
                if (field->env.onExitCommand) field->env.onExitCommand();
                return requestUpdate();
            case Key::copy: copy(text.substr(from, to - from)); return;
            case Key::tab: return;
        }
        state.caret = caret;
        state.anchor = anchor;
        if (changed) field->binding.set(text);
        requestUpdate();
    }
};

ViewHost::ViewHost(View root, Size size) : impl_(std::make_unique<Impl>()) {
    impl_->root = root.node();
    impl_->size = size;
}
ViewHost::~ViewHost() = default;

void ViewHost::setRootView(View root) {
    impl_->root = root.node();
    impl_->requestUpdate();
}
void ViewHost::setSize(Size size) {
    if (size == impl_->size) return;
    impl_->size = size;
    impl_->requestUpdate();
}
Size ViewHost::size() const { return impl_->size; }

Size ViewHost::idealSize() {
    layoutIfNeeded();
    Pass pass;
    pass.state = &impl_->state;
    pass.generation = ++impl_->generation;
    pass.requestUpdate = impl_->updateRequester();
    return impl_->root->measure({}, pass);
}

void ViewHost::layoutIfNeeded() { impl_->layoutIfNeeded(); }
bool ViewHost::needsUpdate() const { return impl_->dirty || impl_->laidOutFonts != fontGeneration(); }
void ViewHost::setRedrawHandler(std::function<void()> handler) { impl_->redraw = std::move(handler); }

void ViewHost::draw(cairo_t* cr) {
    layoutIfNeeded();
    Pass pass;
    pass.state = &impl_->state;
    pass.generation = impl_->generation;
    pass.requestUpdate = impl_->updateRequester();
    // Native windows placed beneath a sheet would stand over it and take its input.
    detail::X11DrawTarget* const target = detail::currentX11DrawTarget();
    const bool covered = target != nullptr && target->covered;
    if (target != nullptr && !impl_->sheets.empty()) target->covered = true;
    impl_->root->draw(cr, pass);
    if (target != nullptr) target->covered = covered;
    for (SheetNode* sheet : impl_->sheets) {
        cairo_save(cr);
        cairo_rectangle(cr, 0, 0, impl_->size.width, impl_->size.height);
        cairo_set_source_rgba(cr, 0, 0, 0, 0.25);
        cairo_fill(cr);
        const Rect f = sheet->presented->frame;
        shapePath(cr, Shape{ShapeKind::roundedRectangle, 10}, f);
        cairo_set_source_rgba(cr, 0.94, 0.94, 0.94, 1);
        cairo_fill_preserve(cr);
        cairo_set_source_rgba(cr, 0, 0, 0, 0.3);
        cairo_set_line_width(cr, 1);
        cairo_stroke(cr);
        cairo_restore(cr);
        sheet->presented->draw(cr, pass);
    }
}

Image ViewHost::render(double scale, Color background) {
    layoutIfNeeded();
    Image image(int(std::ceil(impl_->size.width * scale)), int(std::ceil(impl_->size.height * scale)));
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

nlohmann::json ViewHost::inspect() {
    layoutIfNeeded();
    return impl_->inspect(*impl_->root, Transform{});
}

nlohmann::json ViewHost::inspect(Point origin, double scale) {
    layoutIfNeeded();
    return impl_->inspect(*impl_->root, Transform{scale, origin.x, origin.y});
}

void ViewHost::resignKeyboardFocus() {
    impl_->unfocus();
    impl_->forwardKeys(nullptr);
}

std::optional<Rect> ViewHost::frameOf(const std::string& key) {
    layoutIfNeeded();
    std::optional<Rect> found;
    std::function<void(Node&)> visit = [&](Node& node) {
        if (found || node.isEmpty()) return;
        if (node.identifier == key || node.text() == key) {
            found = node.windowFrame();
            return;
        }
        for (auto& child : node.children) visit(*child);
    };
    visit(*impl_->root);
    return found;
}

void ViewHost::pointerDown(Point p, std::optional<double> timeSeconds) {
    layoutIfNeeded();
    Impl& h = *impl_;
    const double t = timeSeconds.value_or(now());
    const bool near = std::hypot(p.x - h.lastClickPoint.x, p.y - h.lastClickPoint.y) <= doubleClickDistance;
    h.clickCount = (t - h.lastClickTime <= doubleClickInterval && near) ? h.clickCount + 1 : 1;
    h.lastClickTime = t;
    h.lastClickPoint = p;

    Node* hit = h.hitTest(p);
    h.capturePath = hit ? hit->path : "";
    h.state.selectionPath.clear();
    h.state.pressedPath = h.capturePath;
    if (auto* field = dynamic_cast<TextFieldNode*>(hit)) {
        h.focus(field, false);
        const std::size_t index = field->indexAt(field->transform.invert(p));
        h.state.caret = index;
        h.state.anchor = h.clickCount >= 2 ? 0 : index;
        if (h.clickCount >= 2) h.state.caret = field->binding.get().size();
    } else {
        h.unfocus();
        h.forwardKeys(hit && hit->takesKeys() ? hit : nullptr);
        if (hit) {
            InputContext context = h.input();
            hit->pointerDown(hit->transform.invert(p), context);
        }
    }
    h.requestUpdate();
}

void ViewHost::pointerDragged(Point p) {
    layoutIfNeeded();
    Impl& h = *impl_;
    Node* node = h.captured();
    if (!node) return;
    if (auto* field = dynamic_cast<TextFieldNode*>(node)) {
        if (h.state.focusedPath == field->path) h.state.caret = field->indexAt(field->transform.invert(p));
    } else {
        InputContext context = h.input();
        node->pointerDragged(node->transform.invert(p), context);
    }
    h.requestUpdate();
}

void ViewHost::pointerUp(Point p) {
    layoutIfNeeded();
    Impl& h = *impl_;
    Node* node = h.captured();
    h.capturePath.clear();
    h.state.pressedPath.clear();
    if (node) {
        const bool inside = node->windowFrame().contains(p);
        InputContext context = h.input();
        std::vector<std::function<void()>> taps;
        if (inside)
            for (auto& tap : node->taps)
                if (tap.count == h.clickCount) taps.push_back(tap.action);
        node->pointerUp(node->transform.invert(p), inside, context);
        for (auto& tap : taps) tap();
    }
    h.requestUpdate();
}

void ViewHost::scrollWheel(Point p, double deltaY) {
    layoutIfNeeded();
    Impl& h = *impl_;
    std::function<bool(Node*)> visit = [&](Node* node) {
        if (node->isEmpty()) return false;
        if (node->clipsChildren() && !node->windowFrame().contains(p)) return false;
        auto children = node->hitChildren();
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            if (visit(*it)) return true;
        InputContext context = h.input();
        return node->windowFrame().contains(p) && node->scroll(deltaY, context);
    };
    Node* start = h.sheets.empty() ? h.root.get() : h.sheets.back()->presented.get();
    if (visit(start)) h.requestUpdate();
}

void ViewHost::keyDown(const KeyEvent& event) {
    layoutIfNeeded();
    auto forward = impl_->byPath.find(impl_->keyForwardPath);
    if (!impl_->keyForwardPath.empty() && forward != impl_->byPath.end()) {
        forward->second->keyDown(event);
        return impl_->requestUpdate();
    }
    impl_->editText(event);
}

void ViewHost::typeText(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t next = nextBoundary(text, i);
        keyDown(KeyEvent{Key::character, text.substr(i, next - i)});
        i = next;
    }
}

void ViewHost::click(Point p, std::optional<double> timeSeconds) {
    pointerDown(p, timeSeconds);
    pointerUp(p);
}

Pasteboard& Pasteboard::general() {
    static Pasteboard board;
    return board;
}

void Pasteboard::setString(std::string text) {
    text_ = std::move(text);
    if (changed_) changed_();
}

bool ViewHost::hasKeyboardFocus() const { return !impl_->state.focusedPath.empty(); }

}  // namespace ui
