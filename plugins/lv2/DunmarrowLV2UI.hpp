#pragma once
// The LV2 editor: the effect's own main view in an X11 window, embedded into
// the host's parent window (or a window of its own for hosts that only show
// and hide UIs). Its parameter tree is a local mirror of the plugin's control
// ports: an edit writes the port (with touch and release around gestures when
// the host offers ui:touch); a port event from the host sets the mirror
// without an echo and moves the control; the level output ports feed the
// meters.
//
// The window fills the host's parent window and follows its size, and the
// editor scales to it. The editor's diagnostic lines go to the host's log
// (log:log) when it offers one, and nowhere otherwise.
//
// Threads: everything runs on the host's UI thread, the thread that calls
// instantiate, port_event, idle, show and hide. It pumps the process's main
// run loop from idle(), so that thread is the editor's main thread.

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include <lv2/log/log.h>
#include <lv2/ui/ui.h>

#include "DunmarrowAUExtensionMainView.hpp"
#include "DunmarrowLV2Ports.hpp"
#include "ObservableAUParameter.hpp"
#include "audiounit/AUParameters.hpp"
#include "ui/Window.hpp"

namespace dunmarrow_lv2 {

class DunmarrowLV2UI {
public:
    struct HostFeatures {
        unsigned long parentWindow = 0;            // ui:parent; 0: none
        const LV2UI_Resize* resize = nullptr;      // ui:resize
        const LV2UI_Touch* touch = nullptr;        // ui:touch
        double scaleFactor = 0;                    // ui:scaleFactor; 0: the display's
        std::string windowTitle = "Dunmarrow";     // ui:windowTitle
        std::string display;                       // X display; empty: $DISPLAY
        const LV2_Log_Log* log = nullptr;          // log:log
        LV2_URID noteType = 0;                     // log:Note, mapped; 0 without urid:map
    };
    // Reads the features a host passes to instantiate.
    static HostFeatures readFeatures(const LV2_Feature* const* features);

    // The editor of the plugin with `layout`. Null with `error` set when the X
    // display or the parent window cannot be used.
    static std::unique_ptr<DunmarrowLV2UI> create(LV2UI_Write_Function write, LV2UI_Controller controller,
                                                  const HostFeatures& features, PortLayout layout,
                                                  std::string* error = nullptr);
    ~DunmarrowLV2UI();
    DunmarrowLV2UI(const DunmarrowLV2UI&) = delete;
    DunmarrowLV2UI& operator=(const DunmarrowLV2UI&) = delete;

    // The X window id handed to the host as the widget.
    [[nodiscard]] unsigned long windowId() const;
    // A control port's new value (format 0, one float): shown, not sent back.
    // Level ports feed the meters.
    void portEvent(std::uint32_t port, std::uint32_t bufferSize, std::uint32_t format, const void* buffer);
    // One pass of the main run loop; non-zero once a window of its own was closed.
    int idle();
    // For hosts without embedding.
    int show();
    int hide();
    // The host gives the editor a new size in pixels (ui:resize as the UI's
    // interface); the views follow once the window reports it. 0 on success.
    int resize(int width, int height);

    // For tests.
    [[nodiscard]] const std::shared_ptr<ObservableAUParameterGroup>& observableTree() const { return observable_; }
    [[nodiscard]] ui::Window* window() const { return window_.get(); }
    [[nodiscard]] const std::shared_ptr<DunmarrowAUExtensionMainView>& mainView() const { return view_; }

    DunmarrowLV2UI(LV2UI_Write_Function write, LV2UI_Controller controller, HostFeatures features, PortLayout layout);

private:
    bool openWindow(std::string* error);
    void writePort(std::uint32_t port, float value) const;

    LV2UI_Write_Function write_;
    LV2UI_Controller controller_;
    HostFeatures features_;
    PortLayout layout_;
    audiounit::AUParameterTreePtr tree_;
    audiounit::AUParameterObserverToken portWriter_{};
    std::shared_ptr<ObservableAUParameterGroup> observable_;
    std::shared_ptr<DunmarrowAUExtensionMainView> view_;
    std::unique_ptr<ui::Window> window_;
    // The level ports' latest values: input, output.
    std::shared_ptr<std::array<float, 2>> levels_ = std::make_shared<std::array<float, 2>>();
    bool closedByUser_ = false;
};

}  // namespace dunmarrow_lv2
