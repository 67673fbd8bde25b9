// The UI module's entry: one ui:X11UI, with the idle, show and resize interfaces.
// Everything here runs on the host's UI thread.

#include <lv2/ui/ui.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "DunmarrowLV2UI.hpp"

namespace {

using dunmarrow_lv2::DunmarrowLV2UI;

LV2UI_Handle instantiate(const LV2UI_Descriptor*, const char* pluginURI, const char*, LV2UI_Write_Function write,
                         LV2UI_Controller controller, LV2UI_Widget* widget, const LV2_Feature* const* features) {
    const auto layout = dunmarrow_lv2::PortLayout::forPlugin(pluginURI != nullptr ? pluginURI : "");
    if (!layout) return nullptr;
    try {
        std::string error;
        auto editor = DunmarrowLV2UI::create(write, controller, DunmarrowLV2UI::readFeatures(features), *layout, &error);
        if (!editor) {
            std::fprintf(stderr, "Dunmarrow: the editor cannot open: %s\n", error.c_str());
            return nullptr;
        }
        if (widget != nullptr) *widget = reinterpret_cast<LV2UI_Widget>(static_cast<std::uintptr_t>(editor->windowId()));
        return editor.release();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Dunmarrow: the editor cannot open: %s\n", e.what());
        return nullptr;
    }
}

DunmarrowLV2UI& self(LV2UI_Handle handle) { return *static_cast<DunmarrowLV2UI*>(handle); }

// Takes back the ownership instantiate handed to the host.
void cleanup(LV2UI_Handle handle) { std::unique_ptr<DunmarrowLV2UI>(static_cast<DunmarrowLV2UI*>(handle)); }

void portEvent(LV2UI_Handle handle, uint32_t port, uint32_t size, uint32_t format, const void* buffer) {
    self(handle).portEvent(port, size, format, buffer);
}

int idle(LV2UI_Handle handle) { return self(handle).idle(); }
int show(LV2UI_Handle handle) { return self(handle).show(); }
int hide(LV2UI_Handle handle) { return self(handle).hide(); }

int resize(LV2UI_Feature_Handle handle, int width, int height) { return self(handle).resize(width, height); }

const LV2UI_Idle_Interface kIdle = {idle};
// As the UI's interface, the handle is the UI instance.
const LV2UI_Resize kResize = {nullptr, resize};
const LV2UI_Show_Interface kShow = {show, hide};

const void* extensionData(const char* uri) {
    if (std::strcmp(uri, LV2_UI__idleInterface) == 0) return &kIdle;
    if (std::strcmp(uri, LV2_UI__showInterface) == 0) return &kShow;
    if (std::strcmp(uri, LV2_UI__resize) == 0) return &kResize;
    return nullptr;
}

const LV2UI_Descriptor kDescriptor = {dunmarrow_lv2::kUIURI, instantiate, cleanup, portEvent, extensionData};

}  // namespace

LV2_SYMBOL_EXPORT const LV2UI_Descriptor* lv2ui_descriptor(uint32_t index) {
    return index == 0 ? &kDescriptor : nullptr;
}
