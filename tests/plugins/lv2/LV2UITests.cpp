// The UI module through its descriptor under a private virtual X server, with
// real X events. What the editor draws and how it lays out is judged in its own tests.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <lv2/log/log.h>

#include "DunmarrowLV2UI.hpp"
#include "LV2TestHost.hpp"
// X11 last: its macros (None, Bool) clash with names in the headers above.
#include "VirtualDisplay.hpp"

extern "C" const LV2UI_Descriptor* lv2ui_descriptor(uint32_t index);

namespace {

using namespace dunmarrow_lv2;

// The host side: records port writes, touches and resize requests.
class UITest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!server.installed()) GTEST_SKIP() << "Xvfb is not installed; the editor tests need it";
        ASSERT_FALSE(server.display().empty()) << "Xvfb did not report a display";
        ::setenv("DISPLAY", server.display().c_str(), 1);
        client = std::make_unique<testsupport::XClient>(server.display());
        ASSERT_NE(client->display, nullptr);
        descriptor = lv2ui_descriptor(0);
        ASSERT_NE(descriptor, nullptr);
        idle = static_cast<const LV2UI_Idle_Interface*>(descriptor->extension_data(LV2_UI__idleInterface));
        show = static_cast<const LV2UI_Show_Interface*>(descriptor->extension_data(LV2_UI__showInterface));
        ASSERT_NE(idle, nullptr);
        ASSERT_NE(show, nullptr);
        options.add(map(LV2_UI__scaleFactor), map(LV2_ATOM__Float), sizeof(float), &scale);
    }
    void TearDown() override {
        if (handle != nullptr) descriptor->cleanup(handle);
    }

    LV2UI_Handle instantiate(unsigned long parent, const char* plugin = kStereoPluginURI, bool withLog = false) {
        parentFeature = {LV2_UI__parent, reinterpret_cast<void*>(static_cast<std::uintptr_t>(parent))};
        std::vector<const LV2_Feature*> features = {map.feature(), options.feature(), &resizeFeature, &touchFeature};
        if (withLog) features.push_back(&logFeature);
        if (parent != 0) features.push_back(&parentFeature);
        features.push_back(nullptr);
        return descriptor->instantiate(descriptor, plugin, "/nowhere/", write, this, &widget, features.data());
    }

    // Calls idle like a host does, until `done` holds (at most three seconds).
    bool idleUntil(const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (std::chrono::steady_clock::now() < end) {
            idle->idle(handle);
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    static void write(LV2UI_Controller controller, uint32_t port, uint32_t size, uint32_t protocol, const void* buffer) {
        auto& self = *static_cast<UITest*>(controller);
        ASSERT_EQ(size, sizeof(float));
        ASSERT_EQ(protocol, 0u);
        self.writes.push_back({port, *static_cast<const float*>(buffer)});
        self.log.push_back("write " + std::to_string(port));
    }
    static int logged(LV2_Log_Handle h, LV2_URID type, const char* format, ...) {
        auto& self = *static_cast<UITest*>(h);
        EXPECT_EQ(type, self.map(LV2_LOG__Note));
        std::va_list arguments;
        va_start(arguments, format);
        char line[512];
        std::vsnprintf(line, sizeof line, format, arguments);
        va_end(arguments);
        self.logLines += line;
        return 0;
    }

    testsupport::Xvfb server;
    std::unique_ptr<testsupport::XClient> client;
    const LV2UI_Descriptor* descriptor = nullptr;
    const LV2UI_Idle_Interface* idle = nullptr;
    const LV2UI_Show_Interface* show = nullptr;
    lv2test::URIDMap map;
    lv2test::Options options;
    float scale = 1.0f;
    LV2UI_Resize resize{this, [](LV2UI_Feature_Handle h, int width, int height) {
                            static_cast<UITest*>(h)->requestedSize = {width, height};
                            return 0;
                        }};
    LV2UI_Touch touch{this, [](LV2UI_Feature_Handle h, uint32_t port, bool grabbed) {
                          static_cast<UITest*>(h)->log.push_back((grabbed ? "grab " : "release ") + std::to_string(port));
                      }};
    LV2_Log_Log hostLog{this, logged, nullptr};
    LV2_Feature parentFeature{}, resizeFeature{LV2_UI__resize, &resize}, touchFeature{LV2_UI__touch, &touch},
        logFeature{LV2_LOG__log, &hostLog};
    std::string logLines;
    LV2UI_Widget widget = nullptr;
    LV2UI_Handle handle = nullptr;
    std::vector<std::pair<std::uint32_t, float>> writes;  // port, value
    std::vector<std::string> log;
    std::pair<int, int> requestedSize{0, 0};
};

TEST_F(UITest, EmbedsDrawsWritesOnADragFollowsPortEventsAndShowsAWindowOfItsOwn) {
    Display* const display = client->display;
    const unsigned long parent =
        XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 800, 700, 0, 0, WhitePixel(display, 0));
    XMapWindow(display, parent);
    XFlush(display);

    testing::internal::CaptureStdout();
    handle = instantiate(parent, kStereoPluginURI, true);
    ASSERT_NE(handle, nullptr);
    auto& editor = *static_cast<DunmarrowLV2UI*>(handle);
    // It fills the parent, whatever size it asked for.
    EXPECT_EQ(editor.window()->size(), (ui::Size{800, 700}));
    EXPECT_EQ(requestedSize, (std::pair{720, 600}));
    const auto child = static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(widget));
    EXPECT_EQ(child, editor.windowId());

    // Drawn: the editor's black backdrop over the white parent (the snapshot tests judge what is drawn on it).
    ASSERT_TRUE(idleUntil([&] { return client->pixel(child, 3, 3) == 0x000000; }));
    const auto host = editor.window()->contentView()->host();

    // A drag on the Drive slider: grab, writes of port 0, release, in that order.
    const auto slider = host->frameOf("Drive");
    ASSERT_TRUE(slider);
    const int y = static_cast<int>(slider->center().y);
    const int x0 = static_cast<int>(slider->x + slider->width * 0.5);
    client->button(child, ButtonPress, x0, y, 0);
    for (int step = 1; step <= 4; ++step) client->motion(child, x0 + step * static_cast<int>(slider->width * 0.1), y);
    client->button(child, ButtonRelease, x0 + static_cast<int>(slider->width * 0.4), y, Button1Mask);
    ASSERT_TRUE(idleUntil([&] { return !log.empty() && log.back() == "release 0"; })) << ::testing::PrintToString(log);
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(log.front(), "grab 0");
    EXPECT_EQ(log[1], "write 0");
    for (const auto& [port, value] : writes) EXPECT_EQ(port, 0u);
    const float dragged = writes.back().second;
    EXPECT_EQ(editor.observableTree()->lookupNode("global")->lookupParameter("drive")->value(), dragged);
    EXPECT_TRUE(host->frameOf("Stereo Spread")) << "the stereo editor offers Stereo Spread";
    // The editor's diagnostic lines went to the host's log, not to standard output.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_NE(logLines.find("FontLoader: "), std::string::npos) << logLines;

    // The host moves Tight: the control follows and nothing is written back.
    writes.clear();
    log.clear();
    const float tight = 25.0f;
    descriptor->port_event(handle, 1, sizeof(float), 0, &tight);
    const auto tightNode = editor.observableTree()->lookupNode("global")->lookupParameter("tight");
    ASSERT_TRUE(idleUntil([&] { return tightNode->value() == 25.0f; }));
    for (int i = 0; i < 10; ++i) idle->idle(handle);
    EXPECT_TRUE(writes.empty());

    // Level ports drive the meters; the enabled port and nonsense are ignored.
    const float in = 0.7f, out = 0.4f, enabled = 0.0f, junk = 3.0f;
    const PortLayout layout{2};
    descriptor->port_event(handle, layout.inputLevelPort(), sizeof(float), 0, &in);
    descriptor->port_event(handle, layout.outputLevelPort(), sizeof(float), 0, &out);
    descriptor->port_event(handle, layout.enabledPort(), sizeof(float), 0, &enabled);
    descriptor->port_event(handle, 999, sizeof(float), 0, &junk);
    descriptor->port_event(handle, 0, sizeof(float), 77, &junk);
    ASSERT_TRUE(idleUntil([&] { return editor.mainView()->inputLevel() == 0.7f; }));
    EXPECT_EQ(editor.mainView()->outputLevel(), 0.4f);
    EXPECT_EQ(editor.observableTree()->lookupNode("global")->lookupParameter("drive")->value(), dragged);
    EXPECT_TRUE(writes.empty());

    // The host resizes the editor through the UI's resize interface: the views follow.
    const auto* resizeInterface = static_cast<const LV2UI_Resize*>(descriptor->extension_data(LV2_UI__resize));
    ASSERT_NE(resizeInterface, nullptr);
    EXPECT_EQ(resizeInterface->ui_resize(handle, 1440, 1200), 0);
    EXPECT_TRUE(idleUntil([&] { return editor.window()->size() == ui::Size{1440, 1200}; }));
    EXPECT_NE(resizeInterface->ui_resize(handle, 0, -4), 0);
    // The host resizes the parent without a word: the editor follows.
    XResizeWindow(display, parent, 360, 300);
    XFlush(display);
    EXPECT_TRUE(idleUntil([&] { return editor.window()->size() == ui::Size{360, 300}; }));

    descriptor->cleanup(handle);
    handle = nullptr;
    XDestroyWindow(display, parent);
    XFlush(display);

    // Without a parent (and for the mono plugin) it shows and hides a window of its own.
    EXPECT_EQ(instantiate(0, "urn:not:ours"), nullptr);
    scale = 2.0f;
    requestedSize = {0, 0};
    testing::internal::CaptureStdout();
    handle = instantiate(0, kMonoPluginURI);
    ASSERT_NE(handle, nullptr);
    auto& own = *static_cast<DunmarrowLV2UI*>(handle);
    EXPECT_EQ(requestedSize, (std::pair{1440, 1200})) << "at the host's ui:scaleFactor";
    EXPECT_EQ(show->show(handle), 0);
    const unsigned long window = own.windowId();
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(idleUntil([&] {
        XWindowAttributes attributes{};
        return XGetWindowAttributes(display, window, &attributes) != 0 && attributes.map_state == IsViewable;
    }));
    // Without a host log the diagnostic lines go nowhere.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    // Mono: Stereo Spread's slot says it is unavailable and offers no control.
    const auto ownHost = own.window()->contentView()->host();
    EXPECT_TRUE(ownHost->frameOf("STEREO ONLY"));
    EXPECT_FALSE(ownHost->frameOf("Stereo Spread"));
    // Hidden is not closed by the user: idle still says it is open.
    EXPECT_EQ(show->hide(handle), 0);
    EXPECT_EQ(idle->idle(handle), 0);
    EXPECT_EQ(show->show(handle), 0);
    EXPECT_NE(own.windowId(), 0u);
}

}  // namespace
