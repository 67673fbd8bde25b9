#include "DunmarrowLV2UI.hpp"

#include <lv2/atom/atom.h>
#include <lv2/log/log.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/Logger.hpp"
#include "foundation/RunLoop.hpp"

// Xlib last: its macros (None, Bool, Status) clash with names in the headers above.
#include <X11/Xlib.h>

namespace dunmarrow_lv2 {

using namespace audiounit;

namespace {

// UI thread: the editors alive in this process, newest last. The diagnostic
// lines go to the newest one's host log; with none alive, or no log, nowhere.
std::vector<DunmarrowLV2UI::HostFeatures*>& liveEditors() {
    static std::vector<DunmarrowLV2UI::HostFeatures*> editors;
    return editors;
}

void writeToHostLog(void* context, std::string_view line) {
    const auto& host = *static_cast<const DunmarrowLV2UI::HostFeatures*>(context);
    host.log->printf(host.log->handle, host.noteType, "%.*s\n", static_cast<int>(line.size()), line.data());
}

void routeDiagnostics() {
    const auto& editors = liveEditors();
    DunmarrowLV2UI::HostFeatures* newest = editors.empty() ? nullptr : editors.back();
    if (newest != nullptr && newest->log != nullptr && newest->log->printf != nullptr && newest->noteType != 0)
        foundation::setDiagnosticSink(writeToHostLog, newest);
    else
        foundation::setDiagnosticSink(foundation::discardDiagnostic);
}

}  // namespace

DunmarrowLV2UI::HostFeatures DunmarrowLV2UI::readFeatures(const LV2_Feature* const* features) {
    HostFeatures host;
    const LV2_URID_Map* map = nullptr;
    const LV2_Options_Option* options = nullptr;
    for (auto f = features; f != nullptr && *f != nullptr; ++f) {
        const char* uri = (*f)->URI;
        if (std::strcmp(uri, LV2_UI__parent) == 0) host.parentWindow = reinterpret_cast<std::uintptr_t>((*f)->data);
        if (std::strcmp(uri, LV2_UI__resize) == 0) host.resize = static_cast<const LV2UI_Resize*>((*f)->data);
        if (std::strcmp(uri, LV2_UI__touch) == 0) host.touch = static_cast<const LV2UI_Touch*>((*f)->data);
        if (std::strcmp(uri, LV2_URID__map) == 0) map = static_cast<const LV2_URID_Map*>((*f)->data);
        if (std::strcmp(uri, LV2_OPTIONS__options) == 0) options = static_cast<const LV2_Options_Option*>((*f)->data);
        if (std::strcmp(uri, LV2_LOG__log) == 0) host.log = static_cast<const LV2_Log_Log*>((*f)->data);
    }
    if (map != nullptr) host.noteType = map->map(map->handle, LV2_LOG__Note);
    if (map != nullptr && options != nullptr) {
        const LV2_URID scaleFactor = map->map(map->handle, LV2_UI__scaleFactor);
        const LV2_URID windowTitle = map->map(map->handle, LV2_UI__windowTitle);
        const LV2_URID atomFloat = map->map(map->handle, LV2_ATOM__Float);
        const LV2_URID atomString = map->map(map->handle, LV2_ATOM__String);
        for (auto o = options; o->key != 0 || o->value != nullptr; ++o) {
            if (o->value == nullptr) continue;
            if (o->key == scaleFactor && o->type == atomFloat && o->size == sizeof(float)) {
                const float scale = *static_cast<const float*>(o->value);
                // A nonsensical factor is ignored: the display's own scale applies.
                if (std::isfinite(scale) && scale >= 0.25f && scale <= 8.0f) host.scaleFactor = scale;
            }
            if (o->key == windowTitle && o->type == atomString && o->size > 0)
                host.windowTitle.assign(static_cast<const char*>(o->value), strnlen(static_cast<const char*>(o->value), o->size));
        }
    }
    return host;
}

std::unique_ptr<DunmarrowLV2UI> DunmarrowLV2UI::create(LV2UI_Write_Function write, LV2UI_Controller controller,
                                                       const HostFeatures& features, PortLayout layout,
                                                       std::string* error) {
    auto editor = std::make_unique<DunmarrowLV2UI>(write, controller, features, layout);
    if (!editor->openWindow(error)) return nullptr;
    return editor;
}

DunmarrowLV2UI::DunmarrowLV2UI(LV2UI_Write_Function write, LV2UI_Controller controller, HostFeatures features,
                               PortLayout layout)
    : write_(write), controller_(controller), features_(std::move(features)), layout_(layout) {
    // The host's UI thread is the editor's main thread from its first call on.
    foundation::markMainThread();
    tree_ = createParameterTree(parameterTreeSpec());
    // UI thread: an edit in the editor becomes a port write, framed by the
    // host's touch notifications for a gesture's start and end. Port events
    // are written with this observer's token, so they never come back here.
    portWriter_ = tree_->tokenByAddingParameterAutomationObserver(
        [this](std::span<const AUParameterAutomationEvent> events) {
            for (const auto& event : events) {
                const auto port = layout_.portOf(event.address);
                if (!port) continue;
                const bool touchable = features_.touch != nullptr && features_.touch->touch != nullptr;
                if (event.eventType == AUParameterAutomationEventType::Touch && touchable)
                    features_.touch->touch(features_.touch->handle, *port, true);
                writePort(*port, event.value);
                if (event.eventType == AUParameterAutomationEventType::Release && touchable)
                    features_.touch->touch(features_.touch->handle, *port, false);
            }
        });
    observable_ = ObservableAUParameterGroup::make(*tree_);
    // A parameter the plugin has no port for does nothing there: its slot says so.
    std::map<std::string, std::string> unavailable;
    for (const auto* parameter : PortLayout{2}.parameters())
        if (!layout_.portOf(parameter->address)) unavailable.emplace(std::string(parameter->identifier), "STEREO ONLY");
    view_ = std::make_shared<DunmarrowAUExtensionMainView>(
        observable_,
        // The view may outlive this editor (a host's run loop can still hold
        // it), so it reads the levels it shares, never the editor.
        [levels = levels_]() -> std::optional<std::pair<float, float>> { return std::pair{(*levels)[0], (*levels)[1]}; },
        std::move(unavailable));
    // Last, so that nothing above can throw with it registered; the editor
    // prints nothing before its window opens.
    liveEditors().push_back(&features_);
    routeDiagnostics();
}

DunmarrowLV2UI::~DunmarrowLV2UI() {
    window_.reset();
    if (tree_) tree_->removeParameterObserver(portWriter_);
    auto& editors = liveEditors();
    editors.erase(std::remove(editors.begin(), editors.end(), &features_), editors.end());
    routeDiagnostics();
}

bool DunmarrowLV2UI::openWindow(std::string* error) {
    ui::Window::Options options;
    options.title = features_.windowTitle;
    options.size = {DunmarrowAUExtensionMainView::baseWidth, DunmarrowAUExtensionMainView::baseHeight};
    options.scale = features_.scaleFactor;
    options.parent = features_.parentWindow;
    options.followParent = true;
    options.display = features_.display;
    window_ = ui::Window::create(options, error);
    if (!window_) return false;
    window_->setRootView(ui::View(view_));
    window_->attachToMainRunLoop();
    closedByUser_ = false;
    if (features_.parentWindow != 0) window_->show();
    if (features_.resize != nullptr && features_.resize->ui_resize != nullptr) {
        const double scale = window_->scale();
        features_.resize->ui_resize(features_.resize->handle,
                                    static_cast<int>(std::lround(DunmarrowAUExtensionMainView::baseWidth * scale)),
                                    static_cast<int>(std::lround(DunmarrowAUExtensionMainView::baseHeight * scale)));
    }
    return true;
}

unsigned long DunmarrowLV2UI::windowId() const { return window_ ? window_->windowId() : 0; }

void DunmarrowLV2UI::writePort(std::uint32_t port, float value) const {
    if (write_ != nullptr) write_(controller_, port, sizeof(float), 0, &value);
}

void DunmarrowLV2UI::portEvent(std::uint32_t port, std::uint32_t bufferSize, std::uint32_t format,
                               const void* buffer) {
    if (format != 0 || bufferSize != sizeof(float) || buffer == nullptr) return;
    float value = 0;
    std::memcpy(&value, buffer, sizeof value);
    if (port == layout_.inputLevelPort() || port == layout_.outputLevelPort()) {
        (*levels_)[port == layout_.inputLevelPort() ? 0 : 1] = std::isfinite(value) ? value : 0.0f;
        return;
    }
    if (port >= layout_.parameterCount()) return;
    // The mirror's own editor observers follow on the main queue; the port
    // writer is the originator, so nothing is sent back to the host.
    if (const auto parameter = tree_->parameterWithAddress(layout_.parameters()[port]->address))
        parameter->setValue(value, portWriter_);
}

int DunmarrowLV2UI::idle() {
    auto& loop = foundation::RunLoop::main();
    // Two passes: a host update queues a redraw that the second one draws.
    loop.runOnce();
    loop.runOnce();
    if (window_ && window_->isClosed() && features_.parentWindow == 0) closedByUser_ = true;
    return closedByUser_ ? 1 : 0;
}

int DunmarrowLV2UI::show() {
    if (!window_ || window_->isClosed()) {
        window_.reset();
        if (!openWindow(nullptr)) return 1;
    }
    window_->show();
    return 0;
}

int DunmarrowLV2UI::resize(int width, int height) {
    if (!window_ || width < 1 || height < 1 || width > 16384 || height > 16384) return 1;
    // The window's own connection is private to it; a short-lived second
    // connection to the same display asks the server, and the window follows
    // the configure event like any resize by the host.
    Display* display = XOpenDisplay(features_.display.empty() ? nullptr : features_.display.c_str());
    if (display == nullptr) return 1;
    XResizeWindow(display, window_->windowId(), static_cast<unsigned>(width), static_cast<unsigned>(height));
    XSync(display, False);
    XCloseDisplay(display);
    return 0;
}

int DunmarrowLV2UI::hide() {
    if (window_) window_->close();
    window_.reset();
    return 0;
}

}  // namespace dunmarrow_lv2
